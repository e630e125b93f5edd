"""Where a model file's packets and padding go (see ``vakra.model_file``).

A value to place is a tree of nodes: a ``Leaf`` is a packet written as the
encoder produced it; a ``Branch`` is a bundle or sparse packet whose children
sit in slots (a u32 length, then the child packet). Decoders give each child
exactly its slot and ignore bytes after a complete child inside it, so zero
bytes at the end of a slot are padding that every reader skips. The one
exception is a compressed array, whose LZ4 frame runs to the end of its slot:
its slot takes no padding.

The rule: every array or quantized packet that is not compressed starts at a
file offset that is a multiple of the alignment. Its body is aligned relative to
its own first byte, so it is then aligned in the file and in a mapping of it.
Placing a node walks it in file order; a packet that needs aligning takes the
padding it needs at the end of the last slot before it that can take some,
moving everything in between (compressed arrays, headers and keys) along.
When no such slot exists since the previous aligned packet (right after a
compressed array, or after a packet too long for any slot), a filler packet
goes in between, which only a new top-level packet can have before it: the
current bundle is then closed.
"""

from __future__ import annotations

import os
import struct
from typing import Any

import numpy as np

from .. import _native

__all__ = ["Leaf", "Branch", "Slot", "FileWriter", "MAX_SLOT", "SlotTooLong", "bundle_head"]

MAX_SLOT = 0xFFFFFFFF  # a slot's length travels as a u32
MAX_BUNDLE_ENTRIES = 255  # a bundle's entry count is one byte
_U32 = struct.Struct("<I")
_BUNDLE_HEADER = b"VKRA\x04\x10\x00\x00"  # magic, version 4, flags FLAG_BUNDLE, dtype 0; then count and reserved
_BUNDLE_HEAD_LENGTH = 10
_SHORTEST_FILLER = 15  # a uint8 vector with alignment 1: header, one dimension, the alignment byte
_BIG_PIECE = 1 << 20  # pieces this long go to the file straight from their memory
_IOV_MAX = os.sysconf("SC_IOV_MAX") if hasattr(os, "sysconf") else 16
_BUFFER_LIMIT = 4 << 20


class Leaf:
    """A packet as the encoder wrote it: its pieces (bytes, or memoryviews of
    the values' own memory) in order. ``aligned``: its start must be aligned
    (arrays and quantized tensors, whose bodies are aligned relative to it).
    ``paddable``: its slot may end in padding (all but compressed arrays)."""

    __slots__ = ("pieces", "length", "aligned", "paddable")

    def __init__(self, pieces: Any, length: int, aligned: bool, paddable: bool) -> None:
        self.pieces, self.length, self.aligned, self.paddable = pieces, length, aligned, paddable


class Slot:
    """One child of a branch: ``prefix`` comes before the u32 slot length (a
    bundle entry's key with its own length; nothing for sparse components);
    ``pad`` zero bytes follow the child; ``path`` names it in errors."""

    __slots__ = ("prefix", "node", "pad", "path")

    def __init__(self, prefix: bytes, node: Leaf | Branch, path: tuple) -> None:
        self.prefix, self.node, self.pad, self.path = prefix, node, 0, path

    def widen(self, pad: int) -> int:
        self.pad += pad
        return pad


class Branch:
    """A bundle or sparse packet: ``head`` (header and shape), then its slots.
    ``length`` is known once the branch has been placed."""

    __slots__ = ("head", "slots", "length")

    def __init__(self, head: bytes, slots: list[Slot]) -> None:
        self.head, self.slots, self.length = head, slots, 0


def bundle_head(count: int) -> bytes:
    """The 10-byte header of a bundle of `count` entries."""
    return _BUNDLE_HEADER + bytes((count, 0))


class SlotTooLong(ValueError):
    """A child of a nested branch is too long for its u32 slot length."""

    def __init__(self, slot: Slot, length: int) -> None:
        super().__init__("Malformed vakra packet")  # the codec's word for a length that does not fit
        self.path, self.length = slot.path, length


class _Filler:
    """Room before a new top-level packet: a filler packet of at least
    _SHORTEST_FILLER bytes, or nothing."""

    __slots__ = ("length", "alignment")

    def __init__(self, alignment: int) -> None:
        self.length, self.alignment = 0, alignment

    def widen(self, pad: int) -> int:
        while pad < _SHORTEST_FILLER:
            pad += self.alignment
        self.length = pad
        return pad


class _WrittenSlot:
    """The slot of the last child written: its end is the end of the file so
    far, so it may still take padding, written before the next packet (and
    its u32 length at `length_at` patched)."""

    __slots__ = ("length_at", "pad")

    def __init__(self, length_at: int) -> None:
        self.length_at, self.pad = length_at, 0

    def widen(self, pad: int) -> int:
        self.pad += pad
        return pad


class _NoRoom(Exception):
    """A packet needs aligning and nothing before it can take padding."""


def takes_padding(node: Leaf | Branch) -> bool:
    return type(node) is Branch or node.paddable


def _place(node: Leaf | Branch, state: list, alignment: int) -> None:
    """Walks `node` starting at file offset state[0], with state[1] the last
    place that can still take padding (or None): pads every slot so that each
    packet that needs it starts aligned, and sets every branch's length."""
    if type(node) is Leaf:
        if node.aligned:
            pad = -state[0] % alignment
            if pad:
                if state[1] is None:
                    raise _NoRoom
                state[0] += state[1].widen(pad)
            state[1] = None  # padding before this packet would move it
        state[0] += node.length
        return
    state[0] += len(node.head)
    for slot in node.slots:
        slot.pad = 0
        state[0] += len(slot.prefix) + 4
        _place(slot.node, state, alignment)
        if takes_padding(slot.node):
            state[1] = slot
    length = len(node.head)
    for slot in node.slots:
        child = slot.node.length + slot.pad
        if child > MAX_SLOT:
            raise SlotTooLong(slot, child)
        length += len(slot.prefix) + 4 + child
    node.length = length


class FileWriter:
    """Writes top-level packets to a file descriptor from offset 0: children
    gathered into bundles of at most 255 entries, or packets of their own.
    Small pieces are gathered in a buffer; long ones go to the file straight
    from their memory. Lengths written before their final value was known (a
    slot that took padding later, a bundle's entry count) are patched in
    place."""

    def __init__(self, descriptor: int, alignment: int) -> None:
        self.alignment = alignment
        self.position = 0  # file offset of the next byte
        self._descriptor = descriptor
        self._buffer = bytearray()
        self._buffer_start = 0
        # The last child written, whose slot may still take padding: where its
        # u32 length lies (-1: no such child) and that length.
        self._last_at = -1
        self._last_length = 0
        self._bundle_count_at: int | None = None  # the open bundle's count byte
        self._bundle_count = 0

    def add(self, prefix: bytes, node: Leaf | Branch, alone: bool = True) -> int:
        """Adds `node` as the next child of the open bundle (`prefix`: its key
        with the key's u32 length), opening a bundle when none is open or the
        open one is full; a node too long for a slot becomes a packet of its
        own, or a SlotTooLong error without `alone`. Returns the file offset
        of the node's packet."""
        if self._bundle_count_at is not None and self._bundle_count == MAX_BUNDLE_ENTRIES:
            self.close_bundle()
        opening = self._bundle_count_at is None
        framing = (_BUNDLE_HEAD_LENGTH if opening else 0) + len(prefix) + 4
        try:
            room = self._place(node, framing, opening)
        except _NoRoom:
            self.close_bundle()  # only a new top-level packet can have a filler before it
            opening = True
            framing += _BUNDLE_HEAD_LENGTH
            room = self._place(node, framing, opening)
        # The slot's padding, added later, stays below the alignment.
        if node.length > MAX_SLOT - (self.alignment - 1):
            if not alone:
                raise SlotTooLong(Slot(prefix, node, ()), node.length)
            return self.add_packet(node)
        self._write_room(room)
        if opening:
            self._bundle_count_at = self.position + 8
            self._bundle_count = 0
            self.write(bundle_head(0))
        self.write(prefix + _U32.pack(node.length))
        offset = self.position
        self._emit(node)
        self._bundle_count += 1
        self._last_at, self._last_length = (offset - 4 if takes_padding(node) else -1), node.length
        return offset

    def add_bytes(self, prefix: bytes, packet: bytes, aligned: bool, paddable: bool) -> int:
        """add() for a small packet given whole: what a model of many small
        tensors costs per entry, so the common case skips building a node."""
        last_at = self._last_at
        if self._bundle_count_at is None or self._bundle_count == MAX_BUNDLE_ENTRIES or (aligned and last_at < 0):
            return self.add(prefix, Leaf((packet,), len(packet), aligned, paddable))
        start = self.position + len(prefix) + 4
        buffer = self._buffer
        pad = -start % self.alignment if aligned else 0
        if pad:
            self._last_length += pad
            self._patch(last_at, _U32.pack(self._last_length))
            buffer += bytes(pad)
            start += pad
        size = len(packet)
        buffer += prefix + _U32.pack(size) + packet
        self.position = start + size
        self._bundle_count += 1
        self._last_at, self._last_length = (start - 4 if paddable else -1), size
        if len(buffer) >= _BUFFER_LIMIT:
            self._flush()
        return start

    def add_packet(self, node: Leaf | Branch) -> int:
        """Writes `node` as a top-level packet of its own (closing the open
        bundle) and returns its offset."""
        self.close_bundle()
        room = self._place(node, 0, True)
        self._write_room(room)
        offset = self.position
        self._emit(node)
        self._last_at = -1  # a top-level packet has no slot to pad
        return offset

    def close_bundle(self) -> None:
        if self._bundle_count_at is not None:
            self._patch(self._bundle_count_at, bytes((self._bundle_count,)))
            self._bundle_count_at = None

    def finish(self) -> int:
        """Closes the open bundle, writes what is buffered and returns the file's length."""
        self.close_bundle()
        self._flush()
        return self.position

    def rewrite(self, offset: int, data: bytes) -> None:
        """Overwrites bytes written earlier (after finish())."""
        _pwrite_all(self._descriptor, data, offset)

    def write(self, piece: Any) -> None:
        size = len(piece)
        if size >= _BIG_PIECE:
            self._write_pieces([self._buffer, piece])
            self._buffer_start = self.position + size
            self._buffer = bytearray()
        else:
            self._buffer += piece
            if len(self._buffer) >= _BUFFER_LIMIT:
                self._flush()
        self.position += size

    def _place(self, node: Leaf | Branch, framing: int, top_level: bool) -> _Filler | _WrittenSlot | None:
        """Places `node` after `framing` bytes from the end of the file so far
        and returns what takes the padding before it: the last child's slot,
        else a filler when `node` starts a top-level packet, else None."""
        room = _WrittenSlot(self._last_at) if self._last_at >= 0 else None
        if room is None and top_level:
            room = _Filler(self.alignment)
        _place(node, [self.position + framing, room], self.alignment)
        return room

    def _write_room(self, room: _Filler | _WrittenSlot | None) -> None:
        if type(room) is _WrittenSlot and room.pad:
            self.write(bytes(room.pad))
            self._last_length += room.pad
            self._patch(room.length_at, _U32.pack(self._last_length))
        elif type(room) is _Filler and room.length:
            # A uint8 vector with alignment 1: its header, its one dimension, the alignment byte.
            filler = np.zeros(room.length - _SHORTEST_FILLER, np.uint8)
            self.write(_native.encode(filler, False, False, 1, None))

    def _emit(self, node: Leaf | Branch) -> None:
        if type(node) is Leaf:
            for piece in node.pieces:
                self.write(piece)
            return
        self.write(node.head)
        for slot in node.slots:
            self.write(slot.prefix + _U32.pack(slot.node.length + slot.pad))
            self._emit(slot.node)
            if slot.pad:
                self.write(bytes(slot.pad))

    def _patch(self, offset: int, data: bytes) -> None:
        if offset >= self._buffer_start:
            start = offset - self._buffer_start
            self._buffer[start:start + len(data)] = data
        else:
            _pwrite_all(self._descriptor, data, offset)

    def _flush(self) -> None:
        if self._buffer:
            self._write_pieces([self._buffer])
            self._buffer_start += len(self._buffer)
            self._buffer = bytearray()

    def _write_pieces(self, pieces: list) -> None:
        views = [memoryview(piece).cast("B") for piece in pieces if len(piece)]
        while views:
            written = os.writev(self._descriptor, views[:_IOV_MAX])
            if written <= 0:
                raise OSError(f"the file took no bytes with {sum(map(len, views))} left to write")
            while views and written >= len(views[0]):
                written -= len(views[0])
                views.pop(0)
            if views and written:
                views[0] = views[0][written:]


def _pwrite_all(descriptor: int, data: bytes, offset: int) -> None:
    view = memoryview(data)
    while view:
        written = os.pwrite(descriptor, view, offset)
        view, offset = view[written:], offset + written
