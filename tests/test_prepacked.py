import array
import struct
import tracemalloc
from types import SimpleNamespace

import numpy as np
import pytest
import xxhash

import packet_builders as pb
from vakra.quantize import QuantizedTensor, quantize
from vakra.ragged import StringTensor
from vakra.vakra_rs import dumps_quantized_rs, dumps_string_rs, encode_bundle_rs, loads_rs

TOO_MANY_ENTRIES = (
    "Bundle has too many entries; the wire format encodes the entry count in a single byte, "
    "so at most 255 entries are supported"
)


def le_offsets(*values):
    return struct.pack(f"<{len(values)}Q", *values)


# encode_bundle_rs


def test_empty_bundle():
    assert encode_bundle_rs([]) == b"VKRA\x04\x10\x00\x00\x00\x00"
    assert encode_bundle_rs(entries=()) == b"VKRA\x04\x10\x00\x00\x00\x00"


def test_bundle_frames_packets_verbatim_in_order():
    x, y = pb.dense(np.arange(3, dtype=np.int8)), pb.dense(np.ones(2))
    packet = encode_bundle_rs([("x", x), ("ключ", y), ("x", b"not a packet")])
    assert packet == pb.bundle([("x", x), ("ключ", y), ("x", b"not a packet")])
    assert len(encode_bundle_rs([("a", x)])) == 10 + 4 + 1 + 4 + len(x)
    assert list(loads_rs(encode_bundle_rs([("a", x), ("b", y)]))) == ["a", "b"]


class ByteList:
    """A sequence (not a list) that claims an absurd length."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize(
    "packet",
    [
        b"\x01\x02\xff",
        bytearray(b"\x01\x02\xff"),
        [1, 2, 255],
        (1, 2, 255),
        memoryview(b"\x01\x02\xff"),
        array.array("B", [1, 2, 255]),
        type("Sub", (bytes,), {})(b"\x01\x02\xff"),
        ByteList([1, 2, 255]),
    ],
    ids=["bytes", "bytearray", "list", "tuple", "memoryview", "array", "bytes subclass", "lying length"],
)
def test_bundle_packet_forms(packet):
    assert encode_bundle_rs([("k", packet)]) == pb.bundle([("k", b"\x01\x02\xff")])


@pytest.mark.parametrize(
    "entries, error, message",
    [
        ("ab", TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'entries': 'int' object cannot be converted to 'Sequence'"),
        ({"a": b""}, TypeError, "argument 'entries': 'dict' object cannot be converted to 'Sequence'"),
        ([["a", b""]], TypeError, "argument 'entries': 'list' object cannot be converted to 'PyTuple'"),
        ([("a", b"", b"")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ([(b"a", b"")], TypeError, "argument 'entries': 'bytes' object cannot be converted to 'PyString'"),
        ([("a", "xyz")], TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
        ([("a", 7)], TypeError, "argument 'entries': 'int' object cannot be converted to 'Sequence'"),
        ([("a", [1, 256])], OverflowError, "out of range integral type conversion attempted"),
        ([("a", [-1])], OverflowError, "out of range integral type conversion attempted"),
        ([("a", [1, "2"])], TypeError, "argument 'entries': 'str' object cannot be interpreted as an integer"),
        ([("ok", b""), ("a", memoryview(b"\x80").cast("b"))], OverflowError, "out of range integral type conversion attempted"),
        ([("a", b"")] * 256, ValueError, TOO_MANY_ENTRIES),
    ],
    ids=[
        "str", "int", "dict", "list entry", "3-tuple", "1-tuple", "bytes key", "str packet", "int packet",
        "256 in packet", "negative in packet", "str in packet", "signed memoryview", "256 entries",
    ],
)
def test_bundle_conversion_errors(entries, error, message):
    with pytest.raises(error) as info:
        encode_bundle_rs(entries)
    assert str(info.value) == message


def test_bundle_key_that_is_not_utf8_encodable():
    with pytest.raises(UnicodeEncodeError):
        encode_bundle_rs([("\ud800", b"")])


def test_bundle_iteration_error_is_raised():
    class Failing:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        encode_bundle_rs(Failing())


def test_bundle_of_255_entries():
    packet = encode_bundle_rs([(str(i), pb.dense(np.array([i], np.uint8))) for i in range(255)])
    assert packet[8] == 255
    out = loads_rs(packet)
    assert len(out) == 255 and out["254"].tolist() == [254]


# dumps_string_rs


@pytest.mark.parametrize(
    "offsets, payload, count, check, length",
    [
        (le_offsets(0), b"", 0, False, 72),
        (le_offsets(0), b"", 0, True, 80),
        (le_offsets(0, 2, 3), b"abc", 2, False, 91),
        (le_offsets(0, 2, 3), b"abc", 2, True, 99),
        (le_offsets(0, 0, 0), b"", 2, False, 88),
    ],
)
def test_string_packets(offsets, payload, count, check, length):
    packet = dumps_string_rs(offsets, payload, count, check_integrity=check)
    assert len(packet) == length
    assert packet[:10] == b"VKRA\x04" + struct.pack("<H", 0x0103 if check else 0x0101) + b"\x14\x01\x00"
    assert packet[10:14] == struct.pack("<I", count) and packet[14:64] == bytes(50)
    body_end = 64 + len(offsets) + len(payload)
    assert packet[64:body_end] == offsets + payload
    if check:  # over the offsets table and the payload, nothing else
        assert packet[body_end:] == struct.pack("<Q", xxhash.xxh3_64_intdigest(packet[64:body_end]))
    items = [payload[a:b] for a, b in zip(struct.unpack(f"<{count + 1}Q", offsets), struct.unpack(f"<{count + 1}Q", offsets)[1:])]
    assert packet == pb.offsets_body(pb.STRING | pb.ALIGNED | (pb.INTEGRITY if check else 0), items)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((b"\0" * 7, b"", 0), ValueError, "offsets length must be a multiple of 8"),
        ((le_offsets(0, 0), b"", 2), ValueError, "Malformed vakra packet"),
        ((le_offsets(0, 1, 2), b"ab", 1), ValueError, "Malformed vakra packet"),
        ((le_offsets(1, 2), b"ab", 1), ValueError, "Malformed vakra packet"),
        ((le_offsets(0, 3, 2), b"abc", 2), ValueError, "Malformed vakra packet"),
        ((le_offsets(0, 2), b"abc", 1), ValueError, "Malformed vakra packet"),
        ((b"", b"", 0), ValueError, "Malformed vakra packet"),
        ((bytearray(8), b"", 0), TypeError, "argument 'offsets': 'bytearray' object cannot be converted to 'PyBytes'"),
        ((b"\0" * 8, bytearray(), 0), TypeError, "argument 'payload': 'bytearray' object cannot be converted to 'PyBytes'"),
        ((b"\0" * 8, memoryview(b""), 0), TypeError, "argument 'payload': 'memoryview' object cannot be converted to 'PyBytes'"),
        ((b"\0" * 8, b"", -1), OverflowError, "out of range integral type conversion attempted"),
        ((b"\0" * 8, b"", 2**32), OverflowError, "out of range integral type conversion attempted"),
        ((), TypeError, "dumps_string_rs() missing 3 required positional arguments: 'offsets', 'payload', and 'count'"),
    ],
)
def test_string_errors(args, error, message):
    with pytest.raises(error) as info:
        dumps_string_rs(*args)
    assert str(info.value) == message


def test_string_check_integrity_must_be_a_bool():
    with pytest.raises(TypeError) as info:
        dumps_string_rs(b"\0" * 8, b"", 0, check_integrity=None)
    assert str(info.value) == "argument 'check_integrity': 'NoneType' object cannot be converted to 'PyBool'"
    assert len(dumps_string_rs(b"\0" * 8, b"", 0, np.True_)) == 80


def test_absurd_string_count_is_malformed_without_allocating():
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as info:
            dumps_string_rs(le_offsets(0), b"", 4294967295)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert str(info.value) == "Malformed vakra packet"
    assert peak < 1 << 20


@pytest.mark.parametrize("check", [False, True])
@pytest.mark.parametrize("items", [[], [""], ["a", "", "βeta", "x" * 1000], [b"\xff\x00"]])
def test_string_tensor_round_trip(items, check):
    tensor = StringTensor(items)
    out = loads_rs(dumps_string_rs(*tensor.to_raw(), check_integrity=check))
    assert out == tensor
    assert out.tolist(as_bytes=True) == tensor.tolist(as_bytes=True)


# dumps_quantized_rs


def qint8_tensor(**overrides):
    fields = dict(
        data=np.arange(32, dtype=np.uint8), scales=np.array([1, 2, 3, 4], np.float32),
        zero_points=np.zeros(4, np.float32), shape=(4, 8), dtype_code=16, quant_scheme=1, group_size=0, axis=0,
    )
    fields.update(overrides)
    return SimpleNamespace(**fields)


@pytest.mark.parametrize("check, length, flags", [(False, 96, 0x0001), (True, 104, 0x0003)])
def test_quantized_packet_layout(check, length, flags):
    qt = qint8_tensor()
    packet = dumps_quantized_rs(qt, check_integrity=check)
    assert len(packet) == length
    assert struct.unpack_from("<H", packet, 5)[0] == flags and packet[7] == 16 and packet[8] == 2
    assert packet[24:28] == b"\x04\x00\x00\x00"
    assert packet[60:64] == bytes(4) and packet[64:96] == bytes(range(32))
    if check:  # parameters (bytes 18 to 59) and then the body, streamed as one hash
        assert packet[96:] == struct.pack("<Q", xxhash.xxh3_64_intdigest(packet[18:60] + packet[64:96]))
    assert packet == pb.quantized(16, (4, 8), [1, 2, 3, 4], [0] * 4, range(32), flags=flags)


@pytest.mark.parametrize(
    "alignment, flags, tail",
    [(16, 0x0080, b"\x04" + bytes(3)), (1, 0x0080, b"\x00"), (128, 0x0080, b"\x07" + bytes(67))],
)
def test_quantized_custom_alignment(alignment, flags, tail):
    packet = dumps_quantized_rs(qint8_tensor(), alignment=alignment)
    assert struct.unpack_from("<H", packet, 5)[0] == flags
    assert packet[60:-32] == tail and packet[-32:] == bytes(range(32))
    assert loads_rs(packet).data.tolist() == list(range(32))


def test_quantized_axis_minus_one_travels_as_255():
    qt = QuantizedTensor(
        data=np.arange(6, dtype=np.uint8), scales=np.ones(3, np.float32), zero_points=np.zeros(3, np.float32),
        shape=(2, 3), dtype_code=17, quant_scheme=1, group_size=0, axis=-1,
    )
    packet = dumps_quantized_rs(qt)
    assert packet[18 + 1] == 255
    out = loads_rs(packet)
    assert out.axis == -1 and out == qt
    assert np.array_equal(out.dequantize(), qt.dequantize())


def test_quantized_4bit_data_longer_than_needed_is_cut():
    qt = qint8_tensor(dtype_code=19, shape=(5,), data=np.array([1, 2, 3, 4, 5], np.uint8), scales=np.ones(1, np.float32),
                      zero_points=np.zeros(1, np.float32))
    packet = dumps_quantized_rs(qt)
    assert packet.endswith(bytes([1, 2, 3])) and len(packet) == 64 + 3


@pytest.mark.parametrize("check, alignment", [(False, 64), (True, 64), (True, 8)])
@pytest.mark.parametrize("dtype", ["qint8", "quint8", "qint4", "quint4"])
@pytest.mark.parametrize("kwargs", [{}, {"axis": 1}, {"axis": -1}, {"group_size": 3}], ids=["tensor", "axis", "axis -1", "group"])
def test_quantized_round_trip(dtype, kwargs, check, alignment):
    x = np.random.default_rng(3).normal(size=(3, 5, 7)).astype(np.float32)
    q = quantize(x, dtype, **kwargs)
    out = loads_rs(dumps_quantized_rs(q, check_integrity=check, alignment=alignment))
    assert out == q
    assert np.array_equal(out.dequantize(), q.dequantize())


class AttributeLog:
    def __init__(self, **fields):
        self.fields, self.read = fields, []

    def __getattr__(self, name):
        self.read.append(name)
        if name not in self.fields:
            raise AttributeError(name)
        return self.fields[name]


@pytest.mark.parametrize("alignment", [0, 48, 3])
def test_quantized_alignment_is_checked_before_any_attribute(alignment):
    qt = AttributeLog()
    with pytest.raises(ValueError) as info:
        dumps_quantized_rs(qt, alignment=alignment)
    assert str(info.value) == "Alignment must be a power of two"
    assert qt.read == []


def test_quantized_attributes_are_read_in_order():
    fields = vars(qint8_tensor())
    qt = AttributeLog(**fields)
    dumps_quantized_rs(qt)
    assert qt.read == ["dtype_code", "quant_scheme", "group_size", "axis", "shape", "scales", "zero_points", "data"]
    del fields["axis"]
    qt = AttributeLog(**fields)
    with pytest.raises(AttributeError):
        dumps_quantized_rs(qt)
    assert qt.read == ["dtype_code", "quant_scheme", "group_size", "axis"]


class Raw:
    def __init__(self, value):
        self.value = value

    def tobytes(self):
        return self.value


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        ({"dtype_code": 0}, ValueError, "Unsupported or unknown dtype code: 0"),
        ({"dtype_code": 22}, ValueError, "Unsupported or unknown dtype code: 22"),
        ({"dtype_code": 1}, ValueError, "Unsupported or unknown dtype code: 1"),
        ({"dtype_code": 300}, OverflowError, "out of range integral type conversion attempted"),
        ({"quant_scheme": 256}, OverflowError, "out of range integral type conversion attempted"),
        ({"group_size": -1}, OverflowError, "out of range integral type conversion attempted"),
        ({"axis": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
        ({"shape": (4, 2**32)}, ValueError,
         "Dimension 4294967296 exceeds the wire-format limit of 4294967295 (each dimension is stored as a 32-bit integer)"),
        ({"shape": "48"}, TypeError, "Can't extract `str` to `Vec`"),
        ({"shape": 32}, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({"shape": (4, -8)}, OverflowError, None),
        ({"shape": (1,) * 33}, ValueError, "Packet exceeds maximum dimensions"),
        ({"scales": Raw("abcd")}, TypeError, "Can't extract `str` to `Vec`"),
        ({"scales": Raw(list(range(16)) + [256])}, OverflowError, "out of range integral type conversion attempted"),
        ({"zero_points": np.zeros(3, np.float32)}, ValueError, "Malformed vakra packet"),
        ({"scales": Raw(b"\0" * 6), "zero_points": Raw(b"\0" * 6)}, ValueError, "Malformed vakra packet"),
        ({"data": np.zeros(31, np.uint8)}, ValueError, "Malformed vakra packet"),
        ({"scales": np.zeros(4, np.float32).tolist()}, AttributeError, None),
    ],
    ids=lambda v: str(v)[:40] if isinstance(v, dict) else None,
)
def test_quantized_errors(overrides, error, message):
    with pytest.raises(error) as info:
        dumps_quantized_rs(qint8_tensor(**overrides))
    if message is not None:
        assert str(info.value) == message


def test_quantized_frame_conversions():
    with pytest.raises(TypeError) as info:
        dumps_quantized_rs(qint8_tensor(), check_integrity=1)
    assert str(info.value) == "argument 'check_integrity': 'int' object cannot be converted to 'PyBool'"
    with pytest.raises(OverflowError):
        dumps_quantized_rs(qint8_tensor(), alignment=-1)
    assert len(dumps_quantized_rs(qt=qint8_tensor(), check_integrity=np.True_, alignment=np.uint8(64))) == 104
