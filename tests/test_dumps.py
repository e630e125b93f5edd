"""What every vakra_rs encoder writes, byte for byte, against packets assembled independently."""

import array
import os
import struct
import threading
from types import SimpleNamespace

import lz4.frame
import numpy as np
import pytest
import scipy.sparse

import packet_builders as pb
from vakra import vakra_rs as rs
from vakra.quantize import QuantizedTensor
from vakra.ragged import StringTensor

F32 = np.arange(6, dtype=np.float32).reshape(2, 3)
I16 = np.arange(3, dtype=np.int16)
CSR = scipy.sparse.csr_matrix((np.array([1.0, 2.0]), np.array([0, 2], np.int32), np.array([0, 1, 2], np.int32)),
                              shape=(2, 3))
COO = scipy.sparse.coo_matrix(np.eye(4))
STRIDED_COO = scipy.sparse.coo_matrix((COO.data, (np.repeat(COO.row, 2)[::2], COO.col)), shape=(4, 4))
QINT8 = dict(data=np.arange(32, dtype=np.uint8), scales=np.array([1, 2, 3, 4], np.float32),
             zero_points=np.zeros(4, np.float32), shape=(4, 8), dtype_code=16, quant_scheme=1, group_size=0, axis=0)


class Quirky(dict):
    def items(self):
        raise AssertionError("the dict's storage is walked, not its overrides")

    __iter__ = items


def quantized(check_integrity=False, alignment=64, **overrides):
    return rs.dumps_quantized_rs(SimpleNamespace(**{**QINT8, **overrides}), check_integrity, alignment)


def strings(items, check_integrity=False):
    return rs.dumps_string_rs(*StringTensor(items).to_raw(), check_integrity=check_integrity)


def components(matrix):
    return [rs.dumps_rs(part) for part in (matrix.data, matrix.indices, matrix.indptr)]


ITEMS = [b"ab", b"", "βeta".encode(), b"\xff\x00", b"x" * 1000]
GOLDEN = {
    "2x3 float32": (lambda: rs.dumps_rs(F32),
                    b"VKRA\x04\x01\x00\x01\x02\x00" + struct.pack("<II", 2, 3) + bytes(46) + F32.tobytes()),
    "bytes as they lie": (lambda: rs.dumps_rs(np.arange(4, dtype=">f4")), pb.dense(np.arange(4, dtype=">f4").view("<f4"))),
    "scalar": (lambda: rs.dumps_rs(np.array(2.5)), pb.dense(np.array(2.5))),
    "alignment 1": (lambda: rs.dumps_rs(I16, alignment=1), pb.dense(I16, alignment=1)),
    "checksum": (lambda: rs.dumps_rs(I16, True, False, 8), pb.dense(I16, pb.ALIGNED | pb.INTEGRITY, alignment=8)),
    "empty dict": (lambda: rs.dumps_rs({}), b"VKRA\x04\x10\x00\x00\x00\x00"),
    "nested dicts, options at the bottom": (
        lambda: rs.dumps_rs({"z": I16, "": {"ключ": F32}}, True, True, 16),
        pb.bundle([("z", rs.dumps_rs(I16, True, True, 16)), ("", pb.bundle([("ключ", rs.dumps_rs(F32, True, True, 16))]))])),
    "dict subclass": (lambda: rs.dumps_rs(Quirky(a=I16)), pb.bundle([("a", rs.dumps_rs(I16))])),
    "255 entries": (lambda: rs.dumps_rs({str(i): I16 for i in range(255)}),
                    pb.bundle([(str(i), rs.dumps_rs(I16)) for i in range(255)])),
    "csr": (lambda: rs.dumps_rs(CSR), pb.sparse(pb.CSR, (2, 3), components(CSR))),
    "csc array, options ignored": (lambda: rs.dumps_rs(scipy.sparse.csc_array(CSR), True, True, 8),
                                   pb.sparse(pb.CSC, (2, 3), components(CSR.tocsc()))),
    "coo, strided row": (lambda: rs.dumps_rs(STRIDED_COO),
                         pb.sparse(pb.COO, (4, 4), [rs.dumps_rs(p) for p in (COO.data, COO.row, COO.col)])),
    "strings": (lambda: strings(ITEMS), pb.offsets_body(pb.STRING | pb.ALIGNED, ITEMS)),
    "strings, checksum": (lambda: strings(ITEMS, True), pb.offsets_body(pb.STRING | pb.ALIGNED | pb.INTEGRITY, ITEMS)),
    "qint8": (lambda: quantized(), pb.quantized(16, (4, 8), [1, 2, 3, 4], [0] * 4, range(32))),
    "qint8, checksum": (lambda: quantized(True),
                        pb.quantized(16, (4, 8), [1, 2, 3, 4], [0] * 4, range(32), flags=pb.ALIGNED | pb.INTEGRITY)),
    "qint8, alignment 128": (lambda: quantized(True, 128), pb.quantized(
        16, (4, 8), [1, 2, 3, 4], [0] * 4, range(32), flags=pb.ALIGNED | pb.INTEGRITY, alignment=128)),
    "axis -1 as 255": (lambda: rs.dumps_quantized_rs(QuantizedTensor(**{**QINT8, "axis": -1, "dtype_code": 17,
                                                                        "scales": np.ones(8), "zero_points": np.zeros(8)})),
                       pb.quantized(17, (4, 8), [1] * 8, [0] * 8, range(32), axis=255)),
    "long data cut": (lambda: quantized(dtype_code=19, shape=(5,), data=np.arange(1, 6, dtype=np.uint8)),
                      pb.quantized(19, (5,), [1, 2, 3, 4], [0] * 4, [1, 2, 3])),
    "prepacked bundle": (lambda: rs.encode_bundle_rs(entries=[("x", b"\1"), ("ключ", b"not a packet"), ("x", b"")]),
                         pb.bundle([("x", b"\1"), ("ключ", b"not a packet"), ("x", b"")])),
}


@pytest.mark.parametrize("encode, expected", GOLDEN.values(), ids=GOLDEN.keys())
def test_golden_bytes(encode, expected):
    assert encode() == expected


@pytest.mark.parametrize("dtype", list(pb.DTYPE_CODES)[:14])  # NumPy's own types; bfloat16 below
def test_every_dtype_has_its_code(dtype):
    array = (np.arange(12) % 7).astype(dtype).reshape(3, 4)
    assert rs.dumps_rs(array) == pb.dense(array)


@pytest.mark.parametrize("compress", [False, True])
def test_bfloat16_uses_code_15_and_reads_back(compress):
    ml_dtypes = pytest.importorskip("ml_dtypes")
    array = np.array([[1.5, -2.0, 3.0]], dtype=ml_dtypes.bfloat16)
    packet = rs.dumps_rs(array, compress=compress)
    assert packet[7] == 15 and (compress or packet[64:] == array.tobytes())
    decoded = rs.loads_rs(packet)
    assert decoded.dtype == array.dtype and decoded.tolist() == array.tolist()


def test_compressed_body_is_a_standard_lz4_frame():
    array = np.arange(20_000, dtype=np.int32) // 100
    packet = rs.dumps_rs(array, compress=True, check_integrity=True)
    frame = packet[64:-8]
    assert packet[:64] == pb.dense(array, pb.ALIGNED | pb.COMPRESSED | pb.INTEGRITY)[:64]
    assert lz4.frame.decompress(frame) == array.tobytes() and packet[-8:] == pb.xxh3(frame)


class LyingLength(list):
    def __len__(self):
        return 2**62


@pytest.mark.parametrize("packet", [
    bytearray(b"\x01\x02\xff"), [1, 2, 255], (1, 2, 255), memoryview(b"\x01\x02\xff"), array.array("B", [1, 2, 255]),
    type("Sub", (bytes,), {})(b"\x01\x02\xff"), LyingLength([1, 2, 255]),
], ids=["bytearray", "list", "tuple", "memoryview", "array", "bytes subclass", "lying length"])
def test_prepacked_entries_take_any_sequence_of_bytes(packet):
    assert rs.encode_bundle_rs(LyingLength([("k", packet)])) == pb.bundle([("k", b"\x01\x02\xff")])


SINK_VALUES = {"array": ((F32,), {}), "compressed": ((np.arange(1000) % 7, True, True), {}),
               "dict": (({"m": CSR, "a": F32},), {"alignment": 16})}


@pytest.mark.parametrize("args, options", SINK_VALUES.values(), ids=SINK_VALUES.keys())
@pytest.mark.parametrize("make", [bytearray, lambda b: np.frombuffer(bytearray(b), np.uint8)], ids=["bytearray", "ndarray"])
def test_dump_to_buffer_writes_the_packet_and_nothing_after_it(args, options, make):
    packet = rs.dumps_rs(*args, **options)
    buffer = make(b"\xaa" * (len(packet) + 16))
    assert rs.dump_to_buffer_rs(args[0], buffer, *args[1:], **options) == len(packet)
    assert bytes(buffer) == packet + b"\xaa" * 16


@pytest.mark.parametrize("options", [{}, {"check_integrity": True, "alignment": 8}, {"compress": True}])
def test_dump_to_fd_matches_dumps_through_a_pipe(options):
    array = np.arange(50_000, dtype=np.float32)  # larger than a pipe holds: writes are partial
    read_end, write_end = os.pipe()
    chunks = []
    reader = threading.Thread(target=lambda: chunks.extend(iter(lambda: os.read(read_end, 1 << 16), b"")))
    reader.start()
    try:
        written = rs.dump_to_fd_rs(array, write_end, **options)
        os.fstat(write_end)  # still open
    finally:
        os.close(write_end)
        reader.join()
        os.close(read_end)
    assert written == len(b"".join(chunks)) and b"".join(chunks) == rs.dumps_rs(array, **options)
