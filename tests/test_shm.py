"""The process-shared mutex: vakra_rs.shm_mutex_* and vakra.shm.SharedMutex."""

import array
import math
import mmap
import multiprocessing
import os
import platform
import re
import struct
import time
import uuid
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import shared_memory
from pathlib import Path

import pytest

from vakra import vakra_rs
from vakra.shm import SharedMutex

NAME_PREFIX = f"vakra_test_shm_{os.getpid()}_"
SPAWN = multiprocessing.get_context("spawn")
COUNTER = struct.Struct("<Q")  # the guarded value, right after the mutex area
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"


@pytest.fixture(scope="module", autouse=True)
def no_leftover_segments():
    yield
    assert not list(Path("/dev/shm").glob(NAME_PREFIX + "*"))


@pytest.fixture
def block():
    segment = shared_memory.SharedMemory(name=NAME_PREFIX + uuid.uuid4().hex[:12], create=True, size=4096)
    try:
        yield segment
    finally:
        segment.close()
        segment.unlink()


@pytest.fixture
def area():
    buffer = bytearray(64)
    vakra_rs.shm_mutex_init(buffer, 0)
    return buffer


def space(offset, size):
    return f"Insufficient space: need 64 bytes at offset {offset}, buffer is {size} bytes"


@pytest.mark.parametrize("function, extra", [(vakra_rs.shm_mutex_init, ()), (vakra_rs.shm_mutex_lock, (0,)),
                                             (vakra_rs.shm_mutex_unlock, ()), (vakra_rs.shm_mutex_destroy, ())])
@pytest.mark.parametrize("buffer, offset, error, message", [
    (bytes(64), 0, ValueError, "Buffer is read-only"),
    (bytes(8), 2**64 - 1, ValueError, "Buffer is read-only"),  # reported first
    (bytearray(64), 1, ValueError, space(1, 64)),
    (bytearray(32), 0, ValueError, space(0, 32)),
    (bytearray(64), 2**64 - 64, ValueError, space(2**64 - 64, 64)),  # offset + 64 wraps to 0 in 64 bits
    (memoryview(bytearray(256))[::2], 0, BufferError,
     "buffer is not contiguous: pass a contiguous buffer (e.g. bytes(view))"),
    (array.array("i", bytes(64)), 0, BufferError, "buffer contents are not compatible with u8"),
])
def test_prologue_refuses_and_leaves_the_buffer(function, extra, buffer, offset, error, message):
    before = bytes(buffer)
    with pytest.raises(error) as info:
        function(buffer, offset, *extra)  # the lock gets timeout 0 so that a wrong pass cannot wait
    assert str(info.value) == message
    assert bytes(buffer) == before


@pytest.mark.parametrize("call, error, pattern", [
    (lambda: vakra_rs.shm_mutex_lock(bytearray(64), 0, timeout=1.0), TypeError,
     re.escape("shm_mutex_lock() got an unexpected keyword argument 'timeout'")),
    (lambda: vakra_rs.shm_mutex_init(bytearray(64), "0"), TypeError, "argument 'offset': "),
    (lambda: vakra_rs.shm_mutex_lock(bytearray(64), 0, "1"), TypeError, "argument 'timeout_secs': "),
    (lambda: vakra_rs.shm_mutex_unlock(bytearray(64), -1), OverflowError, "(?!argument)"),
    # The timeout's value is judged after the buffer.
    (lambda: vakra_rs.shm_mutex_lock(bytes(64), 0, -1.0), ValueError, "Buffer is read-only$"),
    (lambda: vakra_rs.shm_mutex_lock(bytearray(64), 8, math.nan), ValueError, re.escape(space(8, 64)) + "$"),
])
def test_argument_errors(call, error, pattern):
    with pytest.raises(error, match="^" + pattern):
        call()


@pytest.mark.parametrize("timeout, message", [
    (-1e-12, NEGATIVE), (-math.inf, NEGATIVE), (math.nan, TOO_BIG), (math.inf, TOO_BIG), (2.0**64, TOO_BIG),
    (2.0**63, "overflow when adding duration to instant")])
def test_bad_timeout_is_value_error_and_leaves_mutex_free(area, timeout, message):
    with pytest.raises(ValueError) as info:
        vakra_rs.shm_mutex_lock(area, 0, timeout)
    assert str(info.value) == message
    assert vakra_rs.shm_mutex_lock(area, 0, 0) is False


@pytest.mark.parametrize("timeout", [0, -0.0, 2])
def test_lock_takes_a_free_mutex_at_once(area, timeout):
    assert vakra_rs.shm_mutex_lock(area, 0, timeout) is False
    with pytest.raises(TimeoutError, match="^Mutex lock timed out after 0ns$"):
        vakra_rs.shm_mutex_lock(area, 0, 0)
    vakra_rs.shm_mutex_unlock(area, 0)
    vakra_rs.shm_mutex_destroy(area, 0)


@pytest.mark.parametrize("timeout, text", [
    (1e-9, "1ns"), (2.5e-6, "2.5µs"), (0.0012345, "1.2345ms"), (0.25, "250ms"), (1.25, "1.25s"),
    (0.3, "300ms"),  # the double is 0.29999...: rounded to the nearest nanosecond, not truncated
])
def test_timeout_text(area, timeout, text):
    vakra_rs.shm_mutex_lock(area, 0, 0)
    with pytest.raises(TimeoutError) as info:
        vakra_rs.shm_mutex_lock(area, 0, timeout)
    assert str(info.value) == f"Mutex lock timed out after {text}"


@pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="glibc reports a held mutex to destroy")
def test_destroying_a_held_mutex_is_refused(area):
    vakra_rs.shm_mutex_lock(area, 0, 0)
    with pytest.raises(RuntimeError, match="^pthread_mutex_destroy failed: 16$"):
        vakra_rs.shm_mutex_destroy(area, 0)


def test_init_writes_only_its_area_and_misaligned_offsets_are_refused():
    buffer = bytearray(b"\xa5" * 256)
    mutex = SharedMutex(buffer, 64, create=True)
    assert buffer[:64] == b"\xa5" * 64 and buffer[128:] == b"\xa5" * 128
    with mutex, pytest.raises(TimeoutError):
        vakra_rs.shm_mutex_lock(buffer, 64, 0)
    mutex.destroy()
    with pytest.raises(ValueError, match="offset 4 is not a multiple of 8"):
        SharedMutex(bytearray(128), 4, create=True)


def test_with_block_unlocks_when_the_body_raises():
    with mmap.mmap(-1, mmap.PAGESIZE) as shared_map:
        mutex = SharedMutex(shared_map, 8, create=True)
        with pytest.raises(KeyError), mutex:
            with pytest.raises(TimeoutError):
                mutex.lock(timeout=0)
            raise KeyError("body")
        mutex.lock(timeout=0)
        mutex.unlock()
        mutex.destroy()


def _try_lock(name, timeout):
    """In a child: (TimeoutError text or None, seconds spent) for one lock attempt."""
    segment = shared_memory.SharedMemory(name=name)
    try:
        mutex, start = SharedMutex(segment.buf, 0), time.monotonic()
        try:
            mutex.lock(timeout)
        except TimeoutError as error:
            return str(error), time.monotonic() - start
        mutex.unlock()
        return None, time.monotonic() - start
    finally:
        segment.close()


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


def test_another_process_times_out_then_takes_the_released_lock(block):
    mutex = SharedMutex(block.buf, 0, create=True)
    with ProcessPoolExecutor(1, mp_context=SPAWN) as pool:
        with mutex:
            message, waited = pool.submit(_try_lock, block.name, 0.1).result(timeout=60)
        after_release = pool.submit(_try_lock, block.name, 0).result(timeout=60)
    # The extension's text first, then what to do if the holder died.
    assert message.startswith("Mutex lock timed out after 100ms; the process holding the mutex may have died")
    assert "README" in message and waited >= 0.09
    assert after_release[0] is None


def test_four_processes_increment_a_shared_counter(block):
    SharedMutex(block.buf, 0, create=True)
    start_together = SPAWN.Barrier(4)
    workers = [SPAWN.Process(target=_count, args=(block.name, 5000, start_together)) for _ in range(4)]
    try:
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(timeout=120)
    finally:
        for worker in workers:
            if worker.is_alive():
                worker.kill()
    assert [worker.exitcode for worker in workers] == [0, 0, 0, 0]
    assert COUNTER.unpack_from(block.buf, SharedMutex.SIZE)[0] == 20_000
