import gc
import struct
import subprocess
import sys

import lz4.frame
import numpy as np
import pytest
import scipy.sparse

import packet_builders as pb
import vakra.quantize
import vakra.ragged
from vakra.vakra_rs import loads_rs

SOURCES = {"bytes": bytes, "bytearray": bytearray, "memoryview": lambda p: memoryview(bytearray(p)),
           "uint8 ndarray": lambda p: np.frombuffer(bytearray(p), dtype=np.uint8)}


@pytest.mark.parametrize("make_source", SOURCES.values(), ids=SOURCES.keys())
def test_dense_is_a_read_only_view_of_the_source(make_source):
    a = np.arange(12, dtype=np.int32).reshape(3, 4)
    source = make_source(pb.dense(a))
    out = loads_rs(source)
    assert out.dtype == a.dtype and np.array_equal(out, a)
    assert not out.flags.writeable
    assert np.shares_memory(out, np.frombuffer(source, dtype=np.uint8))
    if isinstance(source, bytearray):  # a later change shows through; the view keeps the source alive
        source[64] = 99
        del source
        gc.collect()
        assert out[0].tolist() == [99, 1, 2, 3]


@pytest.mark.parametrize("array", [np.float32(1.5), np.zeros((2, 0, 3), np.int16), np.array([1 + 2j, -3j]),
                                   np.arange(5, dtype=np.uint64) * (2**63 // 5)], ids=lambda a: f"{np.asarray(a).dtype}")
def test_dense_shapes_and_dtypes(array):
    out = loads_rs(pb.dense(array))
    assert out.shape == np.shape(array) and out.dtype == np.asarray(array).dtype and np.array_equal(out, array)


def test_bundles_are_dicts_in_wire_order_viewed_in_place():
    one, y = pb.dense(np.array([1], np.int8)), np.arange(7, dtype=np.float32) / 3
    source = bytearray(pb.bundle([("b", one), ("", one), ("a", pb.bundle([("y", pb.dense(y))])),
                                  ("b", pb.dense(np.array([4])))]))
    out = loads_rs(source)
    assert list(out) == ["b", "", "a"] and out["b"].tolist() == [4] and np.array_equal(out["a"]["y"], y)  # last "b" wins
    base = np.frombuffer(source, dtype=np.uint8).ctypes.data
    assert out["a"]["y"].ctypes.data == base + source.index(y.tobytes()) and not out["a"]["y"].flags.writeable
    assert loads_rs(pb.bundle([])) == {}


def assert_owned_writable(out, expected):
    assert np.array_equal(out, expected) and out.dtype == expected.dtype and out.shape == expected.shape
    assert out.flags.writeable and out.flags.owndata and out.base is None


@pytest.mark.parametrize("flags", [pb.ALIGNED | pb.COMPRESSED, pb.COMPRESSED | pb.INTEGRITY])
@pytest.mark.parametrize("array", [np.arange(1000.0).reshape(10, 100), np.float32(2.5), np.zeros((0, 5), np.int32)])
def test_compressed_arrays_become_owned_writable_arrays_at_any_depth(flags, array):
    array = np.asarray(array)
    assert_owned_writable(loads_rs(pb.dense(array, flags)), array)
    data, row, col = np.array([1.0, 2.0, 3.0]), np.array([0, 1, 2], np.int32), np.array([2, 0, 1], np.int32)
    matrix = pb.sparse(pb.COO, (3, 3), [pb.dense(data, flags), pb.dense(row), pb.dense(col)])
    out = loads_rs(pb.bundle([("a", pb.dense(array, flags)), ("m", matrix)]))
    assert_owned_writable(out["a"], array)
    assert np.array_equal(out["m"].toarray(), scipy.sparse.coo_matrix((data, (row, col)), (3, 3)).toarray())


@pytest.mark.parametrize("body, message", [
    (b"\x04\x22\x4d\x18garbage", "LZ4 frame decompression failed"),
    (lz4.frame.compress(np.ones(4, np.float32).tobytes())[:-3], "LZ4 frame decompression failed"),
    (lz4.frame.compress(np.zeros(3, np.float32).tobytes()), "Malformed vakra packet"),  # the shape says 4
    (lz4.frame.compress(np.zeros(5, np.float32).tobytes()), "Malformed vakra packet"),
    (b"", "Malformed vakra packet"),  # too small to hold 16 bytes
])
def test_bad_compressed_bodies_at_any_depth(body, message):
    packet = pb.dense(np.zeros(4, np.float32), pb.ALIGNED | pb.COMPRESSED, body=body)
    for data in (packet, pb.bundle([("k", packet)])):
        with pytest.raises(ValueError) as info:
            loads_rs(data)
        assert str(info.value) == message


def test_damaged_frame_is_reported_before_numpy_refuses_the_dtype():
    # A fresh interpreter, where NumPy does not know "bfloat16" (ml_dtypes is not imported).
    script = """
import struct, lz4.frame
from vakra.vakra_rs import loads_rs
prefix = b"VKRA" + struct.pack("<BHBBB", 4, 5, 15, 1, 0) + struct.pack("<I", 2) + bytes(50)
for body in (b"\\x04\\x22\\x4d\\x18garbage", lz4.frame.compress(b"abcdef"), lz4.frame.compress(b"abcd")):
    try:
        loads_rs(prefix + body)
    except Exception as exc:
        print(type(exc).__name__, exc)
"""
    lines = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert lines.splitlines() == ["ValueError LZ4 frame decompression failed", "ValueError Malformed vakra packet",
                                  "TypeError data type 'bfloat16' not understood"]


@pytest.mark.parametrize("packet", [
    pb.offsets_body(pb.RAGGED | pb.ALIGNED, [b"a", b"bc"]), pb.inline(),
    pb.bundle([("x", pb.dense(np.ones(2))), ("r", pb.offsets_body(pb.RAGGED, [b""])), ("y", pb.dense(np.ones(1)))]),
    pb.bundle([("nested", pb.bundle([("r", pb.inline())]))]),
    pb.sparse(pb.CSR, (1, 1), [pb.dense(np.ones(1)), pb.inline(), pb.dense(np.zeros(2, np.int32))]),
], ids=["ragged", "inline", "bundle with ragged", "nested inline", "sparse with inline"])
def test_unconverted_kinds_give_none(packet):
    assert loads_rs(packet) is None


@pytest.mark.parametrize("fmt, flag", [("coo", pb.COO), ("csr", pb.CSR), ("csc", pb.CSC)])
def test_sparse_matrices(fmt, flag):
    m = getattr(scipy.sparse, f"{fmt}_matrix")(scipy.sparse.random(5, 7, density=0.3, dtype=np.float32, random_state=1))
    parts = (m.data, m.row, m.col) if fmt == "coo" else (m.data, m.indices, m.indptr)
    out = loads_rs(pb.sparse(flag, m.shape, [pb.dense(p) for p in parts]))
    assert type(out) is type(m) and out.shape == (5, 7) and np.array_equal(out.toarray(), m.toarray())


def test_sparse_without_scipy(monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    ints = pb.dense(np.zeros(1, np.int32))
    with pytest.raises(ImportError) as info:
        loads_rs(pb.sparse(pb.COO, (2, 2), [pb.dense(np.ones(1)), ints, ints]))
    assert str(info.value) == "scipy is required for sparse deserialization"


def test_quantized_calls_the_class_with_the_eight_keywords(monkeypatch):
    monkeypatch.setattr(vakra.quantize, "QuantizedTensor", lambda **kwargs: kwargs)
    kw = loads_rs(pb.quantized(18, (3,), [0.5, 2.0], [1.0, 0.0], [0x21, 0x03], scheme=7, axis=255, group_size=9))
    assert list(kw) == ["data", "scales", "zero_points", "shape", "dtype_code", "quant_scheme", "group_size", "axis"]
    assert kw["data"].dtype == np.uint8 and kw["data"].tolist() == [0x21, 0x03]
    assert kw["scales"].dtype == np.float32 and kw["scales"].tolist() == [0.5, 2.0] and kw["zero_points"].tolist() == [1, 0]
    assert all(kw[k].flags.writeable and kw[k].flags.owndata for k in ("data", "scales", "zero_points"))
    assert [kw[k] for k in list(kw)[3:]] == [(3,), 18, 7, 9, 255]


@pytest.mark.parametrize("packet, items", [
    (pb.offsets_body(pb.STRING | pb.ALIGNED | pb.INTEGRITY, [b"ab", b"", "βeta".encode()]), ["ab", "", "βeta"]),
    (pb.offsets_body(pb.STRING | pb.ALIGNED, [], shape=()), []),
    (pb.offsets_body(pb.STRING | pb.ALIGNED, [b"a", b"b"], shape=(2, 5)), ["a", "b"]),
], ids=["three", "scalar shape", "two dimensions"])
def test_strings_become_string_tensors(packet, items):
    out = loads_rs(packet)
    assert isinstance(out, vakra.ragged.StringTensor) and out == vakra.ragged.StringTensor(items)


def flip_last(packet):
    return packet[:-1] + bytes([packet[-1] ^ 1])


@pytest.mark.parametrize("packet, message", [
    (b"VKRA\x04\x01", "Packet too short"),
    (b"VKRB\x04\x01\x00\x01\x00\x00", "Invalid vakra packet"),
    (b"VKRA\x05" + bytes(10), "Unsupported protocol version: 5"),
    (pb.header(pb.ALIGNED, 22, 0), "Unsupported or unknown dtype code: 22"),
    (pb.header(pb.ALIGNED, 1, 2) + struct.pack("<II", 100000, 100000), "Packet exceeds maximum elements"),
    (flip_last(pb.dense(np.ones(3), pb.ALIGNED | pb.INTEGRITY)), "Integrity check failed: XXH3 mismatch"),
    (pb.header(pb.INLINE | pb.INTEGRITY, 0, 0, 1) + bytes(96), "Malformed vakra packet"),
    # A tiny frame claiming 10^9 float64 elements is refused before the array is allocated.
    (pb.header(pb.ALIGNED | pb.COMPRESSED, 3, 1) + struct.pack("<I", 10**9) + bytes(50) + lz4.frame.compress(b""),
     "Malformed vakra packet"),
], ids=["short", "magic", "version", "dtype", "elements", "checksum", "inline", "huge shape, tiny frame"])
def test_codec_errors_are_value_errors(packet, message):
    source = bytearray(packet)
    with pytest.raises(ValueError) as info:
        loads_rs(source)
    assert str(info.value) == message
    source.append(0)  # resizable again: the export was released on the error path


