"""Packets assembled byte by byte, independently of the encoders under test."""

import struct

import lz4.frame
import numpy as np
import xxhash

ALIGNED, INTEGRITY, COMPRESSED = 0x0001, 0x0002, 0x0004
COO, BUNDLE, CSR, CSC = 0x0008, 0x0010, 0x0020, 0x0040
CUSTOM_ALIGN, STRING, RAGGED, INLINE = 0x0080, 0x0100, 0x0200, 0x0400
# The wire's dtype codes, 1 onwards.
DTYPE_NAMES = ("float32 int32 float64 int64 uint8 uint16 bool float16 int8 int16 uint32 uint64 complex64 complex128 "
               "bfloat16").split()


# The parts of a qint8 tensor of shape (4, 8), scaled per axis 0, as the quantized encoder reads them.
QINT8 = dict(data=np.arange(32, dtype=np.uint8), scales=np.array([1, 2, 3, 4], np.float32),
             zero_points=np.zeros(4, np.float32), shape=(4, 8), dtype_code=16, quant_scheme=1, group_size=0, axis=0)


def header(flags, dtype_code, ndim, reserved=0):
    return b"VKRA" + struct.pack("<BHBBB", 4, flags, dtype_code, ndim, reserved)


def xxh3(data):
    return struct.pack("<Q", xxhash.xxh3_64_intdigest(data))


def _aligned(prefix, flags, alignment):
    """Pads `prefix` to the body start; any alignment but 64 is stored as a log2 byte first."""
    if alignment != 64:
        prefix += bytes([alignment.bit_length() - 1])
    return prefix + b"\0" * (-len(prefix) % alignment) if flags & (ALIGNED | CUSTOM_ALIGN) else prefix


def dense(array, flags=ALIGNED, body=None, alignment=64):
    """A dense packet of `array`; `body` replaces the element bytes (e.g. by an LZ4 frame)."""
    array = np.asarray(array).copy()  # C order, at any number of dimensions
    flags = flags & ~ALIGNED | CUSTOM_ALIGN if alignment != 64 else flags
    prefix = header(flags, DTYPE_NAMES.index(array.dtype.name) + 1, array.ndim) + struct.pack(f"<{array.ndim}I", *array.shape)
    if body is None:
        body = lz4.frame.compress(array.tobytes()) if flags & COMPRESSED else array.tobytes()
    return _aligned(prefix, flags, alignment) + body + (xxh3(body) if flags & INTEGRITY else b"")


def bundle(entries):
    out = header(BUNDLE, 0, len(entries))
    for key, packet in entries:
        key = key.encode()
        out += struct.pack("<I", len(key)) + key + struct.pack("<I", len(packet)) + packet
    return out


def sparse(flag, shape, components):
    out = header(flag, 0, len(shape)) + struct.pack(f"<{len(shape)}I", *shape)
    for packet in components:
        out += struct.pack("<I", len(packet)) + packet
    return out


def offsets_body(flags, items):
    """A string (or ragged) packet of byte items with the standard layout."""
    prefix = header(flags, 20, 1) + struct.pack("<I", len(items))
    body = np.cumsum([0] + [len(i) for i in items]).astype("<u8").tobytes() + b"".join(items)
    return prefix + b"\0" * (-len(prefix) % 64) + body + (xxh3(body) if flags & INTEGRITY else b"")


def quantized(dtype_code, shape, scales, zero_points, data, scheme=1, axis=0, group_size=0, flags=ALIGNED,
              alignment=64):
    """A quantized packet; the checksum covers the parameters and the data as one stream."""
    flags = flags & ~ALIGNED | CUSTOM_ALIGN if alignment != 64 else flags
    parameters = struct.pack("<BBII", scheme, axis, group_size, len(scales))
    parameters += np.asarray(scales, "<f4").tobytes() + np.asarray(zero_points, "<f4").tobytes()
    prefix = header(flags, dtype_code, len(shape)) + struct.pack(f"<{len(shape)}I", *shape) + parameters
    data = bytes(data)
    return _aligned(prefix, flags, alignment) + data + (xxh3(parameters + data) if flags & INTEGRITY else b"")


def inline(record=bytes(range(96))):
    return header(INLINE, 0, 0, reserved=1) + record
