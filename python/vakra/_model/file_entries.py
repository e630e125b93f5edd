"""What a vakra file holds, entry by entry, read from its headers alone: the
entries of a model file (``vakra.save``), of a file of one packet holding a
dict, or of a file of several packets (successive ``vakra.dump`` calls).
``vakra ls``, ``vakra verify`` and the converter read files through here.

Naming: a model file's entries by their saved names; a single packet's dict
entries by their keys; with several packets, packet ``i`` is ``[i]`` and its
dict entries ``[i]/key``; a packet that holds no dict is ``[i]``. Nested dict
entries are reached through ``facts["entries"]``, as ``vakra.info`` nests them.
"""

from __future__ import annotations

from typing import Any

from .. import _native
from ._model_record import Record, read_record
from .bodies import body_facts

__all__ = ["NotVakra", "Entry", "Contents", "read_contents"]


class NotVakra(ValueError):
    """The file does not start with a vakra packet at all."""


class Entry:
    """One named value: ``facts`` (what ``vakra.info`` says of its packet),
    ``packet`` (its bytes, a view of the file's), ``offset`` (where they
    start in the file) and, in a model file, ``tied`` (the earlier name
    whose packet it shares, or None)."""

    __slots__ = ("name", "facts", "packet", "offset", "tied")

    def __init__(self, name: str, facts: dict[str, Any], packet: memoryview, offset: int,
                 tied: str | None = None) -> None:
        self.name, self.facts, self.packet, self.offset, self.tied = name, facts, packet, offset, tied


class Contents:
    """A file's entries in file order. ``model``: a model file, whose
    ``metadata`` it carries, else ``packets`` counts them; ``failure``: why
    reading stopped before the end of the file (a damaged packet's framing,
    a damaged record), naming the file, else None. ``damaged`` names the
    model file's entries whose headers do not read. ``tree``: the skeleton
    of the checkpoint tree a model file was saved from, or None."""

    def __init__(self, model: bool) -> None:
        self.model = model
        self.packets = 0  # a file of packets: how many were read
        self.metadata: dict[str, str] = {}
        self.entries: list[Entry] = []
        self.damaged: list[tuple[str, str]] = []  # (name, why) of entries whose headers do not read
        self.failure: str | None = None
        self.tree: str | None = None

    def release(self) -> None:
        """Drops the entries' views, so that the file's mapping can close."""
        for entry in self.entries:
            entry.packet.release()
        self.entries.clear()


def read_contents(data: memoryview, path: str) -> Contents:
    """The contents of `data`, the whole file at `path`. Raises NotVakra
    when it does not start with a vakra packet (empty, another format)."""
    if not len(data):
        raise NotVakra(f"{path} is empty")
    try:
        _native.probe(data[:16])
    except ValueError as error:
        raise NotVakra(f"{path} is not a vakra file: {error}") from None
    try:
        first = _native.walk(data)
    except ValueError as error:
        contents = Contents(False)
        contents.failure = f"{path}: packet 0 is not readable: {error}"
        return contents
    try:
        record = read_record(data, path)
    except ValueError as error:  # a model file's record, damaged
        contents = Contents(True)
        contents.failure = str(error)
        return contents
    return _packets(data, path, first) if record is None else _model(data, record)


def _model(data: memoryview, record: Record) -> Contents:
    contents = Contents(True)
    contents.metadata = record.metadata
    contents.tree = record.tree
    first_name: dict[int, str] = {}
    for index, (name, (offset, length)) in enumerate(zip(record.names, record.ranges.tolist())):
        packet = data[offset:offset + length]
        body = record.bodies.get(index)
        if body is not None:  # checked with the record; facts["body"] says its bytes are no packet
            tied = first_name.setdefault(offset, name)
            contents.entries.append(Entry(name, body_facts(*body, length), packet, offset, None if tied == name else tied))
            continue
        try:
            facts = _native.walk(packet)
            if facts["size"] != length:
                raise ValueError(f"its packet measures {facts['size']} bytes where the record says {length}")
        except ValueError as error:
            packet.release()
            contents.damaged.append((name, str(error)))
            continue
        tied = first_name.setdefault(offset, name)
        contents.entries.append(Entry(name, facts, packet, offset, None if tied == name else tied))
    return contents


def _packets(data: memoryview, path: str, first: dict[str, Any]) -> Contents:
    contents = Contents(False)
    several = first["size"] < len(data)
    number, offset, facts = 0, 0, first
    while True:
        packet = data[offset:offset + facts["size"]]
        label = f"[{number}]" if several else ""
        if facts["kind"] == "bundle":
            for key, child in facts["entries"].items():
                start = child["offset"]
                contents.entries.append(Entry(f"{label}/{key}" if label else key, child,
                                              packet[start:start + child["size"]], offset + start))
        else:
            contents.entries.append(Entry(label or "[0]", facts, packet, offset))
        number, offset = number + 1, offset + facts["size"]
        contents.packets = number
        if offset >= len(data):
            return contents
        try:
            facts = _native.walk(data[offset:])
        except ValueError as error:
            contents.failure = f"{path}: packet {number} at byte {offset} is not readable: {error}"
            return contents
