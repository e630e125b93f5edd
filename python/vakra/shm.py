"""A mutex that several processes can share, kept inside a shared buffer.

The mutex is a lock of vakra's own, plain words in a 64-byte area
(``SharedMutex.SIZE``): a magic, a version and the identity of the thread
(and process) holding it, taken and given back with compare-and-swap. What
lies in the area never selects code or pointers, so bytes another process
writes there can break the exclusion at worst, never this process; an area
that holds no such mutex (never initialised, destroyed, overwritten) is
refused with ``ValueError``. The area lies at an offset of a writable
buffer that every participating process maps: the ``buf`` of a
:class:`multiprocessing.shared_memory.SharedMemory` block, or an
:class:`mmap.mmap` of a shared file. Each process builds its own
``SharedMutex`` over its own mapping of the same bytes::

    from multiprocessing import shared_memory
    from vakra.shm import SharedMutex

    # the creating process
    block = shared_memory.SharedMemory(create=True, size=4096)
    mutex = SharedMutex(block.buf, 0, create=True)

    # any other process, given block.name
    block = shared_memory.SharedMemory(name=block_name)
    mutex = SharedMutex(block.buf, 0)

    # everywhere
    with mutex:
        ...  # work on the guarded bytes, e.g. block.buf[64:]

    # the creator, once every other process is done with the mutex
    mutex.destroy()
    block.close()
    block.unlink()

With an ``mmap.mmap`` opened for writing (``MAP_SHARED``, the default), pass
the map itself: ``SharedMutex(mm, 0)``.

Rules the caller must keep (beyond the area's alignment and its magic,
none of them can be checked):

* The area's address must be a multiple of 8. ``SharedMemory`` and ``mmap``
  buffers start on a page boundary, so an ``offset`` that is a multiple of 8
  gives that; the constructor refuses any other offset. The 64 bytes belong
  to the mutex alone.
* Exactly one process initialises the area (``create=True``), once, before
  any process locks it. Initialising it again frees it, also under a holder.
* ``destroy()`` is called once, by one process, when no process holds or
  waits for the mutex any more; afterwards the area is plain bytes again.
* A mutex held by a process that dies stays held: others time out.
* Pass the buffer object itself, not a ``memoryview`` slice of it: a slice
  keeps an export alive, which stops ``SharedMemory.close()`` and
  ``mmap.close()`` from working.

Waiting polls the mutex every 50 microseconds with the interpreter lock
released, so other threads run meanwhile (threads of one process may share
a mutex too), and signal handlers run between polls: Ctrl-C ends a wait.
The mutex knows the thread that holds it: an ``unlock()`` by anyone else,
or a second one, raises ``RuntimeError`` and leaves it as it was, and a
``lock()`` by the holder waits as any other would.
"""

from __future__ import annotations

import operator

from . import vakra_rs

__all__ = ["SharedMutex"]

_ALIGNMENT = 8
_HOLDER_MAY_HAVE_DIED = (
    "the process holding the mutex may have died while holding it: a mutex is not released when its holder dies. "
    "To recover, let one supervising process re-initialise the area with SharedMutex(buffer, offset, create=True) "
    "once no process uses it any more (see 'Recovering a mutex whose holder died' in the documentation: docs/guide/streams.md)"
)


class SharedMutex:
    """A process-shared mutex in the 64 bytes at ``offset`` of ``buffer``.

    Used as a context manager, the mutex is locked on entry (waiting up to
    ``default_timeout`` seconds) and unlocked on exit, also when the body
    raises; :meth:`lock` and :meth:`unlock` do the same by hand. The 64 bytes
    hold plain words (a magic, a version and the holder's identity, changed
    with compare-and-swap), never anything that selects code or pointers.

    Parameters
    ----------
    buffer : writable bytes-like
        Memory shared between processes, typically ``SharedMemory.buf`` or an
        ``mmap.mmap``.
    offset : int
        Where the mutex area starts: a multiple of 8 that leaves 64 bytes
        before the buffer's end.
    create : bool, default False
        Initialise the area here; do that in exactly one process, once, before
        anyone locks it.

    Attributes
    ----------
    SIZE : int
        The bytes a mutex area takes: 64.
    default_timeout : float
        The seconds :meth:`lock` waits by default: 5.

    Raises
    ------
    ValueError
        For an offset that is not a multiple of 8 or leaves too little room,
        and (from every call) for an area that holds no mutex.

    Examples
    --------
    >>> from multiprocessing import shared_memory
    >>> from vakra.shm import SharedMutex
    >>> block = shared_memory.SharedMemory(create=True, size=4096)
    >>> mutex = SharedMutex(block.buf, 0, create=True)   # once, in one process
    >>> with mutex:                                      # elsewhere: SharedMutex(block.buf, 0)
    ...     vakra.dump_into(np.arange(4), block.buf[64:])
    96
    >>> mutex.destroy()
    >>> block.close(); block.unlink()
    """

    SIZE: int = vakra_rs.shm_mutex_size()
    default_timeout: float = 5.0

    def __init__(self, buffer, offset: int, *, create: bool = False) -> None:
        offset = operator.index(offset)
        if offset % _ALIGNMENT != 0:
            raise ValueError(f"offset {offset} is not a multiple of {_ALIGNMENT}: the mutex area must be 8-byte aligned")
        self._buffer = buffer
        self._offset = offset
        if create:
            vakra_rs.shm_mutex_init(buffer, offset)

    @property
    def offset(self) -> int:
        """The position of the mutex area in the buffer, in bytes.

        Returns
        -------
        int
            The offset given to the constructor.

        Examples
        --------
        >>> from vakra.shm import SharedMutex
        >>> area = bytearray(128)
        >>> SharedMutex(area, 64, create=True).offset
        64
        """
        return self._offset

    def lock(self, timeout: float | None = None) -> None:
        """Take the mutex, waiting at most ``timeout`` seconds.

        While it waits, other threads run and signal handlers too (Ctrl-C ends the
        wait).

        Parameters
        ----------
        timeout : float, optional
            Defaults to ``default_timeout``; 0 makes one attempt.

        Returns
        -------
        None

        Raises
        ------
        TimeoutError
            "Mutex lock timed out after ...", followed by what to do if the holder
            died, when the mutex stays held.
        ValueError
            For a negative, NaN or unrepresentably large timeout, and for an area
            that holds no mutex.

        Examples
        --------
        >>> from vakra.shm import SharedMutex
        >>> area = bytearray(64)
        >>> mutex = SharedMutex(area, 0, create=True)
        >>> mutex.lock()
        >>> SharedMutex(area, 0).lock(timeout=0)
        Traceback (most recent call last):
        ...
        TimeoutError: Mutex lock timed out after 0ns; ...
        >>> mutex.unlock()
        """
        if timeout is None:
            timeout = self.default_timeout
        try:
            vakra_rs.shm_mutex_lock(self._buffer, self._offset, timeout)
        except TimeoutError as error:
            raise TimeoutError(f"{error}; {_HOLDER_MAY_HAVE_DIED}") from error

    def unlock(self) -> None:
        """Release the mutex.

        Only the thread that holds it may call this.

        Returns
        -------
        None

        Raises
        ------
        RuntimeError
            For any other thread or process, and for a second unlock; the mutex is
            left as it was.

        Examples
        --------
        >>> from vakra.shm import SharedMutex
        >>> mutex = SharedMutex(bytearray(64), 0, create=True)
        >>> mutex.lock(); mutex.unlock()
        >>> mutex.unlock()
        Traceback (most recent call last):
        ...
        RuntimeError: ...
        """
        vakra_rs.shm_mutex_unlock(self._buffer, self._offset)

    def destroy(self) -> None:
        """Destroy the mutex once no process uses it (never while it is held).

        Returns
        -------
        None

        Raises
        ------
        ValueError
            For an area that holds no mutex.

        Examples
        --------
        >>> from vakra.shm import SharedMutex
        >>> area = bytearray(64)
        >>> SharedMutex(area, 0, create=True).destroy()
        >>> SharedMutex(area, 0).lock()
        Traceback (most recent call last):
        ...
        ValueError: ...
        """
        vakra_rs.shm_mutex_destroy(self._buffer, self._offset)

    def __enter__(self) -> SharedMutex:
        self.lock()
        return self

    def __exit__(self, exc_type, exc, traceback) -> None:
        self.unlock()

    def __repr__(self) -> str:
        return f"SharedMutex(offset={self._offset})"
