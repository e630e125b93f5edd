"""The record at the start of a model file: what the file holds and where
(see ``vakra.model_file`` for the whole layout).

The record is a bundle packet of five entries, every body checksummed:
``format`` (a string tensor naming the layout and its version), ``names``
(a string tensor, in saved order), ``ranges`` (uint64, one row per name: the
file offset and exact length of that name's packet), ``metadata`` (a string
tensor of keys and values, alternating) and ``file_size`` (uint64, the
file's exact length). Its length depends only on the names and the metadata,
so a writer writes it first and fills in ``ranges`` and ``file_size`` last.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _native
from .._io.packets import loads
from .._io.streams import MODEL_RECORD_KEYS
from ..ragged import StringTensor

__all__ = ["FORMAT", "Record", "record_fields", "read_record", "is_record"]

FORMAT = "vakra model file 1"
_KEYS = list(MODEL_RECORD_KEYS)


def record_fields(names: list[str], metadata: dict[str, str], ranges: np.ndarray,
                  file_size: int) -> list[tuple[str, Any]]:
    """The record's entries, in order."""
    pairs = [text for item in metadata.items() for text in item]
    return [("format", StringTensor([FORMAT])), ("names", StringTensor(names)), ("ranges", ranges),
            ("metadata", StringTensor(pairs)), ("file_size", np.array(file_size, np.uint64))]


class Record:
    """A model file's record, checked against the file it came from."""

    __slots__ = ("names", "ranges", "metadata", "length")

    def __init__(self, names: list[str], ranges: np.ndarray, metadata: dict[str, str], length: int) -> None:
        self.names, self.ranges, self.metadata, self.length = names, ranges, metadata, length


def is_record(framing: dict[str, Any]) -> bool:
    """Whether a packet described by ``vakra.info`` is framed as a model file's record."""
    return framing["kind"] == "bundle" and list(framing["entries"]) == _KEYS


def read_record(data: memoryview, path: str) -> Record:
    """Reads and checks the record at the start of `data`, a whole model
    file. Raises ValueError naming `path` for anything but a sound model
    file of exactly len(data) bytes."""
    try:
        framing = _native.walk(data)
    except ValueError as error:
        raise ValueError(f"{path} is not a readable vakra model file: {error}") from None
    if not is_record(framing):
        raise ValueError(f"{path} is not a vakra model file: its first packet is not a model file's record "
                         "(a file of plain packets is read with vakra.load)")
    length = framing["size"]
    try:
        fields = loads(data[:length])
    except ValueError as error:
        raise ValueError(f"{path}: damaged vakra model file: its record does not decode: {error}") from None
    if not isinstance(fields, dict):  # a bundle holding a ragged or inline packet decodes to None
        raise ValueError(f"{path}: damaged vakra model file: its record's entries have the wrong types or shapes")
    version, names, ranges, pairs, file_size = (fields[key] for key in _KEYS)
    if not (isinstance(version, StringTensor) and version.tolist() == [FORMAT]):
        raise ValueError(f"{path}: unsupported vakra model file layout {_shown(version)}; this vakra reads "
                         f"{FORMAT!r}")
    sound = (isinstance(names, StringTensor) and isinstance(pairs, StringTensor) and len(pairs) % 2 == 0
             and _is_uint64(ranges, (len(names), 2)) and _is_uint64(file_size, ()))
    if not sound:
        raise ValueError(f"{path}: damaged vakra model file: its record's entries have the wrong types or shapes")
    if int(file_size) != len(data):
        raise ValueError(f"{path}: the file is {len(data)} bytes but its record says {int(file_size)}: it was cut "
                         "short or changed after it was saved")
    offsets, lengths = ranges[:, 0], ranges[:, 1]
    if bool(np.any(offsets < length)) or bool(np.any(offsets > len(data))) or \
            bool(np.any(lengths > len(data) - offsets)):
        raise ValueError(f"{path}: damaged vakra model file: its record places entries outside the file")
    items = pairs.tolist()
    # A copy: a view would keep the file's mapping open after File.close().
    return Record(names.tolist(), ranges.copy(), dict(zip(items[::2], items[1::2])), length)


def _is_uint64(value: Any, shape: tuple) -> bool:
    return isinstance(value, np.ndarray) and value.dtype == np.uint64 and value.shape == shape


def _shown(version: Any) -> str:
    if isinstance(version, StringTensor) and len(version) == 1:
        return repr(version.raw[0].decode("utf-8", "replace"))
    return "(unreadable)"
