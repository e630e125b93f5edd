import gc
import struct
import subprocess
import sys

import lz4.frame
import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st

import packet_builders as pb
import vakra.quantize
import vakra.ragged
from vakra.vakra_rs import loads_rs

SOURCES = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": lambda p: memoryview(bytearray(p)),
    "uint8 ndarray": lambda p: np.frombuffer(bytearray(p), dtype=np.uint8),
}


def source_bytes(source):
    return np.frombuffer(source, dtype=np.uint8)


@pytest.mark.parametrize("make_source", SOURCES.values(), ids=SOURCES.keys())
def test_dense_is_a_read_only_view_of_the_source(make_source):
    a = np.arange(12, dtype=np.int32).reshape(3, 4)
    source = make_source(pb.dense(a))
    out = loads_rs(source)
    assert out.dtype == a.dtype and out.shape == (3, 4)
    assert np.array_equal(out, a)
    assert not out.flags.writeable
    assert np.shares_memory(out, source_bytes(source))
    with pytest.raises(ValueError):
        out[0, 0] = 1


def test_bytearray_change_shows_through_and_keeps_source_alive():
    source = bytearray(pb.dense(np.zeros(4, dtype=np.uint8)))
    out = loads_rs(source)
    source[64 + 2] = 9
    assert out.tolist() == [0, 0, 9, 0]
    del source
    gc.collect()
    assert out.tolist() == [0, 0, 9, 0]


@pytest.mark.parametrize(
    "array",
    [
        np.float32(1.5),
        np.zeros((0,), np.float64),
        np.zeros((2, 0, 3), np.int16),
        np.array([True, False]),
        np.array([1 + 2j, -3j], np.complex128),
        np.arange(6, dtype=np.float16).reshape(1, 2, 3),
        np.arange(5, dtype=np.uint64) * (2**63 // 5),
    ],
    ids=lambda a: f"{np.asarray(a).dtype}{np.shape(a)}",
)
def test_dense_shapes_and_dtypes(array):
    out = loads_rs(pb.dense(array))
    assert out.shape == np.shape(array) and out.dtype == np.asarray(array).dtype
    assert np.array_equal(out, array)


def test_unaligned_body_in_version_3_packet():
    a = np.array([1.0, 2.0], dtype=np.float64)
    packet = b"VKRA" + bytes([3, 0, pb.DTYPE_CODES["float64"], 1]) + struct.pack("<I", 2) + a.tobytes()
    out = loads_rs(packet)
    assert out.tolist() == [1.0, 2.0] and not out.flags.writeable


def test_bundle_is_a_dict_in_wire_order_with_last_duplicate_winning():
    packet = pb.bundle(
        [
            ("b", pb.dense(np.array([1], np.int8))),
            ("", pb.dense(np.array([2], np.int8))),
            ("a", pb.bundle([("inner", pb.dense(np.array([3.5], np.float32)))])),
            ("b", pb.dense(np.array([4], np.int8))),
        ]
    )
    out = loads_rs(packet)
    assert list(out) == ["b", "", "a"]
    assert out["b"].tolist() == [4] and out[""].tolist() == [2]
    assert out["a"]["inner"].tolist() == [3.5]
    assert loads_rs(pb.bundle([])) == {}


def test_nested_dense_is_viewed_at_its_offset_in_the_source():
    x, y = np.arange(10, dtype=np.int64), np.arange(7, dtype=np.float32) / 3
    source = bytearray(pb.bundle([("x", pb.dense(x)), ("deeper", pb.bundle([("y", pb.dense(y))]))]))
    out = loads_rs(source)
    assert np.array_equal(out["x"], x) and np.array_equal(out["deeper"]["y"], y)
    base = source_bytes(source).ctypes.data
    y_offset = source.index(y.tobytes())
    assert out["deeper"]["y"].ctypes.data == base + y_offset
    assert not out["deeper"]["y"].flags.writeable


def assert_owned_writable(out, expected):
    assert np.array_equal(out, expected) and out.dtype == expected.dtype
    assert out.flags.writeable and out.flags.owndata and out.base is None


@pytest.mark.parametrize("flags", [pb.ALIGNED | pb.COMPRESSED, pb.ALIGNED | pb.COMPRESSED | pb.INTEGRITY, pb.COMPRESSED])
@pytest.mark.parametrize(
    "array", [np.arange(1000, dtype=np.float64).reshape(10, 100), np.float32(2.5), np.zeros((0, 5), np.int32)]
)
def test_compressed_top_level_becomes_an_owned_writable_array(flags, array):
    out = loads_rs(pb.dense(array, flags))
    assert_owned_writable(out, np.asarray(array))
    assert out.shape == np.shape(array)


def test_compressed_inside_bundle_and_sparse_become_owned_arrays():
    a = np.arange(50, dtype=np.uint16).reshape(5, 10)
    data = np.array([1.0, 2.0, 3.0])
    row, col = np.array([0, 1, 2], np.int32), np.array([2, 0, 1], np.int32)
    matrix = pb.sparse(pb.COO, (3, 3), [pb.dense(data, pb.ALIGNED | pb.COMPRESSED), pb.dense(row), pb.dense(col)])
    out = loads_rs(pb.bundle([("a", pb.dense(a, pb.ALIGNED | pb.COMPRESSED)), ("m", matrix)]))
    assert_owned_writable(out["a"], a)
    assert np.array_equal(out["m"].toarray(), scipy.sparse.coo_matrix((data, (row, col)), (3, 3)).toarray())


@pytest.mark.parametrize(
    "body, message",
    [
        (b"\x04\x22\x4d\x18garbage", "LZ4 frame decompression failed"),
        (lz4.frame.compress(np.ones(4, np.float32).tobytes())[:-3], "LZ4 frame decompression failed"),
        (b"", "Malformed vakra packet"),  # cannot hold 16 bytes
        (lz4.frame.compress(np.zeros(3, np.float32).tobytes()), "Malformed vakra packet"),  # 3 elements, shape says 4
        (lz4.frame.compress(np.zeros(5, np.float32).tobytes()), "Malformed vakra packet"),
    ],
)
def test_bad_compressed_bodies(body, message):
    packet = pb.dense(np.zeros(4, np.float32), pb.ALIGNED | pb.COMPRESSED, body=body)
    with pytest.raises(ValueError) as info:
        loads_rs(packet)
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        loads_rs(pb.bundle([("k", packet)]))
    assert str(info.value) == message


def test_tiny_frame_claiming_a_huge_shape_is_refused_before_allocating():
    frame = lz4.frame.compress(b"")
    prefix = pb.header(pb.ALIGNED | pb.COMPRESSED, pb.DTYPE_CODES["float64"], 1) + struct.pack("<I", 10**9)
    with pytest.raises(ValueError) as info:
        loads_rs(prefix + b"\0" * 50 + frame)
    assert str(info.value) == "Malformed vakra packet"


def test_damaged_frame_is_reported_before_numpy_refuses_the_dtype():
    # A fresh interpreter, where NumPy does not know "bfloat16" (ml_dtypes not imported).
    script = """
import struct, lz4.frame
from vakra.vakra_rs import loads_rs
prefix = b"VKRA" + struct.pack("<BHBBB", 4, 5, 15, 1, 0) + struct.pack("<I", 2) + b"\\0" * 50
for body in (b"\\x04\\x22\\x4d\\x18garbage", lz4.frame.compress(b"abcdef"), lz4.frame.compress(b"abcd")):
    try:
        loads_rs(prefix + body)
    except Exception as exc:
        print(type(exc).__name__, exc)
"""
    lines = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout.splitlines()
    assert lines == [
        "ValueError LZ4 frame decompression failed",
        "ValueError Malformed vakra packet",
        "TypeError data type 'bfloat16' not understood",
    ]


@pytest.mark.parametrize(
    "packet",
    [
        pb.offsets_body(pb.RAGGED | pb.ALIGNED, [b"a", b"bc"]),
        pb.inline(),
        pb.bundle([("x", pb.dense(np.ones(2))), ("r", pb.offsets_body(pb.RAGGED | pb.ALIGNED, [b""])), ("y", pb.dense(np.ones(1)))]),
        pb.bundle([("nested", pb.bundle([("r", pb.inline())]))]),
        pb.sparse(pb.CSR, (1, 1), [pb.dense(np.ones(1)), pb.inline(), pb.dense(np.zeros(2, np.int32))]),
    ],
    ids=["ragged", "inline", "bundle with ragged", "nested inline", "sparse with inline"],
)
def test_unconverted_kinds_give_none(packet):
    assert loads_rs(packet) is None


@pytest.mark.parametrize("fmt", ["coo", "csr", "csc"])
def test_sparse_matrices(fmt):
    m = scipy.sparse.random(5, 7, density=0.3, format=fmt, dtype=np.float32, random_state=1)
    m = getattr(scipy.sparse, f"{fmt}_matrix")(m)
    if fmt == "coo":
        flag, parts = pb.COO, (m.data, m.row, m.col)
    else:
        flag, parts = {"csr": pb.CSR, "csc": pb.CSC}[fmt], (m.data, m.indices, m.indptr)
    out = loads_rs(pb.sparse(flag, m.shape, [pb.dense(p) for p in parts]))
    assert type(out) is type(m)
    assert out.shape == (5, 7)
    assert np.array_equal(out.toarray(), m.toarray())


def test_sparse_without_scipy(monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    packet = pb.sparse(pb.COO, (2, 2), [pb.dense(np.ones(1)), pb.dense(np.zeros(1, np.int32)), pb.dense(np.ones(1, np.int32))])
    with pytest.raises(ImportError) as info:
        loads_rs(packet)
    assert str(info.value) == "scipy is required for sparse deserialization"
    assert info.value.__cause__ is None


class Recorder:
    def __init__(self, **kwargs):
        self.kwargs = kwargs


def test_quantized_calls_the_class_with_the_eight_keywords(monkeypatch):
    monkeypatch.setattr(vakra.quantize, "QuantizedTensor", Recorder)
    out = loads_rs(pb.quantized(18, (3,), [0.5, 2.0], [1.0, 0.0], [0x21, 0x03], scheme=7, axis=255, group_size=9))
    kwargs = out.kwargs
    assert list(kwargs) == ["data", "scales", "zero_points", "shape", "dtype_code", "quant_scheme", "group_size", "axis"]
    assert kwargs["data"].dtype == np.uint8 and kwargs["data"].tolist() == [0x21, 0x03]
    assert kwargs["scales"].dtype == np.float32 and kwargs["scales"].tolist() == [0.5, 2.0]
    assert kwargs["zero_points"].tolist() == [1.0, 0.0]
    assert all(kwargs[k].flags.writeable and kwargs[k].flags.owndata for k in ("data", "scales", "zero_points"))
    assert (kwargs["shape"], kwargs["dtype_code"], kwargs["quant_scheme"]) == ((3,), 18, 7)
    assert (kwargs["group_size"], kwargs["axis"]) == (9, 255)


def test_quantized_becomes_a_quantized_tensor():
    out = loads_rs(pb.quantized(16, (2, 2), [1.0, 0.5], [0.0, 0.0], [0xFF, 2, 4, 0x80]))
    assert isinstance(out, vakra.quantize.QuantizedTensor)
    assert out.codes().tolist() == [[-1, 2], [4, -128]]
    assert out.dequantize().tolist() == [[-1.0, 2.0], [2.0, -64.0]]


@pytest.mark.parametrize(
    "packet, items",
    [
        (pb.offsets_body(pb.STRING | pb.ALIGNED, [b"ab", b"", "βeta".encode()]), ["ab", "", "βeta"]),
        (pb.offsets_body(pb.STRING | pb.ALIGNED | pb.INTEGRITY, [b"x"]), ["x"]),
        (pb.offsets_body(pb.STRING | pb.ALIGNED, [], shape=()), []),
        (pb.offsets_body(pb.STRING | pb.ALIGNED, [b"a", b"b"], shape=(2, 5)), ["a", "b"]),
    ],
    ids=["three", "checksum", "scalar shape", "two dimensions"],
)
def test_strings_become_string_tensors(packet, items):
    out = loads_rs(packet)
    assert isinstance(out, vakra.ragged.StringTensor)
    assert out.tolist() == items
    assert out == vakra.ragged.StringTensor(items)


def test_string_tensor_rejection_is_raised(monkeypatch):
    def refuse(offsets, payload, count):
        raise RuntimeError(f"refused {offsets.tolist()} {payload!r} {count}")

    monkeypatch.setattr(vakra.ragged.StringTensor, "_from_raw", staticmethod(refuse))
    with pytest.raises(RuntimeError) as info:
        loads_rs(pb.offsets_body(pb.STRING | pb.ALIGNED, [b"q"]))
    assert str(info.value) == "refused [0, 1] b'q' 1"


@pytest.mark.parametrize(
    "data, error, message",
    [
        ("VKRA", TypeError, None),
        (42, TypeError, None),
        (memoryview(b"VKRA\x04").cast("b"), BufferError, "buffer contents are not compatible with u8"),
        (np.zeros(4, np.float32), BufferError, "buffer contents are not compatible with u8"),
        (memoryview(bytes(200))[::2], BufferError, "buffer is not contiguous: pass a contiguous buffer (e.g. bytes(view))"),
    ],
    ids=["str", "int", "signed bytes", "float32 array", "strided"],
)
def test_buffer_request_errors(data, error, message):
    with pytest.raises(error) as info:
        loads_rs(data)
    if message is not None:
        assert str(info.value) == message


def flip_last(packet):
    return packet[:-1] + bytes([packet[-1] ^ 1])


def deep_bundle(levels):
    packet = pb.dense(np.ones(1))
    for _ in range(levels):
        packet = pb.bundle([("k", packet)])
    return packet


@pytest.mark.parametrize(
    "packet, message",
    [
        (b"VKRA\x04\x01", "Packet too short"),
        (b"VKRB\x04\x01\x00\x01\x00\x00", "Invalid vakra packet"),
        (b"VKRA\x05" + bytes(10), "Unsupported protocol version: 5"),
        (pb.header(pb.ALIGNED, 0, 0), "Unsupported or unknown dtype code: 0"),
        (pb.header(pb.ALIGNED, 22, 0), "Unsupported or unknown dtype code: 22"),
        (pb.header(pb.ALIGNED, 1, 33) + bytes(200), "Packet exceeds maximum dimensions"),
        (pb.header(pb.ALIGNED, 1, 2) + struct.pack("<II", 100000, 100000), "Packet exceeds maximum elements"),
        (flip_last(pb.dense(np.ones(3), pb.ALIGNED | pb.INTEGRITY)), "Integrity check failed: XXH3 mismatch"),
        (pb.header(pb.INLINE | pb.INTEGRITY, 0, 0, 1) + bytes(96), "Malformed vakra packet"),
        (pb.bundle([(b"\xff", pb.dense(np.ones(1)))]), "Malformed vakra packet"),
        (deep_bundle(65), "Malformed vakra packet"),
        (pb.bundle([("a", pb.dense(np.ones(1)))])[:-1], "Packet too short"),
    ],
    ids=[
        "short", "magic", "version", "dtype 0", "dtype 22", "ndim 33", "elements", "checksum",
        "inline flags", "key not utf-8", "nesting", "truncated entry",
    ],
)
def test_codec_errors_are_value_errors(packet, message):
    for data in (packet, bytearray(packet)):
        with pytest.raises(ValueError) as info:
            loads_rs(data)
        assert str(info.value) == message
    assert isinstance(data, bytearray)
    data.extend(b"x")  # the export was released on the error path


def test_nesting_limit_is_64_levels_below_the_top():
    out = loads_rs(deep_bundle(64))
    for _ in range(64):
        out = out["k"]
    assert out.tolist() == [1.0]


def test_argument_matching():
    packet = pb.dense(np.ones(1))
    assert loads_rs(data=packet).tolist() == [1.0]
    with pytest.raises(TypeError) as info:
        loads_rs(packet, packet)
    assert str(info.value) == "loads_rs() takes 1 positional arguments but 2 were given"
    with pytest.raises(TypeError) as info:
        loads_rs()
    assert str(info.value) == "loads_rs() missing 1 required positional argument: 'data'"


def test_no_references_leak_on_any_path():
    packets = [pb.dense(np.ones(3)), pb.inline(), b"VKRA\x09" + bytes(8), pb.dense(np.ones(3), pb.ALIGNED | pb.COMPRESSED)]
    for packet in packets:
        source = bytearray(packet)
        before = sys.getrefcount(source)
        for _ in range(50):
            try:
                loads_rs(source)
            except ValueError:
                pass
        gc.collect()
        assert sys.getrefcount(source) == before


SEEDS = [
    pb.dense(np.arange(6, dtype=np.int16).reshape(2, 3), pb.ALIGNED | pb.INTEGRITY),
    pb.dense(np.arange(40, dtype=np.float32), pb.ALIGNED | pb.COMPRESSED),
    pb.bundle([("a", pb.dense(np.ones(3))), ("s", pb.offsets_body(pb.STRING | pb.ALIGNED, [b"xy", b"z"]))]),
    pb.sparse(pb.CSR, (2, 2), [pb.dense(np.ones(2)), pb.dense(np.array([0, 1], np.int32)), pb.dense(np.array([0, 1, 2], np.int32))]),
    pb.quantized(19, (5,), [0.5], [8.0], [0x21, 0x43, 0x05], scheme=0, axis=255),
]


@given(seed=st.sampled_from(SEEDS), edits=st.lists(st.tuples(st.integers(0, 400), st.integers(0, 255)), max_size=4),
       cut=st.integers(0, 400))
@settings(max_examples=300, deadline=None)
def test_damaged_packets_raise_cleanly(seed, edits, cut):
    packet = bytearray(seed[: max(cut, 8)] if cut < len(seed) else seed)
    for position, value in edits:
        if position < len(packet):
            packet[position] = value
    try:
        loads_rs(packet)
    except (ValueError, TypeError, IndexError):
        pass  # codec errors, and NumPy / SciPy refusing what a damaged packet describes
    packet.append(0)  # the export was released
