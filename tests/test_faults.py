"""Writes to a path: its file replaced atomically and durably as it was (mode, owner, the link leading to it) through
the kernel's path walk, or written into where it cannot be replaced; errors name the caller's path, nothing left."""

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
from pathlib import Path

import numpy as np
import pytest

import vakra
import vakra.torch
from vakra._io import atomic_write
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


@pytest.mark.parametrize("name, write", [
    ("packet.vkr", lambda path, _: vakra.dump(ARRAY, path)),
    ("packet.vkr", lambda path, _: vakra.dump({"a": ARRAY, "labels": ["x"] * 10}, path)),
    ("model.pt", lambda path, source: vakra.convert(source, path)),  # torch's writer turns the OSError into its own
], ids=["array", "dict", "convert to torch.save"])
def test_a_write_to_a_full_file_system_keeps_the_old_file(full_fs, name, write, tmp_path):
    vakra.save({"w": ARRAY}, tmp_path / "model.vkr")
    path = full_fs / name
    path.write_bytes(b"old")
    with pytest.raises(OSError) as failure:
        write(path, tmp_path / "model.vkr")
    assert failure.value.errno == errno.ENOSPC and str(failure.value) == f"[Errno 28] No space left on device: '{path}'"
    assert path.read_bytes() == b"old"
    assert sorted(os.listdir(full_fs)) == [name]  # no temporary file left behind


@pytest.mark.parametrize("write", [
    lambda path, **options: vakra.dump(ARRAY, path, **options),
    lambda path, **options: vakra.save({"a": ARRAY}, path, **options),
    lambda path, **options: vakra.torch.save({"a": vakra.torch.as_tensor(ARRAY)}, path, **options),
    lambda path, **options: vakra.convert(path.with_suffix(".npy"), path, **options),
], ids=["dump", "save", "torch.save", "convert"])
def test_writes_are_synced_before_the_rename_and_the_directory_after_unless_not_durable(write, tmp_path, monkeypatch):
    path = tmp_path / "out.vkr"
    path.write_bytes(b"old")
    np.save(path.with_suffix(".npy"), ARRAY)  # the converter's source
    synced, sync_data, sync, names = [], os.fdatasync, os.fsync, os.listdir(tmp_path)
    monkeypatch.setattr(os, "fdatasync", lambda fd: synced.append((path.read_bytes(), os.listdir(tmp_path))) or
                        sync_data(fd))
    monkeypatch.setattr(os, "fsync", lambda fd: synced.append(path.read_bytes() != b"old") or sync(fd))
    write(path)
    assert synced == [(b"old", names), True]  # the new file, written, has no name yet: a kill leaves nothing
    write(path, durable=False)
    assert len(synced) == 2 and path.read_bytes() != b"old"


@pytest.mark.parametrize("durable, swap", [(True, True), (False, True), (False, False)],
                         ids=["durable", "not durable: swapped in", "not durable: renamed (no renameat2)"])
@pytest.mark.parametrize("unnamed", [True, False], ids=["unnamed temporary", "named temporary"])
@pytest.mark.parametrize("link", [False, True], ids=["file", "symlink"])
def test_dump_to_a_path_replaces_the_file_atomically_as_it_was(link, unnamed, durable, swap, tmp_path, monkeypatch):
    monkeypatch.setattr(atomic_write, "UNNAMED_TEMPORARIES", unnamed)
    if not swap:
        monkeypatch.setattr(atomic_write, "_renameat2", None)
    monkeypatch.setattr(atomic_write, "_LARGE_FILE", 0)  # the old file's cache freed first, as a large one's is
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
    vakra.dump(np.zeros(3), path, durable=durable)  # smaller: truncating in place would pull the pages from under `mapped`
    after = target.stat()
    assert target.read_bytes() == vakra.dumps(np.zeros(3)) and after.st_ino != before.st_ino
    assert (after.st_mode, after.st_uid, after.st_gid) == (before.st_mode, before.st_uid, before.st_gid)
    assert path.is_symlink() == link and sorted(os.listdir(tmp_path)) == sorted({path.name, target.name})
    np.testing.assert_array_equal(mapped, ARRAY)


def test_dump_to_a_fifo_pipe_socket_or_device_writes_into_it(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()), daemon=True)
    reader.start()
    vakra.dump(ARRAY, fifo)
    reader.join(10)
    assert got == [vakra.dumps(ARRAY)] and stat.S_ISFIFO(fifo.lstat().st_mode)
    (read_end, write_end), (mine, peer) = os.pipe(), socket.socketpair()
    for descriptor in (write_end, mine.fileno()):  # as /dev/stdout is when output goes to a pipe or a socket
        vakra.dump(np.arange(3), f"/dev/fd/{descriptor}")
    assert os.read(read_end, 1000) == peer.recv(1000) == vakra.dumps(np.arange(3))
    if os.geteuid() == 0:  # a node like /dev/null: replacing it would leave a regular file
        os.mknod(tmp_path / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        vakra.dump(ARRAY, tmp_path / "null")
        assert stat.S_ISCHR((tmp_path / "null").lstat().st_mode)


@pytest.fixture
def protected_symlinks():
    # Links in sticky world-writable directories are followed by their owner or the directory's only.
    knob = Path("/proc/sys/fs/protected_symlinks")
    if os.geteuid() != 0 or not os.access(knob, os.W_OK):
        pytest.skip("setting fs.protected_symlinks needs root")
    before = knob.read_text()
    knob.write_text("1")
    yield
    knob.write_text(before)


def test_a_link_the_kernel_refuses_to_follow_is_not_followed(protected_symlinks, tmp_path):
    shared, victim = tmp_path / "shared", tmp_path / "root-only"
    shared.mkdir()
    shared.chmod(0o1777)  # as /tmp
    victim.write_bytes(b"root's")
    for name, target in (("link.vkr", victim), ("dangling.vkr", tmp_path / "created")):
        (shared / name).symlink_to(target)
        os.lchown(shared / name, 65534, 65534)  # planted by another user
        with pytest.raises(PermissionError, match=re.escape(str(shared / name))):
            vakra.dump(ARRAY, shared / name)
    assert victim.read_bytes() == b"root's" and not (tmp_path / "created").exists()


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


PIPE_PART = PART[:60_000]  # a pipe holds 64 KiB


def _load_part_of_a_packet_from_a_raw_pipe():
    read_end, write_end = os.pipe()
    with open(read_end, "rb", buffering=0) as pipe, open(write_end, "wb") as writer:
        writer.write(PIPE_PART)
        writer.flush()
        vakra.load(pipe)


@pytest.mark.parametrize("call, note", [
    (_dump_to_a_pipe_nobody_reads, WRITTEN), (_lock_a_held_mutex, None),
    (lambda: _read_part_of_a_packet(vakra.recv), f"vakra: {len(PART)} bytes of the packet were read and are lost; .*"),
    (lambda: _read_part_of_a_packet(lambda receiving: vakra.Receiver(receiving).recv()), None),  # it keeps them
    (_load_part_of_a_packet_from_a_raw_pipe, f"vakra: {len(PIPE_PART)} bytes of the packet were read and are lost; .*"),
], ids=["dump to a pipe", "SharedMutex.lock", "recv inside a packet", "Receiver inside a packet",
        "load of a raw pipe inside a packet"])
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
