"""vakra_rs as a fixed contract: its function table, its packet facts, and every exact text it raises, in one table.

Each refused call leaves the caller's buffers as they were and releases their exports."""

import ctypes
import os
import struct
from types import SimpleNamespace

import lz4.frame
import numpy as np
import pytest
import scipy.sparse

import packet_builders as pb
import vakra
from samples import deep_dict
from vakra import vakra_rs as rs

OPTIONS = "check_integrity=False, compress=False, alignment=64"
SIGNATURES = {
    "get_packet_info_rs": "(data)", "dumps_rs": f"(array, {OPTIONS})",
    "dumps_quantized_rs": "(qt, check_integrity=False, alignment=64)",
    "dumps_string_rs": "(offsets, payload, count, check_integrity=False)", "encode_bundle_rs": "(entries)",
    "dump_to_buffer_rs": f"(array, buffer, {OPTIONS})", "dump_to_fd_rs": f"(array, fd, {OPTIONS})", "loads_rs": "(data)",
    "shm_mutex_init": "(buffer, offset)", "shm_mutex_lock": "(buffer, offset, timeout_secs=5.0)",
    "shm_mutex_unlock": "(buffer, offset)", "shm_mutex_destroy": "(buffer, offset)", "shm_mutex_size": "()",
}


def test_function_table():
    assert rs.__all__ == list(SIGNATURES) and rs.shm_mutex_size() == 64
    for name, signature in SIGNATURES.items():
        assert (getattr(rs, name).__text_signature__, getattr(rs, name).__module__) == (signature, "vakra.vakra_rs")
    # One native image: vakra_rs's functions live in _native, its own shared object is a loader.
    assert os.path.getsize(rs.__file__) * 4 <= os.path.getsize(vakra._native.__file__)


def test_packet_info_keys_in_order_without_reading_bodies():
    packet = bytearray(rs.dumps_rs(np.zeros((2, 3), np.float32), check_integrity=True))
    packet[70] ^= 0xFF
    packet[-1] ^= 0xFF
    assert list(rs.get_packet_info_rs(packet).items()) == [
        ("version", 4), ("flags", 3), ("dtype_code", 1), ("ndim", 2), ("aligned", True),
        ("integrity_protected", True), ("total_elements", 6), ("shape", (2, 3))]
    info = rs.get_packet_info_rs(rs.dumps_rs({k: np.zeros(1, np.int8) for k in "abc"}))
    assert list(info.items()) == [("version", 4), ("flags", 0x10), ("dtype_code", 0), ("ndim", 3), ("aligned", False),
                                  ("integrity_protected", False), ("entry_count", 3), ("shape", ()), ("total_elements", 0)]
    # 2^32-1 cubed overflows u64: the product saturates; an unknown dtype code is reported as it lies.
    info = rs.get_packet_info_rs(pb.header(0x80, 200, 3) + struct.pack("<3I", *[0xFFFFFFFF] * 3))
    assert (info["total_elements"], info["dtype_code"], info["aligned"]) == (2**64 - 1, 200, False)


A = np.zeros(3, np.float32)
T = np.zeros((2, 3), np.float32).T
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


class Weird:
    def __index__(self):
        raise TypeError("inner")


SELF = {"a": np.zeros(1)}
SELF["self"] = SELF
POISONED = {**{str(i): np.zeros(1, np.int8) for i in range(255)}, "bad": [1]}  # refused before anything is encoded
FREE, HELD = memoryview(bytearray(64)), memoryview(bytearray(64))  # never resized: a mutex must not move
rs.shm_mutex_init(FREE, 0)
rs.shm_mutex_init(HELD, 0)
rs.shm_mutex_lock(HELD, 0, 0)
RANGE = "out of range integral type conversion attempted"
MALFORMED, READ_ONLY = "Malformed vakra packet", "Buffer is read-only"
TOO_MANY = ("Bundle has {} entries; the wire format encodes the entry count in a single byte, "
            "so at most 255 entries are supported")
DURATION = "cannot convert float seconds to Duration: value is "
TIMED_OUT = "Mutex lock timed out after "
NOT_A_MUTEX = ("the 64 bytes at this offset hold no vakra mutex: they were never initialised (shm_mutex_init, "
               "SharedMutex(..., create=True)), were destroyed, or were overwritten")


def space(offset, size):
    return f"Insufficient space: need 64 bytes at offset {offset}, buffer is {size} bytes"


# function, positional arguments, keyword arguments, exception, text (None: the interpreter's own)
TEXTS = [
    # argument matching
    (rs.dumps_string_rs, (), {}, TypeError,
     "dumps_string_rs() missing 3 required positional arguments: 'offsets', 'payload', and 'count'"),
    (rs.dumps_rs, (A, False, False, 64, 1), {}, TypeError,
     "dumps_rs() takes from 1 to 4 positional arguments but 5 were given"),
    (rs.dumps_rs, (A,), {"array": A}, TypeError, "dumps_rs() got multiple values for argument 'array'"),
    (rs.dumps_rs, (A,), {"level": 3}, TypeError, "dumps_rs() got an unexpected keyword argument 'level'"),
    # conversions
    (rs.dumps_rs, (A,), {"check_integrity": 1}, TypeError,
     "argument 'check_integrity': 'int' object cannot be converted to 'PyBool'"),
    (rs.dumps_rs, (A,), {"alignment": -1}, OverflowError, None),
    (rs.dumps_rs, (A,), {"alignment": Weird()}, TypeError, "argument 'alignment': inner"),
    (rs.dump_to_fd_rs, (A, 2**31), {}, OverflowError, RANGE),
    (rs.dumps_string_rs, (bytearray(8), b"", 0), {}, TypeError,
     "argument 'offsets': 'bytearray' object cannot be converted to 'PyBytes'"),
    # byte-buffer requests, for readers and writers alike
    (rs.loads_rs, ("not a buffer",), {}, TypeError, None),
    (rs.loads_rs, (memoryview(bytearray(16)).cast("b"),), {}, BufferError, "buffer contents are not compatible with u8"),
    (rs.loads_rs, (memoryview(bytearray(32))[::-1],), {}, BufferError,
     "buffer is not contiguous: pass a contiguous buffer (e.g. bytes(view))"),
    (rs.loads_rs, ((ctypes.c_ubyte * 64)(),), {}, BufferError, "strides is null"),
    # arrays
    (rs.dumps_rs, (T,), {}, ValueError, "Array must be C-contiguous"),
    (rs.dump_to_fd_rs, (T, 1), {}, ValueError, "Array must be C-Contiguous"),
    (rs.dumps_rs, (np.zeros((4, 4), "datetime64[ns]")[:, ::2],), {}, ValueError, "Unsupported dtype: datetime64[ns]"),
    (rs.dump_to_fd_rs, ({"x": A}, 1), {}, AttributeError, None),
    (rs.dumps_rs, (np.zeros((1,) * 33, np.int8),), {}, ValueError, "Packet exceeds maximum dimensions"),
    (rs.dumps_rs, ({},), {"alignment": 48}, ValueError, "Alignment must be a power of two"),
    # Any power of two is taken; 2^63 bytes of padding cannot be held (their size once wrapped).
    (rs.dumps_rs, (A,), {"alignment": 2**63}, MemoryError, None),
    (rs.dump_to_fd_rs, (A, 1), {"alignment": 2**63}, MemoryError, None),
    (rs.dumps_rs, (FakeArray(shape=(2**32,)),), {}, ValueError,
     "Dimension 4294967296 exceeds the wire-format limit of 4294967295 (each dimension is stored as a 32-bit integer)"),
    (rs.dumps_rs, (FakeArray(data=4096),), {}, BufferError, None),  # the export disagrees with ctypes.data
    (rs.dumps_rs, (SimpleNamespace(**{k: getattr(FakeArray(), k) for k in ("dtype", "flags", "nbytes", "shape", "ctypes")}),),
     {}, BufferError, None),  # exports no buffer at all
    (rs.dump_to_fd_rs, (A, -1), {}, OSError, "Bad file descriptor (os error 9)"),
    (rs.dump_to_buffer_rs, (A, b"\0" * 200), {"alignment": 3}, ValueError, READ_ONLY),  # before the alignment
    (rs.dump_to_buffer_rs, ({"m": scipy.sparse.eye(3, format="csr")}, bytearray(b"\xaa" * 250)), {}, ValueError,
     "Buffer too small"),
    # dicts and sparse matrices
    (rs.dumps_rs, ({1: A},), {}, TypeError, "'int' object cannot be converted to 'PyString'"),
    (rs.dumps_rs, (meddling(lambda d: d.__setitem__("new", A)),), {}, RuntimeError,
     "dictionary changed size during iteration"),
    (rs.dumps_rs, (meddling(lambda d: (d.pop("a"), d.__setitem__("c", A))),), {}, RuntimeError,
     "dictionary keys changed during iteration"),
    (rs.dumps_rs, (SELF,), {}, ValueError, "Cannot encode a dict that contains itself"),
    (rs.dumps_rs, (deep_dict(65, {}),), {}, ValueError,
     "Nesting too deep: values may be nested at most 64 levels below the top-level value"),
    (rs.dumps_rs, (POISONED,), {}, ValueError, TOO_MANY.format(256)),
    (rs.dumps_rs, (scipy.sparse.dok_matrix(np.eye(2)),), {}, ValueError, "Unknown sparse format"),
    # encode_bundle_rs, and the byte sequences it shares with dumps_quantized_rs
    (rs.encode_bundle_rs, ("ab",), {}, TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
    (rs.encode_bundle_rs, ({"a": b""},), {}, TypeError,
     "argument 'entries': 'dict' object cannot be converted to 'Sequence'"),
    (rs.encode_bundle_rs, ([["a", b""]],), {}, TypeError,
     "argument 'entries': 'list' object cannot be converted to 'PyTuple'"),
    (rs.encode_bundle_rs, ([("a", b"", b"")],), {}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (rs.encode_bundle_rs, ([("a", [1, 256])],), {}, OverflowError, RANGE),
    (rs.encode_bundle_rs, ([("a", b"")] * 256,), {}, ValueError, TOO_MANY.format("too many")),
    (rs.encode_bundle_rs, ([("\ud800", b"")],), {}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    # dumps_string_rs and dumps_quantized_rs
    (rs.dumps_string_rs, (b"\0" * 7, b"", 0), {}, ValueError, "offsets length must be a multiple of 8"),
    (rs.dumps_string_rs, (struct.pack("<3Q", 0, 3, 2), b"abc", 2), {}, ValueError, MALFORMED),
    # Refused before the packet is allocated: its offsets alone would take 32 GiB.
    (rs.dumps_string_rs, (struct.pack("<Q", 0), b"", 4294967295), {}, ValueError, MALFORMED),
    (rs.dumps_quantized_rs, (SimpleNamespace(**{**pb.QINT8, "dtype_code": 255}),), {}, ValueError,
     "Unsupported or unknown dtype code: 255"),
    # the package's typed bytes: a dense body takes a dense code, never one read back as a quantized packet
    (vakra._native.encode, (object(), False, False, 64, lambda value: (np.arange(4, dtype=np.uint8), 16)), {},
     ValueError, "Unsupported or unknown dtype code: 16"),
    # loads_rs and get_packet_info_rs: the codec's refusals
    (rs.loads_rs, (bytearray(b"VKRA\x04\x01"),), {}, ValueError, "Packet too short"),
    (rs.get_packet_info_rs, (b"XKRA\x09" + bytes(5),), {}, ValueError, "Invalid vakra packet"),
    (rs.loads_rs, (bytearray(b"VKRA\x05" + bytes(10)),), {}, ValueError, "Unsupported protocol version: 5"),
    # Decompression is bounded by the shape; a frame too small to hold it is refused before the array is allocated.
    (rs.loads_rs, (pb.dense(np.zeros(4, np.float32), pb.ALIGNED | pb.COMPRESSED, body=b"\x04\x22\x4d\x18garbage"),), {},
     ValueError, "LZ4 frame decompression failed"),
    (rs.loads_rs, (pb.header(pb.ALIGNED | pb.COMPRESSED, 3, 1) + struct.pack("<I", 10**9) + bytes(50)
                   + lz4.frame.compress(b""),), {}, ValueError, MALFORMED),
    # the process-shared mutex: buffer first, then room, then the timeout's value
    (rs.shm_mutex_lock, (bytes(8), 2**64 - 1, -1.0), {}, ValueError, READ_ONLY),
    (rs.shm_mutex_init, (bytearray(64), 2**64 - 64), {}, ValueError, space(2**64 - 64, 64)),  # no wrap to 0
    (rs.shm_mutex_lock, (bytearray(64), 8, float("nan")), {}, ValueError, space(8, 64)),
    (rs.shm_mutex_lock, (FREE, 0, -1e-12), {}, ValueError, DURATION + "negative"),
    (rs.shm_mutex_lock, (FREE, 0, 2.0**63), {}, ValueError, "overflow when adding duration to instant"),
    (rs.shm_mutex_lock, (HELD, 0, 2.5e-6), {}, TimeoutError, TIMED_OUT + "2.5µs"),
    (rs.shm_mutex_unlock, (bytearray(b"\x01" * 64), 0), {}, ValueError, NOT_A_MUTEX),
    (rs.shm_mutex_lock, (memoryview(bytearray(72))[1:], 0), {}, ValueError,
     "the mutex area must lie at an address that is a multiple of 8 bytes"),
    (rs.shm_mutex_unlock, (FREE, 0), {}, RuntimeError, "Mutex unlock refused: the calling thread does not hold it "
     "(it is free, or held by another thread or process)"),
    (rs.shm_mutex_destroy, (HELD, 0), {}, RuntimeError, "pthread_mutex_destroy failed: 16"),  # the text it always had
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
    if text is not None:
        assert message == text
    else:
        assert not message.startswith("argument")  # the interpreter's text, not prefixed
    assert error is not OSError or caught.value.errno is None
    assert [bytes(buffer) for buffer in buffers] == before
    for buffer in buffers:  # resizable again: the export was released on the error path
        if isinstance(buffer, bytearray):
            buffer.append(0)
            del buffer[-1]


@pytest.mark.parametrize("call", [
    lambda: rs.dumps_rs(A, check_integrity=np.True_, alignment=np.int64(64)),  # NumPy bools and index-like ints
    lambda: rs.dumps_rs(FakeArray(), True),  # an honest imitation of an array
    lambda: rs.loads_rs(memoryview(bytearray(rs.dumps_rs(A, True))).cast("c")),  # char as well as unsigned byte
])
def test_accepted_argument_forms(call):
    result = call()
    assert (result if isinstance(result, bytes) else rs.dumps_rs(result, True)) == rs.dumps_rs(A, True)
