"""Hostile input for loads_rs and get_packet_info_rs: valid packets of every kind, truncated, extended and
corrupted. Each call returns or raises ValueError; the only TypeErrors allowed are NumPy's for a dtype name it
does not know ("bfloat16", "qint4", "string") and those SciPy's matrix constructors raise for components of the
wrong shape, passed on unchanged. Anything else, or a crash of the interpreter, fails the test."""

import os
import traceback
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vakra import vakra_rs

scipy_sparse = pytest.importorskip("scipy.sparse")
SCIPY_SPARSE_DIR = os.path.dirname(scipy_sparse.__file__)


def quantized(dtype_code, shape, data, scales, zero_points, axis=0, group_size=0):
    """The attributes dumps_quantized_rs reads, without the package class."""
    return SimpleNamespace(dtype_code=dtype_code, shape=shape, data=np.asarray(data, np.uint8), axis=axis,
                           scales=np.asarray(scales, np.float32), zero_points=np.asarray(zero_points, np.float32),
                           group_size=group_size, quant_scheme=0)


def string_packet(strings, check_integrity):
    offsets = np.cumsum([0] + [len(s) for s in strings]).astype("<u8").tobytes()
    return vakra_rs.dumps_string_rs(offsets, b"".join(strings), len(strings), check_integrity=check_integrity)


F32 = np.arange(6, dtype=np.float32).reshape(2, 3)
I16 = (np.arange(300, dtype=np.int16) % 7).reshape(3, 100)
EYE = np.array([[0, 1], [2, 0]], dtype=np.float32)
BASES = {
    "dense": vakra_rs.dumps_rs(F32),
    "dense-compressed": vakra_rs.dumps_rs(I16, compress=True),
    "dense-compressed-checksum": vakra_rs.dumps_rs(I16.astype(np.uint8), compress=True, check_integrity=True),
    "dense-align1": vakra_rs.dumps_rs(F32, alignment=1),
    "dense-align16-checksum": vakra_rs.dumps_rs(np.ones((2, 2, 2), np.int64), check_integrity=True, alignment=16),
    "dense-scalar": vakra_rs.dumps_rs(np.array(1 + 2j, dtype=np.complex64)),
    "dense-empty": vakra_rs.dumps_rs(np.zeros((0, 3), np.uint16)),
    "bundle": vakra_rs.dumps_rs({"a": F32, "b": {"c": np.arange(4, dtype=np.int8)}, "": np.zeros(0)}),
    "bundle-sparse": vakra_rs.dumps_rs({"m": scipy_sparse.csr_matrix(np.eye(3)), "v": F32}),
    "coo": vakra_rs.dumps_rs(scipy_sparse.coo_matrix(np.diag([1.0, 2.0, 3.0]))),
    "csr": vakra_rs.dumps_rs(scipy_sparse.csr_matrix(EYE)),
    "csc": vakra_rs.dumps_rs(scipy_sparse.csc_matrix(EYE.astype(np.int64))),
    "string": string_packet([b"ab", b"", b"xyz"], False),
    "string-checksum": string_packet([b"hello", b"w"], True),
    "quantized": vakra_rs.dumps_quantized_rs(quantized(16, [2, 3], range(6), [0.5, 0.25], [0.0, 1.0])),
    "quantized-qint4-checksum": vakra_rs.dumps_quantized_rs(
        quantized(18, [5], [0x12, 0x34, 0x05], [1.0], [0.0], axis=255, group_size=5), check_integrity=True),
    "quantized-align8": vakra_rs.dumps_quantized_rs(quantized(17, [4], range(4), [], []), alignment=8),
}
BASES["prepacked-bundle"] = vakra_rs.encode_bundle_rs(
    [("x", vakra_rs.dumps_rs(np.arange(3, dtype=np.uint32))), ("s", BASES["string"])])
BASE_NAMES = sorted(BASES)


def is_passed_on_type_error(exc):
    if "data type" in str(exc) and "not understood" in str(exc):
        return True  # NumPy does not know the dtype name
    return traceback.extract_tb(exc.__traceback__)[-1].filename.startswith(SCIPY_SPARSE_DIR)


def is_well_formed(matrix):
    """The compressed-matrix invariants SciPy's constructor leaves unchecked."""
    if matrix.format == "coo":
        return True  # coo_matrix range-checks its indices itself
    major, minor = matrix.shape if matrix.format == "csr" else matrix.shape[::-1]
    indptr, indices = matrix.indptr.astype(np.int64), matrix.indices.astype(np.int64)
    return (len(indptr) == major + 1 and indptr[0] == 0 and bool(np.all(np.diff(indptr) >= 0))
            and indptr[-1] == len(indices) == len(matrix.data)
            and (len(indices) == 0 or (indices.min() >= 0 and indices.max() < minor)))


def read_everything(value):
    """Reads every byte a decoded value refers to, so a bad view faults here."""
    if isinstance(value, np.ndarray):
        value.tobytes()
    elif isinstance(value, dict):
        for item in value.values():
            read_everything(item)
    elif scipy_sparse.issparse(value):
        assert is_well_formed(value)  # loads_rs refuses malformed ones
        value.toarray() if max(value.shape, default=0) <= 4096 else value.data.tobytes()
    elif value is not None:
        for name in ("data", "scales", "zero_points", "offsets", "payload"):
            if isinstance(part := getattr(value, name, None), np.ndarray):
                part.tobytes()


def both(data):
    try:
        read_everything(vakra_rs.loads_rs(data))
    except ValueError:
        pass
    except TypeError as exc:
        if not is_passed_on_type_error(exc):
            raise
    try:
        info = vakra_rs.get_packet_info_rs(data)
    except ValueError:
        return
    assert info["version"] in (3, 4)
    assert len(info["shape"]) == (0 if info["flags"] & 0x10 else info["ndim"])


def patched_sparse_packet(format_name, component, value):
    matrix = getattr(scipy_sparse, f"{format_name}_matrix")(EYE)
    packet = bytearray(vakra_rs.dumps_rs(matrix))
    part = getattr(matrix, component)
    at = bytes(packet).rfind(part.tobytes())  # the body comes after its own header
    packet[at + 4 * (len(part) - 1) : at + 4 * len(part)] = value.to_bytes(4, "little", signed=True)
    return bytes(packet)


@pytest.mark.parametrize("format_name, component, value", [
    ("csr", "indices", 1 << 30), ("csc", "indices", -5), ("csr", "indices", 2), ("csr", "indptr", -(1 << 31) + 3),
    ("csc", "indptr", 0), ("csr", "indptr", 3)])
def test_malformed_compressed_sparse_is_refused(format_name, component, value):
    with pytest.raises(ValueError):
        vakra_rs.loads_rs(patched_sparse_packet(format_name, component, value))


@pytest.mark.parametrize("offset", [0, 1, 3, 7])
def test_base_packets_decode_at_any_offset(offset):
    # The damage below starts from packets that decode cleanly, also at odd
    # addresses inside a larger buffer; damaged there, they still fail cleanly.
    for name in BASE_NAMES:
        view = memoryview(bytearray(offset) + bytearray(BASES[name]))[offset:]
        read_everything(vakra_rs.loads_rs(view))
        assert vakra_rs.get_packet_info_rs(view) == vakra_rs.get_packet_info_rs(BASES[name])
        assert vakra_rs.get_packet_info_rs(view)["version"] == 4
        view[len(view) // 2] ^= 0x55
        both(view)


@pytest.mark.parametrize("name", BASE_NAMES)
def test_every_truncation_and_single_byte_flip(name):
    packet = bytearray(BASES[name])
    for end in range(len(packet)):
        both(bytes(packet[:end]))
        both(packet[:end])
    for position in range(len(packet)):
        for mask in (0x01, 0x80, 0xFF):
            packet[position] ^= mask
            both(bytes(packet))
            packet[position] ^= mask


@st.composite
def damaged_packets(draw):
    packet = bytearray(BASES[draw(st.sampled_from(BASE_NAMES))])
    for _ in range(draw(st.integers(1, 4))):
        action = draw(st.sampled_from(["truncate", "extend", "flip", "header", "u32"]))
        if action == "truncate":
            del packet[draw(st.integers(0, len(packet))) :]
        elif action == "extend":
            packet += draw(st.binary(min_size=1, max_size=64))
        elif packet and action == "flip":
            packet[draw(st.integers(0, len(packet) - 1))] ^= draw(st.integers(1, 255))
        elif len(packet) > 10 and action == "header":
            # Flags, dtype code and count byte steer which decoder runs.
            packet[draw(st.integers(4, 9))] = draw(st.integers(0, 255))
        elif len(packet) >= 4 and action == "u32":
            # Length prefixes, dimensions and offsets are u32 or u64 fields.
            at = draw(st.integers(0, len(packet) - 4))
            packet[at : at + 4] = draw(st.sampled_from([0, 1, 0x7FFFFFFF, 0xFFFFFFFF, 1 << 16])).to_bytes(4, "little")
    container = draw(st.sampled_from([bytes, bytearray, memoryview]))
    return container(bytes(packet))


HOSTILE = settings(max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@settings(HOSTILE, max_examples=3000)
@given(damaged_packets())
def test_damaged_packets(data):
    both(data)


@HOSTILE
@given(st.sampled_from([b"", b"VKRA\x04", b"VKRA\x03"]), st.binary(max_size=200))
def test_arbitrary_bytes_with_or_without_a_valid_magic(header, rest):
    both(header + rest)
