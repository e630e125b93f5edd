"""``load_file(mmap=False)``: a model file's packets read into memory of
their own by positioned reads on the codec's threads, without the GIL
(``_native.read_ranges``), and decoded there: arrays own that memory.

Reading a mapping faults pages in one at a time on the thread that touches
them; here each thread asks for pieces of 8 MiB, so the disk sees long
requests, several at once. From the page cache the mapping is faster (no
copy into new memory), so ``load_file`` maps files below ``READ_FROM`` and
reads larger ones; bench/checkpoints.py measures both.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .. import _native
from .._io.progress import Progress

if TYPE_CHECKING:
    from .model_file import File

__all__ = ["READ_FROM", "read_packets"]

READ_FROM = 1 << 30
# Packets are read this many bytes at a time (whole packets, at least one):
# progress is told between batches, and each batch keeps every thread busy.
_BATCH = 64 << 20


def read_packets(file: File, packets: dict[tuple[int, int], str], progress: Progress) -> dict[tuple[int, int], Any]:
    """The value of each packet (keyed by its (offset, length) range, with a
    name that holds it for messages), read from `file` and decoded."""
    values = {}
    for batch in _batches(list(packets)):
        file._bytes(0, 0)[1].release()  # still open and still the file it was
        buffers = _native.read_ranges(file._descriptor, batch, True)
        file._bytes(0, 0)[1].release()  # and not rewritten in place while read
        for byte_range, buffer in zip(batch, buffers):
            with memoryview(buffer) as data:
                values[byte_range] = file._decoded(packets[byte_range], data, True)
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
