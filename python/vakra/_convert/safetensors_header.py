"""The header of a safetensors file, read here to find each tensor's bytes,
so that the converter reads every tensor into one reused buffer instead of
memory of its own (which costs a page fault per page, every time).

The layout: a little-endian u64 header length N, N bytes of JSON (an object
of tensor names to ``{"dtype", "shape", "data_offsets": [begin, end]}``, the
shape counting elements also for F4, two to a byte, and
an optional ``"__metadata__"`` of str to str), then the tensors' bytes, at
offsets counted from the end of the header. Nothing here is trusted: the
length is bounded by the file and a limit, names and keys must be unique
(the safetensors package keeps the last of a repeated name), every tensor's
byte count must match its dtype and shape, and the tensors must cover the
data exactly, without gaps or overlaps.
"""

from __future__ import annotations

import json
import struct
from typing import Any

from .._facts import DENSE, DtypeFacts
from .entry_limits import check_entry

__all__ = ["Tensor", "read_header", "unique_keys", "SAFETENSORS_TYPES"]

# safetensors' element types vakra holds, by safetensors' name.
SAFETENSORS_TYPES: dict[str, DtypeFacts] = {row.safetensors_name: row for row in DENSE.values()
                                            if row.safetensors_name is not None}
HEADER_LIMIT = 100_000_000  # as the safetensors package
_LENGTH = struct.Struct("<Q")


class Tensor:
    """Where one tensor lies: ``start`` counted from the file's first byte."""

    __slots__ = ("name", "dtype", "shape", "start", "size", "body")

    def __init__(self, name: str, dtype: str, shape: tuple[int, ...], start: int, size: int,
                 body: bool = False) -> None:
        self.name, self.dtype, self.shape, self.start, self.size = name, dtype, shape, start, size
        self.body = body  # too large for a packet: a body in a model file


def unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    """A JSON object's pairs as a dict; ValueError when a key repeats."""
    result = dict(pairs)
    if len(result) != len(pairs):
        seen: set[str] = set()
        repeated = next(key for key, _ in pairs if key in seen or seen.add(key))
        raise ValueError(f"the name {repeated!r} is given more than once")
    return result


def read_header(prefix: bytes, file_size: int, read: Any) -> list[Tensor]:
    """The tensors of a safetensors file of `file_size` bytes, in file
    order; `prefix` is its first 8 bytes and `read(n)` reads the next n.
    Raises ValueError for anything but a sound header (an element type
    vakra does not hold included, naming the tensor)."""
    if len(prefix) < _LENGTH.size:
        raise ValueError("it is shorter than a header")
    (length,) = _LENGTH.unpack(prefix)
    if length > min(HEADER_LIMIT, file_size - _LENGTH.size):
        raise ValueError(f"its header declares {length} bytes; the file has {file_size - _LENGTH.size} after the "
                         "length")
    try:
        header = json.loads(read(length), object_pairs_hook=unique_keys)
    except (UnicodeDecodeError, RecursionError) as error:
        raise ValueError(f"its header is not JSON: {error}") from None
    if not isinstance(header, dict):
        raise ValueError("its header is not a JSON object")
    header.pop("__metadata__", None)  # read by the package
    data_start, data_size = _LENGTH.size + length, file_size - _LENGTH.size - length
    tensors = sorted((_tensor(name, fields, data_start) for name, fields in header.items()),
                     key=lambda tensor: tensor.start)
    end = data_start
    for tensor in tensors:
        if tensor.start != end:
            raise ValueError(f"tensor {tensor.name!r} starts at {tensor.start - data_start}, where the one before "
                             f"it ends at {end - data_start}: the tensors overlap or leave a gap")
        end += tensor.size
    if end != data_start + data_size:
        raise ValueError(f"its tensors cover {end - data_start} bytes of the {data_size} after the header")
    return tensors


def _tensor(name: str, fields: Any, data_start: int) -> Tensor:
    if not isinstance(fields, dict) or set(fields) != {"dtype", "shape", "data_offsets"}:
        raise ValueError(f"tensor {name!r} is not described by dtype, shape and data_offsets")
    dtype, shape, offsets = fields["dtype"], fields["shape"], fields["data_offsets"]
    if not (isinstance(shape, list) and all(type(dim) is int and dim >= 0 for dim in shape)
            and isinstance(offsets, list) and len(offsets) == 2 and all(type(o) is int and o >= 0 for o in offsets)):
        raise ValueError(f"tensor {name!r} has a malformed shape or data_offsets")
    if not isinstance(dtype, str) or dtype not in SAFETENSORS_TYPES:  # a list is not even hashable
        raise ValueError(f"entry {name!r}: vakra has no {dtype!s:.20} element type")
    row = SAFETENSORS_TYPES[dtype]
    body = check_entry(name, row, tuple(shape))
    size = row.body_size(tuple(shape))
    begin, end = offsets
    if end - begin != size:
        raise ValueError(f"tensor {name!r} of {dtype} {shape} takes {size} bytes, but its data_offsets give "
                         f"{end - begin}")
    return Tensor(name, SAFETENSORS_TYPES[dtype].name, tuple(shape), data_start + begin, size, body)
