"""What one entry of a model file holds, checked by every reader of a foreign
format from the source's header, before any tensor's bytes are read: a
refusal then costs the reading of a header, not of the tensors before it."""

from __future__ import annotations

from .._facts import MAX_ELEMENTS, MAX_NDIM, DtypeFacts

__all__ = ["check_entry"]


def check_entry(name: str, row: DtypeFacts, shape: tuple[int, ...], where: str = "") -> None:
    """ValueError naming the entry (of the file `where`, when given) when a
    model file cannot hold an array of `row`'s type in `shape`."""
    name = f"{name!r} of {where}" if where else repr(name)
    count = 1
    for dim in shape:
        count *= dim
    if len(shape) > MAX_NDIM or count > MAX_ELEMENTS or any(dim > 0xFFFFFFFF for dim in shape):
        raise ValueError(f"entry {name} has shape {list(shape)}: a model file entry holds at most "
                         f"{MAX_ELEMENTS} elements in {MAX_NDIM} dimensions of at most 2^32 - 1")
    if row.unit_elements != 1 and (not shape or shape[-1] % row.unit_elements):
        raise ValueError(f"entry {name} is {row.name} of shape {list(shape)}: it is stored "
                         f"{row.unit_elements} elements to a byte, so its last dimension must be a multiple of "
                         f"{row.unit_elements}")
