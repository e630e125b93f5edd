"""One packet at a time: load from files and pipes, send/recv over sockets, packet_length.

The README runs a request/reply over a socket pair and a compressed packet inside a larger shared-memory block."""

from __future__ import annotations

import io
import socket
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vakra
from samples import CSR, WEIGHTS, assert_same
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
}
VALUES = [value for value, _ in PACKETS.values()]


def write_all(stream) -> None:
    """The packets back to back, as successive dumps write them (also run in a child process)."""
    for value, options in PACKETS.values():
        vakra.dump(value, stream, **options)


def load_all(stream):
    values = [vakra.load(stream) for _ in PACKETS]
    with pytest.raises(EOFError):
        vakra.load(stream)
    return values


def through_mapped_file(tmp_path):
    with open(tmp_path / "packets.vkr", "wb") as out:
        write_all(out)
    with open(tmp_path / "packets.vkr", "rb") as stream:
        return load_all(stream)


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


TRANSPORTS = {"mapped file": through_mapped_file, "pipe from a process": through_pipe, "socket pair": through_socket}


@pytest.mark.parametrize("transport", TRANSPORTS.values(), ids=TRANSPORTS.keys())
def test_every_kind_one_packet_at_a_time(transport, tmp_path):
    for expected, actual in zip(VALUES, transport(tmp_path)):
        assert_same(expected, actual)


@pytest.mark.parametrize("value, options", PACKETS.values(), ids=PACKETS.keys())
def test_bytes_after_a_packet_belong_to_no_one(value, options):
    packet = vakra.dumps(value, **options)
    followed = packet + vakra.dumps(np.zeros(3)) + b"\x00" * 100
    assert (vakra.packet_length(followed), vakra.info(followed)["size"]) == (len(packet), len(packet))
    assert_same(value, vakra.loads(followed))


def test_a_large_packet_cut_short_in_a_stream_or_a_file(tmp_path):
    packet = vakra.dumps(VALUES[0])  # cut inside the first read of the body, and inside a later one
    for cut in (70_000, len(packet) - 1):
        with pytest.raises(ValueError, match=f"^Packet cut short: expected at least {len(packet)} bytes, read {cut}$"):
            vakra.load(io.BytesIO(packet[:cut]))
    (tmp_path / "cut.vkr").write_bytes(packet[:-1])
    with pytest.raises(ValueError, match=f"read {len(packet) - 1}$"):
        vakra.load(tmp_path / "cut.vkr")


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
