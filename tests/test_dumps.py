"""Dense encoding through dumps_rs, dump_to_buffer_rs and dump_to_fd_rs."""

import os
import struct
import threading
from types import SimpleNamespace

import numpy as np
import pytest

from vakra import _native, vakra_rs

DTYPES = list(_native.dtype_names()[:14])  # the NumPy types; bfloat16 (15) needs ml_dtypes


def test_worked_example_2x3_float32():
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    packet = vakra_rs.dumps_rs(array)
    assert packet == b"VKRA\x04\x01\x00\x01\x02\x00" + struct.pack("<II", 2, 3) + bytes(46) + array.tobytes()
    big_endian = np.arange(4, dtype=">f4")  # bytes are taken as they lie
    assert vakra_rs.dumps_rs(big_endian)[64:] == big_endian.tobytes()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(), (0,), (3, 0, 2), (2, 3, 4)])
def test_body_bytes_and_code_for_every_dtype(dtype, shape):
    array = (np.arange(int(np.prod(shape)), dtype=np.int64) % 7).astype(dtype).reshape(shape)
    packet = vakra_rs.dumps_rs(array)
    assert (packet[7], packet[8], len(packet)) == (DTYPES.index(dtype) + 1, len(shape), 64 + array.nbytes)
    assert packet[64:] == array.tobytes()


@pytest.mark.parametrize("compress", [False, True])
def test_bfloat16_uses_code_15_and_reads_back(compress):
    ml_dtypes = pytest.importorskip("ml_dtypes")
    array = np.array([[1.5, -2.0, 3.0]], dtype=ml_dtypes.bfloat16)
    packet = vakra_rs.dumps_rs(array, compress=compress)
    assert packet[7] == 15
    assert compress or packet[64:] == array.tobytes()
    decoded = vakra_rs.loads_rs(packet)
    assert decoded.dtype == array.dtype and decoded.shape == (1, 3)
    np.testing.assert_array_equal(decoded, array)


@pytest.mark.parametrize("alignment, flags, align_byte, body_at", [
    (1, 0x80, 0, 15), (4096, 0x80, 12, 4096), (64, 0x01, 0, 64)])
def test_alignments(alignment, flags, align_byte, body_at):
    array = np.arange(3, dtype=np.int16)
    packet = vakra_rs.dumps_rs(array, alignment=alignment)
    assert struct.unpack_from("<H", packet, 5)[0] == flags
    assert packet[14] == align_byte and packet[body_at:] == array.tobytes()


@pytest.mark.parametrize("alignment", [0, 3, 48, 2**63 + 1])
@pytest.mark.parametrize("value", [np.zeros(2), {}, {"a": np.zeros(2)}])
def test_bad_alignment_is_checked_first(alignment, value):
    with pytest.raises(ValueError, match="^Alignment must be a power of two$"):
        vakra_rs.dumps_rs(value, alignment=alignment)


@pytest.mark.parametrize("array", [np.arange(100, dtype=np.float64),
                                   np.random.default_rng(1).integers(0, 255, size=3_000_001, dtype=np.uint8)])
def test_checksum_covers_exactly_the_body(array):
    xxhash = pytest.importorskip("xxhash")
    packet = vakra_rs.dumps_rs(array, check_integrity=True)
    assert struct.unpack_from("<H", packet, 5)[0] == 0x03 and packet[64:-8] == array.tobytes()
    assert struct.unpack("<Q", packet[-8:])[0] == xxhash.xxh3_64_intdigest(array.tobytes())


@pytest.mark.parametrize("size, block_byte", [(0, 0x40), (20_000, 0x50), (300_000, 0x70)])
def test_compressed_body_is_a_standard_lz4_frame(size, block_byte):
    lz4_frame = pytest.importorskip("lz4.frame")
    array = (np.arange(size, dtype=np.int32) // 100).astype(np.int32)
    packet = vakra_rs.dumps_rs(array, compress=True, check_integrity=True)
    assert struct.unpack_from("<H", packet, 5)[0] == 0x07
    frame = packet[64:-8]
    assert lz4_frame.decompress(frame) == array.tobytes() and frame[4:6] == bytes([0x60, block_byte])
    buffer = bytearray(len(packet))
    assert vakra_rs.dump_to_buffer_rs(array, buffer, True, True) == len(packet) and buffer == packet


@pytest.mark.parametrize("value, kind, message", [
    (np.zeros((2, 3), np.float32).T, ValueError, "Array must be C-contiguous"),
    (np.array([object()]), ValueError, "Unsupported dtype: object"),
    (np.zeros((4, 4), "datetime64[ns]")[:, ::2], ValueError, "Unsupported dtype: datetime64[ns]"),
    ([1, 2, 3], AttributeError, None),
    (np.zeros((1,) * 33, np.int8), ValueError, "Packet exceeds maximum dimensions"),
])
def test_values_that_cannot_be_encoded(value, kind, message):
    for encode in (lambda: vakra_rs.dumps_rs(value), lambda: vakra_rs.dump_to_buffer_rs(value, bytearray(999))):
        with pytest.raises(kind) as caught:
            encode()
        assert message is None or str(caught.value) == message


class FakeArray(bytearray):
    """Exports real bytes and imitates the attributes the encoder reads; tests break one of them."""

    def __init__(self, backing, **overrides):
        super().__init__(backing.tobytes())
        self.dtype, self.flags = backing.dtype, backing.flags
        self.nbytes = overrides.get("nbytes", backing.nbytes)
        self.ctypes = SimpleNamespace(data=overrides.get("data", np.frombuffer(self, np.uint8).ctypes.data))
        self.shape = overrides.get("shape", backing.shape)


@pytest.mark.parametrize("overrides, kind, message", [
    ({"shape": (2**32,)}, ValueError,
     "Dimension 4294967296 exceeds the wire-format limit of 4294967295 (each dimension is stored as a 32-bit integer)"),
    ({"shape": "12"}, TypeError, "Can't extract `str` to `Vec`"),
    ({"shape": 12}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({"data": 4096}, BufferError, None),
    ({"nbytes": 10**6, "shape": (250_000,)}, BufferError, None),
])
def test_lying_attributes_are_refused(overrides, kind, message):
    backing = np.arange(4, dtype=np.float32)
    assert vakra_rs.dumps_rs(FakeArray(backing)) == vakra_rs.dumps_rs(backing)  # honest imitation
    with pytest.raises(kind) as caught:
        vakra_rs.dumps_rs(FakeArray(backing, **overrides))
    assert message is None or str(caught.value) == message
    no_buffer = SimpleNamespace(dtype=backing.dtype, flags=backing.flags, nbytes=16,
                                ctypes=SimpleNamespace(data=backing.ctypes.data), shape=(4,))
    with pytest.raises(BufferError):
        vakra_rs.dumps_rs(no_buffer)


@pytest.mark.parametrize("make", [bytearray, lambda b: np.frombuffer(bytearray(b), np.uint8)])
def test_dump_to_buffer_writes_only_the_packet(make):
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    buffer = make(b"\xAA" * 1000)
    assert vakra_rs.dump_to_buffer_rs(array, buffer) == 88
    assert bytes(buffer[:88]) == vakra_rs.dumps_rs(array) and bytes(buffer[88:]) == b"\xAA" * 912


@pytest.mark.parametrize("destination, alignment, kind, message", [
    (b"\0" * 200, 64, ValueError, "Buffer is read-only"),
    (memoryview(bytearray(200)).toreadonly(), 64, ValueError, "Buffer is read-only"),
    (b"\0" * 200, 3, ValueError, "Buffer is read-only"),  # reported before the alignment
    (bytearray(b"\xAA" * 87), 64, ValueError, "Buffer too small"),
    (memoryview(bytearray(b"\xAA" * 400))[::2], 64, BufferError, None),
])
def test_dump_to_buffer_refusals_leave_the_buffer_unchanged(destination, alignment, kind, message):
    before = bytes(destination)
    with pytest.raises(kind) as caught:
        vakra_rs.dump_to_buffer_rs(np.zeros((2, 3), np.float32), destination, alignment=alignment)
    assert message is None or str(caught.value) == message
    assert bytes(destination) == before


def _read_all(fd, into):
    while chunk := os.read(fd, 1 << 16):
        into.append(chunk)


@pytest.mark.parametrize("options", [{}, {"check_integrity": True, "alignment": 8}, {"compress": True}])
def test_dump_to_fd_matches_dumps_through_a_pipe(options):
    array = np.arange(50_000, dtype=np.float32)  # larger than a pipe holds: writes are partial
    read_end, write_end = os.pipe()
    chunks = []
    reader = threading.Thread(target=_read_all, args=(read_end, chunks))
    reader.start()
    try:
        written = vakra_rs.dump_to_fd_rs(array, write_end, **options)
        os.fstat(write_end)  # still open
    finally:
        os.close(write_end)
        reader.join()
        os.close(read_end)
    assert written == len(b"".join(chunks)) and b"".join(chunks) == vakra_rs.dumps_rs(array, **options)


def test_dump_to_fd_appends_at_the_file_position(tmp_path):
    array = np.arange(10, dtype=np.uint16)
    with open(tmp_path / "out.bin", "wb") as handle:
        handle.write(b"head")
        handle.flush()
        n = vakra_rs.dump_to_fd_rs(array, handle.fileno())
    assert (tmp_path / "out.bin").read_bytes() == b"head" + vakra_rs.dumps_rs(array)
    assert n == len(vakra_rs.dumps_rs(array))


@pytest.mark.parametrize("call, kind, message", [
    (lambda: vakra_rs.dump_to_fd_rs(np.zeros(2), -1), OSError, "Bad file descriptor (os error 9)"),
    (lambda: vakra_rs.dump_to_fd_rs(np.zeros(2), 9999), OSError, "Bad file descriptor (os error 9)"),
    (lambda: vakra_rs.dump_to_fd_rs(np.zeros((2, 3)).T, 1), ValueError, "Array must be C-Contiguous"),
    (lambda: vakra_rs.dump_to_fd_rs({"x": np.zeros(2)}, 1), AttributeError, None),
    (lambda: vakra_rs.dump_to_fd_rs(np.zeros(2), 1, alignment=6), ValueError, "Alignment must be a power of two"),
])
def test_dump_to_fd_errors(call, kind, message):
    with pytest.raises(kind) as caught:
        call()
    assert message is None or str(caught.value) == message
    assert kind is not OSError or caught.value.errno is None
