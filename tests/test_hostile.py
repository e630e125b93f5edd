"""Hostile input: valid packets of every kind, truncated, extended and corrupted byte by byte.

loads_rs and get_packet_info_rs return or raise ValueError; the only TypeErrors allowed are NumPy's for a
dtype name it does not know ("bfloat16", "qint4", "string") and those SciPy's matrix constructors raise for
components of the wrong shape, passed on unchanged. Anything else, or a crash of the interpreter, fails the test.
Every cut also goes through the package's readers, which name it. Random mutation is the fuzz harnesses'
business; this is the one exhaustive sweep."""

import io
import os
import traceback

import numpy as np
import pytest

import vakra
from vakra import StringTensor, vakra_rs
from vakra.quantize import quantize

scipy_sparse = pytest.importorskip("scipy.sparse")
SCIPY_SPARSE_DIR = os.path.dirname(scipy_sparse.__file__)

F32 = np.arange(6, dtype=np.float32).reshape(2, 3)
I16 = (np.arange(300, dtype=np.int16) % 7).reshape(3, 100)
EYE = np.array([[0, 1], [2, 0]], dtype=np.float32)
BASES = {
    "dense-scalar": vakra.dumps(np.array(1 + 2j, dtype=np.complex64)),
    "dense-compressed-checksum": vakra.dumps(I16, compress=True, check_integrity=True),
    "bundle": vakra.dumps({"a": F32, "b": {"c": np.arange(4, dtype=np.int8)}, "": np.zeros((0, 3), np.uint16)}),
    "coo": vakra.dumps(scipy_sparse.coo_matrix(np.diag([1.0, 2.0, 3.0]))),
    "csr": vakra.dumps(scipy_sparse.csr_matrix(EYE)),
    "string-checksum": vakra.dumps(StringTensor([b"hello", b"", b"w"]), check_integrity=True),
    "quantized-qint4-checksum": vakra.dumps(quantize(np.arange(5.0), "qint4", group_size=5), check_integrity=True),
    "quantized-align8": vakra.dumps(quantize(F32, "quint8", axis=-1), alignment=8),
    "prepacked-bundle": vakra_rs.encode_bundle_rs([("x", vakra.dumps(np.arange(3, dtype=np.uint32))),
                                                   ("s", vakra.dumps(["ab", "", "xyz"]))]),
}
BASE_NAMES = sorted(BASES)


def is_passed_on_type_error(exc):
    if "data type" in str(exc) and "not understood" in str(exc):
        return True  # NumPy does not know the dtype name
    return traceback.extract_tb(exc.__traceback__)[-1].filename.startswith(SCIPY_SPARSE_DIR)


def is_well_formed(matrix):
    """The compressed-matrix invariants SciPy's constructor leaves unchecked: such matrices crash when used."""
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


def cut_short(packet, end):
    """A stream that ends inside a packet: the error says so and leaves the stream where it was."""
    stream = io.BytesIO(packet[:end])
    with pytest.raises(EOFError if end == 0 else ValueError) as error:
        vakra.load(stream)
    if end:
        expected = int(str(error.value).split()[-4])
        assert str(error.value) == f"Packet cut short: expected at least {expected} bytes, read {end}"
        assert stream.tell() == 0 and expected <= len(packet)
    assert 0 < -vakra.packet_length(packet[:end]) <= len(packet) - end
    with pytest.raises(ValueError):
        vakra.info(packet[:end])


@pytest.mark.parametrize("name", BASE_NAMES)
def test_every_truncation_and_single_byte_flip(name):
    # The base decodes cleanly, also at an odd address inside a larger buffer.
    view = memoryview(bytearray(3) + bytearray(BASES[name]))[3:]
    read_everything(vakra_rs.loads_rs(view))
    assert vakra_rs.get_packet_info_rs(view)["version"] == 4
    packet = bytearray(BASES[name])
    for end in range(len(packet)):
        both(bytes(packet[:end]))
        cut_short(bytes(packet), end)
    both(bytes(packet) + bytes(range(64)))
    for position in range(len(packet)):
        for mask in (0x01, 0x80, 0xFF):
            packet[position] ^= mask
            both(packet)
            packet[position] ^= mask


def _csr(indices, indptr, minor):
    # Any object with a sparse matrix's attributes encodes as one: index dtypes SciPy would widen stay as given.
    from types import SimpleNamespace

    indptr = np.asarray(indptr[0], dtype=indptr[1])
    return SimpleNamespace(format="csr", shape=(len(indptr) - 1, minor), data=np.ones(len(indices[0]), np.float32),
                           indices=np.asarray(indices[0], dtype=indices[1]), indptr=indptr)


_MANY = 1 << 21  # 8 MiB of int32 indices: checked in pieces on the pool


@pytest.mark.parametrize("indices, indptr, minor, sound", [
    (([127, 0], np.int8), ([0, 2], np.int8), 200, True),  # every int8 is below 200: only the sign matters
    (([-1, 0], np.int8), ([0, 2], np.int8), 200, False),
    (([99], np.int8), ([0, 1], np.int16), 100, True),
    (([100], np.int8), ([0, 1], np.int16), 100, False),
    (([255], np.uint8), ([0, 1], np.uint8), 300, True),
    (([5], np.uint16), ([0, 1], np.uint32), 5, False),
    (([9, -5], np.int64), ([0, 2], np.int64), 10, False),
    (([0, 1], np.int32), ([0, 2, 1], np.int32), 10, False),  # indptr decreasing
    (([0], np.int32), ([0, 1 << 63], np.uint64), 10, False),  # stored count beyond int64 and the data
    ((np.arange(_MANY) % 1000, np.int32), ([0, _MANY], np.int64), 1000, True),
    ((np.append(np.arange(_MANY - 1) % 1000, 1000), np.int32), ([0, _MANY], np.int64), 1000, False),
    ((np.zeros(_MANY), np.int64), (np.arange(_MANY + 1) // 2 * 2 - np.arange(_MANY + 1) % 2, np.int64), 1, False),
], ids=["int8 below a wide bound", "int8 negative", "int8 last column", "int8 past the last column", "uint8",
        "uint16 at the bound", "int64 negative", "indptr decreasing", "uint64 count", "many, sound",
        "many, the last index out of range", "many, indptr decreasing"])
def test_csr_index_arrays_are_checked_for_every_dtype_and_size(indices, indptr, minor, sound):
    packet, before = vakra.dumps(_csr(indices, indptr, minor)), vakra.get_num_threads()
    try:
        for threads in (1, 2):
            vakra.set_num_threads(threads)
            if sound:
                assert vakra.loads(packet).indices.shape == (len(indices[0]),)
            else:
                with pytest.raises(ValueError, match="Malformed"):
                    vakra.loads(packet)
    finally:
        vakra.set_num_threads(before)


@pytest.mark.parametrize("format_flag, slot, component", [
    (0x0008, 0, vakra.dumps(["a", "b"])),  # coo: a string tensor for the values
    (0x0008, 1, vakra.dumps({"x": np.arange(2, dtype=np.int32)})),  # coo: a bundle for the rows
    (0x0020, 0, vakra.dumps(quantize(np.arange(2.0), "qint8"))),  # csr: a quantized tensor for the values
    (0x0040, 2, vakra.dumps({})),  # csc of a 1-D shape (whose indices go unchecked): an empty bundle for indptr
    # coo rows and cols as csr's index arrays: 1-D, integer, as long as the data
    (0x0008, 1, vakra.dumps(np.array(0, np.int32))),
    (0x0008, 2, vakra.dumps(np.arange(2.0))),
    (0x0008, 2, vakra.dumps(np.arange(3, dtype=np.int32))),
], ids=["coo-string-values", "coo-bundle-rows", "csr-quantized-values", "csc-1d-bundle-indptr", "coo-0d-rows",
        "coo-float-cols", "coo-longer-cols"])
def test_sparse_component_unfit_for_its_role_is_a_malformed_packet(format_flag, slot, component):
    shape = (2,) if format_flag == 0x0040 else (2, 2)
    components = [vakra.dumps(np.ones(2)), vakra.dumps(np.arange(2, dtype=np.int32)),
                  vakra.dumps(np.arange(3 if format_flag != 0x0008 else 2, dtype=np.int32))]
    components[slot] = component
    packet = b"VKRA" + bytes([4]) + format_flag.to_bytes(2, "little") + bytes([0, len(shape), 0])
    packet += b"".join(dim.to_bytes(4, "little") for dim in shape)
    packet += b"".join(len(part).to_bytes(4, "little") + part for part in components)
    for decode in (vakra.loads, vakra_rs.loads_rs, lambda data: vakra.Receiver(io.BytesIO(data)).recv()):
        with pytest.raises(ValueError, match="^Malformed vakra packet$"):
            decode(packet)
