"""Dense encoding through dumps_rs, dump_to_buffer_rs and dump_to_fd_rs."""

import os
import struct
from types import SimpleNamespace

import numpy as np
import pytest

from vakra import vakra_rs

DTYPES = ["float32", "int32", "float64", "int64", "uint8", "uint16", "bool", "float16", "int8", "int16",
          "uint32", "uint64", "complex64", "complex128"]


def test_worked_example_2x3_float32():
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    packet = vakra_rs.dumps_rs(array)
    assert len(packet) == 88
    assert packet[:18] == b"VKRA\x04\x01\x00\x01\x02\x00" + struct.pack("<II", 2, 3)
    assert packet[18:64] == bytes(46)
    assert packet[64:] == array.tobytes()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(), (0,), (5,), (3, 0, 2), (2, 3, 4)])
def test_body_bytes_and_code_for_every_dtype(dtype, shape):
    array = (np.arange(int(np.prod(shape)), dtype=np.int64) % 7).astype(dtype).reshape(shape)
    packet = vakra_rs.dumps_rs(array)
    assert packet[7] == DTYPES.index(dtype) + 1
    assert packet[8] == len(shape)
    assert len(packet) == 64 + array.nbytes
    assert packet[64:] == array.tobytes()


@pytest.mark.parametrize("compress", [False, True])
def test_bfloat16_uses_code_15_and_reads_back(compress):
    ml_dtypes = pytest.importorskip("ml_dtypes")
    array = np.array([[1.5, -2.0, 3.0]], dtype=ml_dtypes.bfloat16)
    packet = vakra_rs.dumps_rs(array, compress=compress)
    assert packet[7] == 15
    if not compress:
        assert packet[64:] == array.tobytes()
    decoded = vakra_rs.loads_rs(packet)
    assert decoded.dtype == array.dtype and decoded.shape == (1, 3)
    np.testing.assert_array_equal(decoded, array)


@pytest.mark.parametrize("alignment, flags, align_byte, body_at", [
    (1, 0x80, 0, 15), (16, 0x80, 4, 16), (128, 0x80, 7, 128), (4096, 0x80, 12, 4096), (64, 0x01, None, 64)])
def test_alignments(alignment, flags, align_byte, body_at):
    array = np.arange(3, dtype=np.int16)
    packet = vakra_rs.dumps_rs(array, alignment=alignment)
    assert struct.unpack_from("<H", packet, 5)[0] == flags
    if align_byte is not None:
        assert packet[14] == align_byte
    assert packet[body_at:] == array.tobytes()


@pytest.mark.parametrize("alignment", [0, 3, 48, 2**63 + 1])
@pytest.mark.parametrize("value", [np.zeros(2), {}, {"a": np.zeros(2)}])
def test_bad_alignment_is_checked_first(alignment, value):
    with pytest.raises(ValueError, match="^Alignment must be a power of two$"):
        vakra_rs.dumps_rs(value, alignment=alignment)


def test_checksum_covers_exactly_the_body():
    xxhash = pytest.importorskip("xxhash")
    array = np.arange(100, dtype=np.float64)
    packet = vakra_rs.dumps_rs(array, check_integrity=True)
    assert struct.unpack_from("<H", packet, 5)[0] == 0x03
    body, trailer = packet[64:-8], packet[-8:]
    assert body == array.tobytes()
    assert struct.unpack("<Q", trailer)[0] == xxhash.xxh3_64_intdigest(body)


def test_large_checksum_matches_one_shot_hash():
    xxhash = pytest.importorskip("xxhash")
    array = np.random.default_rng(1).integers(0, 255, size=3_000_001, dtype=np.uint8)
    packet = vakra_rs.dumps_rs(array, check_integrity=True)
    assert struct.unpack("<Q", packet[-8:])[0] == xxhash.xxh3_64_intdigest(array.tobytes())


@pytest.mark.parametrize("size", [0, 1000, 70_000, 300_000])
def test_compressed_body_is_a_standard_lz4_frame(size):
    lz4_frame = pytest.importorskip("lz4.frame")
    array = (np.arange(size, dtype=np.int32) // 100).astype(np.int32)
    packet = vakra_rs.dumps_rs(array, compress=True, check_integrity=True)
    assert struct.unpack_from("<H", packet, 5)[0] == 0x07
    frame = packet[64:-8]
    assert lz4_frame.decompress(frame) == array.tobytes()
    assert frame[4] == 0x60
    assert frame[5] == (0x40 if array.nbytes <= 65536 else 0x50 if array.nbytes <= 262144 else 0x70)
    buffer = bytearray(len(packet) + 10)
    assert vakra_rs.dump_to_buffer_rs(array, buffer, True, True) == len(packet)
    assert bytes(buffer[:len(packet)]) == packet


NOT_ENCODABLE = [
    (np.zeros((2, 3), np.float32).T, ValueError, "Array must be C-contiguous"),
    (np.array([object()]), ValueError, "Unsupported dtype: object"),
    (np.zeros((4, 4), "datetime64[ns]")[:, ::2], ValueError, "Unsupported dtype: datetime64[ns]"),
    (np.zeros(2, np.longdouble), ValueError, "Unsupported dtype: float128"),
    ([1, 2, 3], AttributeError, None),
    (np.zeros((1,) * 33, np.int8), ValueError, "Packet exceeds maximum dimensions"),
]


@pytest.mark.parametrize("value, kind, message", NOT_ENCODABLE)
def test_values_that_cannot_be_encoded(value, kind, message):
    for encode in (lambda: vakra_rs.dumps_rs(value), lambda: vakra_rs.dump_to_buffer_rs(value, bytearray(999))):
        with pytest.raises(kind) as caught:
            encode()
        if message is not None:
            assert str(caught.value) == message


def test_big_endian_bytes_are_taken_as_they_lie():
    array = np.arange(4, dtype=">f4")
    assert vakra_rs.dumps_rs(array)[64:] == array.tobytes()


class FakeArray(bytearray):
    """Exports real bytes and imitates the attributes the encoder reads; tests break one of them."""

    def __init__(self, backing, **overrides):
        super().__init__(backing.tobytes())
        address = np.frombuffer(self, np.uint8).ctypes.data
        self.dtype = backing.dtype
        self.flags = backing.flags
        self.nbytes = overrides.get("nbytes", backing.nbytes)
        self.ctypes = SimpleNamespace(data=overrides.get("data", address))
        self.shape = overrides.get("shape", backing.shape)


def test_imitation_with_honest_attributes_encodes_like_the_array():
    backing = np.arange(4, dtype=np.float32)
    assert vakra_rs.dumps_rs(FakeArray(backing)) == vakra_rs.dumps_rs(backing)


@pytest.mark.parametrize("overrides, kind, message", [
    ({"shape": (2**32,)}, ValueError,
     "Dimension 4294967296 exceeds the wire-format limit of 4294967295 (each dimension is stored as a 32-bit integer)"),
    ({"shape": "12"}, TypeError, "Can't extract `str` to `Vec`"),
    ({"shape": 12}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({"data": 4096}, BufferError, None),
    ({"nbytes": 10**6, "shape": (250_000,)}, BufferError, None),
])
def test_lying_attributes_are_refused(overrides, kind, message):
    with pytest.raises(kind) as caught:
        vakra_rs.dumps_rs(FakeArray(np.zeros(4, np.float32), **overrides))
    if message is not None:
        assert str(caught.value) == message


def test_object_without_buffer_is_refused_before_reading_memory():
    backing = np.zeros(4, np.float32)
    fake = SimpleNamespace(dtype=backing.dtype, flags=backing.flags, nbytes=16,
                           ctypes=SimpleNamespace(data=backing.ctypes.data), shape=(4,))
    with pytest.raises(BufferError):
        vakra_rs.dumps_rs(fake)


def test_dump_to_buffer_writes_only_the_packet():
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    buffer = bytearray(b"\xAA" * 1000)
    assert vakra_rs.dump_to_buffer_rs(array, buffer) == 88
    assert bytes(buffer[:88]) == vakra_rs.dumps_rs(array)
    assert buffer[88:] == b"\xAA" * 912


@pytest.mark.parametrize("destination, message", [
    (b"\0" * 200, "Buffer is read-only"),
    (memoryview(bytearray(200)).toreadonly(), "Buffer is read-only"),
    (bytearray(b"\xAA" * 87), "Buffer too small"),
])
def test_dump_to_buffer_refusals_leave_the_buffer_unchanged(destination, message):
    before = bytes(destination)
    with pytest.raises(ValueError) as caught:
        vakra_rs.dump_to_buffer_rs(np.zeros((2, 3), np.float32), destination, alignment=64)
    assert str(caught.value) == message
    assert bytes(destination) == before


def test_read_only_is_reported_before_alignment():
    with pytest.raises(ValueError, match="^Buffer is read-only$"):
        vakra_rs.dump_to_buffer_rs(np.zeros(2), b"\0" * 100, alignment=3)


def test_strided_destination_is_refused_untouched():
    backing = bytearray(b"\xAA" * 400)
    with pytest.raises(BufferError):
        vakra_rs.dump_to_buffer_rs(np.zeros(2), memoryview(backing)[::2])
    assert backing == b"\xAA" * 400


def test_uint8_ndarray_and_mmap_destinations():
    import mmap
    array = np.arange(5, dtype=np.int64)
    target = np.zeros(200, np.uint8)
    n = vakra_rs.dump_to_buffer_rs(array, target)
    assert target[:n].tobytes() == vakra_rs.dumps_rs(array)
    with mmap.mmap(-1, 4096) as mapped:
        assert vakra_rs.dump_to_buffer_rs(array, mapped) == n
        assert mapped[:n] == vakra_rs.dumps_rs(array)


@pytest.mark.parametrize("options", [{}, {"check_integrity": True}, {"compress": True}, {"alignment": 8}])
def test_dump_to_fd_matches_dumps(options):
    array = np.arange(50_000, dtype=np.float32)
    expected = vakra_rs.dumps_rs(array, **options)
    read_end, write_end = os.pipe()
    try:
        import threading
        chunks = []
        reader = threading.Thread(target=lambda: chunks.append(_read_all(read_end)))
        reader.start()
        assert vakra_rs.dump_to_fd_rs(array, write_end, **options) == len(expected)
        os.fstat(write_end)  # still open
        os.close(write_end)
        write_end = None
        reader.join()
        assert chunks[0] == expected
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)


def _read_all(fd):
    parts = []
    while chunk := os.read(fd, 1 << 16):
        parts.append(chunk)
    return b"".join(parts)


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
    if message is not None:
        assert str(caught.value) == message
    if kind is OSError:
        assert caught.value.errno is None


def test_dump_to_fd_appends_at_the_file_position(tmp_path):
    path = tmp_path / "out.bin"
    array = np.arange(10, dtype=np.uint16)
    with open(path, "wb") as handle:
        handle.write(b"head")
        handle.flush()
        n = vakra_rs.dump_to_fd_rs(array, handle.fileno())
    assert path.read_bytes() == b"head" + vakra_rs.dumps_rs(array)
    assert n == len(vakra_rs.dumps_rs(array))
