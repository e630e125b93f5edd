"""Packets assembled byte by byte, independently of the encoders under test."""

import struct

import lz4.frame
import numpy as np
import xxhash

from vakra import _native

ALIGNED, INTEGRITY, COMPRESSED = 0x0001, 0x0002, 0x0004
COO, BUNDLE, CSR, CSC = 0x0008, 0x0010, 0x0020, 0x0040
CUSTOM_ALIGN, STRING, RAGGED, INLINE = 0x0080, 0x0100, 0x0200, 0x0400

DTYPE_CODES = {name: code for code, name in enumerate(_native.dtype_names(), start=1)}


def header(flags, dtype_code, ndim, reserved=0):
    return b"VKRA" + struct.pack("<BHBBB", 4, flags, dtype_code, ndim, reserved)


def xxh3(data):
    return struct.pack("<Q", xxhash.xxh3_64_intdigest(data))


def dense(array, flags=ALIGNED, body=None):
    """A dense packet of `array`; `body` replaces the element bytes (e.g. by an LZ4 frame)."""
    array = np.asarray(array)
    array = array if array.flags.c_contiguous else array.copy()
    prefix = header(flags, DTYPE_CODES[array.dtype.name], array.ndim) + struct.pack(f"<{array.ndim}I", *array.shape)
    padding = b"\0" * (-len(prefix) % 64) if flags & ALIGNED else b""
    if body is None:
        body = lz4.frame.compress(array.tobytes()) if flags & COMPRESSED else array.tobytes()
    return prefix + padding + body + (xxh3(body) if flags & INTEGRITY else b"")


def bundle(entries):
    out = header(BUNDLE, 0, len(entries))
    for key, packet in entries:
        key = key.encode() if isinstance(key, str) else key
        out += struct.pack("<I", len(key)) + key + struct.pack("<I", len(packet)) + packet
    return out


def sparse(flag, shape, components):
    out = header(flag, 0, len(shape)) + struct.pack(f"<{len(shape)}I", *shape)
    for packet in components:
        out += struct.pack("<I", len(packet)) + packet
    return out


def offsets_body(flags, items, shape=None):
    """A string (or ragged) packet of byte items with the standard layout."""
    shape = (len(items),) if shape is None else shape
    prefix = header(flags, 20, len(shape)) + struct.pack(f"<{len(shape)}I", *shape)
    prefix += b"\0" * (-len(prefix) % 64)
    offsets = np.cumsum([0] + [len(i) for i in items]).astype("<u8").tobytes()
    body = offsets + b"".join(items)
    return prefix + body + (xxh3(body) if flags & INTEGRITY else b"")


def quantized(dtype_code, shape, scales, zero_points, data, scheme=1, axis=0, group_size=0, flags=ALIGNED):
    """A quantized packet with 64-byte alignment, the checksum when `flags` asks for it."""
    prefix = header(flags, dtype_code, len(shape)) + struct.pack(f"<{len(shape)}I", *shape)
    parameters = struct.pack("<BBII", scheme, axis, group_size, len(scales))
    parameters += np.asarray(scales, "<f4").tobytes() + np.asarray(zero_points, "<f4").tobytes()
    padding = b"\0" * (-(len(prefix) + len(parameters)) % 64)
    data = bytes(data)
    checksum = xxh3(parameters + data) if flags & INTEGRITY else b""
    return prefix + parameters + padding + data + checksum


def inline(record=bytes(range(96))):
    return header(INLINE, 0, 0, reserved=1) + record
