"""vakra.dumps / loads / dump / load / dump_into / info, as users call them."""

from __future__ import annotations

import gc
import gzip
import mmap
import re
import struct

import numpy as np
import pytest
import scipy.sparse

import packet_builders as pb
import vakra
from samples import CSR, VALUES, assert_same

OPTIONS = {"defaults": {}, "compressed": {"compress": True},
           "all": {"check_integrity": True, "compress": True, "alignment": 128},
           "flags as ints": {"check_integrity": 1, "compress": 0}}
MIXED = VALUES["every kind"]


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
@pytest.mark.parametrize("value", VALUES.values(), ids=VALUES.keys())
def test_round_trip(value, options):
    assert_same(value, vakra.loads(vakra.dumps(value, **options)))


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "compressed"])
@pytest.mark.parametrize("shape", [(), (0,), (5,), (2, 0, 3), (2, 3, 1)], ids=str)
@pytest.mark.parametrize("dtype", pb.DTYPE_NAMES[:14] + ["bfloat16"])
def test_every_dtype_and_shape_round_trips(dtype, shape, compress):
    array = (np.arange(int(np.prod(shape))) % 5).astype(np.dtype(dtype)).reshape(shape)
    loaded = vakra.loads(vakra.dumps(array, compress=compress))
    assert (loaded.dtype, loaded.shape) == (array.dtype, shape) and np.array_equal(loaded, array)


@pytest.mark.parametrize("compress", [False, True])
def test_uncompressed_arrays_view_the_packet_and_compressed_ones_are_owned(compress):
    value = {"a": {"b": np.arange(400) % 7}, "m": CSR.tocoo(), "s": ["x"]}
    packet = bytearray(vakra.dumps(value, compress=compress))
    loaded = vakra.loads(packet)
    assert_same(value, loaded)
    # Sparse components are never compressed; index arrays are copies of what was checked, since a writable
    # buffer may be reused for the next packet while SciPy's unchecked kernels still read them.
    for array, viewed in [(loaded["a"]["b"], not compress), (loaded["m"].data, True), (loaded["m"].row, False)]:
        assert np.shares_memory(array, np.frombuffer(packet, np.uint8)) == viewed and array.flags.writeable != viewed


ENCODE_ERRORS = {
    "object": (object(), TypeError, "cannot encode a 'object'"),
    "list of numbers": ([1, 2], TypeError, "wrap numbers in numpy.asarray()"),
    "non-str key beside strings": ({1: ["x"]}, TypeError, "dict keys must be str, not 'int'"),
    "non-str key beside arrays": ({"a": {1: np.ones(1)}}, TypeError, "dict keys must be str, not 'int'"),
    "dok matrix beside strings": ({"m": scipy.sparse.dok_matrix(np.eye(2)), "s": ["x"]}, ValueError,
                                  "Unknown sparse format 'dok'"),
    "masked": (np.ma.masked_array([1, 2], mask=[0, 1]), TypeError, "masked array"),
    "bad alignment, strings only": ({"s": ["x"]}, ValueError, "Alignment must be a power of two"),
}


@pytest.mark.parametrize("value, error, message", ENCODE_ERRORS.values(), ids=ENCODE_ERRORS.keys())
def test_encode_errors(value, error, message):
    with pytest.raises(error, match=re.escape(message)):
        vakra.dumps(value) if "Alignment" not in message else vakra.dumps(value, alignment=3)


# --- files and buffers -----------------------------------------------------------------------------------

def test_dump_to_a_file_object_keeps_the_order_of_buffered_writes(tmp_path):
    with open(tmp_path / "framed.bin", "w+b") as handle:
        handle.write(b"head")  # still in the file object's buffer when the packet goes to the descriptor
        vakra.dump(MIXED, handle, compress=True)
        handle.seek(0)
        assert handle.read(4) == b"head"
        assert_same(MIXED, vakra.load(handle))


def test_wrapping_file_objects_receive_the_packet_through_write(tmp_path):
    # GzipFile reports the descriptor of the file below it; writing there would bypass the compression.
    with gzip.open(tmp_path / "value.gz", "wb") as handle:
        vakra.dump(np.arange(100), handle)
    with gzip.open(tmp_path / "value.gz", "rb") as handle:
        assert handle.read() == vakra.dumps(np.arange(100))


def test_text_mode_files_are_refused(tmp_path):
    (tmp_path / "t.txt").write_bytes(vakra.dumps(np.ones(1)))
    for mode, call in [("r", vakra.load), ("w", lambda handle: vakra.dump(np.ones(1), handle))]:
        with open(tmp_path / "t.txt", mode) as handle, pytest.raises(TypeError, match="binary mode"):
            call(handle)


def test_dump_to_a_path_writes_the_packet_and_replaces_the_file_atomically(tmp_path):
    path, value = tmp_path / "model.vkr", {**MIXED, "w": np.arange(1 << 14, dtype=np.float64)}
    vakra.dump(value, path, check_integrity=True)
    assert path.read_bytes() == vakra.dumps(value, check_integrity=True)
    assert_same(value, vakra.load(str(path), mmap=False))
    mapped = vakra.load(path)["w"]
    with pytest.raises(TypeError):
        vakra.dump({"w": np.ones(3), "bad": object()}, path)
    vakra.dump({"w": np.zeros(3)}, path)  # smaller: truncating in place would pull the pages from under `mapped`
    np.testing.assert_array_equal(mapped, np.arange(1 << 14, dtype=np.float64))
    np.testing.assert_array_equal(vakra.load(path)["w"], np.zeros(3))
    assert [entry.name for entry in tmp_path.iterdir()] == ["model.vkr"]
    with pytest.raises(FileNotFoundError):
        vakra.load(tmp_path / "absent.vkr")


def _mapped_paths():
    with open("/proc/self/maps") as maps:
        return maps.read()


def test_load_maps_the_file_while_arrays_view_it(tmp_path):
    copied, viewed = tmp_path / "copied.vkr", tmp_path / "viewed.vkr"
    vakra.dump({"s": ["a", "b"], "q": VALUES["qint8"], "c": np.arange(100)}, copied, compress=True)
    vakra.dump({"w": np.arange(1 << 16, dtype=np.float64), "s": ["x"]}, viewed)
    assert_same(VALUES["qint8"], vakra.load(copied)["q"])
    weights = vakra.load(viewed)["w"]  # the dict goes; the array alone keeps the file mapped
    gc.collect()
    assert str(copied) not in _mapped_paths() and str(viewed) in _mapped_paths()  # nothing viewed: closed at once
    assert not weights.flags.writeable and weights[-1] == (1 << 16) - 1
    del weights
    gc.collect()
    assert str(viewed) not in _mapped_paths()


@pytest.mark.parametrize("target", [bytearray, lambda n: mmap.mmap(-1, n)], ids=["bytearray", "mmap"])
def test_dump_into_writes_the_packet_and_nothing_after_it(target):
    packet = vakra.dumps(MIXED, check_integrity=True)
    buffer = target(len(packet) + 32)
    memoryview(buffer)[:] = b"\xee" * len(buffer)
    assert vakra.dump_into(MIXED, buffer, check_integrity=True) == len(packet)
    assert bytes(memoryview(buffer)) == packet + b"\xee" * 32


# --- info ----------------------------------------------------------------------------------------------

def test_info_sizes_every_entry_without_reading_bodies():
    packet = vakra.dumps(MIXED, check_integrity=True, alignment=8)
    facts = vakra.info(packet)
    entries = facts["entries"]
    assert (facts["kind"], facts["size"], list(entries)) == ("bundle", len(packet), list(MIXED))
    assert facts["size"] == 10 + sum(8 + len(key.encode()) + entry["size"] for key, entry in entries.items())
    assert vakra.info(pb.offsets_body(pb.RAGGED | pb.ALIGNED, [b"a"]))["kind"] == "ragged"
    damaged = bytearray(vakra.dumps(np.arange(1000, dtype=np.int16), compress=True, check_integrity=True))
    damaged[100] ^= 1  # bodies and checksums are not looked at
    assert vakra.info(bytes(damaged))["body_size"] == len(damaged) - 64 - 8


def test_version_3_packets_are_read():
    # 8-byte header: magic, version 3, an 8-bit flags byte (aligned), dtype int16, one dimension.
    dense = b"VKRA\x03\x01\x0a\x01" + struct.pack("<I", 3) + bytes(52) + np.array([1, -2, 3], "<i2").tobytes()
    bundle = b"VKRA\x03\x10\x00\x01" + struct.pack("<I", 1) + b"v" + struct.pack("<I", len(dense)) + dense
    np.testing.assert_array_equal(vakra.loads(bundle)["v"], [1, -2, 3])
    facts = vakra.info(bundle)
    entry = facts["entries"]["v"]
    assert (facts["version"], facts["entry_count"]) == (3, 1)
    assert (entry["version"], entry["dtype"], entry["shape"], entry["body_size"], entry["size"]) == (3, "int16", (3,), 6, 70)

