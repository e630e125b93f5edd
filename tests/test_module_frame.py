"""vakra_rs as a fixed contract: its function table, and every exact text it raises, in one table.

Each refused call leaves the caller's buffers as they were and releases their exports."""

import ctypes
import importlib
import platform
import struct
import tracemalloc
from types import SimpleNamespace

import lz4.frame
import numpy as np
import pytest
import scipy.sparse

import packet_builders as pb
from vakra import vakra_rs as rs

FUNCTION_TABLE = [
    ("get_packet_info_rs", "(data)", None),
    ("dumps_rs", "(array, check_integrity=False, compress=False, alignment=64)", None),
    ("dumps_quantized_rs", "(qt, check_integrity=False, alignment=64)",
     "Encode a `QuantizedTensor` (extracted field-by-field) via `vakra`."),
    ("dumps_string_rs", "(offsets, payload, count, check_integrity=False)",
     "Encode a `StringTensor` from raw `offsets` ((count+1) u64 LE) + `payload`."),
    ("encode_bundle_rs", "(entries)",
     "Frame already-encoded `(key, value_packet)` entries into a bundle packet,"),  # first of two lines
    ("dump_to_buffer_rs", "(array, buffer, check_integrity=False, compress=False, alignment=64)", None),
    ("dump_to_fd_rs", "(array, fd, check_integrity=False, compress=False, alignment=64)", None),
    ("loads_rs", "(data)", None),
    ("shm_mutex_init", "(buffer, offset)",
     "Init a POSIX process-shared mutex at `offset` in a shm-backed buffer\n(needs >= 64 bytes there)."),
    ("shm_mutex_lock", "(buffer, offset, timeout_secs=5.0)",
     "Lock a POSIX process-shared mutex. True if recovered from a dead owner."),
    ("shm_mutex_unlock", "(buffer, offset)", "Unlock a POSIX process-shared mutex."),
    ("shm_mutex_destroy", "(buffer, offset)", "Destroy a POSIX process-shared mutex."),
    ("shm_mutex_size", "()", "Return the size in bytes needed for one POSIX process-shared mutex."),
]


def test_function_table():
    assert rs.__all__ == [name for name, _, _ in FUNCTION_TABLE]
    assert importlib.import_module("vakra.vakra_rs") is rs
    for name, signature, doc in FUNCTION_TABLE:
        function = getattr(rs, name)
        assert (function.__text_signature__, function.__module__) == (signature, rs.__name__)
        assert (function.__doc__ and function.__doc__.splitlines()[0]) == (doc and doc.splitlines()[0])
        assert name == "encode_bundle_rs" or function.__doc__ == doc


A = np.zeros(3, np.float32)
T = np.zeros((2, 3), np.float32).T
QINT8 = dict(data=np.arange(32, dtype=np.uint8), scales=np.array([1, 2, 3, 4], np.float32),
             zero_points=np.zeros(4, np.float32), shape=(4, 8), dtype_code=16, quant_scheme=1, group_size=0, axis=0)


def qt(**overrides):
    return SimpleNamespace(**{**QINT8, **overrides})


class Raw:
    def __init__(self, value):
        self.tobytes = lambda: value


class FakeArray(bytearray):
    """Exports real bytes and imitates the attributes the encoder reads; rows break one of them."""

    def __init__(self, **overrides):
        super().__init__(A.tobytes())
        self.dtype, self.flags, self.nbytes, self.shape = A.dtype, A.flags, A.nbytes, A.shape
        self.ctypes = SimpleNamespace(data=np.frombuffer(self, np.uint8).ctypes.data)
        for name, value in overrides.items():
            setattr(self.ctypes if name == "data" else self, name, value)


class Meddler(np.ndarray):
    """An array whose sparse-format probe changes the dict being encoded."""

    @property
    def format(self):
        self.change(self.target)
        raise AttributeError("format")


def meddling(change):
    target = {"a": np.zeros(1)}
    target["b"] = meddler = np.zeros(2).view(Meddler)
    meddler.target, meddler.change = target, change
    return target


def nested(depth, leaf):
    return leaf if depth == 0 else {"n": nested(depth - 1, leaf)}


SELF = {"a": np.zeros(1)}
SELF["self"] = SELF
POISONED = {**{str(i): np.zeros(1, np.int8) for i in range(255)}, "bad": [1]}  # refused before anything is encoded
FREE, HELD = memoryview(bytearray(64)), memoryview(bytearray(64))  # never resized: a mutex must not move
rs.shm_mutex_init(FREE, 0)
rs.shm_mutex_init(HELD, 0)
rs.shm_mutex_lock(HELD, 0, 0)


class Weird:
    def __index__(self):
        raise TypeError("inner")


class Prefix(str):
    """Our prefix before a text of the interpreter's, which may differ between versions."""


def le_offsets(*values):
    return struct.pack(f"<{len(values)}Q", *values)


def flip_last(packet):
    return packet[:-1] + bytes([packet[-1] ^ 1])


def compressed_f32x4(body):
    return pb.dense(np.zeros(4, np.float32), pb.ALIGNED | pb.COMPRESSED, body=body)


RANGE = "out of range integral type conversion attempted"
PYBOOL = "argument 'check_integrity': 'int' object cannot be converted to 'PyBool'"
POWER = "Alignment must be a power of two"
MALFORMED, SHORT, LZ4_FAILED = "Malformed vakra packet", "Packet too short", "LZ4 frame decompression failed"
NOT_U8 = "buffer contents are not compatible with u8"
STRIDED = "buffer is not contiguous: pass a contiguous buffer (e.g. bytes(view))"
DIMENSION = "Dimension 4294967296 exceeds the wire-format limit of 4294967295 (each dimension is stored as a 32-bit integer)"
TOO_MANY = ("Bundle has {} entries; the wire format encodes the entry count in a single byte, "
            "so at most 255 entries are supported")
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
READ_ONLY = "Buffer is read-only"


def space(offset, size):
    return f"Insufficient space: need 64 bytes at offset {offset}, buffer is {size} bytes"


# function, positional arguments, keyword arguments, exception, text (None: the interpreter's own)
TEXTS = [
    # argument matching
    (rs.dumps_rs, (), {}, TypeError, "dumps_rs() missing 1 required positional argument: 'array'"),
    (rs.dumps_rs, (A, False, False, 64, 1), {}, TypeError,
     "dumps_rs() takes from 1 to 4 positional arguments but 5 were given"),
    (rs.dumps_rs, (A,), {"array": A}, TypeError, "dumps_rs() got multiple values for argument 'array'"),
    (rs.dumps_rs, (A,), {"level": 3}, TypeError, "dumps_rs() got an unexpected keyword argument 'level'"),
    (rs.loads_rs, (b"", b""), {}, TypeError, "loads_rs() takes 1 positional arguments but 2 were given"),
    (rs.dumps_string_rs, (), {}, TypeError,
     "dumps_string_rs() missing 3 required positional arguments: 'offsets', 'payload', and 'count'"),
    (rs.dump_to_buffer_rs, (), {}, TypeError,
     "dump_to_buffer_rs() missing 2 required positional arguments: 'array' and 'buffer'"),
    # conversions
    (rs.dumps_rs, (A,), {"check_integrity": 1}, TypeError, PYBOOL),
    (rs.dumps_rs, (A,), {"alignment": -1}, OverflowError, None),
    (rs.dumps_rs, (A,), {"alignment": Weird()}, TypeError, "argument 'alignment': inner"),
    (rs.dump_to_fd_rs, (A, 2**31), {}, OverflowError, RANGE),
    (rs.dumps_string_rs, (b"", b"", -1), {}, OverflowError, RANGE),
    (rs.dumps_string_rs, (b"", b"", 2**32), {}, OverflowError, RANGE),
    (rs.dumps_string_rs, (bytearray(8), b"", 0), {}, TypeError,
     "argument 'offsets': 'bytearray' object cannot be converted to 'PyBytes'"),
    (rs.shm_mutex_lock, (FREE, 0, "1"), {}, TypeError, Prefix("argument 'timeout_secs': ")),
    # byte-buffer requests
    (rs.loads_rs, ("not a buffer",), {}, TypeError, None),
    (rs.loads_rs, (memoryview(bytearray(16)).cast("b"),), {}, BufferError, NOT_U8),
    (rs.loads_rs, (memoryview(bytearray(32))[::-1],), {}, BufferError, STRIDED),
    (rs.loads_rs, ((ctypes.c_ubyte * 64)(),), {}, BufferError, "strides is null"),
    (rs.get_packet_info_rs, (memoryview(bytearray(32))[::2],), {}, BufferError, STRIDED),
    (rs.dump_to_buffer_rs, (A, memoryview(bytearray(b"\xaa" * 400))[::2]), {}, BufferError, STRIDED),
    (rs.shm_mutex_init, (memoryview(bytearray(256))[::2], 0), {}, BufferError, STRIDED),
    # dumps_rs and dump_to_buffer_rs
    (rs.dumps_rs, (T,), {}, ValueError, "Array must be C-contiguous"),
    (rs.dumps_rs, (np.zeros((4, 4), "datetime64[ns]")[:, ::2],), {}, ValueError, "Unsupported dtype: datetime64[ns]"),
    (rs.dumps_rs, ([1, 2, 3],), {}, AttributeError, None),
    (rs.dumps_rs, (np.zeros((1,) * 33, np.int8),), {}, ValueError, "Packet exceeds maximum dimensions"),
    (rs.dumps_rs, (A,), {"alignment": 0}, ValueError, POWER),
    (rs.dumps_rs, ({},), {"alignment": 48}, ValueError, POWER),
    (rs.dumps_rs, (FakeArray(shape=(2**32,)),), {}, ValueError, DIMENSION),
    (rs.dumps_rs, (FakeArray(shape="12"),), {}, TypeError, "Can't extract `str` to `Vec`"),
    (rs.dumps_rs, (FakeArray(shape=12),), {}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (rs.dumps_rs, (FakeArray(data=4096),), {}, BufferError, None),  # the export disagrees with ctypes.data
    (rs.dumps_rs, (FakeArray(nbytes=10**6, shape=(250_000,)),), {}, BufferError, None),
    (rs.dumps_rs, (SimpleNamespace(**{k: getattr(FakeArray(), k) for k in ("dtype", "flags", "nbytes", "shape", "ctypes")}),),
     {}, BufferError, None),  # exports no buffer at all
    (rs.dump_to_buffer_rs, (A, b"\0" * 200), {"alignment": 3}, ValueError, READ_ONLY),  # before the alignment
    (rs.dump_to_buffer_rs, (A, memoryview(bytearray(200)).toreadonly()), {}, ValueError, READ_ONLY),
    (rs.dump_to_buffer_rs, (A, bytearray(b"\xaa" * 75)), {}, ValueError, "Buffer too small"),
    (rs.dump_to_buffer_rs, ({"m": scipy.sparse.eye(3, format="csr")}, bytearray(b"\xaa" * 250)), {}, ValueError,
     "Buffer too small"),
    # dicts and sparse matrices
    (rs.dumps_rs, ({1: A},), {}, TypeError, "'int' object cannot be converted to 'PyString'"),
    (rs.dumps_rs, ({"a": [1, 2]},), {}, AttributeError, None),
    (rs.dumps_rs, ({"\ud800": A},), {}, UnicodeEncodeError, None),
    (rs.dumps_rs, (meddling(lambda d: d.__setitem__("new", A)),), {}, RuntimeError,
     "dictionary changed size during iteration"),
    (rs.dumps_rs, (meddling(lambda d: (d.pop("a"), d.__setitem__("c", A))),), {}, RuntimeError,
     "dictionary keys changed during iteration"),
    (rs.dumps_rs, (SELF,), {}, ValueError, "Cannot encode a dict that contains itself"),
    (rs.dumps_rs, (nested(65, {}),), {}, ValueError,
     "Nesting too deep: values may be nested at most 64 levels below the top-level value"),
    (rs.dumps_rs, (nested(64, scipy.sparse.eye(2, format="csr")),), {}, ValueError,
     "Nesting too deep: values may be nested at most 64 levels below the top-level value"),
    (rs.dumps_rs, (POISONED,), {}, ValueError, TOO_MANY.format(256)),
    (rs.dumps_rs, (scipy.sparse.dok_matrix(np.eye(2)),), {}, ValueError, "Unknown sparse format"),
    (rs.dumps_rs, (SimpleNamespace(format=3),), {}, AttributeError, None),  # a format that is not a str means dense
    # dump_to_fd_rs
    (rs.dump_to_fd_rs, (A, -1), {}, OSError, "Bad file descriptor (os error 9)"),
    (rs.dump_to_fd_rs, (T, 1), {}, ValueError, "Array must be C-Contiguous"),
    (rs.dump_to_fd_rs, ({"x": A}, 1), {}, AttributeError, None),
    # encode_bundle_rs
    (rs.encode_bundle_rs, ("ab",), {}, TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
    (rs.encode_bundle_rs, ({"a": b""},), {}, TypeError,
     "argument 'entries': 'dict' object cannot be converted to 'Sequence'"),
    (rs.encode_bundle_rs, ([["a", b""]],), {}, TypeError,
     "argument 'entries': 'list' object cannot be converted to 'PyTuple'"),
    (rs.encode_bundle_rs, ([("a", b"", b"")],), {}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (rs.encode_bundle_rs, ([(b"a", b"")],), {}, TypeError,
     "argument 'entries': 'bytes' object cannot be converted to 'PyString'"),
    (rs.encode_bundle_rs, ([("a", [1, 256])],), {}, OverflowError, RANGE),
    (rs.encode_bundle_rs, ([("ok", b""), ("a", memoryview(b"\x80").cast("b"))],), {}, OverflowError, RANGE),
    (rs.encode_bundle_rs, ([("a", b"")] * 256,), {}, ValueError, TOO_MANY.format("too many")),
    (rs.encode_bundle_rs, ([("\ud800", b"")],), {}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    # dumps_string_rs
    (rs.dumps_string_rs, (b"\0" * 7, b"", 0), {}, ValueError, "offsets length must be a multiple of 8"),
    (rs.dumps_string_rs, (le_offsets(1, 2), b"ab", 1), {}, ValueError, MALFORMED),
    (rs.dumps_string_rs, (le_offsets(0, 3, 2), b"abc", 2), {}, ValueError, MALFORMED),
    # dumps_quantized_rs
    (rs.dumps_quantized_rs, (qt(dtype_code=22),), {}, ValueError, "Unsupported or unknown dtype code: 22"),
    (rs.dumps_quantized_rs, (qt(dtype_code=1),), {}, ValueError, "Unsupported or unknown dtype code: 1"),
    (rs.dumps_quantized_rs, (qt(group_size=-1),), {}, OverflowError, RANGE),
    (rs.dumps_quantized_rs, (qt(scales=Raw("abcd")),), {}, TypeError, "Can't extract `str` to `Vec`"),
    (rs.dumps_quantized_rs, (qt(scales=Raw([0] * 15 + [256])),), {}, OverflowError, RANGE),
    (rs.dumps_quantized_rs, (qt(zero_points=np.zeros(3, np.float32)),), {}, ValueError, MALFORMED),
    (rs.dumps_quantized_rs, (qt(scales=Raw(bytes(6)), zero_points=Raw(bytes(6))),), {}, ValueError, MALFORMED),
    (rs.dumps_quantized_rs, (qt(data=np.zeros(31, np.uint8)),), {}, ValueError, MALFORMED),
    # loads_rs: the codec's refusals
    (rs.loads_rs, (bytearray(b"VKRA\x04\x01"),), {}, ValueError, SHORT),
    (rs.loads_rs, (bytearray(b"VKRA\x05" + bytes(10)),), {}, ValueError, "Unsupported protocol version: 5"),
    (rs.loads_rs, (bytearray(flip_last(pb.dense(np.ones(3), pb.ALIGNED | pb.INTEGRITY))),), {}, ValueError,
     "Integrity check failed: XXH3 mismatch"),
    # Decompression is bounded by the shape; a frame too small to hold it is refused before the array is allocated.
    (rs.loads_rs, (compressed_f32x4(b"\x04\x22\x4d\x18garbage"),), {}, ValueError, LZ4_FAILED),
    (rs.loads_rs, (compressed_f32x4(lz4.frame.compress(bytes(12))),), {}, ValueError, MALFORMED),
    (rs.loads_rs, (pb.header(pb.ALIGNED | pb.COMPRESSED, 3, 1) + struct.pack("<I", 10**9) + bytes(50)
                   + lz4.frame.compress(b""),), {}, ValueError, MALFORMED),
    # the process-shared mutex: buffer first, then room, then the timeout's value
    (rs.shm_mutex_init, (bytes(64), 0), {}, ValueError, READ_ONLY),
    (rs.shm_mutex_lock, (bytes(8), 2**64 - 1, -1.0), {}, ValueError, READ_ONLY),
    (rs.shm_mutex_destroy, (bytearray(32), 0), {}, ValueError, space(0, 32)),
    (rs.shm_mutex_init, (bytearray(64), 2**64 - 64), {}, ValueError, space(2**64 - 64, 64)),  # no wrap to 0
    (rs.shm_mutex_lock, (bytearray(64), 8, float("nan")), {}, ValueError, space(8, 64)),
    (rs.shm_mutex_lock, (FREE, 0, -1e-12), {}, ValueError, NEGATIVE),
    (rs.shm_mutex_lock, (FREE, 0, float("nan")), {}, ValueError, TOO_BIG),
    (rs.shm_mutex_lock, (FREE, 0, float("inf")), {}, ValueError, TOO_BIG),
    (rs.shm_mutex_lock, (FREE, 0, 2.0**63), {}, ValueError, "overflow when adding duration to instant"),
    (rs.shm_mutex_lock, (HELD, 0, 0), {}, TimeoutError, "Mutex lock timed out after 0ns"),
    (rs.shm_mutex_lock, (HELD, 0, 2.5e-6), {}, TimeoutError, "Mutex lock timed out after 2.5µs"),
    (rs.shm_mutex_lock, (HELD, 0, 0.3), {}, TimeoutError, "Mutex lock timed out after 300ms"),  # 0.2999...: rounded
    (rs.shm_mutex_lock, (HELD, 0, 1.25), {}, TimeoutError, "Mutex lock timed out after 1.25s"),
    pytest.param(rs.shm_mutex_destroy, (HELD, 0), {}, RuntimeError, "pthread_mutex_destroy failed: 16",
                 marks=pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="glibc reports a held mutex")),
]


def _row_id(row):
    values = row.values if hasattr(row, "values") else row
    return f"{values[0].__name__}-{values[3].__name__}"


@pytest.mark.parametrize("function, args, kwargs, error, text", TEXTS, ids=[_row_id(row) for row in TEXTS])
def test_texts(function, args, kwargs, error, text):
    buffers = [arg for arg in args if isinstance(arg, (bytearray, memoryview))]
    before = [bytes(buffer) for buffer in buffers]
    with pytest.raises(error) as caught:
        function(*args, **kwargs)
    message = str(caught.value)
    assert type(caught.value) is error
    if isinstance(text, Prefix):
        assert message.startswith(text) and len(message) > len(text)
    elif text is not None:
        assert message == text
    else:
        assert not message.startswith("argument")  # the interpreter's text, not prefixed
    assert error is not OSError or caught.value.errno is None
    assert [bytes(buffer) for buffer in buffers] == before
    for buffer in buffers:  # resizable again: the export was released on the error path
        if isinstance(buffer, bytearray):
            buffer.append(0)
            del buffer[-1]


def test_absurd_string_count_is_refused_before_allocating():
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=f"^{MALFORMED}$"):
            rs.dumps_string_rs(le_offsets(0), b"", 4294967295)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


class AttributeLog:
    def __init__(self, **fields):
        self.fields, self.read = fields, []

    def __getattr__(self, name):
        self.read.append(name)
        return self.fields[name] if name in self.fields else object.__getattribute__(self, name)


def test_quantized_attributes_are_read_in_order_after_the_alignment_check():
    log = AttributeLog(**QINT8)
    with pytest.raises(ValueError, match=f"^{POWER}$"):
        rs.dumps_quantized_rs(log, alignment=48)
    assert log.read == []
    rs.dumps_quantized_rs(log)
    assert log.read == ["dtype_code", "quant_scheme", "group_size", "axis", "shape", "scales", "zero_points", "data"]
    log = AttributeLog(**{k: v for k, v in QINT8.items() if k != "axis"})
    with pytest.raises(AttributeError):
        rs.dumps_quantized_rs(log)
    assert log.read == ["dtype_code", "quant_scheme", "group_size", "axis"]


@pytest.mark.parametrize("call", [
    lambda: rs.dumps_rs(A, check_integrity=np.True_, alignment=np.int64(64)),  # NumPy bools and index-like ints
    lambda: rs.dumps_rs(FakeArray(), True),  # an honest imitation of an array
    lambda: rs.loads_rs(memoryview(bytearray(rs.dumps_rs(A, True))).cast("c")),  # char as well as unsigned byte
])
def test_accepted_argument_forms(call):
    result = call()
    packet = result if isinstance(result, bytes) else rs.dumps_rs(result, True)
    assert packet == rs.dumps_rs(A, True)
