"""vakra.dumps / loads / dump / load / dump_into / info, as users call them."""

from __future__ import annotations

import gc
import gzip
import io
import mmap
import os
import struct
import threading

import numpy as np
import pytest
import scipy.sparse

import packet_builders as pb
import vakra
from vakra import StringTensor, _native, vakra_rs
from vakra._encoding import convert
from vakra.quantize import quantize

RNG = np.random.default_rng(3)
CSR = scipy.sparse.random(6, 5, density=0.4, format="csr", random_state=4, dtype=np.float64)


class Quirky(dict):
    def items(self):
        raise AssertionError("the dict's storage is walked, not its overrides")


def deep_dict(levels, leaf):
    for _ in range(levels):
        leaf = {"d": leaf}
    return leaf


VALUES = {
    "float32 matrix": RNG.standard_normal((3, 4)).astype(np.float32), "int64 scalar": np.array(7, dtype=np.int64),
    "empty uint8": np.zeros((0, 3), dtype=np.uint8), "complex128": RNG.standard_normal(5) + 1j,
    "float16 3-d": np.arange(24, dtype=np.float16).reshape(2, 3, 4), "coo": CSR.tocoo(), "csr": CSR,
    "csc": CSR.tocsc(), "csr_array": scipy.sparse.csr_array(CSR), "string tensor": StringTensor(["alpha", "βeta", ""]),
    "list of str": ["a", "bb", "ccc"], "list of bytes": [b"\x00\xff", b""],
    "qint8": quantize(RNG.standard_normal((4, 6)), "qint8", axis=1), "quint4": quantize(RNG.standard_normal(7), "quint4"),
    "big-endian": np.arange(5, dtype=">i4"), "numpy scalar": np.float32(2.5),  # come back native, as 0-d arrays
    "transposed": np.arange(12, dtype=np.int16).reshape(3, 4).T, "mixed list": ["a", b"b", bytearray(b"c")],
}
VALUES["every kind"] = dict(VALUES)
VALUES["dict subclass"] = Quirky(a=np.ones(2), s=["x"])
VALUES["64 levels to strings"] = deep_dict(64, ["x"])
VALUES["64 levels to an array"] = deep_dict(64, np.arange(2))
VALUES["grouped qint4"] = quantize(RNG.standard_normal((3, 5, 7)), "qint4", group_size=3)
OPTIONS = {"defaults": {}, "compressed": {"compress": True},
           "all": {"check_integrity": True, "compress": True, "alignment": 128},
           "flags as ints": {"check_integrity": 1, "compress": 0}}


def assert_same(expected, actual):
    """Equal in content; lists of strings come back as StringTensor."""
    if isinstance(expected, dict):
        assert type(actual) is dict and list(actual) == list(expected)
        for key in expected:
            assert_same(expected[key], actual[key])
    elif isinstance(expected, list):
        assert actual == StringTensor(expected)
    elif scipy.sparse.issparse(expected):
        assert actual.format == expected.format and actual.shape == expected.shape and (actual != expected).nnz == 0
    elif isinstance(expected, (np.ndarray, np.generic)):
        assert actual.dtype == expected.dtype.newbyteorder("=") and actual.shape == expected.shape
        np.testing.assert_array_equal(actual, expected)
    else:
        assert type(actual) is type(expected) and actual == expected


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
@pytest.mark.parametrize("value", VALUES.values(), ids=VALUES.keys())
def test_round_trip(value, options):
    assert_same(value, vakra.loads(vakra.dumps(value, **options)))


def test_options_reach_the_bottom_of_mixed_dicts():
    array = np.arange(100) % 3
    value = {"a": array, "d": {"s": ["x"], "q": VALUES["qint8"], "n": {"b": array}}}
    facts = vakra.info(vakra.dumps(value, check_integrity=True, compress=True, alignment=16))["entries"]
    inner = facts["d"]["entries"]
    a, s, q, b = facts["a"], inner["s"], inner["q"], inner["n"]["entries"]["b"]
    assert all(leaf["integrity_protected"] for leaf in (a, s, q, b)) and a["compressed"] and b["compressed"]
    assert a["flags"] & q["flags"] & b["flags"] & pb.CUSTOM_ALIGN


@pytest.mark.parametrize("compress", [False, True])
def test_uncompressed_arrays_view_the_packet_and_compressed_ones_are_owned(compress):
    value = {"a": {"b": np.arange(400) % 7}, "m": CSR.tocoo(), "s": ["x"]}
    packet = bytearray(vakra.dumps(value, compress=compress))
    loaded = vakra.loads(packet)
    assert_same(value, loaded)
    # Sparse components are never compressed.
    for array, viewed in [(loaded["a"]["b"], not compress), (loaded["m"].data, True), (loaded["m"].row, True)]:
        assert np.shares_memory(array, np.frombuffer(packet, np.uint8)) == viewed and array.flags.writeable != viewed


SELF = {"a": np.ones(1), "s": ["x"]}
SELF["self"] = SELF
ENCODE_ERRORS = {
    "object": (object(), TypeError, "cannot encode a 'object'"),
    "list of numbers": ([1, 2], TypeError, "wrap numbers in numpy.asarray()"),
    "non-str key beside strings": ({1: ["x"]}, TypeError, "dict keys must be str, not 'int'"),
    "non-str key beside arrays": ({"a": {1: np.ones(1)}}, TypeError, "dict keys must be str, not 'int'"),
    "dok matrix": (scipy.sparse.dok_matrix(np.eye(2)), ValueError, "Unknown sparse format 'dok'"),
    "dok beside strings": ({"m": scipy.sparse.dok_matrix(np.eye(2)), "s": ["x"]}, ValueError, "format 'dok'"),
    "masked": (np.ma.masked_array([1, 2], mask=[0, 1]), TypeError, "masked array"),
    "256 with strings": ({str(i): ["x"] for i in range(256)}, ValueError, "Bundle has 256 entries"),
    "65 levels to strings": (deep_dict(65, ["x"]), ValueError, "Nesting too deep"),
    "itself": (SELF, ValueError, "contains itself"),
    "bad alignment, strings only": ({"s": ["x"]}, ValueError, "Alignment must be a power of two"),
}


@pytest.mark.parametrize("value, error, message", ENCODE_ERRORS.values(), ids=ENCODE_ERRORS.keys())
@pytest.mark.parametrize("encoder", [vakra.dumps, lambda v, **o: vakra.dump_into(v, bytearray(1 << 16), **o),
                                     lambda v, **o: vakra.dump(v, io.BytesIO(), **o)], ids=["dumps", "dump_into", "dump"])
def test_encode_errors(value, error, message, encoder):
    with pytest.raises(error) as caught:
        encoder(value) if "Alignment" not in message else encoder(value, alignment=3)
    assert message is None or message in str(caught.value)


def test_convert_may_give_an_arrays_bytes_a_wire_dtype():
    bits = np.array([[0x3F80, 0x4000]], np.uint16)  # bfloat16 1.0 and 2.0, without ml_dtypes
    packet = _native.encode({"b": object()}, False, False, 64, lambda value: (bits, 15))
    assert vakra.info(packet)["entries"]["b"]["dtype"] == "bfloat16" and packet.endswith(bits.tobytes())
    with pytest.raises(ValueError, match="does not match the array's 2-byte elements"):
        _native.encode(object(), False, False, 64, lambda value: (bits, 1))


def test_segments_view_the_bodies_and_keep_them_alive():
    array = np.arange(1 << 12, dtype=np.float64)
    value = {"a": array, "s": ["x"], "q": VALUES["qint8"], "c": np.arange(1 << 12)}
    expected = vakra.dumps(value)
    segments = _native.encode_segments(value, False, False, 64, convert)
    views = [segment for segment in segments if isinstance(segment, memoryview)]
    assert all(view.readonly for view in views) and len(views) == 2  # the two large bodies; the rest is copied
    assert np.shares_memory(np.frombuffer(views[0], np.uint8), array)
    del array, value
    gc.collect()
    assert b"".join(segments) == expected


@pytest.mark.parametrize("value, offset_from_end", [(np.arange(100, dtype=np.int32), 12), (["label"], 10),
                                                     (VALUES["qint8"], 10)], ids=["array", "strings", "quantized"])
def test_damaged_entries_fail_their_checksum(value, offset_from_end):
    packet = bytearray(vakra.dumps({"k": value}, check_integrity=True, compress=True))
    packet[-offset_from_end] ^= 0x40  # the one entry ends the packet
    with pytest.raises(ValueError) as caught:
        vakra.loads(packet)
    assert str(caught.value) == "Integrity check failed: XXH3 mismatch"


# --- files ---------------------------------------------------------------------------------------------

MIXED = VALUES["every kind"]


@pytest.mark.parametrize("use_mmap", [True, False], ids=["mmap", "read"])
def test_dump_and_load_through_a_path(use_mmap, tmp_path):
    path = tmp_path / "value.vkr"
    vakra.dump(MIXED, path, check_integrity=True)
    assert path.read_bytes() == vakra.dumps(MIXED, check_integrity=True)
    assert_same(MIXED, vakra.load(str(path), mmap=use_mmap))


@pytest.mark.parametrize("real_file", [True, False], ids=["file", "BytesIO"])
def test_file_objects_keep_the_order_of_surrounding_writes(real_file, tmp_path):
    with open(tmp_path / "framed.bin", "w+b") if real_file else io.BytesIO() as handle:
        handle.write(b"head")
        vakra.dump(MIXED, handle, compress=True)
        end = handle.tell()
        assert end == 4 + len(vakra.dumps(MIXED, compress=True))
        handle.seek(4)
        assert_same(MIXED, vakra.load(handle))
        assert handle.tell() == end
        handle.seek(0)
        assert handle.read(4) == b"head"


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


def test_dump_to_a_path_replaces_the_file_atomically(tmp_path):
    path = tmp_path / "model.vkr"
    vakra.dump({"w": np.arange(1 << 14, dtype=np.float64)}, path)
    mapped = vakra.load(path)["w"]
    with pytest.raises(TypeError):
        vakra.dump({"w": np.ones(3), "bad": object()}, path)
    vakra.dump({"w": np.zeros(3)}, path)  # smaller: truncating in place would pull the pages from under `mapped`
    np.testing.assert_array_equal(mapped, np.arange(1 << 14, dtype=np.float64))
    np.testing.assert_array_equal(vakra.load(path)["w"], np.zeros(3))
    assert [entry.name for entry in tmp_path.iterdir()] == ["model.vkr"]
    with pytest.raises(FileNotFoundError):
        vakra.load(tmp_path / "absent.vkr")
    (tmp_path / "empty.vkr").write_bytes(b"")
    with pytest.raises(EOFError):
        vakra.load(tmp_path / "empty.vkr")


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


# --- dump_into -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("target", [bytearray, lambda n: np.full(n, 0xEE, np.uint8), lambda n: mmap.mmap(-1, n)],
                         ids=["bytearray", "ndarray", "mmap"])
def test_dump_into_writes_the_packet_and_nothing_after_it(target):
    packet = vakra.dumps(MIXED, check_integrity=True)
    buffer = target(len(packet) + 32)
    memoryview(buffer)[len(packet):] = b"\xee" * 32
    assert vakra.dump_into(MIXED, buffer, check_integrity=True) == len(packet)
    assert bytes(memoryview(buffer)) == packet + b"\xee" * 32


def test_dump_into_refuses_small_and_read_only_buffers_untouched():
    small = bytearray(b"\x01" * (len(vakra.dumps(["x", "yz"])) - 1))
    with pytest.raises(ValueError, match="Buffer too small"):
        vakra.dump_into(["x", "yz"], small)
    assert small == b"\x01" * len(small)
    with pytest.raises(ValueError, match="Buffer is read-only"):
        vakra.dump_into(["x", "yz"], bytes(1000))


# --- info ----------------------------------------------------------------------------------------------

INFO_EXPECTED = {"float32 matrix": ("dense", "float32", (3, 4)), "int64 scalar": ("dense", "int64", ()),
                 "csr": ("sparse", None, (6, 5)), "list of str": ("string", "string", (3,)),
                 "qint8": ("quantized", "qint8", (4, 6))}


def test_info_describes_every_kind():
    packet = vakra.dumps(MIXED, check_integrity=True, alignment=8)
    facts = vakra.info(packet)
    assert (facts["kind"], facts["size"], list(facts["entries"])) == ("bundle", len(packet), list(MIXED))
    for key, expected in INFO_EXPECTED.items():
        assert tuple(facts["entries"][key][k] for k in ("kind", "dtype", "shape")) == expected
    coo = facts["entries"]["coo"]
    assert coo["format"] == "coo" and list(coo["components"]) == ["data", "row", "col"]
    assert facts["entries"]["list of str"]["count"] == 3

    def agree(offset, described):  # at every depth, the walk reads headers as the extension does
        native = vakra_rs.get_packet_info_rs(packet[offset:offset + described["size"]])
        assert list(described)[:len(native)] == list(native) and {k: described[k] for k in native} == native
        if described["kind"] == "bundle":
            offset += 10
            for key, child in described["entries"].items():
                offset += 8 + len(key.encode())
                agree(offset, child)
                offset += child["size"]
        elif described["kind"] == "sparse":
            offset += 10 + 4 * described["ndim"]
            for child in described["components"].values():
                agree(offset + 4, child)
                offset += 4 + child["size"]

    agree(0, facts)
    assert vakra.info(pb.offsets_body(pb.RAGGED | pb.ALIGNED, [b"a"]))["kind"] == "ragged"


def test_version_3_packets_are_read():
    # 8-byte header: magic, version 3, an 8-bit flags byte (aligned), dtype int16, one dimension.
    dense = b"VKRA\x03\x01\x0a\x01" + struct.pack("<I", 3) + bytes(52) + np.array([1, -2, 3], "<i2").tobytes()
    bundle = b"VKRA\x03\x10\x00\x01" + struct.pack("<I", 1) + b"v" + struct.pack("<I", len(dense)) + dense
    np.testing.assert_array_equal(vakra.loads(bundle)["v"], [1, -2, 3])
    facts = vakra.info(bundle)
    entry = facts["entries"]["v"]
    assert (facts["version"], facts["entry_count"]) == (3, 1)
    assert (entry["version"], entry["dtype"], entry["shape"], entry["body_size"], entry["size"]) == (3, "int16", (3,), 6, 70)


def test_info_reports_body_sizes_without_decoding():
    array = np.arange(1000, dtype=np.int16)
    compressed = vakra.dumps(array, compress=True, check_integrity=True)
    assert vakra.info(compressed)["body_size"] == len(compressed) - 64 - 8
    damaged = bytearray(vakra.dumps(array, check_integrity=True))
    damaged[100] ^= 1
    assert vakra.info(bytes(damaged))["body_size"] == 2000  # checksums are not looked at


@pytest.mark.parametrize("data, message", [
    (vakra.dumps({"a": np.ones(9)})[:40], "Packet too short"),
    (b"VKRA\x04\x10\x00\x00\x01\x00" + struct.pack("<I", 1) + b"\xff" + struct.pack("<I", 0), "Malformed vakra packet"),
    (b"VKRA\x04\x01\x00\x01\x02\x00" + bytes(4), "Packet too short"),
], ids=["truncated bundle", "key not utf-8", "shape cut"])
def test_info_refuses_damaged_framing(data, message):
    with pytest.raises(ValueError, match=message):
        vakra.info(data)
