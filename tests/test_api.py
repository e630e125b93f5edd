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

import vakra
from vakra import QuantizedTensor, StringTensor, packet_tree, vakra_rs
from vakra.quantize import quantize

RNG = np.random.default_rng(3)


def sparse(kind: str):
    matrix = scipy.sparse.random(6, 5, density=0.4, format="csr", random_state=4, dtype=np.float64)
    return {"coo": matrix.tocoo(), "csr": matrix, "csc": matrix.tocsc(), "csr_array": scipy.sparse.csr_array(matrix)}[kind]


VALUES = {
    "float32 matrix": RNG.standard_normal((3, 4)).astype(np.float32),
    "int64 scalar": np.array(7, dtype=np.int64),
    "empty uint8": np.zeros((0, 3), dtype=np.uint8),
    "complex128": RNG.standard_normal(5) + 1j,
    "bool": np.array([True, False, True]),
    "float16 3-d": np.arange(24, dtype=np.float16).reshape(2, 3, 4),
    "coo": sparse("coo"),
    "csr": sparse("csr"),
    "csc": sparse("csc"),
    "csr_array": sparse("csr_array"),
    "string tensor": StringTensor(["alpha", "βeta", ""]),
    "list of str": ["a", "bb", "ccc"],
    "list of bytes": [b"\x00\xff", b""],
    "qint8": quantize(RNG.standard_normal((4, 6)), "qint8", axis=1),
    "quint4": quantize(RNG.standard_normal(7), "quint4"),
}
VALUES["every kind"] = dict(VALUES)
VALUES["nested"] = {"outer": {"inner": {"w": VALUES["float32 matrix"], "s": ["x"], "m": VALUES["csr"]}}, "n": np.ones(2)}

OPTIONS = {
    "defaults": {},
    "checksums": {"check_integrity": True},
    "compressed": {"compress": True},
    "aligned 16": {"alignment": 16},
    "all": {"check_integrity": True, "compress": True, "alignment": 128},
}


def assert_same(expected, actual):
    """Equal in content; lists of strings come back as StringTensor."""
    if isinstance(expected, dict):
        assert isinstance(actual, dict) and list(actual) == list(expected)
        for key in expected:
            assert_same(expected[key], actual[key])
    elif isinstance(expected, list):
        assert actual == StringTensor(expected)
    elif scipy.sparse.issparse(expected):
        assert actual.format == expected.format and actual.shape == expected.shape
        assert (actual != expected).nnz == 0
    elif isinstance(expected, np.ndarray):
        assert actual.dtype == expected.dtype and actual.shape == expected.shape
        np.testing.assert_array_equal(actual, expected)
    else:
        assert type(actual) is type(expected) and actual == expected


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
@pytest.mark.parametrize("value", VALUES.values(), ids=VALUES.keys())
def test_round_trip(value, options):
    assert_same(value, vakra.loads(vakra.dumps(value, **options)))


@pytest.mark.parametrize("source", [bytes, bytearray, memoryview, lambda p: np.frombuffer(p, np.uint8)],
                         ids=["bytes", "bytearray", "memoryview", "ndarray"])
def test_loads_takes_any_bytes_like(source):
    assert_same(VALUES["every kind"], vakra.loads(source(vakra.dumps(VALUES["every kind"]))))


def test_plain_array_dicts_take_the_native_encoder_unchanged():
    value = {"a": np.arange(3), "b": {"c": sparse("csr")}}
    assert vakra.dumps(value, check_integrity=True) == vakra_rs.dumps_rs(value, check_integrity=True)


@pytest.mark.parametrize("value", [VALUES["every kind"], VALUES["nested"]], ids=["flat", "nested"])
def test_options_reach_the_bottom_of_nested_dicts(value):
    tree = vakra.info(vakra.dumps(value, check_integrity=True, compress=True, alignment=16))
    leaves = list(_leaves(tree))
    assert {leaf["kind"] for leaf in leaves} >= {"dense", "string"}
    for leaf in leaves:
        if leaf["kind"] in ("dense", "quantized") and not leaf["in_sparse"]:
            assert leaf["flags"] & 0x0080, leaf  # custom alignment
        if leaf["kind"] == "dense" and not leaf["in_sparse"]:
            assert leaf["compressed"], leaf
        if not leaf["in_sparse"]:
            assert leaf["integrity_protected"], leaf


def _leaves(node, in_sparse=False):
    children = node.get("entries") or node.get("components") or {}
    if not children:
        yield {**node, "in_sparse": in_sparse}
    for child in children.values():
        yield from _leaves(child, in_sparse or node["kind"] == "sparse")


@pytest.mark.parametrize("value", [np.arange(6, dtype=np.float64).reshape(2, 3), {"a": {"b": np.arange(4)}},
                                   {"m": sparse("coo")}, {"s": ["x"], "w": np.ones(3, np.int32)}],
                         ids=["top level", "nested dict", "sparse component", "mixed dict"])
def test_uncompressed_arrays_are_read_only_views_of_the_packet(value):
    packet = bytearray(vakra.dumps(value))
    whole = np.frombuffer(packet, np.uint8)
    arrays = list(_arrays(vakra.loads(packet)))
    assert arrays
    for array in arrays:
        assert not array.flags.writeable
        assert np.shares_memory(array, whole)


def test_compressed_arrays_are_owned_and_writable_at_any_depth():
    value = {"a": np.arange(1000) % 7, "b": {"c": np.ones((20, 20))}, "s": ["x"]}
    packet = vakra.dumps(value, compress=True)
    loaded = vakra.loads(packet)
    assert_same(value, loaded)
    for array in _arrays(loaded):
        assert array.flags.writeable and not np.shares_memory(array, np.frombuffer(packet, np.uint8))


def _arrays(value):
    if isinstance(value, dict):
        for item in value.values():
            yield from _arrays(item)
    elif scipy.sparse.issparse(value):
        yield value.data
    elif isinstance(value, np.ndarray):
        yield value


@pytest.mark.parametrize("value", [np.arange(5, dtype=">i4"), {"x": np.linspace(0, 1, 4).astype(">f8")},
                                   np.float32(2.5), {"x": np.int16(-3)}],
                         ids=["big-endian", "big-endian in dict", "numpy scalar", "numpy scalar in dict"])
def test_values_numpy_holds_differently_are_normalised(value):
    loaded = vakra.loads(vakra.dumps(value))
    expected = {k: np.asarray(v) for k, v in value.items()} if isinstance(value, dict) else np.asarray(value)
    flat = (lambda v: v.values()) if isinstance(value, dict) else (lambda v: [v])
    for want, got in zip(flat(expected), flat(loaded)):
        np.testing.assert_array_equal(got, want)
        assert got.dtype == want.dtype.newbyteorder("=")


class Quirky(dict):
    def items(self):
        raise AssertionError("the dict's storage is walked, not its overrides")


def test_dict_subclasses_are_encoded_from_their_storage():
    value = Quirky(a=np.ones(2), s=["x"])
    assert_same(dict(value), vakra.loads(vakra.dumps(value)))


def deep_dict(levels, leaf):
    value = leaf
    for _ in range(levels):
        value = {"d": value}
    return value


def self_containing():
    value = {"a": np.ones(1), "s": ["x"]}
    value["self"] = value
    return value


ENCODE_ERRORS = {
    "object": (object(), TypeError, "cannot encode a 'object'"),
    "list of numbers": ([1, 2], TypeError, "wrap numbers in numpy.asarray()"),
    "non-str key": ({1: np.ones(1)}, TypeError, None),
    "non-str key beside strings": ({1: ["x"]}, TypeError, "dict keys must be str"),
    "transposed": (np.ones((2, 3)).T, ValueError, "Array must be C-contiguous"),
    "object dtype": ({"a": np.array([None])}, ValueError, "Unsupported dtype: object"),
    "lil matrix": ({"m": scipy.sparse.lil_matrix((2, 2))}, ValueError, "Unknown sparse format 'lil'"),
    "dok matrix": (scipy.sparse.dok_matrix(np.eye(2)), ValueError, "Unknown sparse format 'dok'"),
    "dok beside strings": ({"m": scipy.sparse.dok_matrix(np.eye(2)), "s": ["x"]}, ValueError, "format 'dok'"),
    "masked": (np.ma.masked_array([1, 2], mask=[0, 1]), TypeError, "masked array"),
    "256 arrays": ({str(i): np.ones(1) for i in range(256)}, ValueError, "Bundle has 256 entries"),
    "256 with strings": ({str(i): ["x"] for i in range(256)}, ValueError, "Bundle has 256 entries"),
    "65 levels": (deep_dict(65, np.ones(1)), ValueError, "Nesting too deep"),
    "65 levels to strings": (deep_dict(65, ["x"]), ValueError, "Nesting too deep"),
    "itself": (self_containing(), ValueError, "Nesting too deep"),
    "33 dimensions": (np.ones((1,) * 33), ValueError, "Packet exceeds maximum dimensions"),
}


@pytest.mark.parametrize("value, error, message", ENCODE_ERRORS.values(), ids=ENCODE_ERRORS.keys())
@pytest.mark.parametrize("encoder", ["dumps", "dump_into", "dump"])
def test_encode_errors(value, error, message, encoder, tmp_path):
    calls = {
        "dumps": lambda: vakra.dumps(value),
        "dump_into": lambda: vakra.dump_into(value, bytearray(1 << 16)),
        "dump": lambda: vakra.dump(value, io.BytesIO()),
    }
    with pytest.raises(error) as caught:
        calls[encoder]()
    if message:
        assert message in str(caught.value)


def test_64_levels_of_nesting_round_trip():
    for leaf in (np.arange(3), ["x"]):
        assert_same(deep_dict(64, leaf), vakra.loads(vakra.dumps(deep_dict(64, leaf))))


@pytest.mark.parametrize("alignment", [0, 3, 48])
@pytest.mark.parametrize("value", [np.ones(2), VALUES["qint8"], {"s": ["x"], "a": np.ones(2)}],
                         ids=["array", "quantized", "mixed dict"])
def test_alignment_must_be_a_power_of_two(value, alignment):
    with pytest.raises(ValueError, match="Alignment must be a power of two"):
        vakra.dumps(value, alignment=alignment)


def packet_with_checksums():
    return vakra.dumps({"a": np.arange(100, dtype=np.int32), "s": ["label"], "q": VALUES["qint8"]},
                       check_integrity=True)


def flip_in_entry(key, offset_from_end):
    packet = bytearray(packet_with_checksums())
    entry = dict(packet_tree.walk(packet).children)[key]
    packet[entry.offset + entry.size - offset_from_end] ^= 0x40
    return bytes(packet)


DECODE_ERRORS = {
    "empty": (b"", ValueError, "Packet too short"),
    "not a packet": (b"PK\x03\x04" + bytes(60), ValueError, "Invalid vakra packet"),
    "future version": (b"VKRA\x05" + bytes(20), ValueError, "Unsupported protocol version: 5"),
    "truncated array": (vakra.dumps(np.ones(10))[:-1], ValueError, "Packet too short"),
    "truncated bundle": (packet_with_checksums()[:-3], ValueError, "Packet too short"),
    "array body flipped": (flip_in_entry("a", 12), ValueError, "Integrity check failed: XXH3 mismatch"),
    "string payload flipped": (flip_in_entry("s", 10), ValueError, "Integrity check failed: XXH3 mismatch"),
    "quantized code flipped": (flip_in_entry("q", 10), ValueError, "Integrity check failed: XXH3 mismatch"),
    "text": ("VKRA", TypeError, None),
    "signed bytes": (memoryview(vakra.dumps(np.ones(1))).cast("b"), BufferError, "not compatible with u8"),
}


@pytest.mark.parametrize("data, error, message", DECODE_ERRORS.values(), ids=DECODE_ERRORS.keys())
def test_decode_errors(data, error, message):
    with pytest.raises(error) as caught:
        vakra.loads(data)
    if message:
        assert str(caught.value) == message or message in str(caught.value)


def test_compressed_dict_with_a_damaged_entry_reports_the_entry():
    packet = bytearray(vakra.dumps({"a": np.arange(50), "b": np.arange(50)}, compress=True, check_integrity=True))
    packet[-12] ^= 1  # inside the last entry's compressed body
    with pytest.raises(ValueError, match="Integrity check failed"):
        vakra.loads(bytes(packet))


def test_ragged_packets_load_as_none():
    string_packet = bytearray(vakra.dumps(["a", "b"]))
    struct.pack_into("<H", string_packet, 5, 0x0201)  # the string bit becomes the ragged bit
    assert vakra.loads(bytes(string_packet)) is None
    assert vakra.info(bytes(string_packet))["kind"] == "ragged"
    assert vakra.loads(vakra_rs.encode_bundle_rs([("a", vakra.dumps(np.ones(1))), ("r", bytes(string_packet))])) is None


# --- files ---------------------------------------------------------------------------------------------

FILE_VALUES = {"array": np.arange(12, dtype=np.float32).reshape(3, 4), "mixed dict": VALUES["every kind"],
               "strings": ["a", "b"]}


@pytest.mark.parametrize("use_mmap", [True, False], ids=["mmap", "read"])
@pytest.mark.parametrize("value", FILE_VALUES.values(), ids=FILE_VALUES.keys())
def test_dump_and_load_through_a_path(value, use_mmap, tmp_path):
    path = tmp_path / "value.vkr"
    vakra.dump(value, path, check_integrity=True)
    assert path.read_bytes() == vakra.dumps(value, check_integrity=True)
    assert_same(value, vakra.load(str(path), mmap=use_mmap))


@pytest.mark.parametrize("value", FILE_VALUES.values(), ids=FILE_VALUES.keys())
def test_file_objects_keep_the_order_of_surrounding_writes(value, tmp_path):
    path = tmp_path / "framed.bin"
    with open(path, "w+b") as handle:
        handle.write(b"head")
        vakra.dump(value, handle)
        assert handle.tell() == 4 + len(vakra.dumps(value))
        handle.seek(4)
        assert_same(value, vakra.load(handle))
        assert handle.tell() == os.path.getsize(path)
    assert path.read_bytes()[:4] == b"head"


@pytest.mark.parametrize("value", FILE_VALUES.values(), ids=FILE_VALUES.keys())
def test_in_memory_files(value):
    stream = io.BytesIO()
    vakra.dump(value, stream, compress=True)
    stream.seek(0)
    assert_same(value, vakra.load(stream))


def test_wrapping_file_objects_receive_the_packet_through_write(tmp_path):
    # GzipFile reports the descriptor of the file below it; writing there would bypass the compression.
    value = np.arange(100)
    with gzip.open(tmp_path / "value.gz", "wb") as handle:
        vakra.dump(value, handle)
    with gzip.open(tmp_path / "value.gz", "rb") as handle:
        assert handle.read() == vakra.dumps(value)


@pytest.mark.parametrize("value", [np.arange(100_000, dtype=np.int64), VALUES["every kind"]], ids=["array", "dict"])
def test_dump_and_load_through_a_pipe(value):
    read_end, write_end = os.pipe()
    received = {}
    reader = threading.Thread(target=lambda: received.update(value=vakra.load(os.fdopen(read_end, "rb"))))
    reader.start()  # the packet is larger than the pipe's buffer
    with os.fdopen(write_end, "wb") as writer:
        vakra.dump(value, writer)
    reader.join(10)
    assert_same(value, received["value"])


def test_text_mode_files_are_refused(tmp_path):
    with open(tmp_path / "t.txt", "w") as handle, pytest.raises(TypeError, match="binary mode"):
        vakra.dump(np.ones(1), handle)
    (tmp_path / "t.txt").write_bytes(vakra.dumps(np.ones(1)))
    with open(tmp_path / "t.txt") as handle, pytest.raises(TypeError, match="binary mode"):
        vakra.load(handle)


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


def test_missing_file_raises_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        vakra.load(tmp_path / "absent.vkr")


def _mapped_paths():
    with open("/proc/self/maps") as maps:
        return maps.read()


def _reaches_a_mapping(array):
    base = array
    while base is not None:
        if isinstance(base, mmap.mmap):
            return True
        base = getattr(base, "obj", None) if isinstance(base, memoryview) else getattr(base, "base", None)
    return False


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")
def test_load_maps_the_file_and_arrays_keep_the_mapping(tmp_path):
    path = tmp_path / "mapped.vkr"
    vakra.dump({"w": np.arange(1 << 16, dtype=np.float64), "s": ["x"]}, path)
    loaded = vakra.load(path)
    weights = loaded["w"]
    assert _reaches_a_mapping(weights) and not weights.flags.writeable
    del loaded
    gc.collect()
    assert str(path) in _mapped_paths()
    np.testing.assert_array_equal(weights, np.arange(1 << 16, dtype=np.float64))
    del weights
    gc.collect()
    assert str(path) not in _mapped_paths()


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")
@pytest.mark.parametrize("value", [["a", "b"], VALUES["qint8"], np.arange(100)], ids=["strings", "quantized", "compressed"])
def test_load_unmaps_at_once_when_nothing_views_the_file(value, tmp_path):
    path = tmp_path / "copied.vkr"
    vakra.dump(value, path, compress=True)
    loaded = vakra.load(path)
    assert str(path) not in _mapped_paths()
    assert_same(value, loaded)


def test_load_of_an_empty_file_is_a_packet_error(tmp_path):
    (tmp_path / "empty.vkr").write_bytes(b"")
    with pytest.raises(ValueError, match="Packet too short"):
        vakra.load(tmp_path / "empty.vkr")


# --- dump_into -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("value", [np.arange(10), {"a": np.ones(3), "m": sparse("csc")}, ["x", "yz"],
                                   VALUES["every kind"]], ids=["array", "array dict", "strings", "every kind"])
@pytest.mark.parametrize("target", [bytearray, lambda n: np.full(n, 0xEE, np.uint8),
                                    lambda n: mmap.mmap(-1, n)], ids=["bytearray", "ndarray", "mmap"])
def test_dump_into_writes_the_packet_and_nothing_after_it(value, target):
    packet = vakra.dumps(value, check_integrity=True)
    buffer = target(len(packet) + 32)
    memoryview(buffer)[len(packet):] = b"\xee" * 32
    written = vakra.dump_into(value, buffer, check_integrity=True)
    assert written == len(packet)
    contents = bytes(memoryview(buffer))
    assert contents[:written] == packet and contents[written:] == b"\xee" * 32


@pytest.mark.parametrize("value", [np.arange(10), ["x", "yz"]], ids=["array", "strings"])
def test_dump_into_refuses_small_and_read_only_buffers(value):
    size = len(vakra.dumps(value))
    small = bytearray(b"\x01" * (size - 1))
    with pytest.raises(ValueError, match="Buffer too small"):
        vakra.dump_into(value, small)
    assert small == b"\x01" * (size - 1)
    with pytest.raises(ValueError, match="Buffer is read-only"):
        vakra.dump_into(value, bytes(size))


# --- info ----------------------------------------------------------------------------------------------

INFO_CASES = {
    "dense": (np.zeros((2, 3), np.float32), "dense", "float32", (2, 3)),
    "scalar": (np.float64(1), "dense", "float64", ()),
    "csr": (sparse("csr"), "sparse", None, (6, 5)),
    "strings": (["a", "b", "c"], "string", "string", (3,)),
    "qint8": (VALUES["qint8"], "quantized", "qint8", (4, 6)),
    "bundle": (VALUES["every kind"], "bundle", None, ()),
}


@pytest.mark.parametrize("value, kind, dtype, shape", INFO_CASES.values(), ids=INFO_CASES.keys())
@pytest.mark.parametrize("options", [{}, {"check_integrity": True, "alignment": 8}], ids=["defaults", "options"])
def test_info_describes_every_kind(value, kind, dtype, shape, options):
    packet = vakra.dumps(value, **options)
    facts = vakra.info(packet)
    assert (facts["kind"], facts["dtype"], facts["shape"], facts["size"]) == (kind, dtype, shape, len(packet))
    # The walk's own header facts agree with the extension's, at the top and for nested packets.
    native = vakra_rs.get_packet_info_rs(packet)
    assert list(facts)[:len(native)] == list(native) and {k: facts[k] for k in native} == native


def test_info_nests_entries_and_components():
    facts = vakra.info(vakra.dumps({"m": sparse("coo"), "d": {"s": ["x"]}}))
    assert facts["entry_count"] == 2 and list(facts["entries"]) == ["m", "d"]
    matrix = facts["entries"]["m"]
    assert matrix["format"] == "coo" and list(matrix["components"]) == ["data", "row", "col"]
    assert matrix["components"]["row"]["dtype"] == str(sparse("coo").row.dtype)
    assert facts["entries"]["d"]["entries"]["s"]["count"] == 1
    for role, component in matrix["components"].items():
        native = vakra_rs.get_packet_info_rs(vakra.dumps(getattr(sparse("coo"), role)))
        assert {k: component[k] for k in native} == native


def test_version_3_packets_are_read():
    # 8-byte header: magic, version 3, an 8-bit flags byte (aligned), dtype int16, one dimension.
    dense = b"VKRA\x03\x01\x0a\x01" + struct.pack("<I", 3)
    dense += bytes(64 - len(dense)) + np.array([1, -2, 3], "<i2").tobytes()
    bundle = b"VKRA\x03\x10\x00\x01" + struct.pack("<I", 1) + b"v" + struct.pack("<I", len(dense)) + dense
    np.testing.assert_array_equal(vakra.loads(bundle)["v"], [1, -2, 3])
    facts = vakra.info(bundle)
    assert facts["version"] == 3 and facts["entry_count"] == 1
    entry = facts["entries"]["v"]
    assert (entry["version"], entry["dtype"], entry["shape"], entry["body_size"], entry["size"]) == \
        (3, "int16", (3,), 6, 70)


def test_info_reports_body_sizes_without_decoding():
    array = np.arange(1000, dtype=np.int16)
    assert vakra.info(vakra.dumps(array))["body_size"] == 2000
    compressed = vakra.dumps(array, compress=True, check_integrity=True)
    assert vakra.info(compressed)["body_size"] == len(compressed) - 64 - 8
    damaged = bytearray(vakra.dumps(array, check_integrity=True))
    damaged[100] ^= 1
    assert vakra.info(bytes(damaged))["body_size"] == 2000  # checksums are not looked at


@pytest.mark.parametrize("data, message", [
    (packet_with_checksums()[:40], "Packet too short"),
    (b"VKRA\x04\x10\x00\x00\x01\x00" + struct.pack("<I", 1) + b"\xff" + struct.pack("<I", 0), "Malformed vakra packet"),
    (b"VKRA\x04\x01\x00\x01\x02\x00" + bytes(4), "Packet too short to contain shape"),
], ids=["truncated bundle", "key not utf-8", "shape cut"])
def test_info_refuses_damaged_framing(data, message):
    with pytest.raises(ValueError, match=message):
        vakra.info(data)


# --- bfloat16 ------------------------------------------------------------------------------------------

def test_bfloat16_round_trip():
    ml_dtypes = pytest.importorskip("ml_dtypes")
    value = np.array([1.5, -2.0, 3.25], dtype=ml_dtypes.bfloat16)
    packet = vakra.dumps({"b": value}, compress=True)
    assert vakra.info(packet)["entries"]["b"]["dtype_code"] == 15
    loaded = vakra.loads(packet)["b"]
    assert loaded.dtype == value.dtype and loaded.tobytes() == value.tobytes()


def test_bfloat16_decodes_without_importing_ml_dtypes_first(tmp_path):
    pytest.importorskip("ml_dtypes")
    import subprocess
    import sys

    # A bfloat16 packet of [1.0, 2.0]: header, shape, padding, body.
    packet = b"VKRA\x04\x01\x00\x0f\x01\x00" + struct.pack("<I", 2) + bytes(50) + b"\x80\x3f\x00\x40"
    script = ("import sys, vakra; assert 'ml_dtypes' not in sys.modules; "
              f"a = vakra.loads({packet!r}); print(a.dtype, a.tolist())")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["bfloat16", "[1.0,", "2.0]"]
