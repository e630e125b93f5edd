"""One packet at a time: load, iter_load and Receiver on files, pipes and streams that trickle, stop anywhere, lie
about lengths or carry garbage between packets; send/recv over sockets, blocking and not; packet_length; info of a path.

The README runs a request/reply over a socket pair and a compressed packet inside a larger shared-memory block."""

from __future__ import annotations

import io
import os
import socket
import struct
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vakra
from samples import CSR, WEIGHTS, assert_same, packet_tree
from samples import VALUES as SAMPLES
from vakra.quantize import quantize

# Every kind, with the options that change how a body ends.
PACKETS = {
    "dense, larger than a first read": (np.arange(100_000, dtype=np.float32), {}),
    "dense compressed": (np.arange(20000) % 251, {"compress": True}),
    "dense compressed, checksummed": (WEIGHTS, {"compress": True, "check_integrity": True, "alignment": 16}),
    "sparse": (CSR, {}),
    "string": (["alpha", "", "γ"], {"check_integrity": True}),
    "quantized": (quantize(WEIGHTS, "qint4", axis=1), {}),
    "bundle of every kind": (SAMPLES["every kind"], {"compress": True}),
    "checkpoint tree": (packet_tree(), {"check_integrity": True}),
}
VALUES = [value for value, _ in PACKETS.values()]
ENCODED = [vakra.dumps(value, **options) for value, options in PACKETS.values()]
FIRST_STEP = 64 * 1024  # what a stream reader may ask for before anything has arrived


def write_all(stream) -> None:
    """The packets back to back, as successive dumps write them (also run in a child process)."""
    for value, options in PACKETS.values():
        vakra.dump(value, stream, **options)


def load_all(stream):
    values = [vakra.load(stream) for _ in PACKETS]
    with pytest.raises(EOFError):
        vakra.load(stream)
    return values


def written(tmp_path):
    with open(tmp_path / "packets.vkr", "wb") as out:
        write_all(out)
    return tmp_path / "packets.vkr"


def through_mapped_file(tmp_path):
    with open(written(tmp_path), "rb") as stream:
        return load_all(stream)


class CountingFile(io.FileIO):
    reads = 0

    def read(self, size=-1):
        CountingFile.reads += 1
        return super().read(size)

    def readinto(self, view):
        CountingFile.reads += 1
        return super().readinto(view)


def through_unmapped_file(tmp_path):
    """A regular file read, not mapped: one read per packet (the first reads the small file whole)."""
    CountingFile.reads = 0
    with CountingFile(written(tmp_path), "rb") as stream:
        values = [vakra.load(stream, mmap=False) for _ in PACKETS]
        with pytest.raises(EOFError):
            vakra.load(stream, mmap=False)
    assert CountingFile.reads == len(PACKETS)
    return values


def through_pipe(tmp_path):
    child = ("import sys; sys.path.insert(0, sys.argv[1]); import test_streams; "
             "test_streams.write_all(sys.stdout.buffer)")
    with subprocess.Popen([sys.executable, "-c", child, str(Path(__file__).parent)], stdout=subprocess.PIPE) as proc:
        values = load_all(proc.stdout)
    assert proc.returncode == 0
    return values


def through_socket(tmp_path):
    sender, receiver = socket.socketpair()
    thread = threading.Thread(target=lambda: ([vakra.send(sender, v, **o) for v, o in PACKETS.values()],
                                              sender.close()))
    thread.start()
    values = [vakra.recv(receiver) for _ in PACKETS]
    with pytest.raises(EOFError):
        vakra.recv(receiver)
    thread.join()
    receiver.close()
    return values


def through_receiver(tmp_path):
    sender, receiver = socket.socketpair()
    thread = threading.Thread(target=lambda: (write_all(sender.makefile("wb")), sender.close()))
    thread.start()
    values = list(vakra.Receiver(receiver))  # kept to the end: later packets never overwrite earlier ones
    thread.join()
    receiver.close()
    return values


def through_iterated_path(tmp_path):
    return list(vakra.iter_load(written(tmp_path)))


TRANSPORTS = {"mapped file": through_mapped_file, "unmapped file": through_unmapped_file,
              "pipe from a process": through_pipe, "socket pair": through_socket, "receiver": through_receiver,
              "iter_load of a path": through_iterated_path}


@pytest.mark.parametrize("transport", TRANSPORTS.values(), ids=TRANSPORTS.keys())
def test_every_kind_one_packet_at_a_time(transport, tmp_path):
    for expected, actual in zip(VALUES, transport(tmp_path), strict=True):
        assert_same(expected, actual)


class Trickle(io.RawIOBase):
    """Delivers `data` in the given chunk sizes (cycled) and records how much room each read offered."""

    def __init__(self, data: bytes, chunks: list[int]):
        self.data, self.chunks, self.position, self.offered = data, chunks, 0, []

    def readable(self):
        return True

    def readinto(self, view):
        self.offered.append((self.position, len(view)))
        size = min(len(view), self.chunks[len(self.offered) % len(self.chunks)], len(self.data) - self.position)
        view[:size] = self.data[self.position:self.position + size]
        self.position += size
        return size


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(1, len(PACKETS) - 1), min_size=1, max_size=4),  # all but the large one
       st.lists(st.integers(1, 5000), min_size=1, max_size=6), st.binary(min_size=1, max_size=40))
def test_any_split_of_a_stream_gives_the_same_values_in_linear_steps(picked, sizes, garbage):
    data = b"".join(ENCODED[i] for i in picked) + b"\x00" + garbage  # never the start of a packet
    stream, end = Trickle(data, sizes), 0
    for i in picked:
        assert_same(VALUES[i], vakra.load(stream))
        end += len(ENCODED[i])
        assert stream.position == end  # nothing of the next packet was taken
    with pytest.raises(ValueError, match="^Invalid vakra packet"):
        vakra.load(stream)
    # A receiver reads ahead and keeps the rest: the same values, and no read that brings nothing new.
    stream = Trickle(data, sizes)
    receiver = vakra.Receiver(stream)
    for i in picked:
        assert_same(VALUES[i], receiver.recv())
    with pytest.raises(ValueError, match="^Invalid vakra packet"):
        receiver.recv()
    assert len(stream.offered) <= len(data) // min(sizes) + 1


def test_a_non_blocking_socket_fed_one_byte_at_a_time_loses_nothing():
    sender, receiver_socket = socket.socketpair()
    receiver_socket.setblocking(False)
    receiver = vakra.Receiver(receiver_socket)
    for packet, value in [(ENCODED[0], VALUES[0]), (ENCODED[3], VALUES[3]), (ENCODED[4], VALUES[4])]:
        for byte in range(len(packet) - 1):
            sender.send(packet[byte:byte + 1])
            with pytest.raises(BlockingIOError):
                receiver.recv()
            assert receiver.buffered == byte + 1
        sender.send(packet[-1:])
        assert_same(value, receiver.recv())
    sender.sendall(ENCODED[1] + ENCODED[2])  # two at once: one read, both kept
    assert_same(VALUES[1], receiver.recv())
    assert receiver.buffered == len(ENCODED[2])
    assert_same(VALUES[2], receiver.recv())
    sender.close()
    assert list(receiver) == []
    receiver_socket.close()


def test_a_receiver_takes_what_a_buffered_pipe_holds_without_waiting_for_more():
    read_end, write_end = os.pipe()
    with os.fdopen(read_end, "rb") as stream:
        for packet, value, read in [(ENCODED[4], VALUES[4], lambda: vakra.Receiver(stream).recv()),
                                    (ENCODED[3], VALUES[3], lambda: next(vakra.iter_load(stream)))]:
            os.write(write_end, packet)  # and the writer waits for a reply: readinto would wait for more
            assert_same(value, read())
    os.close(write_end)


def writable_results(tmp_path):
    sender, receiver = socket.socketpair()
    value = {"w": np.arange(6.0), "csr": CSR}
    for _ in range(2):
        vakra.send(sender, value)
    path = tmp_path / "w.vkr"
    vakra.dump(value, path)
    return [vakra.recv(receiver, writable=True), vakra.Receiver(receiver, writable=True).recv(),
            next(vakra.iter_load(path, writable=True)), next(vakra.iter_load(path, mmap=False, writable=True))]


def test_writable_results_are_writable_and_the_rest_read_only(tmp_path):
    for result in writable_results(tmp_path):
        result["w"] += 1
        result["csr"].data[0] = 5
        assert result["w"][-1] == 6.0
    sender, receiver = socket.socketpair()
    vakra.send(sender, np.arange(3))
    assert not vakra.Receiver(receiver).recv().flags.writeable


def test_iter_load_leaves_a_file_or_stream_right_after_the_last_packet(tmp_path):
    path = written(tmp_path)
    with open(path, "rb") as handle:
        packets = vakra.iter_load(handle)
        assert_same(VALUES[0], next(packets))
        assert handle.tell() == len(ENCODED[0])
        packets.close()
    stream = io.BytesIO(path.read_bytes())
    packets = vakra.iter_load(stream)
    next(packets), next(packets)
    packets.close()  # the receiver read ahead; the stream is put back after the second packet
    assert stream.tell() == len(ENCODED[0]) + len(ENCODED[1])
    with pytest.raises(ValueError, match="^Packet cut short"):
        list(vakra.iter_load(io.BytesIO(ENCODED[1] + ENCODED[0][:-1])))


def test_info_of_a_path_reads_the_first_packets_headers(tmp_path):
    path = written(tmp_path)
    assert vakra.info(path) == vakra.info(ENCODED[0]) == vakra.info(str(path))
    (tmp_path / "cut").write_bytes(ENCODED[0][:100])
    (tmp_path / "empty").write_bytes(b"")
    for name in ("cut", "empty"):
        with pytest.raises(ValueError, match="^Packet too short"):
            vakra.info(tmp_path / name)


def stored_blocks(dim: int, blocks: list[bytes]) -> bytes:
    """A compressed uint8 [dim] packet whose LZ4 frame holds `blocks`, each stored uncompressed."""
    frame = struct.pack("<I", 0x184D2204) + bytes([0x60, 0x40, 0x82])  # FLG, BD (64 KiB blocks), header checksum
    frame += b"".join(struct.pack("<I", 0x80000000 | len(block)) + block for block in blocks) + bytes(4)
    return b"VKRA\x04\x04\x00\x05\x01\x00" + struct.pack("<I", dim) + frame


# A writer may flush after every byte (one block each); it never writes an empty block.
MANY_BLOCKS = stored_blocks(3000, [bytes([i % 251]) for i in range(3000)])


@pytest.mark.parametrize("transport", [
    lambda packet: vakra.load(io.BytesIO(packet)),
    lambda packet: vakra.load(Trickle(packet, [7])),  # a pipe: nothing is read past what the walker asks for
], ids=["BytesIO", "trickle"])
def test_a_frame_of_many_blocks_streams_and_one_of_empty_blocks_is_refused(transport):
    assert vakra.packet_length(MANY_BLOCKS + b"VKRA") == len(MANY_BLOCKS)
    np.testing.assert_array_equal(transport(MANY_BLOCKS), np.arange(3000) % 251)
    # Empty blocks, or more blocks than the body has bytes, are no writer's frame.
    for refused in (stored_blocks(1, [b""] * 4000 + [b"x"]), stored_blocks(2, [b"x", b"y", b"z"])):
        with pytest.raises(ValueError, match="^Malformed vakra packet$"):
            vakra.packet_length(refused)
        with pytest.raises(ValueError, match="^Malformed vakra packet"):
            transport(refused)


def huge_declared_packet(extra: int) -> bytes:
    # A dense float64 header declaring 10^9 elements (8 GB), then only `extra` bytes of body.
    return b"VKRA\x04\x00\x00\x03\x01\x00" + struct.pack("<I", 10**9) + bytes(extra)


CUT = r"^Packet cut short: expected at least 8000000014 bytes, read 786446$"


@pytest.mark.parametrize("sizes, max_size, error", [
    ([1], None, CUT), ([4096], None, CUT), ([1 << 20], None, CUT),
    ([1 << 20], 10**6, "^Packet larger than max_size: at least 8000000014 bytes, max_size 1000000"),
], ids=["one byte", "4 KiB", "1 MiB", "max_size"])
@pytest.mark.parametrize("read", [lambda stream, max_size: vakra.load(stream, max_size=max_size),
                                  lambda stream, max_size: vakra.Receiver(stream, max_size=max_size).recv()],
                         ids=["load", "receiver"])
def test_a_declared_size_is_not_trusted_for_allocation(sizes, max_size, error, read):
    stream = Trickle(huge_declared_packet(3 << 18), sizes)  # twelve first steps: the window doubles several times
    with pytest.raises(ValueError, match=error):
        read(stream, max_size)
    # Each read offers room in a buffer at most twice what has arrived (or a first step); max_size refuses the
    # packet from its header alone.
    assert all(have + room <= max(FIRST_STEP, 2 * have) for have, room in stream.offered)
    assert max_size is None or stream.position <= FIRST_STEP


@pytest.mark.parametrize("claim", [lambda room: room, lambda room: room + 1, lambda room: -1],
                         ids=["all the room", "more than the room", "negative"])
def test_a_reader_claiming_bytes_it_never_wrote(claim):
    header = b"VKRA\x04\x00\x00\x05\x01\x00" + struct.pack("<I", 60000)  # uint8 (60000,), body claimed only
    stream = Trickle(header, [len(header)])
    honest = stream.readinto
    stream.readinto = lambda view: honest(view) if stream.position < len(header) else claim(len(view))
    np.frombuffer(b"stale" * 20000, np.uint8).copy()  # freed at once: the heap holds these bytes now
    if claim(1) == 1:  # a count within the room cannot be told from a true one: the room was zeros
        assert not vakra.load(stream).any()
    else:
        with pytest.raises(OSError, match="^readinto.. returned invalid length"):
            vakra.load(stream)


def test_a_stream_without_read_is_no_file_object():
    class ReadintoOnly:
        readinto = io.BytesIO(vakra.dumps(np.arange(3))).readinto

    with pytest.raises(TypeError, match="^file must have a 'read' attribute .*; 'ReadintoOnly' has no 'read'$"):
        vakra.load(ReadintoOnly())


def test_socket_limits_timeouts_and_broken_peers():
    sender, receiver = socket.socketpair()
    packet = vakra.dumps(np.arange(1000.0))
    sender.sendall(packet)
    # max_size refuses from the header alone, without consuming the packet.
    with pytest.raises(ValueError, match="larger than max_size: at least 8064 bytes, max_size 8000"):
        vakra.recv(receiver, max_size=8000)
    np.testing.assert_array_equal(vakra.recv(receiver, max_size=8064), np.arange(1000.0))
    receiver.settimeout(0.05)
    with pytest.raises(TimeoutError):  # nothing has arrived: nothing consumed, try again
        vakra.recv(receiver)
    sender.sendall(packet[:5000])
    with pytest.raises(TimeoutError) as error:  # stalled inside a packet
        vakra.recv(receiver)
    assert "5000 bytes of the packet were read and are lost" in error.value.__notes__[0]
    receiver.settimeout(None)
    sender.sendall(huge_declared_packet(200))  # then a hang-up: nothing near 8 GB is allocated
    sender.close()
    with pytest.raises(ValueError, match=r"cut short: expected at least 8000000014 bytes, read 214$"):
        vakra.recv(receiver)
    receiver.close()
