"""Python values to packets: the dispatch behind dumps, dump and dump_into.

The extension encodes arrays, sparse matrices and dicts of them in one native
call. Values it cannot take (string and quantized tensors, lists of strings,
arrays in a non-native byte order) are encoded here one by one, and the dicts
that hold them are framed with ``encode_bundle_rs``. One walk over a dict
decides which road it takes, so dicts of plain arrays pay only that walk.
"""

from __future__ import annotations

import sys
from typing import Any, NamedTuple

import numpy as np

from . import vakra_rs
from ._foreign import as_array, c_order
from .quantize import QuantizedTensor
from .ragged import StringTensor

MAX_NESTING_DEPTH = 64
MAX_BUNDLE_ENTRIES = 255
SPARSE_FORMATS = ("coo", "csr", "csc")

_TOO_DEEP = f"Nesting too deep: values may be nested at most {MAX_NESTING_DEPTH} levels below the top-level value"

_ndarray = np.ndarray
_dumps_rs = vakra_rs.dumps_rs


class Options(NamedTuple):
    """Encoder options, in the extension's positional order."""

    check_integrity: bool = False
    compress: bool = False
    alignment: int = 64


def engine_can_encode(value: Any, depth: int = 0) -> bool:
    """True when ``dumps_rs`` encodes ``value`` exactly as vakra means it.

    False for values this module has to encode itself. Raises for values
    nothing can encode, so that a dict fails before any of it is encoded.
    """
    if depth > MAX_NESTING_DEPTH:
        raise ValueError(_TOO_DEEP)
    if type(value) is _ndarray:
        return value.dtype.isnative and value.flags.c_contiguous
    # SciPy's dok_matrix is a dict subclass: a dict that names a sparse format is a matrix.
    if isinstance(value, dict) and (type(value) is dict or _sparse_format(value) is None):
        can = True
        for item in dict.values(value):
            can = engine_can_encode(item, depth + 1) and can
        return can
    if isinstance(value, (StringTensor, QuantizedTensor, list, np.generic)):
        return False
    if isinstance(value, _ndarray):
        _check_array_subclass(value)
        return value.dtype.isnative and value.flags.c_contiguous
    sparse_format = _sparse_format(value)
    if sparse_format is None:
        if as_array(value) is not None:
            return False
        raise TypeError(f"vakra cannot encode a {type(value).__name__!r} object; it encodes NumPy arrays, SciPy "
                        "sparse matrices, StringTensor, QuantizedTensor, lists of str or bytes and dicts of these")
    if sparse_format not in SPARSE_FORMATS:
        raise ValueError(f"Unknown sparse format {sparse_format!r}: vakra stores coo, csr and csc; "
                         f"convert with .tocsr(), .tocsc() or .tocoo()")
    if depth + 1 > MAX_NESTING_DEPTH:  # the components sit one level below
        raise ValueError(_TOO_DEEP)
    return True


def encode(value: Any, options: Options, depth: int = 0) -> bytes:
    """One packet for ``value``, taking the native road wherever it can."""
    if depth == 0 and not _is_power_of_two(options.alignment):
        # The extension checks this too, but not on the string-only roads.
        raise ValueError("Alignment must be a power of two")
    if engine_can_encode(value, depth):
        return _dumps_rs(value, *options)
    if isinstance(value, dict):
        value = _foreign_as_arrays(value)
        if engine_can_encode(value, depth):
            return _dumps_rs(value, *options)
        return _encode_bundle(value, options, depth)
    if isinstance(value, list):
        value = _string_tensor(value)
    if isinstance(value, StringTensor):
        offsets, payload, count = value.to_raw()
        return vakra_rs.dumps_string_rs(offsets, payload, count, options.check_integrity)
    if isinstance(value, QuantizedTensor):
        return vakra_rs.dumps_quantized_rs(value, options.check_integrity, options.alignment)
    value = native_array(value)
    if isinstance(value, tuple):  # (array, wire dtype code): the array's bytes under another element type
        array, dtype_code = value
        packet = bytearray(_dumps_rs(array, *options))
        packet[7] = dtype_code  # the version 4 header's dtype byte
        return bytes(packet)
    return _dumps_rs(value, *options)


def _is_power_of_two(value: int) -> bool:
    return isinstance(value, int) and value > 0 and value & (value - 1) == 0


def native_array(value: Any) -> Any:
    """An array the extension can read as is; other values pass unchanged.

    The wire is little-endian and the extension copies bytes as they lie, so
    a byte-swapped array is converted to native order first (one copy).
    NumPy scalars become 0-d arrays, non-contiguous arrays C-ordered copies
    and foreign arrays (torch, DLPack, the array interface) NumPy views.
    """
    if isinstance(value, np.generic):
        return np.asarray(value)
    if isinstance(value, _ndarray):
        _check_array_subclass(value)
        return c_order(value)
    array = as_array(value)
    return value if array is None else array


def _foreign_as_arrays(values: dict) -> dict:
    """``values`` with foreign arrays at any depth replaced by NumPy views,
    so that a dict of tensors can take the native road in one call."""
    converted = {}
    for key, value in dict.items(values):
        if isinstance(value, dict):
            converted[key] = value if _sparse_format(value) is not None else _foreign_as_arrays(value)
        elif isinstance(value, (_ndarray, np.generic, StringTensor, QuantizedTensor, list)):
            converted[key] = value
        else:
            array = as_array(value)
            converted[key] = value if array is None or isinstance(array, tuple) else array
    return converted


def _encode_bundle(values: dict, options: Options, depth: int) -> bytes:
    if len(values) > MAX_BUNDLE_ENTRIES:
        raise ValueError(f"Bundle has {len(values)} entries; the wire format encodes the entry count in a single "
                         f"byte, so at most {MAX_BUNDLE_ENTRIES} entries are supported")
    entries = []
    for key, value in dict.items(values):
        if not isinstance(key, str):
            raise TypeError(f"dict keys must be str, not {type(key).__name__!r}")
        entries.append((key, encode(value, options, depth + 1)))
    return vakra_rs.encode_bundle_rs(entries)


def _string_tensor(strings: list) -> StringTensor:
    try:
        return StringTensor(strings)
    except TypeError as error:
        raise TypeError(f"a list is encoded as a string tensor: {error}; wrap numbers in numpy.asarray()") from None


def _check_array_subclass(array: np.ndarray) -> None:
    # A masked array exists only once numpy.ma has been imported; the test
    # does not import it.
    masked = sys.modules.get("numpy.ma")
    if masked is not None and isinstance(array, masked.MaskedArray):
        raise TypeError("vakra cannot encode a masked array's mask; encode .data and .mask separately")


def _sparse_format(value: Any) -> str | None:
    try:
        sparse_format = value.format
    except Exception:
        return None
    return sparse_format if isinstance(sparse_format, str) else None
