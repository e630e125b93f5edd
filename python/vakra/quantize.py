"""Quantized tensors: 8- or 4-bit integer codes with scales and zero points.

Real values map to codes by the affine rule ``q = clamp(round(x / scale) + zero_point)``
and back by ``x = (q - zero_point) * scale``; :func:`quantize` picks scales and
integer zero points so that 0.0 is represented exactly and every value within
the range of its scale comes back within half a quantization step (``scale / 2``).
"""

from __future__ import annotations

import math
import pickle
from collections.abc import Sequence

import numpy as np

from ._facts import DTYPES

__all__ = ["QuantizedTensor", "quantize"]

# Quantized type -> (smallest code, largest code, bits per code); the wire
# dtype codes come from the codec's dtype table.
_LIMITS = {"qint8": (-128, 127, 8), "quint8": (0, 255, 8), "qint4": (-8, 7, 4), "quint4": (0, 15, 4)}
_CODE_OF_NAME = {name: DTYPES[name].code for name in _LIMITS}
_DTYPES = {code: (name, *_LIMITS[name]) for name, code in _CODE_OF_NAME.items()}
_SCHEME_NAMES = {0: "per-tensor", 1: "per-axis", 2: "per-group"}


class QuantizedTensor:
    """A tensor of quantized integer codes with the parameters to map them back.

    Real values map to codes by ``q = clamp(round(x / scale) + zero_point)`` and
    back by ``x = (q - zero_point) * scale``. Made by :func:`quantize`, or from
    its eight parts, which are also its attributes.

    Parameters
    ----------
    data : array_like of uint8
        The codes as they are on the wire, 1-D. qint8 and quint8 use one byte
        per element, the signed codes in two's complement. qint4 and quint4
        pack two elements per byte in C order: element ``2k`` in the low nibble
        of byte ``k``, element ``2k + 1`` in its high nibble; an odd count
        leaves the last high nibble 0. Signed 4-bit codes are two's complement
        nibbles (-8 to 7). :meth:`codes` unpacks them.
    scales, zero_points : array_like of float32
        1-D, of the same length: one entry per scale group.
    shape : sequence of int
        The logical shape.
    dtype_code : int
        16 qint8, 17 quint8, 18 qint4, 19 quint4 (:attr:`dtype` gives the name).
    quant_scheme : int
        How entries of ``scales`` apply to elements:

        - ``0`` per-tensor (``PER_TENSOR``): one entry for every element;
        - ``1`` per-axis (``PER_AXIS``): ``shape[axis]`` entries, entry ``k``
          for the elements whose index along ``axis`` is ``k``;
        - ``2`` per-group (``PER_GROUP``): along ``axis``, runs of
          ``group_size`` consecutive indices share an entry (the last run may be
          shorter). With ``axis`` moved last and the other dimensions flattened
          in order to ``M`` rows of ``n`` elements, there are
          ``M * ceil(n / group_size)`` entries, row-major.
    group_size : int
        The run length of the per-group scheme; 0 for the other schemes.
    axis : int
        The axis of the per-axis and per-group schemes; -1 for per-tensor. The
        wire holds the axis in one byte (the value modulo 256), so -1 travels
        as 255. A value from ``ndim`` to 255 is read back as ``axis - 256``: a
        decoded 255 is -1 again, and a decoded tensor equals the one that was
        encoded. Negative axes count from the end.

    Raises
    ------
    ValueError
        For an unknown ``dtype_code``, negative dimensions, ``data`` of the
        wrong length for the shape, and ``scales`` and ``zero_points`` of
        different lengths.
    TypeError
        For a ``shape`` that is not a sequence of ints.

    See Also
    --------
    quantize : a tensor quantized from real values.

    Examples
    --------
    >>> from vakra.quantize import QuantizedTensor
    >>> q = QuantizedTensor(data=np.array([0x21, 0x03], np.uint8), scales=[0.5], zero_points=[0],
    ...                     shape=(3,), dtype_code=18, quant_scheme=0, group_size=0, axis=-1)
    >>> q
    QuantizedTensor(dtype='qint4', shape=(3,), per-tensor, axis=-1, group_size=0, scales=1)
    >>> q.codes(), q.dequantize()
    (array([1, 2, 3], dtype=int8), array([0.5, 1. , 1.5], dtype=float32))
    >>> vakra.loads(vakra.dumps(q)) == q
    True
    """

    PER_TENSOR = 0
    PER_AXIS = 1
    PER_GROUP = 2

    __hash__ = None  # the arrays are mutable

    def __init__(self, *, data, scales, zero_points, shape, dtype_code, quant_scheme, group_size, axis):
        self.dtype_code = _int(dtype_code, "dtype_code")
        if self.dtype_code not in _DTYPES:
            codes = [f"{code} ({name})" for name, code in _CODE_OF_NAME.items()]
            raise ValueError(f"dtype_code must be {', '.join(codes[:-1])} or {codes[-1]}, got {dtype_code}")
        if isinstance(shape, (str, bytes)) or not isinstance(shape, (Sequence, np.ndarray)):
            raise TypeError(f"shape must be a sequence of ints, not {type(shape).__name__}")
        self.shape = tuple(_int(dim, "shape") for dim in shape)
        if any(dim < 0 for dim in self.shape):
            raise ValueError(f"shape must not hold negative dimensions, got {self.shape}")
        self.quant_scheme = _int(quant_scheme, "quant_scheme")
        self.group_size = _int(group_size, "group_size")
        self.axis = _int(axis, "axis")
        if len(self.shape) <= self.axis <= 255:
            self.axis -= 256

        self.data = _byte_array(data)
        needed = self._value_bytes()
        if self.data.size != needed:
            raise ValueError(
                f"data holds {self.data.size} bytes; a {self.dtype} tensor of shape {self.shape} needs {needed}"
            )
        self.scales = _float32_vector(scales, "scales")
        self.zero_points = _float32_vector(zero_points, "zero_points")
        if self.scales.size != self.zero_points.size:
            raise ValueError(
                f"scales and zero_points must have the same length, got {self.scales.size} and {self.zero_points.size}"
            )

    @classmethod
    def quantize(cls, array, dtype: str = "qint8", axis=None, group_size=None) -> QuantizedTensor:
        """Quantize ``array``: the same as :func:`quantize`.

        Parameters
        ----------
        array, dtype, axis, group_size
            As for :func:`quantize`.

        Returns
        -------
        QuantizedTensor
            The codes and their parameters.

        Raises
        ------
        ValueError, TypeError
            As :func:`quantize` raises them.

        Examples
        --------
        >>> from vakra.quantize import QuantizedTensor
        >>> QuantizedTensor.quantize(np.linspace(-1, 1, 8), "quint8").dtype
        'quint8'
        """
        if dtype not in _CODE_OF_NAME:
            raise ValueError(f"dtype must be one of {', '.join(map(repr, _CODE_OF_NAME))}, got {dtype!r}")
        dtype_code = _CODE_OF_NAME[dtype]
        _name, qmin, qmax, bits = _DTYPES[dtype_code]
        values = np.asarray(array)
        if values.dtype.kind not in "biuf":
            raise TypeError(f"cannot quantize an array of dtype {values.dtype}")
        values = values.astype(np.float64)
        if not np.all(np.isfinite(values)):
            raise ValueError("cannot quantize NaN or infinite values")

        if group_size is not None:
            scheme, group_size = cls.PER_GROUP, _int(group_size, "group_size")
            if group_size < 1:
                raise ValueError(f"group_size must be at least 1, got {group_size}")
            axis = _normalize_axis(-1 if axis is None else axis, values.ndim)
        elif axis is not None:
            scheme, group_size = cls.PER_AXIS, 0
            axis = _normalize_axis(axis, values.ndim)
        else:
            scheme, group_size, axis = cls.PER_TENSOR, 0, -1

        blocks = _blocks(values, scheme, axis, group_size)  # (entries, elements per entry)
        scales, zero_points = _affine_parameters(blocks, qmin, qmax)
        codes = np.clip(np.rint(blocks / scales[:, None]) + zero_points[:, None], qmin, qmax)
        codes = _unblocks(codes, values.shape, scheme, axis, group_size).astype(np.int16)
        return cls(
            data=_pack(codes.reshape(-1), bits),
            scales=scales.astype(np.float32),
            zero_points=zero_points.astype(np.float32),
            shape=values.shape,
            dtype_code=dtype_code,
            quant_scheme=scheme,
            group_size=group_size,
            axis=axis,
        )

    @property
    def dtype(self) -> str:
        """The quantized type's name: "qint8", "quint8", "qint4" or "quint4".

        Returns
        -------
        str
            The name of ``dtype_code``'s type.

        Examples
        --------
        >>> from vakra.quantize import quantize
        >>> quantize(np.ones(4), "qint4").dtype
        'qint4'
        """
        return _DTYPES[self.dtype_code][0]

    @property
    def ndim(self) -> int:
        """The number of dimensions of the logical shape.

        Returns
        -------
        int
            ``len(shape)``.

        Examples
        --------
        >>> from vakra.quantize import quantize
        >>> quantize(np.ones((2, 3))).ndim
        2
        """
        return len(self.shape)

    @property
    def size(self) -> int:
        """The number of elements of the logical shape.

        Returns
        -------
        int
            The product of ``shape``.

        Examples
        --------
        >>> from vakra.quantize import quantize
        >>> quantize(np.ones((2, 3))).size
        6
        """
        return math.prod(self.shape)

    def codes(self) -> np.ndarray:
        """The integer codes in the logical shape.

        Returns
        -------
        numpy.ndarray
            int8 for signed types, uint8 otherwise: a new array.

        Examples
        --------
        >>> from vakra.quantize import quantize
        >>> quantize(np.array([-1.0, 0.0, 1.0]), "qint8").codes()
        array([-128,   -1,  126], dtype=int8)
        """
        _name, qmin, _qmax, bits = _DTYPES[self.dtype_code]
        signed = qmin < 0
        if bits == 8:
            flat = self.data.view(np.int8 if signed else np.uint8)
        else:
            nibbles = np.empty(self.data.size * 2, dtype=np.uint8)
            nibbles[0::2] = self.data & 0x0F
            nibbles[1::2] = self.data >> 4
            flat = nibbles[: self.size]
            if signed:
                flat = ((flat ^ 0x08).astype(np.int8) - 8).astype(np.int8)
        return flat.copy().reshape(self.shape)

    def dequantize(self, as_torch: bool = False):
        """The real values, ``(code - zero_point) * scale``.

        Parameters
        ----------
        as_torch : bool, default False
            Return a float32 ``torch.Tensor`` instead (needs torch).

        Returns
        -------
        numpy.ndarray or torch.Tensor
            float32 values in the logical shape.

        Raises
        ------
        ValueError
            For an unknown ``quant_scheme``, a per-group tensor without a group
            size, or a scale count that does not fit the scheme and shape.
        ImportError
            With ``as_torch=True`` and no torch installed.

        Examples
        --------
        >>> from vakra.quantize import quantize
        >>> weights = np.random.default_rng(0).standard_normal((4, 8)).astype(np.float32)
        >>> q = quantize(weights, "qint8", axis=0)
        >>> bool(abs(q.dequantize() - weights).max() <= q.scales.max() / 2 + 1e-6)
        True
        """
        if self.quant_scheme not in _SCHEME_NAMES:
            raise ValueError(f"unknown quant_scheme {self.quant_scheme}; known: 0 per-tensor, 1 per-axis, 2 per-group")
        axis = -1
        if self.quant_scheme != self.PER_TENSOR:
            axis = _normalize_axis(self.axis, self.ndim)
        if self.quant_scheme == self.PER_GROUP and self.group_size < 1:
            raise ValueError(f"per-group tensor needs a group_size of at least 1, got {self.group_size}")
        codes = self.codes().astype(np.float64)
        blocks = _blocks(codes, self.quant_scheme, axis, self.group_size)
        if self.scales.size != blocks.shape[0]:
            raise ValueError(
                f"{_SCHEME_NAMES[self.quant_scheme]} tensor of shape {self.shape} needs "
                f"{blocks.shape[0]} scales, got {self.scales.size}"
            )
        scales = self.scales.astype(np.float64)[:, None]
        zero_points = self.zero_points.astype(np.float64)[:, None]
        values = (blocks - zero_points) * scales
        result = _unblocks(values, self.shape, self.quant_scheme, axis, self.group_size).astype(np.float32)
        if as_torch:
            try:
                import torch
            except ImportError as error:
                raise ImportError("dequantize(as_torch=True) needs PyTorch: pip install torch") from error
            return torch.from_numpy(result)
        return result

    def __eq__(self, other):
        if not isinstance(other, QuantizedTensor):
            return NotImplemented
        return (
            self.dtype_code == other.dtype_code
            and self.shape == other.shape
            and self.quant_scheme == other.quant_scheme
            and self.group_size == other.group_size
            and self.axis == other.axis
            and self.data.tobytes() == other.data.tobytes()
            and self.scales.tobytes() == other.scales.tobytes()
            and self.zero_points.tobytes() == other.zero_points.tobytes()
        )

    def __reduce_ex__(self, protocol):
        arrays = tuple(np.ascontiguousarray(array) for array in (self.data, self.scales, self.zero_points))
        if protocol >= 5:  # the three arrays as buffers, which a buffer_callback may carry out of band
            arrays = tuple(map(pickle.PickleBuffer, arrays))
        return _from_buffers, (*arrays, self.shape, self.dtype_code, self.quant_scheme, self.group_size, self.axis)

    def __repr__(self) -> str:
        scheme = _SCHEME_NAMES.get(self.quant_scheme, f"scheme {self.quant_scheme}")
        return (
            f"QuantizedTensor(dtype={self.dtype!r}, shape={self.shape}, {scheme}, axis={self.axis}, "
            f"group_size={self.group_size}, scales={self.scales.size})"
        )

    def _value_bytes(self) -> int:
        bits = _DTYPES[self.dtype_code][3]
        return self.size if bits == 8 else (self.size + 1) // 2


def _from_buffers(data, scales, zero_points, shape, dtype_code, quant_scheme, group_size, axis) -> QuantizedTensor:
    """Unpickles a QuantizedTensor; its arrays are views of the buffers given."""
    return QuantizedTensor(data=np.frombuffer(data, np.uint8), scales=np.frombuffer(scales, np.float32),
                           zero_points=np.frombuffer(zero_points, np.float32), shape=shape, dtype_code=dtype_code,
                           quant_scheme=quant_scheme, group_size=group_size, axis=axis)


def quantize(array, dtype: str = "qint8", axis=None, group_size=None) -> QuantizedTensor:
    """Quantize ``array`` to 8- or 4-bit codes with scales and zero points.

    Scales and integer zero points are chosen so that 0.0 is represented
    exactly and every value within the range of its scale comes back within
    half a quantization step (``scale / 2``). Without ``axis`` and
    ``group_size`` the whole tensor shares one scale (per-tensor); with
    ``axis`` alone each index along that axis has its own (per-axis); with
    ``group_size`` runs of that many indices along ``axis`` (default: the last
    axis) share one (per-group).

    Parameters
    ----------
    array : array_like
        Finite real values (bool, integer or float).
    dtype : {"qint8", "quint8", "qint4", "quint4"}, default "qint8"
        The code type.
    axis : int, optional
        The axis of the per-axis and per-group schemes.
    group_size : int, optional
        The run length of the per-group scheme (at least 1).

    Returns
    -------
    QuantizedTensor
        The codes and their parameters.

    Raises
    ------
    ValueError
        For an unknown ``dtype``, NaN or infinite values, an axis out of range
        or a ``group_size`` below 1.
    TypeError
        For an array that is not of real numbers.

    Examples
    --------
    >>> from vakra.quantize import quantize
    >>> q = quantize(np.arange(12, dtype=np.float32).reshape(3, 4), "quint4", group_size=2)
    >>> q
    QuantizedTensor(dtype='quint4', shape=(3, 4), per-group, axis=1, group_size=2, scales=6)
    >>> q.data.nbytes  # two codes to a byte
    6
    """
    return QuantizedTensor.quantize(array, dtype=dtype, axis=axis, group_size=group_size)


def _affine_parameters(blocks: np.ndarray, qmin: int, qmax: int):
    """Scale and integer zero point per row, with 0.0 always exactly representable."""
    if blocks.shape[1] == 0:
        low = high = np.zeros(blocks.shape[0])
    else:
        low = np.minimum(blocks.min(axis=1), 0.0)
        high = np.maximum(blocks.max(axis=1), 0.0)
    span = high - low
    scales = np.where(span > 0, span / (qmax - qmin), 1.0)
    # Round each scale up to a float32 so the stored scale still covers the whole range.
    stored = scales.astype(np.float32)
    stored = np.where(stored < scales, np.nextafter(stored, np.float32(np.inf)), stored).astype(np.float64)
    zero_points = np.clip(qmin - np.rint(low / stored), qmin, qmax)
    return stored, zero_points


def _blocks(values: np.ndarray, scheme: int, axis: int, group_size: int) -> np.ndarray:
    """Rearranges the elements into one row per scale entry (group rows padded with zeros)."""
    if scheme == QuantizedTensor.PER_TENSOR:
        return values.reshape(1, values.size)
    moved = np.moveaxis(values, axis, -1)
    length = moved.shape[-1]
    rows = moved.reshape(math.prod(moved.shape[:-1]), length)
    if scheme == QuantizedTensor.PER_AXIS:
        return rows.T
    groups = -(-length // group_size)
    padded = np.zeros((rows.shape[0], groups * group_size), dtype=values.dtype)
    padded[:, :length] = rows
    return padded.reshape(rows.shape[0] * groups, group_size)


def _unblocks(blocks: np.ndarray, shape: tuple, scheme: int, axis: int, group_size: int) -> np.ndarray:
    """Inverse of :func:`_blocks`."""
    if scheme == QuantizedTensor.PER_TENSOR:
        return blocks.reshape(shape)
    length = shape[axis]
    moved_shape = shape[:axis] + shape[axis + 1 :] + (length,)
    row_count = math.prod(moved_shape[:-1])
    if scheme == QuantizedTensor.PER_AXIS:
        rows = blocks.T
    else:
        groups = -(-length // group_size)
        rows = blocks.reshape(row_count, groups * group_size)[:, :length]
    return np.moveaxis(rows.reshape(moved_shape), -1, axis)


def _pack(codes: np.ndarray, bits: int) -> np.ndarray:
    """Codes (-128..255) to wire bytes; 4-bit codes two per byte, low nibble first."""
    nibbles = (codes & (0xFF if bits == 8 else 0x0F)).astype(np.uint8)
    if bits == 8:
        return nibbles
    if nibbles.size % 2:
        nibbles = np.append(nibbles, np.uint8(0))
    return nibbles[0::2] | (nibbles[1::2] << 4)


def _normalize_axis(axis, ndim: int) -> int:
    axis = _int(axis, "axis")
    if not -ndim <= axis < ndim:
        raise ValueError(f"axis {axis} is out of range for a tensor of {ndim} dimensions")
    return axis % ndim


def _byte_array(data) -> np.ndarray:
    array = np.ascontiguousarray(data)
    if array.dtype.itemsize != 1 or array.dtype.kind not in "biu":
        raise TypeError(f"data must hold one-byte codes (uint8 or int8), got dtype {array.dtype}")
    return array.reshape(-1).view(np.uint8)


def _float32_vector(values, what: str) -> np.ndarray:
    array = np.asarray(values)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{what} must be real numbers, got dtype {array.dtype}")
    return np.ascontiguousarray(array, dtype=np.float32).reshape(-1)


def _int(value, what: str) -> int:
    try:
        return value.__index__()
    except AttributeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
