"""Hostile input for loads_rs and get_packet_info_rs.

Valid packets of every kind are truncated, extended and corrupted. Each call
must either return or raise ValueError (the codec's errors and NumPy's own
reshape refusals); the only other errors allowed are NumPy's TypeError for a
dtype name it does not know (a damaged packet can carry "bfloat16" or, through
the owning fallback, "qint4" or "string") and the TypeError SciPy's matrix
constructors raise for components of the wrong shape, which loads_rs passes on
unchanged. Anything else, or a crash of the interpreter, fails the test.
"""

import os
import traceback

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vakra import vakra_rs

scipy_sparse = pytest.importorskip("scipy.sparse")


class Quantized:
    """The attributes dumps_quantized_rs reads, without the package class."""

    def __init__(self, dtype_code, shape, data, scales, zero_points, axis=0, group_size=0, quant_scheme=0):
        self.dtype_code = dtype_code
        self.shape = shape
        self.data = np.asarray(data, dtype=np.uint8)
        self.scales = np.asarray(scales, dtype=np.float32)
        self.zero_points = np.asarray(zero_points, dtype=np.float32)
        self.axis = axis
        self.group_size = group_size
        self.quant_scheme = quant_scheme


def string_packet(strings, check_integrity):
    payload = b"".join(strings)
    offsets = np.cumsum([0] + [len(s) for s in strings]).astype("<u8").tobytes()
    return vakra_rs.dumps_string_rs(offsets, payload, len(strings), check_integrity=check_integrity)


def base_packets():
    f32 = np.arange(6, dtype=np.float32).reshape(2, 3)
    i16 = (np.arange(300, dtype=np.int16) % 7).reshape(3, 100)
    packets = {
        "dense": vakra_rs.dumps_rs(f32),
        "dense-checksum": vakra_rs.dumps_rs(np.linspace(0, 1, 5), check_integrity=True),
        "dense-compressed": vakra_rs.dumps_rs(i16, compress=True),
        "dense-compressed-checksum": vakra_rs.dumps_rs(i16.astype(np.uint8), compress=True, check_integrity=True),
        "dense-align1": vakra_rs.dumps_rs(f32, alignment=1),
        "dense-align16-checksum": vakra_rs.dumps_rs(np.ones((2, 2, 2), np.int64), check_integrity=True, alignment=16),
        "dense-align256": vakra_rs.dumps_rs(np.array([True, False, True]), alignment=256),
        "dense-scalar": vakra_rs.dumps_rs(np.array(1 + 2j, dtype=np.complex64)),
        "dense-empty": vakra_rs.dumps_rs(np.zeros((0, 3), np.uint16)),
        "bundle": vakra_rs.dumps_rs({"a": f32, "b": {"c": np.arange(4, dtype=np.int8)}, "": np.zeros(0)}),
        "bundle-sparse": vakra_rs.dumps_rs({"m": scipy_sparse.csr_matrix(np.eye(3)), "v": f32}),
        "coo": vakra_rs.dumps_rs(scipy_sparse.coo_matrix(np.diag([1.0, 2.0, 3.0]))),
        "csr": vakra_rs.dumps_rs(scipy_sparse.csr_matrix(np.array([[0, 1], [2, 0]], dtype=np.float32))),
        "csc": vakra_rs.dumps_rs(scipy_sparse.csc_matrix(np.array([[0, 1], [2, 0]], dtype=np.int64))),
        "string": string_packet([b"ab", b"", b"xyz"], False),
        "string-checksum": string_packet([b"hello", b"w"], True),
        "quantized": vakra_rs.dumps_quantized_rs(Quantized(16, [2, 3], range(6), [0.5, 0.25], [0.0, 1.0])),
        "quantized-qint4-checksum": vakra_rs.dumps_quantized_rs(
            Quantized(18, [5], [0x12, 0x34, 0x05], [1.0], [0.0], axis=255, group_size=5), check_integrity=True
        ),
        "quantized-align8": vakra_rs.dumps_quantized_rs(Quantized(17, [4], range(4), [], []), alignment=8),
    }
    sub = vakra_rs.dumps_rs(np.arange(3, dtype=np.uint32))
    packets["prepacked-bundle"] = vakra_rs.encode_bundle_rs([("x", sub), ("s", packets["string"])])
    return packets


BASES = base_packets()
BASE_NAMES = sorted(BASES)


SCIPY_SPARSE_DIR = os.path.dirname(scipy_sparse.__file__)


def is_passed_on_type_error(exc):
    if not isinstance(exc, TypeError):
        return False
    if "data type" in str(exc) and "not understood" in str(exc):
        return True  # NumPy does not know the dtype name
    raised_in = traceback.extract_tb(exc.__traceback__)[-1].filename
    return raised_in.startswith(SCIPY_SPARSE_DIR)


def is_well_formed(matrix):
    """The compressed-matrix invariants SciPy's constructor leaves unchecked."""
    if matrix.format == "coo":
        return True  # coo_matrix range-checks its indices itself
    major, minor = matrix.shape if matrix.format == "csr" else matrix.shape[::-1]
    indptr, indices = matrix.indptr.astype(np.int64), matrix.indices.astype(np.int64)
    return (
        len(indptr) == major + 1
        and indptr[0] == 0
        and bool(np.all(np.diff(indptr) >= 0))
        and indptr[-1] == len(indices) == len(matrix.data)
        and (len(indices) == 0 or (indices.min() >= 0 and indices.max() < minor))
    )


def read_everything(value):
    """Reads every byte a decoded value refers to, so a bad view faults here."""
    if isinstance(value, np.ndarray):
        value.tobytes()
    elif isinstance(value, dict):
        for item in value.values():
            read_everything(item)
    elif scipy_sparse.issparse(value):
        if not is_well_formed(value):
            return  # pinned by test_malformed_compressed_sparse_is_refused
        value.toarray() if max(value.shape, default=0) <= 4096 else value.data.tobytes()
    elif value is not None:
        for name in ("data", "scales", "zero_points", "offsets", "payload"):
            part = getattr(value, name, None)
            if isinstance(part, np.ndarray):
                part.tobytes()


def load_hostile(data):
    try:
        value = vakra_rs.loads_rs(data)
    except ValueError:
        return
    except TypeError as exc:
        if not is_passed_on_type_error(exc):
            raise
        return
    read_everything(value)


def info_hostile(data):
    try:
        info = vakra_rs.get_packet_info_rs(data)
    except ValueError:
        return
    assert info["version"] in (3, 4)
    assert len(info["shape"]) == (0 if info["flags"] & 0x10 else info["ndim"])


def both(data):
    load_hostile(data)
    info_hostile(data)


@pytest.mark.parametrize("name", BASE_NAMES)
def test_base_packets_are_valid(name):
    # The damage below starts from packets that decode cleanly.
    value = vakra_rs.loads_rs(BASES[name])
    assert value is not None
    read_everything(value)
    assert vakra_rs.get_packet_info_rs(BASES[name])["version"] == 4


def patched_sparse_packet(format_name, component, value):
    matrix = getattr(scipy_sparse, f"{format_name}_matrix")(np.array([[0, 1], [2, 0]], dtype=np.float32))
    packet = bytearray(vakra_rs.dumps_rs(matrix))
    part = getattr(matrix, component)
    at = bytes(packet).rfind(part.tobytes())  # the body comes after its own header
    packet[at + 4 * (len(part) - 1) : at + 4 * len(part)] = value.to_bytes(4, "little", signed=True)
    return bytes(packet)


@pytest.mark.parametrize(
    "format_name, component, value",
    [("csr", "indices", 1 << 30), ("csc", "indices", -5), ("csr", "indices", 2), ("csr", "indptr", -(1 << 31) + 3),
     ("csc", "indptr", 0), ("csr", "indptr", 3)],
)
def test_malformed_compressed_sparse_is_refused(format_name, component, value):
    with pytest.raises(ValueError):
        vakra_rs.loads_rs(patched_sparse_packet(format_name, component, value))


@pytest.mark.parametrize("name", BASE_NAMES)
def test_every_truncation(name):
    packet = BASES[name]
    for end in range(len(packet)):
        both(packet[:end])
        both(bytearray(packet[:end]))


@pytest.mark.parametrize("name", BASE_NAMES)
def test_every_single_byte_flip(name):
    packet = bytearray(BASES[name])
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
    return container(bytes(packet)) if container is memoryview else container(packet)


HOSTILE = settings(max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@settings(HOSTILE, max_examples=3000)
@given(damaged_packets())
def test_damaged_packets(data):
    both(data)


@HOSTILE
@given(st.binary(max_size=200))
def test_arbitrary_bytes(data):
    both(data)


@HOSTILE
@given(
    header=st.sampled_from([b"VKRA\x04", b"VKRA\x03"]),
    rest=st.binary(min_size=0, max_size=160),
)
def test_arbitrary_bodies_behind_a_valid_magic(header, rest):
    both(header + rest)


@pytest.mark.parametrize("offset", [1, 3, 7])
def test_packets_at_unaligned_offsets(offset):
    # A packet inside a larger buffer at an odd address still decodes, and a
    # damaged one still fails cleanly.
    for name in BASE_NAMES:
        backing = bytearray(offset) + bytearray(BASES[name])
        view = memoryview(backing)[offset:]
        value = vakra_rs.loads_rs(view)
        assert value is not None
        read_everything(value)
        assert vakra_rs.get_packet_info_rs(view) == vakra_rs.get_packet_info_rs(BASES[name])
        view[len(view) // 2] ^= 0x55
        both(view)
