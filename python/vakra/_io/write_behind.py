"""Write-back of a file started while it is still being written.

A sync before a rename, and the flush ext4 does when a file is renamed over
another, would otherwise write the whole file out only then, after the
writing. One thread per process watches the files being written and asks
the kernel (``sync_file_range``) to start writing out each new stretch of at
least 8 MiB as it appears; it never waits for the disk, so the writer is
not slowed. Watching a file costs a dictionary entry: no thread is started
or woken per file (the thread keeps looking for a second after the last
file and only then sleeps until the next), so small files pay next to
nothing.
"""

from __future__ import annotations

import contextlib
import os
import threading
import time
from collections.abc import Iterator
from typing import Any

__all__ = ["watching"]

_STRETCH = 8 << 20
_INTERVAL = 0.02  # seconds between looks at the watched files' sizes
_LINGER = 1.0  # seconds of looking after the last file went, before sleeping until the next
_SYNC_FILE_RANGE_WRITE = 2


@contextlib.contextmanager
def watching(descriptor: int, wanted: bool = True) -> Iterator[None]:
    """Starts write-back of `descriptor`'s file as it grows, while the block runs (when `wanted`)."""
    if not wanted or _start_write_back is None:
        yield
        return
    _watcher.watch(descriptor)
    try:
        yield
    finally:
        _watcher.forget(descriptor)


def _libc_sync_file_range() -> Any:
    try:
        import ctypes

        function = ctypes.CDLL(None, use_errno=True).sync_file_range
    except (ImportError, OSError, AttributeError):  # not Linux, or no ctypes
        return None
    function.argtypes = (ctypes.c_int, ctypes.c_int64, ctypes.c_int64, ctypes.c_uint)
    return function


_start_write_back = _libc_sync_file_range()


class _Watcher:
    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._started: dict[int, int] = {}  # descriptor: the bytes whose write-back has been started
        self._busy = False  # the thread is calling the kernel with the descriptors it took
        self._sleeping = False  # the thread waits for a file to watch, and must be woken
        self._thread: threading.Thread | None = None

    def watch(self, descriptor: int) -> None:
        with self._changed:
            self._started[descriptor] = 0
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="vakra write-behind", daemon=True)
                self._thread.start()
            elif self._sleeping:
                self._changed.notify_all()

    def forget(self, descriptor: int) -> None:
        """Stops watching; returns once the thread no longer uses `descriptor`, which may then be closed."""
        with self._changed:
            del self._started[descriptor]
            while self._busy:
                self._changed.wait()

    def _run(self) -> None:
        last_file = time.monotonic()
        while True:
            with self._changed:
                if not self._started and time.monotonic() - last_file > _LINGER:
                    self._sleeping = True
                    while not self._started:
                        self._changed.wait()
                    self._sleeping = False
                self._changed.wait(_INTERVAL)
                if self._started:
                    last_file = time.monotonic()
                taken, self._busy = dict(self._started), True
            progress: dict[int, int] = {}
            try:
                for descriptor, start in taken.items():
                    progress[descriptor] = _write_back(descriptor, start)
            finally:
                with self._changed:
                    for descriptor, end in progress.items():
                        if descriptor in self._started:
                            self._started[descriptor] = end
                    self._busy = False
                    self._changed.notify_all()


def _write_back(descriptor: int, start: int) -> int:
    """Starts writing out what was written past `start`, once it is a stretch; returns where that ends."""
    try:
        end = os.fstat(descriptor).st_size
    except OSError:
        return start
    if end - start < _STRETCH:
        return start
    _start_write_back(descriptor, start, end - start, _SYNC_FILE_RANGE_WRITE)
    return end


_watcher = _Watcher()


def _new_watcher_in_child() -> None:
    global _watcher
    _watcher = _Watcher()  # the thread (and perhaps a held lock) stayed in the parent


os.register_at_fork(after_in_child=_new_watcher_in_child)
