"""What every vakra_rs encoder writes, byte for byte, against packets assembled independently.

The buffer and descriptor sinks are shared with vakra.dump_into and vakra.dump, tested there."""

import struct
from types import SimpleNamespace

import numpy as np
import pytest
import scipy.sparse

import packet_builders as pb
from vakra import vakra_rs as rs
from vakra.ragged import StringTensor

F32 = np.arange(6, dtype=np.float32).reshape(2, 3)
I16 = np.arange(3, dtype=np.int16)
CSR = scipy.sparse.csr_matrix((np.array([1.0, 2.0]), np.array([0, 2], np.int32), np.array([0, 1, 2], np.int32)),
                              shape=(2, 3))
COO = scipy.sparse.coo_matrix(np.eye(4))
STRIDED_COO = scipy.sparse.coo_matrix((COO.data, (np.repeat(COO.row, 2)[::2], COO.col)), shape=(4, 4))
ITEMS = [b"ab", b"", "βeta".encode(), b"\xff\x00", b"x" * 1000]


def quantized(*options, **overrides):
    return rs.dumps_quantized_rs(SimpleNamespace(**{**pb.QINT8, **overrides}), *options)


def components(matrix):
    return [rs.dumps_rs(part) for part in (matrix.data, matrix.indices, matrix.indptr)]


class LyingLength(list):
    def __len__(self):
        return 2**62


GOLDEN = {
    "dense": (lambda: rs.dumps_rs(F32),
              b"VKRA\x04\x01\x00\x01\x02\x00" + struct.pack("<II", 2, 3) + bytes(46) + F32.tobytes()),
    "dense, bytes as they lie": (lambda: rs.dumps_rs(np.arange(4, dtype=">f4")),
                                 pb.dense(np.arange(4, dtype=">f4").view("<f4"))),
    "dense, checksum, alignment 8": (lambda: rs.dumps_rs(I16, True, False, 8),
                                     pb.dense(I16, pb.ALIGNED | pb.INTEGRITY, alignment=8)),
    "bundle, options at the bottom": (
        lambda: rs.dumps_rs({"z": I16, "": {"ключ": F32}}, True, True, 16),
        pb.bundle([("z", rs.dumps_rs(I16, True, True, 16)), ("", pb.bundle([("ключ", rs.dumps_rs(F32, True, True, 16))]))])),
    "prepacked bundle, any sequence of bytes": (  # the list's length is never trusted
        lambda: rs.encode_bundle_rs(entries=LyingLength([("x", [1, 255]), ("ключ", memoryview(b"not a packet")),
                                                         ("x", LyingLength(b"")), ("", bytearray(b"\0"))])),
        pb.bundle([("x", b"\1\xff"), ("ключ", b"not a packet"), ("x", b""), ("", b"\0")])),
    "csc array, options ignored": (lambda: rs.dumps_rs(scipy.sparse.csc_array(CSR), True, True, 8),  # csr alike
                                   pb.sparse(pb.CSC, (2, 3), components(CSR.tocsc()))),
    "coo, strided row": (lambda: rs.dumps_rs(STRIDED_COO),
                         pb.sparse(pb.COO, (4, 4), [rs.dumps_rs(p) for p in (COO.data, COO.row, COO.col)])),
    "strings, checksum": (lambda: rs.dumps_string_rs(*StringTensor(ITEMS).to_raw(), check_integrity=True),
                          pb.offsets_body(pb.STRING | pb.ALIGNED | pb.INTEGRITY, ITEMS)),
    "quint8, checksum, alignment 128, axis -1 as 255": (
        lambda: quantized(True, 128, dtype_code=17, axis=-1, scales=np.ones(8, np.float32),
                          zero_points=np.zeros(8, np.float32)),
        pb.quantized(17, (4, 8), [1] * 8, [0] * 8, range(32), axis=255, flags=pb.ALIGNED | pb.INTEGRITY, alignment=128)),
    "quint4, long data cut": (lambda: quantized(dtype_code=19, shape=(5,), data=np.arange(1, 6, dtype=np.uint8)),
                              pb.quantized(19, (5,), [1, 2, 3, 4], [0] * 4, [1, 2, 3])),
}


@pytest.mark.parametrize("encode, expected", GOLDEN.values(), ids=GOLDEN.keys())
def test_golden_bytes(encode, expected):
    assert encode() == expected
