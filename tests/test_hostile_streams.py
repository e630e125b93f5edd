"""Streams that trickle, stop anywhere, lie about lengths or carry garbage between packets."""

from __future__ import annotations

import io
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vakra

VALUES = [np.arange(3000, dtype=np.int32), {"w": np.ones((20, 20)), "s": ["a", "βγ"]}, ["x"] * 50,
          np.zeros(0, np.float32)]
OPTIONS = [{}, {"compress": True}, {"check_integrity": True, "compress": True, "alignment": 8}]
FIRST_STEP = 64 * 1024  # what a stream reader may ask for before anything has arrived


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


def encoded(picks):
    return [(VALUES[v], vakra.dumps(VALUES[v], **OPTIONS[o])) for v, o in picks]


def assert_equal(expected, actual):
    if isinstance(expected, dict):
        assert list(actual) == list(expected)
        for key in expected:
            assert_equal(expected[key], actual[key])
    else:
        assert list(np.asarray(actual).ravel()) == list(np.asarray(expected).ravel())


picks = st.lists(st.tuples(st.integers(0, len(VALUES) - 1), st.integers(0, len(OPTIONS) - 1)), min_size=1, max_size=4)
chunks = st.lists(st.integers(1, 5000), min_size=1, max_size=6)


@settings(max_examples=60, deadline=None)
@given(picks, chunks)
def test_any_delivery_gives_every_packet_and_never_reads_past_one(picked, sizes):
    packets = encoded(picked)
    stream = Trickle(b"".join(packet for _, packet in packets), sizes)
    end = 0
    for value, packet in packets:
        assert_equal(value, vakra.load(stream))
        end += len(packet)
        assert stream.position == end  # nothing of the next packet was taken
    with pytest.raises(EOFError):
        vakra.load(stream)


@settings(max_examples=60, deadline=None)
@given(picks, st.binary(min_size=1, max_size=40), chunks)
def test_garbage_between_packets_is_refused_and_a_fresh_stream_still_decodes(picked, garbage, sizes):
    (value, packet), *_ = encoded(picked)
    stream = Trickle(packet + b"\x00" + garbage + packet, sizes)  # never the start of a packet
    assert_equal(value, vakra.load(stream))
    with pytest.raises(ValueError, match="^Invalid vakra packet"):
        vakra.load(stream)
    assert_equal(value, vakra.load(Trickle(packet, sizes)))


def huge_declared_packet(extra: int) -> bytes:
    # A dense float64 header declaring 10^9 elements (8 GB), then only `extra` bytes of body.
    return b"VKRA\x04\x00\x00\x03\x01\x00" + struct.pack("<I", 10**9) + bytes(extra)


@pytest.mark.parametrize("sizes", [[1], [4096], [1 << 20]], ids=["one byte", "4 KiB", "1 MiB"])
def test_a_declared_size_is_not_trusted_for_allocation(sizes):
    sent = 3 << 20
    stream = Trickle(huge_declared_packet(sent), sizes)
    with pytest.raises(ValueError, match=rf"cut short: expected at least 8000000014 bytes, read {sent + 14}$"):
        vakra.load(stream)
    # Each read offers room in a buffer at most twice what has arrived (or a first step).
    assert all(have + room <= max(FIRST_STEP, 2 * have) for have, room in stream.offered)


def test_max_size_refuses_from_the_header_alone():
    stream = Trickle(huge_declared_packet(1 << 20), [1 << 20])
    with pytest.raises(ValueError, match="larger than max_size: at least 8000000014 bytes, max_size 1000000"):
        vakra.load(stream, max_size=10**6)
    assert stream.position <= FIRST_STEP
