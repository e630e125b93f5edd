"""dump on the way to disk: a path's file replaced atomically as it was (mode, owner, the link leading to it), or
written into where it cannot be replaced; failures reported naming the caller's path, nothing half-written."""

from __future__ import annotations

import errno
import io
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import threading

import numpy as np
import pytest

import vakra
from vakra.shm import SharedMutex

ARRAY = np.arange(1 << 18, dtype=np.float64)  # 2 MiB: more than the small file system holds


@pytest.fixture
def full_fs(tmp_path):
    """A 1 MiB tmpfs, mounted when running as root."""
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a small tmpfs needs root")
    mountpoint = tmp_path / "small"
    mountpoint.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mountpoint)]).returncode != 0:
        pytest.skip("tmpfs cannot be mounted here")
    try:
        yield mountpoint
    finally:
        subprocess.run(["umount", "-l", str(mountpoint)], check=False)


@pytest.mark.parametrize("value", [ARRAY, {"a": ARRAY, "labels": ["x"] * 10}], ids=["array", "dict"])
def test_dump_to_a_full_file_system_keeps_the_old_file(full_fs, value):
    path = full_fs / "packet.vkr"
    vakra.dump(np.arange(3), path)
    before = path.read_bytes()
    with pytest.raises(OSError) as failure:
        vakra.dump(value, path)
    assert failure.value.errno == errno.ENOSPC and str(failure.value) == f"[Errno 28] No space left on device: '{path}'"
    assert path.read_bytes() == before
    assert sorted(os.listdir(full_fs)) == ["packet.vkr"]  # no temporary file left behind


@pytest.mark.parametrize("link", [False, True], ids=["file", "symlink"])
def test_dump_to_a_path_replaces_the_file_atomically_as_it_was(link, tmp_path):
    path = target = tmp_path / "model.vkr"
    vakra.dump(ARRAY, target)
    if link:
        path = tmp_path / "link.vkr"
        path.symlink_to(target.name)
    os.chmod(target, 0o600)
    if os.geteuid() == 0:
        os.chown(target, 65534, 65534)
    before = target.stat()
    mapped = vakra.load(path)
    vakra.dump(np.zeros(3), path)  # smaller: truncating in place would pull the pages from under `mapped`
    after = target.stat()
    assert target.read_bytes() == vakra.dumps(np.zeros(3)) and after.st_ino != before.st_ino
    assert (after.st_mode, after.st_uid, after.st_gid) == (before.st_mode, before.st_uid, before.st_gid)
    assert path.is_symlink() == link and sorted(os.listdir(tmp_path)) == sorted({path.name, target.name})
    np.testing.assert_array_equal(mapped, ARRAY)


def test_dump_to_a_fifo_or_device_writes_into_it(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()), daemon=True)
    reader.start()
    vakra.dump(ARRAY, fifo)
    reader.join(10)
    assert got == [vakra.dumps(ARRAY)] and stat.S_ISFIFO(fifo.lstat().st_mode)
    if os.geteuid() == 0:  # a node like /dev/null: replacing it would leave a regular file
        os.mknod(tmp_path / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        vakra.dump(ARRAY, tmp_path / "null")
        assert stat.S_ISCHR((tmp_path / "null").lstat().st_mode)


def test_a_failed_dump_names_the_callers_path(tmp_path):
    path = tmp_path / "absent" / "x.vkr"
    with pytest.raises(FileNotFoundError) as failure:
        vakra.dump(ARRAY, path)
    assert str(failure.value) == f"[Errno 2] No such file or directory: '{path}'"


def test_dump_to_a_pipe_whose_reader_closed_raises_epipe():
    read_end, write_end = os.pipe()
    os.close(read_end)
    with open(write_end, "wb") as handle, pytest.raises(BrokenPipeError):
        vakra.dump({"a": ARRAY}, handle)


def _alarm(signum, frame):
    raise InterruptedError("alarm")


def _dump_to_a_pipe_nobody_reads():
    read_end, write_end = os.pipe()
    with open(read_end, "rb"), open(write_end, "wb") as handle:
        vakra.dump(ARRAY, handle)  # the pipe takes 64 KiB, then blocks


def _lock_a_held_mutex():
    mutex = SharedMutex(bytearray(64), 0, create=True)
    mutex.lock()
    mutex.lock(timeout=5)


WRITTEN = r"interrupted after writing [1-9]\d* of the packet's %d bytes to the file descriptor" % len(vakra.dumps(ARRAY))
PART = vakra.dumps(ARRAY)[:100_000]  # the rest never comes: reads hold bytes (past a Receiver's first 64 KiB)


def _read_part_of_a_packet(read):
    sender, receiving = socket.socketpair()
    with sender, receiving:
        sender.sendall(PART)
        read(receiving)


@pytest.mark.parametrize("call, note", [
    (_dump_to_a_pipe_nobody_reads, WRITTEN), (_lock_a_held_mutex, None),
    (lambda: _read_part_of_a_packet(vakra.recv), f"vakra: {len(PART)} bytes of the packet were read and are lost; .*"),
    (lambda: _read_part_of_a_packet(lambda receiving: vakra.Receiver(receiving).recv()), None),  # it keeps them
], ids=["dump to a pipe", "SharedMutex.lock", "recv inside a packet", "Receiver inside a packet"])
def test_a_raising_signal_handler_interrupts_a_blocking_call(call, note):
    previous = signal.signal(signal.SIGALRM, _alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(InterruptedError) as caught:
            call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert note is None or re.fullmatch(note, caught.value.__notes__[0])


class FailsHalfWay(io.RawIOBase):
    """Accepts 1000 bytes, then fails as `mode` says."""

    def __init__(self, mode: str):
        self.mode, self.taken = mode, 0

    def writable(self):
        return True

    def write(self, data):
        if self.taken < 1000:
            taken = min(1000 - self.taken, len(memoryview(data)))
            self.taken += taken
            return taken
        if self.mode == "raise":
            raise OSError(errno.EIO, "device gone")
        return None if self.mode == "block" else 0


@pytest.mark.parametrize("mode, error", [("raise", OSError), ("block", BlockingIOError), ("zero", OSError)])
def test_dump_to_a_file_object_failing_half_way_is_reported(mode, error):
    sink = FailsHalfWay(mode)
    with pytest.raises(error):
        vakra.dump({"a": ARRAY}, sink)
    assert sink.taken == 1000
