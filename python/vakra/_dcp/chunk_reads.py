"""The byte ranges of a box inside a stored chunk, read with ``pread``.

A chunk is stored as one uncompressed array body in C order, so the
elements of a box (an offset and a length per dimension, in the chunk's own
coordinates) lie in runs: the innermost dimensions the box covers whole,
together with the first one it does not, are contiguous; every outer index
starts another run. Only the runs are read, each straight into its place in
the destination, so resharding a row-sharded tensor by columns reads the
half rows it needs, not the whole rows. Runs closer together than a
twentieth of what they hold are read as one span instead, so that many
small runs do not each cost a system call.
"""

from __future__ import annotations

import math
import os

import numpy as np

__all__ = ["ByteCount", "read_box"]

_SPAN_SLACK = 0.05  # the share of extra bytes worth reading to save one call per run


class ByteCount:
    """The bytes read from storage and the bytes that were asked for."""

    __slots__ = ("read", "needed")

    def __init__(self) -> None:
        self.read = 0
        self.needed = 0

    def add(self, other: ByteCount) -> None:
        self.read += other.read
        self.needed += other.needed


def read_box(descriptor: int, body_offset: int, chunk_shape: tuple[int, ...], element_size: int,
             box_offsets: tuple[int, ...], box_lengths: tuple[int, ...], into: memoryview, count: ByteCount) -> None:
    """Reads the box of a chunk whose body starts at `body_offset` of the
    file into `into`, a writable byte buffer exactly as long as the box, in
    C order. The box must lie inside the chunk (the caller checks)."""
    needed = math.prod(box_lengths) * element_size
    if len(into) != needed:
        raise ValueError(f"the destination holds {len(into)} bytes where the box needs {needed}")
    count.needed += needed
    if needed == 0:
        return
    strides = [element_size * math.prod(chunk_shape[dim + 1:]) for dim in range(len(chunk_shape))]
    # The first dimension from which inward the box is one run: every dimension after it is covered whole.
    inner = len(chunk_shape)
    while inner > 0 and box_offsets[inner - 1] == 0 and box_lengths[inner - 1] == chunk_shape[inner - 1]:
        inner -= 1
    if inner == 0:  # the whole chunk
        _pread_exactly(descriptor, into, body_offset, count)
        return
    run = box_lengths[inner - 1] * strides[inner - 1]
    starts = np.full((), body_offset + box_offsets[inner - 1] * strides[inner - 1], dtype=np.int64)
    for dim in range(inner - 1):
        steps = (box_offsets[dim] + np.arange(box_lengths[dim], dtype=np.int64)) * strides[dim]
        starts = np.add.outer(starts, steps)
    starts = starts.reshape(-1)
    span = int(starts[-1]) + run - int(starts[0])
    if len(starts) == 1 or span <= needed * (1 + _SPAN_SLACK):
        _read_span(descriptor, into, int(starts[0]), span, box_lengths[:inner - 1] + (run,),
                   tuple(strides[:inner - 1]) + (1,), count)
        return
    for index, start in enumerate(starts.tolist()):
        _pread_exactly(descriptor, into[index * run:(index + 1) * run], start, count)


def _read_span(descriptor: int, into: memoryview, start: int, span: int, runs_shape: tuple[int, ...],
               runs_strides: tuple[int, ...], count: ByteCount) -> None:
    """The runs read as one span, `start` to the end of the last run, then
    gathered into `into` (the runs' shape and strides in bytes, the last
    dimension a run's bytes)."""
    if span == len(into):  # the runs touch: the span is the box
        _pread_exactly(descriptor, into, start, count)
        return
    buffer = np.empty(span, dtype=np.uint8)
    _pread_exactly(descriptor, memoryview(buffer), start, count)
    runs = np.lib.stride_tricks.as_strided(buffer, runs_shape, runs_strides, writeable=False)
    np.frombuffer(into, dtype=np.uint8).reshape(runs_shape)[...] = runs


def _pread_exactly(descriptor: int, into: memoryview, offset: int, count: ByteCount) -> None:
    done = 0
    while done < len(into):
        got = os.preadv(descriptor, [into[done:]], offset + done)
        if got == 0:
            raise ValueError(f"the checkpoint file ends {len(into) - done} bytes before a chunk's end")
        done += got
    count.read += done
