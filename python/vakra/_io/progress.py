"""Progress of long work (saving, loading, converting) reported to a
caller's callback, and a one-line progress display for the command line."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import IO

__all__ = ["Progress", "ProgressCallback", "terminal_progress"]

ProgressCallback = Callable[[int, int], object]


class Progress:
    """Counts the bytes done of `total` and tells `callback` (done, total)
    after each step; without a callback it does nothing."""

    __slots__ = ("_callback", "done", "total")

    def __init__(self, callback: ProgressCallback | None, total: int) -> None:
        if callback is not None and not callable(callback):
            raise TypeError(f"progress must be callable, not {type(callback).__name__!r}")
        self._callback, self.done, self.total = callback, 0, total

    def advance(self, count: int) -> None:
        self.done += count
        if self._callback is not None:
            self._callback(self.done, max(self.total, self.done))

    def finish(self) -> None:
        """Tells the callback that all is done (done == total), once."""
        if self._callback is not None and (self.done != self.total or not self.done):
            self.total = self.done = max(self.done, self.total)
            self._callback(self.done, self.total)


_REDRAW = 0.1  # seconds between two redraws of the line


def terminal_progress(label: str, stream: IO[str] | None = None) -> ProgressCallback | None:
    """A progress callback that keeps one line on `stream` (stderr) up to
    date, or None when the stream is not a terminal: a pipe or a log file
    gets nothing. The line is cleared when the work is done."""
    stream = sys.stderr if stream is None else stream
    try:
        if not stream.isatty():
            return None
    except (AttributeError, ValueError):  # no isatty, or a closed stream
        return None
    last = 0.0

    def show(done: int, total: int) -> None:
        nonlocal last
        now = time.monotonic()
        if done < total and now - last < _REDRAW:
            return
        last = now
        if done >= total:
            stream.write("\r\033[K")
        else:
            stream.write(f"\r\033[K{label}: {done * 100 // max(total, 1)}% ({done >> 20} of {total >> 20} MiB)")
        stream.flush()

    return show
