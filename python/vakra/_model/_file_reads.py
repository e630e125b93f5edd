"""``load_file(mmap=False)``: a model file's packets read into memory of
their own by positioned reads on the codec's threads, without the GIL
(``_native.read_ranges``), and decoded there: arrays own that memory.

Reading a mapping faults pages in one at a time on the thread that touches
them; here each thread asks for pieces of 8 MiB, so the disk sees long
requests, several at once. When the page cache holds the file the mapping
is faster (its pages are used where they lie, not copied into new memory),
and for a small file either takes little: ``maps_better`` says which to
use. bench/checkpoints.py measures both, warm and cold.
"""

from __future__ import annotations

from typing import Any

from .. import _native
from .._io.progress import Progress
from .bodies import body_array

__all__ = ["maps_better", "read_packets"]

# Files below this are mapped whatever the page cache holds: reading them
# either way takes milliseconds.
MAP_BELOW = 64 << 20
# The share of the file the page cache must hold for mapping to be faster.
MAP_RESIDENT = 0.5
# Packets are read this many bytes at a time (whole packets, at least one):
# progress is told between batches, and each batch keeps every thread busy.
_BATCH = 64 << 20


def maps_better(size: int, mapping: Any) -> bool:
    """Whether load_file maps the file (of `size` bytes, mapped as
    `mapping`) rather than reading it: small ones, and those the page cache
    mostly holds (one mincore call tells)."""
    return size < MAP_BELOW or mapping.resident_share() >= MAP_RESIDENT


def read_packets(file: Any, packets: dict[tuple[int, int], str], progress: Progress,
                 writable: bool) -> dict[tuple[int, int], Any]:
    """The value of each packet (keyed by its (offset, length) range, with a
    name that holds it for messages), read from `file` and decoded; arrays
    are writable as `writable` says."""
    values = {}
    for batch in _batches(list(packets)):
        file._bytes(0, 0)[1].release()  # still open and still the file it was
        buffers = _native.read_ranges(file._descriptor, batch, writable)
        file._bytes(0, 0)[1].release()  # and not rewritten in place while read
        for byte_range, buffer in zip(batch, buffers):
            body = file._bodies.get(file._index[packets[byte_range]])
            if body is not None:  # raw bytes the record describes, not a packet: an array over them
                values[byte_range] = file._converted(body_array(buffer, 0, *body))
            else:
                with memoryview(buffer) as data:
                    values[byte_range] = file._decoded(packets[byte_range], data, writable)
            progress.advance(byte_range[1])
    return values


def _batches(ranges: list[tuple[int, int]]) -> list[list[tuple[int, int]]]:
    batches: list[list[tuple[int, int]]] = [[]]
    size = 0
    for byte_range in ranges:
        if size >= _BATCH:
            batches.append([])
            size = 0
        batches[-1].append(byte_range)
        size += byte_range[1]
    return batches
