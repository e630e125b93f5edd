"""vakra values through Ray's object store without copies.

``vakra.ray.register()`` makes Ray move PyTorch tensors, and NumPy arrays of
ml_dtypes' bfloat16 and float8 types, as vakra packets: each body of 4 KiB or
more goes to the object store as an out-of-band buffer (smaller ones ride in
the pickle), and ``ray.get`` gives a tensor or array that views the store,
where Ray alone pickles a copy of the bytes and copies it again on every get.
Call it in the driver, and have every worker call it through Ray's setup
hook::

    ray.init(runtime_env={"worker_process_setup_hook": "vakra.ray.register"})
    vakra.ray.register()

What Ray already moves without copies is left to it: NumPy arrays of NumPy's
own dtypes (those vakra decodes, views of packets and mapped files included),
SciPy sparse matrices and ``QuantizedTensor`` pickle their arrays as protocol
5 out-of-band buffers and come back as read-only views of the store. A
``StringTensor`` sends its payload out of band but holds it as ``bytes``, so
that is copied on arrival. Dicts go item by item. ``vakra.File`` pickles as
its path and reopens it (the file must be there where it is unpickled).

A packet held as ``bytes`` is copied by every ``ray.get``; wrapped in a
:class:`Packet` it travels as one out-of-band buffer and arrives as a view.

Tensors from ``ray.get`` view memory that every reader of the object shares,
and torch has no read-only tensors: ``clone()`` one before changing it in
place. They come back contiguous, each with memory of its own (views of one
another in one value are not kept as views), ``requires_grad`` as it was.
Tensors vakra does not store as they are (off the CPU, sparse, quantized,
conjugate or negative views, with attributes, non-leaves that require grad,
dtypes vakra lacks) are pickled by torch itself; a sparse tensor's dense
parts then still come through vakra.
"""

from __future__ import annotations

import pickle
import warnings
from typing import Any

try:
    import ray.util
except ImportError as error:
    raise ImportError("vakra.ray needs Ray: pip install 'vakra[ray]'") from error

import numpy as np

from . import _native
from ._encoding import convert
from ._facts import DENSE, STANDARD_ALIGNMENT
from ._io.streams import packet_length

__all__ = ["register", "Packet"]

# NumPy numbers the dtypes of other packages (ml_dtypes' types) from here on;
# its pickle copies their arrays into the pickle rather than out of band.
_FIRST_USER_DTYPE = 256


def register() -> None:
    """Move PyTorch tensors and ml_dtypes' arrays through Ray as vakra packets.

    Registers Ray serializers in this process. Affects Ray's serialization only
    (plain ``pickle`` is untouched); calling it again changes nothing. Does
    nothing to tensors when PyTorch is not installed. Run it in the driver and
    in every worker, through Ray's setup hook::

        ray.init(runtime_env={"worker_process_setup_hook": "vakra.ray.register"})
        vakra.ray.register()

    Returns
    -------
    None

    Raises
    ------
    ImportError
        On importing :mod:`vakra.ray` without Ray, naming the extra.

    Examples
    --------
    >>> import vakra.ray
    >>> vakra.ray.register()
    >>> vakra.ray.register()  # once is enough; again changes nothing
    """
    ray.util.register_serializer(np.ndarray, serializer=_array_parts, deserializer=_array_from_parts)
    try:
        import torch
    except ImportError:
        return
    ray.util.register_serializer(torch.Tensor, serializer=_tensor_parts, deserializer=_tensor_from_parts)


class Packet:
    """One vakra packet that travels through Ray as one out-of-band buffer.

    A packet held as ``bytes`` is copied by every ``ray.get``; wrapped in a
    ``Packet`` it pickles (protocol 5) as one out-of-band buffer, and unpickled
    from Ray it views the object store: ``vakra.loads(packet.data)`` decodes
    views of the store.

    Parameters
    ----------
    data : bytes-like
        A buffer that starts with a whole packet; bytes after it are left out.
        It is not copied.

    Attributes
    ----------
    data : memoryview
        A read-only view of exactly the packet.

    Raises
    ------
    ValueError
        When ``data`` does not start with a whole packet.

    Examples
    --------
    >>> import pickle, vakra.ray
    >>> packet = vakra.ray.Packet(vakra.dumps(np.arange(3)) + b"what follows")
    >>> packet
    <vakra.ray.Packet of 88 bytes>
    >>> vakra.loads(pickle.loads(pickle.dumps(packet, protocol=5)).data)
    array([0, 1, 2])
    """

    __slots__ = ("data",)

    def __init__(self, data: Any) -> None:
        view = memoryview(data).cast("B").toreadonly()
        length = packet_length(view)
        if length < 0:
            raise ValueError(f"not a whole vakra packet: {-length} more bytes needed")
        self.data = view[:length]

    def __len__(self) -> int:
        return self.data.nbytes

    def __bytes__(self) -> bytes:
        return self.data.tobytes()

    def __reduce_ex__(self, protocol: int):
        if protocol >= 5:
            return Packet, (pickle.PickleBuffer(self.data),)
        return Packet, (self.data.tobytes(),)

    def __repr__(self) -> str:
        return f"<vakra.ray.Packet of {len(self)} bytes>"


def _array_parts(array: np.ndarray) -> Any:
    """What Ray pickles for ``array``: the pieces of its packet where NumPy's
    pickle would copy it, else the array for NumPy's own pickling. float4,
    which vakra packs two to a byte, would be copied either way."""
    if array.dtype.num >= _FIRST_USER_DTYPE and getattr(DENSE.get(array.dtype.name), "unit_elements", 0) == 1:
        pieces = _encoded_pieces(array)
        if pieces is not None:
            return pieces
    return _OwnPickle(array)


def _array_from_parts(parts: Any) -> np.ndarray:
    return parts if isinstance(parts, np.ndarray) else _native.loads_frames(parts, False, False)


def _tensor_parts(tensor: Any) -> Any:
    """What Ray pickles for ``tensor``: its packet's pieces (bodies out of
    band), or the tensor for torch's own pickling when vakra cannot store it
    as it is."""
    import torch

    if (tensor.layout is torch.strided and tensor.device.type == "cpu" and not tensor.is_nested
            and not tensor.is_quantized and not tensor.is_conj() and not tensor.is_neg()
            and not tensor.__dict__ and (tensor.is_leaf or not tensor.requires_grad)):
        pieces = _encoded_pieces(tensor.detach())
        if pieces is not None:
            return tensor.requires_grad, pieces
    return _OwnPickle(tensor)


def _tensor_from_parts(parts: Any) -> Any:
    if not isinstance(parts, tuple):  # pickled by torch, already rebuilt
        return parts
    from .torch import as_tensor

    requires_grad, pieces = parts
    array = _native.loads_frames(pieces, False, False)
    with warnings.catch_warnings():  # read-only store memory: the module's notes say why that is allowed
        warnings.filterwarnings("ignore", "The given NumPy array is not writable", UserWarning)
        tensor = as_tensor(array)
    return tensor.requires_grad_(True) if requires_grad else tensor


def _encoded_pieces(value: Any) -> list | None:
    """``value``'s packet as Ray should carry it: each array body (a view of
    the value's memory) as an out-of-band buffer, each run of framing between
    them joined into one in-band piece. None when vakra does not store
    ``value`` as it is."""
    try:
        frames = _native.encode_segments(value, False, False, STANDARD_ALIGNMENT, convert)
    except (TypeError, ValueError, OverflowError):
        return None
    pieces: list = []
    run = bytearray()  # small bodies copied into the framing then view memory the value owns
    for frame in frames:
        if type(frame) is not memoryview:
            run += frame
            continue
        if run:
            pieces.append(run)
            run = bytearray()
        pieces.append(pickle.PickleBuffer(frame))
    if run:
        pieces.append(run)
    return pieces


class _OwnPickle:
    """Pickles as the value it holds, by the value's own rules, so that Ray's
    table (which sends the value's type to vakra first) is not asked again."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __reduce_ex__(self, protocol: int):
        return self.value.__reduce_ex__(protocol)
