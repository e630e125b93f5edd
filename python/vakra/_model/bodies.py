"""Tensors too large for a packet, stored in a model file as bodies: the raw
C-order bytes of one dense array at an aligned offset, whose dtype and shape
the record states (its ``bodies`` field; ``vakra._model.model_file``
describes the layout). A packet holds at most ``MAX_ELEMENTS`` elements in
dimensions of a u32; a body holds any number the file has bytes for.

Saving: ``describe`` tells, from a value's shape alone, whether it needs a
body (``declared`` reads one declared ahead, for values streamed one at a
time), and ``body_bytes`` gives the bytes the writer writes straight from
the value's memory. A body is never compressed nor checksummed, whatever
``compress`` and ``check_integrity`` say (they apply to packets): the
record, which is checksummed, states its dtype, shape, offset and length,
and a reader checks those against the file, not the bytes themselves. Reading: ``body_array`` views the file's mapping (no copy),
``body_facts`` is what ``vakra.info`` would say of it.
"""

from __future__ import annotations

import sys
from math import prod
from typing import Any

import numpy as np

from .._encoding import convert
from .._facts import BY_TORCH_NAME, DTYPES, MAX_ELEMENTS, MAX_NDIM, DtypeFacts
from .._packing import packed_units, unpacked_elements

__all__ = ["fits_packet", "describe", "body_of", "declared", "body_bytes", "body_array", "body_facts", "BY_CODE"]

BY_CODE: dict[int, DtypeFacts] = {row.code: row for row in DTYPES.values() if row.dense}
_MAX_DIM = 0xFFFFFFFF  # a packet's dimensions travel as u32s


def fits_packet(shape: tuple[int, ...]) -> bool:
    """Whether a dense packet can hold an array of `shape` (more than
    ``MAX_NDIM`` dimensions never fit a body either: the packet refuses them)."""
    return len(shape) > MAX_NDIM or (prod(shape) <= MAX_ELEMENTS and all(dim <= _MAX_DIM for dim in shape))


def describe(value: Any) -> tuple[int, tuple[int, ...]] | None:
    """``(dtype code, shape)`` of a value that needs a body (an array or
    tensor too large for a packet), else None. Costs a look at the shape for
    every other value."""
    shape = _rough_shape(value)
    # torch's packed float4 counts bytes: twice as many elements may be over the limit.
    if shape is None or fits_packet(shape[:-1] + (2 * shape[-1],) if shape else shape):
        return None
    return body_of(value)


def body_of(value: Any) -> tuple[int, tuple[int, ...]] | None:
    """``(dtype code, shape)`` a value would have as a body, whatever its
    size; None for a value that is no dense array or tensor."""
    wire = _wire_array(value)
    return None if wire is None else (wire[1].code, wire[2])


def declared(name: str, dtype: Any, shape: Any) -> tuple[int, tuple[int, ...]]:
    """``(dtype code, shape)`` of a body declared ahead for entry `name`:
    `dtype` a NumPy or ml_dtypes dtype, a torch dtype or the name
    ``vakra.info`` gives ("bfloat16"), `shape` counting elements (a packed
    float4 pair counts two). TypeError or ValueError naming the entry for
    anything else."""
    text = str(dtype)
    if text.startswith("torch."):
        row = BY_TORCH_NAME.get(text.removeprefix("torch."))
    else:
        try:
            row = DTYPES.get(dtype if isinstance(dtype, str) else np.dtype(dtype).name)
        except TypeError:
            row = None
    if row is None or not row.dense:
        raise ValueError(f"entry {name!r} is declared a body of {text}, which is no dense element type vakra stores")
    try:
        dims = tuple(shape)
    except TypeError:
        raise TypeError(f"entry {name!r} is declared a body of shape {shape!r}, not a sequence of ints") from None
    if not all(isinstance(dim, (int, np.integer)) and not isinstance(dim, bool) and dim >= 0 for dim in dims):
        raise TypeError(f"entry {name!r} is declared a body of shape {shape!r}, not a sequence of ints >= 0")
    dims = tuple(int(dim) for dim in dims)
    if any(dim >= 1 << 63 for dim in dims) or row.body_size(dims) >= 1 << 64:
        raise ValueError(f"entry {name!r} is declared a body of shape {list(dims)}: more than 2^64 bytes, which no "
                         "file holds")
    return row.code, dims


def body_bytes(value: Any) -> np.ndarray:
    """The body of a value ``describe`` accepted: a uint8 view of its memory
    (a copy only for arrays that are not C-contiguous and for float4 arrays
    of one element per byte, which are packed two to a byte)."""
    wire = _wire_array(value)
    assert wire is not None  # describe said so
    return wire[0].reshape(-1).view(np.uint8)


def body_array(buffer: Any, offset: int, code: int, shape: tuple[int, ...]) -> np.ndarray:
    """The array of the body at `offset` in `buffer` (a file's mapping): a
    view of it, writable as the buffer is; float4 is unpacked into memory of
    its own, one element per byte, as NumPy holds it."""
    row = BY_CODE[code]
    dtype = _numpy_dtype(row)
    if row.unit_elements == 1:
        return np.ndarray(shape, dtype, buffer=buffer, offset=offset)
    units = np.ndarray(shape[:-1] + (shape[-1] // row.unit_elements,), np.uint8, buffer=buffer, offset=offset)
    return unpacked_elements(units, dtype)


def body_facts(code: int, shape: tuple[int, ...], length: int) -> dict[str, Any]:
    """What ``vakra.info`` says of a dense packet, said of a body."""
    row = BY_CODE[code]
    return {"version": None, "flags": 0, "dtype_code": code, "ndim": len(shape), "aligned": True,
            "integrity_protected": False, "shape": shape, "total_elements": prod(shape), "kind": "dense",
            "dtype": row.name, "offset": 0, "size": length, "body_size": length, "compressed": False, "body": True}


def _rough_shape(value: Any) -> tuple[int, ...] | None:
    if isinstance(value, np.ndarray):
        return value.shape
    torch = sys.modules.get("torch")
    if torch is not None and isinstance(value, torch.Tensor) and value.layout == torch.strided:
        return tuple(value.shape)
    return None


def _wire_array(value: Any) -> tuple[np.ndarray, DtypeFacts, tuple[int, ...]] | None:
    """The value's wire bytes as an array (C order), its element type and
    its shape in elements; None for an element type with no dense body."""
    converted = convert(value)
    if isinstance(converted, tuple):  # bytes of a type NumPy cannot name; torch's packed float4 counts bytes
        bits, code = converted
        row = BY_CODE.get(code)
        if row is None:
            return None
        shape = bits.shape[:-1] + (bits.shape[-1] * row.unit_elements,) if row.unit_elements != 1 else bits.shape
        return bits, row, shape
    if not isinstance(converted, np.ndarray) or converted.dtype.name not in DTYPES:
        return None
    row = DTYPES[converted.dtype.name]
    if not row.dense:
        return None
    if row.unit_elements != 1:  # ml_dtypes' float4: one element per byte, two on the wire
        if not converted.shape or converted.shape[-1] % row.unit_elements:
            return None  # the packet path refuses it with its own message
        return np.ascontiguousarray(packed_units(converted)), row, converted.shape
    return converted, row, converted.shape


def _numpy_dtype(row: DtypeFacts) -> np.dtype:
    if not row.needs_ml_dtypes:
        return np.dtype(row.name)
    try:
        import ml_dtypes
    except ImportError:
        raise ImportError(f"the entry holds {row.name} data, which NumPy reads only with ml_dtypes installed: "
                          "pip install 'vakra[bfloat16]'") from None
    return np.dtype(getattr(ml_dtypes, row.ml_dtypes_name))
