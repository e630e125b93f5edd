"""What one entry of a model file holds, checked by every reader of a foreign
format from the source's header, before any tensor's bytes are read: a
refusal then costs the reading of a header, not of the tensors before it.

A dense array too large for a packet is stored as a body
(``vakra._model.bodies``), which holds any count of elements the file has
bytes for: what no model file holds is an array of more than ``MAX_NDIM``
dimensions and a packed type whose last dimension it cannot fill (a shape
of more bytes than a u64 counts is refused by the model file's writer as
it declares the bodies, before any value is read).
"""

from __future__ import annotations

from .._facts import MAX_ELEMENTS, MAX_NDIM, DtypeFacts
from .._model.bodies import fits_packet

__all__ = ["check_entry"]



def check_entry(name: str, row: DtypeFacts, shape: tuple[int, ...], where: str = "", body: bool = True) -> bool:
    """Whether a model file stores an array of `row`'s type in `shape` as a
    body (it is too large for a packet); ValueError naming the entry (of the
    file `where`, when given) when no model file can hold it, or when it
    needs a body and the value cannot be one (not `body`: a quantized
    tensor, which is a packet)."""
    name = f"{name!r} of {where}" if where else repr(name)
    if len(shape) > MAX_NDIM:
        raise ValueError(f"entry {name} has shape {list(shape)}: a model file entry has at most {MAX_NDIM} "
                         "dimensions")
    if row.unit_elements != 1 and (not shape or shape[-1] % row.unit_elements):
        raise ValueError(f"entry {name} is {row.name} of shape {list(shape)}: it is stored "
                         f"{row.unit_elements} elements to a byte, so its last dimension must be a multiple of "
                         f"{row.unit_elements}")
    if fits_packet(shape):
        return False
    if not body:
        raise ValueError(f"entry {name} has shape {list(shape)}: a {row.name} packet holds at most {MAX_ELEMENTS:,} "
                         "elements in dimensions of at most 2^32 - 1, and only a dense array is stored beyond that")
    return True

