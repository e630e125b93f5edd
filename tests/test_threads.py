"""Threads change timing only: the same packets with one thread or several, no crash when threads share inputs
(a vakra.File another thread closes says so), fork() works with a pool running, VAKRA_NUM_THREADS is honoured
and exit waits for calls in progress."""

import contextlib
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vakra
from samples import assert_same
from vakra.quantize import quantize
from vakra.ragged import StringTensor

MiB = 1 << 20


@pytest.fixture
def threads():
    """Sets the thread count for one test and restores it afterwards."""
    before = vakra.get_num_threads()
    yield vakra.set_num_threads
    vakra.set_num_threads(before)


def compressible(nbytes, seed=0):
    return np.round(np.random.default_rng(seed).standard_normal(nbytes // 4), 1).astype(np.float32)


VALUES = {
    "at the threshold": compressible(256 << 10),
    "two blocks and a bit": compressible(8 * MiB + 4),
    "incompressible": np.random.default_rng(1).integers(0, 255, 9 * MiB, dtype=np.uint8),
    "bundle": {"a": compressible(5 * MiB), "b": compressible(3 * MiB, 1), "c": np.arange(3)},
    # Checksums over two parts each (offsets and payload; parameters and codes), on the pool.
    "strings and codes": {"s": StringTensor(f"item {i}" for i in range(300_000)),
                          "q": quantize(compressible(16 * MiB), "qint8")},
}


@pytest.mark.parametrize("name", VALUES)
@pytest.mark.parametrize("options", [{}, {"check_integrity": True}, {"compress": True, "check_integrity": True}])
def test_packets_identical_with_one_thread_and_several(threads, tmp_path, name, options):
    value = VALUES[name]
    packets = []
    for count in (1, 4):
        threads(count)
        packets.append(vakra.dumps(value, **options))
        vakra.dump(value, tmp_path / "file", **options)  # the segment list path
        assert (tmp_path / "file").read_bytes() == packets[-1]
        assert_same(value, vakra.loads(packets[-1]))
    assert packets[0] == packets[1]


def test_threads_sharing_inputs_while_others_resize_and_mutate(tmp_path):
    shared, mutating = compressible(6 * MiB), compressible(6 * MiB, 2)
    vakra.save({"w": shared}, tmp_path / "model.vkr", durable=False)
    files = [vakra.open(tmp_path / "model.vkr")]
    frame_packet = vakra.dumps(shared, compress=True)
    packet = bytearray(vakra.dumps(shared))  # trailing bytes after it are ignored
    target = bytearray(len(packet) + 64)

    def round_trip():
        np.testing.assert_array_equal(vakra.loads(frame_packet), shared)
        np.testing.assert_array_equal(vakra.loads(packet), shared)
        # Another thread writes into `mutating`: either state may be encoded, but the checksum matches what is stored.
        assert vakra.loads(vakra.dumps(mutating, check_integrity=True)).shape == mutating.shape
        assert vakra.dump_into(shared, target, compress=True) <= len(target)

    def read_file():
        with contextlib.suppress(ValueError):  # closed by another thread meanwhile: said so, no other error
            assert files[-1]["w"].shape == shared.shape

    def resize_and_mutate():
        mutating[::4096] += 1
        for buffer in (packet, target):
            with contextlib.suppress(BufferError):  # exported by a call in progress: refused, never moved
                buffer.extend(b"x")
                del buffer[-1:]
        files.append(vakra.open(tmp_path / "model.vkr"))
        files.pop(0).close()

    stop, failures = threading.Event(), []

    def looped(work):
        try:
            while not stop.is_set():
                work()
        except BaseException as error:  # reported to the main thread
            failures.append(error)

    works = (round_trip, round_trip, resize_and_mutate, read_file, read_file)
    workers = [threading.Thread(target=looped, args=(work,)) for work in works]
    for worker in workers:
        worker.start()
    time.sleep(3)
    stop.set()
    for worker in workers:
        worker.join()
    assert failures == []


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_fork_during_and_after_pool_use(threads):
    threads(4)
    array = compressible(12 * MiB)
    vakra.loads(vakra.dumps(array, compress=True))  # the pool is running now
    stop = threading.Event()
    busy = threading.Thread(target=lambda: [vakra.dumps(array, compress=True) for _ in iter(stop.is_set, True)])
    busy.start()
    try:
        for _ in range(3):
            pid = os.fork()
            if pid == 0:
                signal.alarm(60)  # a child waiting on the parent's threads would hang: the alarm ends it
                os._exit(0 if np.array_equal(vakra.loads(vakra.dumps(array, compress=True)), array) else 1)
            assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    finally:
        stop.set()
        busy.join()


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
@pytest.mark.parametrize("setting, expected", [("1", 1), ("3", 3), ("many", None)])
def test_environment_sets_the_count_and_exit_waits_for_calls_in_progress(setting, expected):
    # A 12 MiB body is three LZ4 blocks: the pool starts up to two workers, none with one thread, and vakra_rs
    # uses the package's pool. Then daemon threads still encoding and decoding without the GIL when the
    # interpreter finalizes must neither abort the process nor hold up its exit.
    script = ("import os, threading, time, numpy as np, vakra\n"
              "from vakra import vakra_rs\n"
              "threads = lambda: len(os.listdir('/proc/self/task'))\n"
              "a = np.round(np.random.default_rng(0).standard_normal(3 << 20), 1).astype(np.float32)\n"
              "before = threads()\n"
              "assert np.array_equal(vakra.loads(vakra_rs.dumps_rs(a, compress=True)), a)\n"
              "print(vakra.get_num_threads(), threads() - before)\n"
              "vakra.set_num_threads(0)\n"  # back to the default
              "print(vakra.get_num_threads())\n"
              "p = vakra.dumps(a, compress=True, check_integrity=True)\n"
              "def loop():\n"
              "    while True:\n"
              "        vakra.loads(vakra.dumps(a, compress=True)); vakra.loads(p)\n"
              "for _ in range(3):\n"
              "    threading.Thread(target=loop, daemon=True).start()\n"
              "time.sleep(0.3)\n")
    env = dict(os.environ, VAKRA_NUM_THREADS=setting)
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    count = expected or os.cpu_count()
    assert [int(word) for word in result.stdout.split()] == [count, min(count, 3) - 1, os.cpu_count()]
    with pytest.raises(ValueError, match="^the thread count must be between 0 and 1024$"):
        vakra.set_num_threads(1025)
