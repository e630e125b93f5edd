import array
import struct
import tracemalloc
from types import SimpleNamespace

import numpy as np
import pytest

import packet_builders as pb
from vakra.quantize import QuantizedTensor, quantize
from vakra.ragged import StringTensor
from vakra.vakra_rs import dumps_quantized_rs, dumps_string_rs, encode_bundle_rs, loads_rs

TOO_MANY_ENTRIES = ("Bundle has too many entries; the wire format encodes the entry count in a single byte, "
                    "so at most 255 entries are supported")
RANGE = "out of range integral type conversion attempted"


def le_offsets(*values):
    return struct.pack(f"<{len(values)}Q", *values)


def test_bundle_frames_packets_verbatim_in_order():
    assert encode_bundle_rs([]) == b"VKRA\x04\x10\x00\x00\x00\x00"
    x, y = pb.dense(np.arange(3, dtype=np.int8)), pb.dense(np.ones(2))
    entries = [("x", x), ("ключ", y), ("x", b"not a packet")]
    assert encode_bundle_rs(entries=entries) == pb.bundle(entries)
    assert len(encode_bundle_rs([("a", x)])) == 10 + 4 + 1 + 4 + len(x)
    packet = encode_bundle_rs([(str(i), pb.dense(np.array([i], np.uint8))) for i in range(255)])
    assert packet[8] == 255 and loads_rs(packet)["254"].tolist() == [254]


class LyingLength(list):
    """A sequence whose __len__ claims far more items than it has."""

    def __len__(self):
        return 2**62


@pytest.mark.parametrize("packet", [
    b"\x01\x02\xff", bytearray(b"\x01\x02\xff"), [1, 2, 255], (1, 2, 255), memoryview(b"\x01\x02\xff"),
    array.array("B", [1, 2, 255]), type("Sub", (bytes,), {})(b"\x01\x02\xff"), LyingLength([1, 2, 255]),
], ids=["bytes", "bytearray", "list", "tuple", "memoryview", "array", "bytes subclass", "lying length"])
def test_bundle_packet_forms(packet):
    assert encode_bundle_rs([("k", packet)]) == pb.bundle([("k", b"\x01\x02\xff")])
    assert encode_bundle_rs(LyingLength([("k", packet)])) == pb.bundle([("k", b"\x01\x02\xff")])


@pytest.mark.parametrize("entries, error, message", [
    ("ab", TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
    ({"a": b""}, TypeError, "argument 'entries': 'dict' object cannot be converted to 'Sequence'"),
    ([["a", b""]], TypeError, "argument 'entries': 'list' object cannot be converted to 'PyTuple'"),
    ([("a", b"", b"")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([(b"a", b"")], TypeError, "argument 'entries': 'bytes' object cannot be converted to 'PyString'"),
    ([("a", 7)], TypeError, "argument 'entries': 'int' object cannot be converted to 'Sequence'"),
    ([("a", [1, 256])], OverflowError, RANGE),
    ([("ok", b""), ("a", memoryview(b"\x80").cast("b"))], OverflowError, RANGE),
    ([("a", b"")] * 256, ValueError, TOO_MANY_ENTRIES),
    ([("\ud800", b"")], UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
])
def test_bundle_conversion_errors(entries, error, message):
    with pytest.raises(error) as info:
        encode_bundle_rs(entries)
    assert str(info.value) == message


@pytest.mark.parametrize("items, check", [([], False), ([b"ab", b"", "βeta".encode(), b"\xff\x00", b"x" * 1000], True)])
def test_string_packets(items, check):
    tensor = StringTensor(items)
    packet = dumps_string_rs(*tensor.to_raw(), check_integrity=check)
    assert packet == pb.offsets_body(pb.STRING | pb.ALIGNED | (pb.INTEGRITY if check else 0), items)
    assert loads_rs(packet) == tensor


@pytest.mark.parametrize("args, message", [
    ((b"\0" * 7, b"", 0), "offsets length must be a multiple of 8"),
    ((le_offsets(1, 2), b"ab", 1), "Malformed vakra packet"),
    ((le_offsets(0, 3, 2), b"abc", 2), "Malformed vakra packet"),
    ((le_offsets(0), b"", 4294967295), "Malformed vakra packet"),
])
def test_string_errors(args, message):
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as info:
            dumps_string_rs(*args)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert str(info.value) == message
    assert peak < 1 << 20  # an absurd count is refused before the packet is allocated


def qint8_fields(**overrides):
    fields = dict(data=np.arange(32, dtype=np.uint8), scales=np.array([1, 2, 3, 4], np.float32),
                  zero_points=np.zeros(4, np.float32), shape=(4, 8), dtype_code=16, quant_scheme=1, group_size=0, axis=0)
    return SimpleNamespace(**{**fields, **overrides})


@pytest.mark.parametrize("check, length, flags", [(False, 96, 0x0001), (True, 104, 0x0003)])
def test_quantized_packet_layout(check, length, flags):
    # The checksum covers the parameters (bytes 18 to 59) and the body as one stream.
    packet = dumps_quantized_rs(qint8_fields(), check_integrity=check)
    assert len(packet) == length and packet == pb.quantized(16, (4, 8), [1, 2, 3, 4], [0] * 4, range(32), flags=flags)


@pytest.mark.parametrize("alignment, tail", [(16, b"\x04" + bytes(3)), (1, b"\x00"), (128, b"\x07" + bytes(67))])
def test_quantized_custom_alignment(alignment, tail):
    packet = dumps_quantized_rs(qint8_fields(), alignment=alignment)
    assert struct.unpack_from("<H", packet, 5)[0] == 0x0080
    assert packet[60:-32] == tail and loads_rs(packet).data.tolist() == list(range(32))


def test_quantized_axis_minus_one_travels_as_255_and_long_data_is_cut():
    qt = QuantizedTensor(**vars(qint8_fields(dtype_code=17, axis=-1, scales=np.ones(8), zero_points=np.zeros(8))))
    packet = dumps_quantized_rs(qt)
    assert packet[19] == 255 and loads_rs(packet) == qt
    packet = dumps_quantized_rs(qint8_fields(dtype_code=19, shape=(5,), data=np.arange(1, 6, dtype=np.uint8)))
    assert packet.endswith(bytes([1, 2, 3])) and len(packet) == 64 + 3


@pytest.mark.parametrize("dtype, check, alignment", [("qint8", False, 64), ("quint8", True, 8), ("qint4", True, 64),
                                                     ("quint4", False, 8)])
@pytest.mark.parametrize("kwargs", [{}, {"axis": -1}, {"group_size": 3}], ids=["tensor", "axis", "group"])
def test_quantized_round_trip(dtype, kwargs, check, alignment):
    q = quantize(np.random.default_rng(3).normal(size=(3, 5, 7)), dtype, **kwargs)
    out = loads_rs(dumps_quantized_rs(q, check_integrity=check, alignment=alignment))
    assert out == q and np.array_equal(out.dequantize(), q.dequantize())


class AttributeLog:
    def __init__(self, **fields):
        self.fields, self.read = fields, []

    def __getattr__(self, name):
        self.read.append(name)
        return self.fields[name] if name in self.fields else object.__getattribute__(self, name)


def test_quantized_attribute_order_and_alignment_check_first():
    for alignment in (0, 48):
        qt = AttributeLog()
        with pytest.raises(ValueError) as info:
            dumps_quantized_rs(qt, alignment=alignment)
        assert str(info.value) == "Alignment must be a power of two" and qt.read == []
    fields = vars(qint8_fields())
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
        self.tobytes = lambda: value


@pytest.mark.parametrize("overrides, error, message", [
    ({"dtype_code": 22}, ValueError, "Unsupported or unknown dtype code: 22"),
    ({"dtype_code": 1}, ValueError, "Unsupported or unknown dtype code: 1"),
    ({"group_size": -1}, OverflowError, RANGE),
    ({"axis": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
    ({"shape": (4, 2**32)}, ValueError,
     "Dimension 4294967296 exceeds the wire-format limit of 4294967295 (each dimension is stored as a 32-bit integer)"),
    ({"shape": 32}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({"shape": (1,) * 33}, ValueError, "Packet exceeds maximum dimensions"),
    ({"scales": Raw("abcd")}, TypeError, "Can't extract `str` to `Vec`"),
    ({"scales": Raw([0] * 15 + [256])}, OverflowError, RANGE),
    ({"zero_points": np.zeros(3, np.float32)}, ValueError, "Malformed vakra packet"),
    ({"scales": Raw(bytes(6)), "zero_points": Raw(bytes(6))}, ValueError, "Malformed vakra packet"),
    ({"data": np.zeros(31, np.uint8)}, ValueError, "Malformed vakra packet"),
])
def test_quantized_errors(overrides, error, message):
    with pytest.raises(error) as info:
        dumps_quantized_rs(qint8_fields(**overrides))
    assert str(info.value) == message
