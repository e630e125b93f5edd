"""Walk a packet's framing into a tree without decoding any body.

The walk reads headers, shapes, length prefixes and the few fields that fix
where a body ends (a string table's last offset, a quantized packet's scale
count); element bytes, checksums and compressed frames are never touched, so
describing a packet costs the same whatever the size of its bodies. It backs
``vakra.info`` and the ``vakra info`` command.

Malformed framing raises ``ValueError`` with the codec's own messages.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Any

__all__ = ["PacketNode", "walk", "facts", "DTYPE_NAMES", "FLAG_NAMES"]

MAGIC = b"VKRA"
MAX_NDIM = 32
MAX_NESTING_DEPTH = 64
INLINE_RECORD_SIZE = 96
CHECKSUM_SIZE = 8
_U64_MAX = (1 << 64) - 1

FLAG_ALIGNED = 0x0001
FLAG_INTEGRITY = 0x0002
FLAG_COMPRESSED = 0x0004
FLAG_SPARSE_COO = 0x0008
FLAG_BUNDLE = 0x0010
FLAG_SPARSE_CSR = 0x0020
FLAG_SPARSE_CSC = 0x0040
FLAG_CUSTOM_ALIGN = 0x0080
FLAG_STRING = 0x0100
FLAG_RAGGED = 0x0200
FLAG_INLINE = 0x0400

FLAG_NAMES: dict[int, str] = {
    FLAG_ALIGNED: "aligned",
    FLAG_INTEGRITY: "integrity",
    FLAG_COMPRESSED: "compressed",
    FLAG_SPARSE_COO: "sparse-coo",
    FLAG_BUNDLE: "bundle",
    FLAG_SPARSE_CSR: "sparse-csr",
    FLAG_SPARSE_CSC: "sparse-csc",
    FLAG_CUSTOM_ALIGN: "custom-align",
    FLAG_STRING: "string",
    FLAG_RAGGED: "ragged",
    FLAG_INLINE: "inline",
}

# Wire code -> (name, element size); None where the size is not fixed.
_DTYPES: dict[int, tuple[str, int | None]] = {
    1: ("float32", 4), 2: ("int32", 4), 3: ("float64", 8), 4: ("int64", 8),
    5: ("uint8", 1), 6: ("uint16", 2), 7: ("bool", 1), 8: ("float16", 2),
    9: ("int8", 1), 10: ("int16", 2), 11: ("uint32", 4), 12: ("uint64", 8),
    13: ("complex64", 8), 14: ("complex128", 16), 15: ("bfloat16", 2),
    16: ("qint8", 1), 17: ("quint8", 1), 18: ("qint4", None), 19: ("quint4", None),
    20: ("string", None), 21: ("bytes", None),
}
DTYPE_NAMES: dict[int, str] = {code: name for code, (name, _) in _DTYPES.items()}

# Sparse components in wire order, by format.
_SPARSE_ROLES = {
    "coo": ("data", "row", "col"),
    "csr": ("data", "indices", "indptr"),
    "csc": ("data", "indices", "indptr"),
}

_TOO_SHORT = "Packet too short"
_MALFORMED = "Malformed vakra packet"


@dataclass(frozen=True)
class PacketNode:
    """One packet of the tree: its header facts and where it lies.

    ``offset`` and ``size`` locate the packet inside the buffer given to
    :func:`walk`; ``size`` ends at the packet's last byte (a top-level packet
    may be followed by bytes that belong to no packet). ``body_size`` is the
    number of body bytes as stored (compressed, if compressed), or None where
    the packet has no body of its own (bundles, sparse packets) or its dtype is
    unknown. ``children`` are bundle entries (key, packet) or sparse
    components (role, packet), in wire order.
    """

    kind: str
    version: int
    flags: int
    dtype_code: int
    ndim: int
    shape: tuple[int, ...]
    offset: int
    size: int
    body_size: int | None
    children: tuple[tuple[str, PacketNode], ...] = ()
    details: dict[str, Any] = field(default_factory=dict)

    @property
    def dtype(self) -> str | None:
        """The element type's name, or None (containers, unknown codes)."""
        if self.kind in ("bundle", "sparse", "inline"):
            return None
        return DTYPE_NAMES.get(self.dtype_code)

    @property
    def flag_names(self) -> list[str]:
        return [name for bit, name in FLAG_NAMES.items() if self.flags & bit]

    @property
    def total_elements(self) -> int:
        if self.kind == "bundle":
            return 0
        return _element_count(self.shape)


def walk(data: Any) -> PacketNode:
    """Describe the packet at the start of ``data`` (any bytes-like object)."""
    view = memoryview(data)
    if view.format != "B" or view.ndim != 1:
        view = view.cast("B")
    with view:
        return _walk(view, 0, len(view), 0)


@dataclass
class _Header:
    version: int
    flags: int
    dtype_code: int
    ndim: int
    length: int


def _read_header(view: memoryview, start: int, end: int) -> _Header:
    if end - start < 8:
        raise ValueError(_TOO_SHORT)
    if bytes(view[start:start + 4]) != MAGIC:
        raise ValueError("Invalid vakra packet")
    version = view[start + 4]
    if version == 3:
        return _Header(3, view[start + 5], view[start + 6], view[start + 7], 8)
    if version == 4:
        if end - start < 10:
            raise ValueError(_TOO_SHORT)
        (flags,) = struct.unpack_from("<H", view, start + 5)
        return _Header(4, flags, view[start + 7], view[start + 8], 10)
    raise ValueError(f"Unsupported protocol version: {version}")


def _read_shape(view: memoryview, position: int, ndim: int, end: int) -> tuple[int, ...]:
    if ndim > MAX_NDIM:
        raise ValueError("Packet exceeds maximum dimensions")
    if position + 4 * ndim > end:
        raise ValueError(_TOO_SHORT)
    return struct.unpack_from(f"<{ndim}I", view, position)


def _element_count(shape: tuple[int, ...]) -> int:
    count = 1
    for dim in shape:
        count = min(count * dim, _U64_MAX)
    return count


def _body_start(view: memoryview, start: int, position: int, flags: int, end: int) -> int:
    """Where a body begins after its prefix ends at ``position``.

    Alignment is counted from the packet's first byte, as the encoders pad.
    """
    if flags & FLAG_CUSTOM_ALIGN:
        if position >= end:
            raise ValueError(_TOO_SHORT)
        exponent = view[position]
        if exponent > 63:
            raise ValueError(_MALFORMED)
        position += 1
        alignment = 1 << exponent
    elif flags & FLAG_ALIGNED:
        alignment = 64
    else:
        return position
    relative = position - start
    return start + (relative + alignment - 1) // alignment * alignment


def _kind(header: _Header) -> str:
    flags = header.flags
    if flags & FLAG_INLINE:
        return "inline"
    if flags & FLAG_BUNDLE:
        return "bundle"
    if flags & (FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC):
        return "sparse"
    if flags & FLAG_STRING:
        return "string"
    if flags & FLAG_RAGGED:
        return "ragged"
    if header.dtype_code & 0xFC == 0x10:
        return "quantized"
    return "dense"


def _walk(view: memoryview, start: int, end: int, depth: int) -> PacketNode:
    if depth > MAX_NESTING_DEPTH:
        raise ValueError(_MALFORMED)
    header = _read_header(view, start, end)
    kind = _kind(header)
    reader = _READERS[kind]
    return reader(view, start, end, depth, header)


def _node(kind: str, header: _Header, shape: tuple[int, ...], start: int, stop: int, end: int,
          body_size: int | None, children=(), **details: Any) -> PacketNode:
    if stop > end:
        raise ValueError(_TOO_SHORT)
    return PacketNode(kind, header.version, header.flags, header.dtype_code, header.ndim, tuple(shape),
                      start, stop - start, body_size, tuple(children), details)


def _read_dense(view, start, end, depth, header) -> PacketNode:
    shape = _read_shape(view, start + header.length, header.ndim, end)
    body = _body_start(view, start, start + header.length + 4 * header.ndim, header.flags, end)
    footer = CHECKSUM_SIZE if header.flags & FLAG_INTEGRITY else 0
    compressed = bool(header.flags & FLAG_COMPRESSED)
    if compressed:
        # A compressed body runs to the end of the bytes the packet was given.
        body_size = end - body - footer
        if body_size < 0:
            raise ValueError(_TOO_SHORT)
    else:
        _, item_size = _DTYPES.get(header.dtype_code, (None, None))
        if item_size is None:
            return _node("dense", header, shape, start, min(body, end), end, None)
        count = _element_count(shape)
        if count > 1_000_000_000:
            raise ValueError("Packet exceeds maximum elements")
        body_size = count * item_size
    return _node("dense", header, shape, start, body + body_size + footer, end, body_size, compressed=compressed)


def _read_offsets_payload(view, start, end, depth, header) -> PacketNode:
    shape = _read_shape(view, start + header.length, header.ndim, end)
    count = shape[0] if shape else 0
    table = _body_start(view, start, start + header.length + 4 * header.ndim, header.flags, end)
    payload = table + 8 * (count + 1)
    if payload > end:
        raise ValueError(_TOO_SHORT)
    (payload_size,) = struct.unpack_from("<Q", view, payload - 8)
    footer = CHECKSUM_SIZE if header.flags & FLAG_INTEGRITY else 0
    kind = "string" if header.flags & FLAG_STRING else "ragged"
    return _node(kind, header, shape, start, payload + payload_size + footer, end,
                 payload + payload_size - table, count=count, payload_size=payload_size)


def _read_quantized(view, start, end, depth, header) -> PacketNode:
    shape = _read_shape(view, start + header.length, header.ndim, end)
    count = _element_count(shape)
    if count > 1_000_000_000:
        raise ValueError("Packet exceeds maximum elements")
    params = start + header.length + 4 * header.ndim
    if params + 10 > end:
        raise ValueError(_TOO_SHORT)
    scheme, axis, group_size, scale_count = struct.unpack_from("<BBII", view, params)
    tables_end = params + 10 + 8 * scale_count
    if tables_end > end:
        raise ValueError(_TOO_SHORT)
    body = _body_start(view, start, tables_end, header.flags, end)
    value_bytes = count if header.dtype_code in (16, 17) else (count + 1) // 2
    footer = CHECKSUM_SIZE if header.flags & FLAG_INTEGRITY else 0
    return _node("quantized", header, shape, start, body + value_bytes + footer, end, value_bytes,
                 quant_scheme=scheme, axis=axis, group_size=group_size, scale_count=scale_count)


def _read_bundle(view, start, end, depth, header) -> PacketNode:
    position = start + header.length
    entries = []
    for _ in range(header.ndim):
        key_size = _read_length(view, position, end)
        key_bytes = bytes(view[position + 4:position + 4 + key_size])
        try:
            key = key_bytes.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(_MALFORMED) from None
        position += 4 + key_size
        packet_size = _read_length(view, position, end)
        child_start = position + 4
        entries.append((key, _walk(view, child_start, child_start + packet_size, depth + 1)))
        position = child_start + packet_size
    return _node("bundle", header, (), start, position, end, None, entries)


def _read_sparse(view, start, end, depth, header) -> PacketNode:
    flags = header.flags
    sparse_format = "coo" if flags & FLAG_SPARSE_COO else "csr" if flags & FLAG_SPARSE_CSR else "csc"
    shape = _read_shape(view, start + header.length, header.ndim, end)
    position = start + header.length + 4 * header.ndim
    components = []
    for role in _SPARSE_ROLES[sparse_format]:
        size = _read_length(view, position, end)
        components.append((role, _walk(view, position + 4, position + 4 + size, depth + 1)))
        position += 4 + size
    return _node("sparse", header, shape, start, position, end, None, components, format=sparse_format)


def _read_inline(view, start, end, depth, header) -> PacketNode:
    if header.flags & FLAG_INTEGRITY or header.ndim != 0 or view[start + 9] != 1:
        raise ValueError(_MALFORMED)
    return _node("inline", header, (), start, start + header.length + INLINE_RECORD_SIZE, end, INLINE_RECORD_SIZE)


def _read_length(view: memoryview, position: int, end: int) -> int:
    """A u32 length prefix at ``position`` whose span must fit before ``end``."""
    if position + 4 > end:
        raise ValueError(_TOO_SHORT)
    (size,) = struct.unpack_from("<I", view, position)
    if position + 4 + size > end:
        raise ValueError(_TOO_SHORT)
    return size


_READERS = {
    "dense": _read_dense,
    "bundle": _read_bundle,
    "sparse": _read_sparse,
    "string": _read_offsets_payload,
    "ragged": _read_offsets_payload,
    "quantized": _read_quantized,
    "inline": _read_inline,
}


def facts(node: PacketNode) -> dict[str, Any]:
    """A node as a dict: the header facts of ``get_packet_info_rs`` in its
    key order, then what the walk adds (kind, dtype, sizes, nested packets)."""
    result: dict[str, Any] = {
        "version": node.version,
        "flags": node.flags,
        "dtype_code": node.dtype_code,
        "ndim": node.ndim,
        "aligned": bool(node.flags & FLAG_ALIGNED),
        "integrity_protected": bool(node.flags & FLAG_INTEGRITY),
    }
    if node.flags & FLAG_BUNDLE:
        result.update(entry_count=node.ndim, shape=(), total_elements=0)
    else:
        result.update(total_elements=_element_count(node.shape), shape=node.shape)
    result.update(kind=node.kind, dtype=node.dtype, size=node.size, body_size=node.body_size)
    result.update(node.details)
    if node.kind == "bundle":
        result["entries"] = {key: facts(child) for key, child in node.children}
    elif node.kind == "sparse":
        result["components"] = {role: facts(child) for role, child in node.children}
    return result
