"""Packets as frames: split and merged anywhere, bodies viewed where they lie whole and copied nowhere else;
damaged frames refused. That frames join to dumps is part of test_api's round trip."""

import itertools
import mmap
import pickle
import sys
import threading

import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st

import vakra
from samples import RNG, VALUES, assert_same, packet_tree
from vakra.quantize import quantize
from vakra.ragged import StringTensor

FRAMED = {"array": VALUES["weights"], "dict": VALUES["every kind"], "tree": packet_tree()}
OPTIONS = [{}, {"check_integrity": True}, {"compress": True, "alignment": 8}]


@settings(max_examples=60, deadline=None)
@given(name=st.sampled_from(sorted(FRAMED)), options=st.sampled_from(OPTIONS), writable=st.booleans(), data=st.data())
def test_frames_split_and_merged_anywhere_decode_equal(name, options, writable, data):
    value = FRAMED[name]
    packet = vakra.dumps(value, **options)
    bounds = [0, *sorted(data.draw(st.sets(st.integers(0, len(packet)), max_size=12))), len(packet)]
    frames = [bytearray(packet[a:b]) for a, b in zip(bounds, bounds[1:])]
    out = vakra.loads_frames(frames, writable=writable)
    assert_same(value, out)
    # An uncompressed body lying whole in one frame is a view of that frame; any other is a copy.
    for array in (v for v in (out.values() if name == "dict" else [out]) if isinstance(v, np.ndarray) and v.nbytes >= 64):
        start = packet.find(array.tobytes())
        whole = not options.get("compress") and any(a <= start and start + array.nbytes <= b
                                                    for a, b in zip(bounds, bounds[1:]))
        assert sum(np.shares_memory(array, np.frombuffer(frame, np.uint8)) for frame in frames) == whole
        assert array.flags.writeable == (writable or "compress" in options)  # decompressed arrays are always writable


def test_no_copy_on_either_side_and_writes_go_through():
    value = {"x": RNG.standard_normal((300, 70), dtype=np.float32),
             "q": quantize(RNG.standard_normal((300, 256)), "qint8", axis=0)}
    frames = vakra.dumps_frames(value)
    at = [i for i, frame in enumerate(frames) if isinstance(frame, memoryview)]
    for i, source in zip(at, (value["x"], value["q"].data), strict=True):  # sent from the arrays' own memory
        assert np.shares_memory(np.frombuffer(frames[i], np.uint8), source)
    received = [bytearray(frame) for frame in frames]  # what a transport hands over
    out = vakra.loads_frames(received, writable=True)
    for i, array in zip(at, (out["x"], out["q"].data), strict=True):  # writable views: writes go through
        assert np.shares_memory(array, np.frombuffer(received[i], np.uint8)) and array.flags.writeable
    received[at[0]] = bytes(received[at[0]])  # read-only memory: a writable copy
    out = vakra.loads_frames(received, writable=True)
    assert out["x"].flags.writeable and not np.shares_memory(out["x"], np.frombuffer(received[at[0]], np.uint8))


@pytest.mark.parametrize("frames, error, text", [
    ([], ValueError, "Packet too short"),
    ([b"VKRA"], ValueError, "Packet too short"),
    ([b"VKR", b"X\x04" + bytes(8)], ValueError, "Invalid vakra packet"),
    (b"VKRA", TypeError, None), ([1, 2], TypeError, None), (None, TypeError, None),  # not a list of buffers
])
def test_hostile_frames_are_refused(frames, error, text):
    with pytest.raises(error, match=text):
        vakra.loads_frames(frames)


def test_frames_whose_lengths_add_past_2_to_the_64_are_refused(tmp_path):
    # One read-only mapping of a sparse 8 TiB file, listed 2**21 times: 2**64 bytes, which a
    # 64-bit sum wraps to 0.
    with open(tmp_path / "sparse", "wb") as out:
        try:
            out.truncate(1 << 43)
        except OSError:
            pytest.skip("this file system has no sparse files of 8 TiB")
    with open(tmp_path / "sparse", "rb") as source, mmap.mmap(source.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        with pytest.raises(ValueError, match="^Malformed vakra packet$"):
            vakra.loads_frames([mapped] * (1 << 21))


@pytest.mark.parametrize("value, options, damage, error", [
    (np.arange(4096, dtype=np.float64), {"check_integrity": True}, lambda body: body.__setitem__(100, 7),
     "Integrity check failed"),
    # Over 32 MiB, so that the decoder's copy is fresh zeroed memory, in which the damage would not show.
    (scipy.sparse.csr_matrix((np.ones(5 << 20, np.float32), np.zeros(5 << 20, np.int32), [0, 5 << 20]), (1, 2)), {},
     lambda body: np.frombuffer(body, np.int32).__setitem__(5, 10_000), "Malformed"),  # past the 2 columns
], ids=["checksum", "csr index"])
def test_damaged_body_in_a_frame_of_its_own_is_refused(value, options, damage, error):
    packet = vakra.dumps(value, **options)
    body = (value if isinstance(value, np.ndarray) else value.indices).tobytes()
    start = packet.rfind(body)  # not find: a body of zeros would match from the padding before it
    frames = [bytearray(packet[:start]), bytearray(body), bytearray(packet[start + len(body):])]
    damage(frames[1])
    with pytest.raises(ValueError, match=error):
        vakra.loads_frames(frames)


@pytest.mark.parametrize("make, change", [
    (lambda: np.arange(1 << 16, dtype=np.float64), lambda array: array.__iadd__(1)),
    (lambda: quantize(np.linspace(-1, 1, 1 << 16, dtype=np.float32), "qint8"),
     lambda tensor: tensor.data.__iadd__(1)),
    # Offsets viewing memory their owner may still write (a receive buffer, say); still a sound table once
    # changed: items 5 and 6 change length.
    (lambda: StringTensor._from_raw(np.arange(4096, dtype=np.uint64)[:], bytes(4095), 4095),
     lambda tensor: tensor.offsets.base.__setitem__(7, 6)),
], ids=["array", "quantized", "strings"])
def test_checksummed_frames_carry_the_bytes_their_checksum_was_taken_of(make, change):
    # Frames (and send's and dump's segments) go out later: a value written meanwhile must not break the checksum.
    value = make()
    before = vakra.dumps(value)
    frames = vakra.dumps_frames(value, check_integrity=True)
    change(value)
    assert vakra.dumps(vakra.loads_frames([bytes(frame) for frame in frames])) == before


@pytest.mark.parametrize("pieces", [1, 3], ids=["one frame", "assembled"])
@pytest.mark.parametrize("fmt", ["coo", "csr", "csc"])
def test_index_arrays_never_change_after_their_check(fmt, pieces):
    # Receive buffers, and the decoder's copy of split frames, are reused; SciPy's kernels trust index arrays.
    matrix = scipy.sparse.random(60, 50, density=0.2, format=fmt, random_state=5, dtype=np.float32)
    frames = [bytearray(part) for part in np.array_split(np.frombuffer(vakra.dumps(matrix), np.uint8), pieces)]
    got = vakra.loads_frames(frames)
    vakra.loads_frames([bytearray(frame) for frame in frames])  # the next packet, into the same copy buffer
    for frame in frames:
        frame[:] = b"\xff" * len(frame)
    assert all(np.array_equal(getattr(got, name), getattr(matrix, name)) for name in ("row", "col", "indices", "indptr")
               if hasattr(matrix, name))


def test_index_arrays_in_memory_others_write_are_the_checked_ones():
    # Another thread flips one index to an out-of-range value and back while the decoder works without the
    # interpreter lock (on the checksum of the entry after the matrix, between the matrix's check and its
    # arrays): every load is refused or holds a sound matrix, never the value SciPy would follow out of bounds.
    packet = bytearray(vakra.dumps({"m": scipy.sparse.csr_matrix(np.eye(64, dtype=np.float32)),
                                    "pad": np.zeros(1 << 20)}, check_integrity=True))
    index, stop = packet.find(np.arange(64, dtype=np.int32).tobytes()) + 4 * 32, threading.Event()

    def produce():
        for value in itertools.takewhile(lambda _: not stop.is_set(), itertools.cycle([1 << 30, 32])):
            packet[index:index + 4] = value.to_bytes(4, "little")

    producer, interval = threading.Thread(target=produce), sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    producer.start()
    try:
        outcomes = {_largest_index_or_refusal(packet) for _ in range(300)}
    finally:
        stop.set()
        producer.join()
        sys.setswitchinterval(interval)
    assert outcomes <= {63, "Malformed vakra packet"}


def _largest_index_or_refusal(data):
    try:
        return int(vakra.loads(data)["m"].indices.max())
    except ValueError as refused:
        return str(refused)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name, buffers", [("string tensor", 2), ("qint8", 3)])
def test_tensors_pickle_with_out_of_band_buffers(name, buffers, protocol):
    value, carried = VALUES[name], []
    out = pickle.loads(pickle.dumps(value, protocol=protocol, buffer_callback=carried.append if protocol >= 5 else None),
                       buffers=carried)
    assert type(out) is type(value) and out == value and len(carried) == (buffers if protocol >= 5 else 0)
