"""The process-shared mutex as users hold it: vakra.shm.SharedMutex, within a process and across processes.

The exact texts of vakra_rs.shm_mutex_* are pinned in test_module_frame."""

import multiprocessing
import os
import struct
import threading
import time
from multiprocessing import shared_memory

import pytest

from vakra.shm import SharedMutex

COUNTER = struct.Struct("<Q")  # the guarded value, right after the mutex area


@pytest.mark.parametrize("timeout", [0, -0.0])
def test_shared_mutex_guards_only_its_area_and_only_its_holder_unlocks_it(timeout):
    buffer = bytearray(b"\xa5" * 256)
    with pytest.raises(ValueError, match="hold no vakra mutex"):  # never initialised: refused, not trusted
        SharedMutex(buffer, 64).lock()
    mutex = SharedMutex(buffer, 64, create=True)
    assert buffer[:64] == b"\xa5" * 64 and buffer[128:] == b"\xa5" * 128
    buffer[64 + 16:128] = b"\xff" * 48  # a stray write past the lock's own words selects nothing
    with pytest.raises(KeyError), mutex:
        start = time.monotonic()
        with pytest.raises(TimeoutError) as caught:
            mutex.lock(timeout=0.1)
        raise KeyError("body")
    # The extension's text first, then what to do if the holder died.
    assert str(caught.value).startswith("Mutex lock timed out after 100ms; the process holding the mutex may have died")
    assert "docs/guide/streams.md" in str(caught.value) and time.monotonic() - start >= 0.09
    mutex.lock(timeout=timeout)  # a free mutex is taken at once, even with no time to wait
    mutex.unlock()
    held = threading.Event()

    def holder():
        mutex.lock()
        held.set()
        time.sleep(0.2)  # runs only while the waiting thread below has given up the interpreter lock
        mutex.unlock()

    threading.Thread(target=holder).start()
    held.wait()
    with pytest.raises(RuntimeError, match="^Mutex unlock refused: the calling thread does not hold it"):
        mutex.unlock()
    mutex.lock(timeout=5)  # taken once the holder has unlocked it
    mutex.unlock()
    with pytest.raises(RuntimeError, match="does not hold it"):
        mutex.unlock()  # refused, and the mutex stays intact: it can still be destroyed
    mutex.destroy()
    assert buffer[64:128] == bytes(64)  # plain bytes again, which no call takes for a mutex
    with pytest.raises(ValueError, match="hold no vakra mutex"):
        mutex.lock(timeout=0)
    with pytest.raises(ValueError, match="offset 4 is not a multiple of 8"):
        SharedMutex(bytearray(128), 4, create=True)


def _count(name, iterations, start_together):
    segment = shared_memory.SharedMemory(name=name)
    try:
        mutex = SharedMutex(segment.buf, 0)
        start_together.wait()
        for _ in range(iterations):
            with mutex:
                (value,) = COUNTER.unpack_from(segment.buf, SharedMutex.SIZE)
                os.sched_yield()  # widens the window in which unguarded increments would be lost
                COUNTER.pack_into(segment.buf, SharedMutex.SIZE, value + 1)
    finally:
        segment.close()


def test_four_processes_increment_a_shared_counter():
    spawn = multiprocessing.get_context("spawn")
    block = shared_memory.SharedMemory(name=f"vakra_test_shm_{os.getpid()}", create=True, size=4096)
    SharedMutex(block.buf, 0, create=True)
    start_together = spawn.Barrier(4)
    workers = [spawn.Process(target=_count, args=(block.name, 5000, start_together)) for _ in range(4)]
    try:
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(timeout=120)
        assert [worker.exitcode for worker in workers] == [0, 0, 0, 0]
        assert COUNTER.unpack_from(block.buf, SharedMutex.SIZE)[0] == 20_000
    finally:
        for worker in workers:
            if worker.is_alive():
                worker.kill()
        block.close()
        block.unlink()
