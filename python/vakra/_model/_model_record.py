"""The record at the start of a model file: what the file holds and where
(``vakra._model.model_file`` describes the whole layout).

The record is a bundle packet of five checksummed entries: ``format`` (a
string tensor naming the layout and its version), ``names`` (a string
tensor, in saved order), ``ranges`` (uint64, one row per name: the file
offset and exact length of that name's packet), ``metadata`` (a string
tensor of keys and values, alternating) and ``file_size`` (uint64, the
file's exact length); version 2 adds, in this order, ``tree`` (the
skeleton of a checkpoint tree, ``vakra._model.tree``) and ``bodies`` (the
dtype and shape of each entry stored as a raw body, ``vakra._model.bodies``). The
codec writes it and reads it: ``read_record`` is
the one reader that ``vakra.open``, ``load_file``, ``vakra ls``, ``verify``
and ``convert`` go through, so all of them refuse the same files.
"""

from __future__ import annotations

import numpy as np

from .. import _native
from .._io.streams import MODEL_RECORD_KEYS

__all__ = ["Record", "read_record", "is_record"]


class Record:
    """A model file's record, checked against the file it came from:
    ``names`` in saved order, ``ranges`` (a read-only uint64 array of one
    ``(offset, length)`` row per name), ``metadata``, the record's own
    ``length``, ``bodies``: ``(dtype code, shape)`` by the index of each
    name stored as a body, whose range is then exactly its bytes, and
    ``tree``: a checkpoint tree's skeleton, or None."""

    __slots__ = ("names", "ranges", "metadata", "length", "bodies", "tree")

    def __init__(self, names: list[str], ranges: np.ndarray, metadata: dict[str, str], length: int,
                 bodies: dict[int, tuple[int, tuple[int, ...]]], tree: str | None) -> None:
        self.names, self.ranges, self.metadata, self.length, self.bodies = names, ranges, metadata, length, bodies
        self.tree = tree  # the skeleton of a checkpoint tree whose tensors are the entries, or None


def read_record(data: memoryview, path: str) -> Record | None:
    """Reads and checks the record at the start of `data`, a whole model
    file: None when its first packet is not framed as a model file's record;
    ValueError naming `path` for a record that does not read, is damaged
    (a name twice, a range outside the file, a body's dtype, shape, length
    or alignment that do not fit), of another layout, or of a
    file that is not exactly len(data) bytes long."""
    fields = _native.read_record(data, path)
    return None if fields is None else Record(*fields)


def is_record(framing: dict) -> bool:
    """Whether a packet described by ``vakra.info`` is framed as a model file's record."""
    return framing["kind"] == "bundle" and tuple(framing["entries"])[:len(MODEL_RECORD_KEYS)] == MODEL_RECORD_KEYS
