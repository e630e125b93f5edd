"""One packet at a time: load from files, pipes and in-memory streams, send/recv over sockets, packet_length."""

from __future__ import annotations

import io
import socket
import subprocess
import sys
import threading
from multiprocessing import shared_memory
from pathlib import Path

import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st

import vakra
from vakra.quantize import quantize

RNG = np.random.default_rng(7)
WEIGHTS = RNG.standard_normal((40, 30)).astype(np.float32)
# Every kind, with the options that change how a body ends.
PACKETS = {
    "dense, larger than a first read": (np.arange(100_000, dtype=np.float32), {}),
    "dense compressed": (np.arange(20000) % 251, {"compress": True}),
    "dense compressed, checksummed": (WEIGHTS, {"compress": True, "check_integrity": True, "alignment": 16}),
    "sparse": (scipy.sparse.random(20, 10, density=0.2, format="csr", random_state=1), {}),
    "string": (["alpha", "", "γ"], {"check_integrity": True}),
    "quantized": (quantize(WEIGHTS, "qint4", axis=1), {}),
    "bundle of every kind": ({"w": WEIGHTS, "m": scipy.sparse.identity(5, format="coo"), "s": ["x"],
                              "q": quantize(WEIGHTS, "qint8"), "d": {"c": np.arange(9.0)}}, {"compress": True}),
}
VALUES = [value for value, _ in PACKETS.values()]


def write_all(stream) -> None:
    """The packets back to back, as successive dumps write them (also run in a child process)."""
    for value, options in PACKETS.values():
        vakra.dump(value, stream, **options)


def assert_same(expected, actual):
    if isinstance(expected, dict):
        assert list(actual) == list(expected)
        for key in expected:
            assert_same(expected[key], actual[key])
    elif scipy.sparse.issparse(expected):
        assert (actual != expected).nnz == 0
    elif isinstance(expected, list):
        assert list(actual) == expected
    elif isinstance(expected, np.ndarray):
        np.testing.assert_array_equal(actual, expected)
    else:
        np.testing.assert_array_equal(actual.data, expected.data)


def load_all(stream, **options):
    values = [vakra.load(stream, **options) for _ in PACKETS]
    with pytest.raises(EOFError):
        vakra.load(stream, **options)
    return values


def through_file(tmp_path, mmap):
    path = tmp_path / "packets.vkr"
    with open(path, "wb") as out:
        write_all(out)
    with open(path, "rb") as stream:
        return load_all(stream, mmap=mmap)


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


def through_bytesio(tmp_path):
    stream = io.BytesIO()
    write_all(stream)
    stream.seek(0)
    return load_all(stream)


TRANSPORTS = {"mapped file": lambda p: through_file(p, True), "read file": lambda p: through_file(p, False),
              "pipe from a process": through_pipe, "socket pair": through_socket, "BytesIO": through_bytesio}


@pytest.mark.parametrize("transport", TRANSPORTS.values(), ids=TRANSPORTS.keys())
def test_every_kind_one_packet_at_a_time(transport, tmp_path):
    for expected, actual in zip(VALUES, transport(tmp_path)):
        assert_same(expected, actual)


@pytest.mark.parametrize("value, options", PACKETS.values(), ids=PACKETS.keys())
def test_packets_cut_short_or_followed_by_other_bytes(value, options, tmp_path):
    packet = vakra.dumps(value, **options)
    for cut in sorted({*range(1, min(len(packet), 2000)), *range(2000, len(packet), 4999), len(packet) - 1}):
        stream = io.BytesIO(packet[:cut])
        with pytest.raises(ValueError, match=rf"^Packet cut short: expected at least \d+ bytes, read {cut}$") as error:
            vakra.load(stream)
        assert stream.tell() == 0 and int(str(error.value).split()[-4]) <= len(packet)
        assert 0 < -vakra.packet_length(packet[:cut]) <= len(packet) - cut
    path = tmp_path / "cut.vkr"
    path.write_bytes(packet[:-1])
    with pytest.raises(ValueError, match=f"read {len(packet) - 1}$"):
        vakra.load(path)
    # Bytes after a packet belong to no one: every reader stops at its end.
    followed = packet + vakra.dumps(np.zeros(3)) + b"\x00" * 100
    assert (vakra.packet_length(followed), vakra.info(followed)["size"]) == (len(packet), len(packet))
    assert_same(value, vakra.loads(followed))


def test_compressed_packet_in_a_larger_shared_memory_block():
    block = shared_memory.SharedMemory(create=True, size=1 << 20)
    try:
        size = vakra.dump_into(WEIGHTS, block.buf, compress=True, check_integrity=True)
        assert size < 1 << 19 and vakra.info(block.buf)["size"] == vakra.packet_length(block.buf) == size
        loaded = vakra.loads(block.buf)
        np.testing.assert_array_equal(loaded, WEIGHTS)
    finally:
        block.close()
        block.unlink()


def test_rpc_request_reply_over_a_socket_pair():
    client, server = socket.socketpair()

    def serve():  # answers each request until the client hangs up
        while True:
            try:
                request = vakra.recv(server)
            except EOFError:
                return
            vakra.send(server, {"sum": request["x"].sum(keepdims=True), "echo": request["tag"]})

    thread = threading.Thread(target=serve)
    thread.start()
    for i in range(50):
        vakra.send(client, {"x": np.full(i + 1, 2.0), "tag": [f"request {i}"]})
        reply = vakra.recv(client)
        assert reply["sum"][0] == 2.0 * (i + 1) and list(reply["echo"]) == [f"request {i}"]
    client.close()
    thread.join(timeout=30)
    assert not thread.is_alive()
    server.close()


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
    # A header that declares 8 GB and then a hang-up: nothing near that is allocated.
    sender.sendall(vakra.dumps(np.zeros(1))[:10] + (10**9).to_bytes(4, "little") + bytes(200))
    sender.close()
    with pytest.raises(ValueError, match=r"cut short: expected at least \d{10} bytes, read 214$"):
        vakra.recv(receiver)
    receiver.close()


values = st.recursive(
    st.one_of(
        st.builds(lambda n, code: (np.arange(n) % 200).astype(vakra._native.dtype_names()[code]),
                  st.integers(0, 3000), st.integers(0, 13)),
        st.lists(st.text(max_size=20), max_size=20)),
    lambda children: st.dictionaries(st.text(max_size=8), children, max_size=5), max_leaves=12)


@settings(max_examples=150, deadline=None)
@given(values, st.booleans(), st.booleans(), st.sampled_from([1, 8, 64, 256]))
def test_packet_length_is_the_encoders_length(value, compress, check_integrity, alignment):
    packet = vakra.dumps(value, compress=compress, check_integrity=check_integrity, alignment=alignment)
    assert vakra.packet_length(packet + b"VKRA\x04") == len(packet)
    assert 0 < -vakra.packet_length(packet[:len(packet) // 2]) <= len(packet) - len(packet) // 2
