"""Model files: vakra.save, vakra.open / File and vakra.load_file, and the same
files read as plain packets by vakra.load and `vakra info`."""

from __future__ import annotations

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vakra
from samples import CSR, VALUES, assert_same, assert_same_tree, with_record
from vakra._cli import cli
from vakra._model.model_save import needs_tree

META = {"framework": "numpy", "note": "ünïcode"}
MIXED = VALUES["every kind"]
# More entries than one bundle holds; a sparse matrix right after an array
# that may be compressed.
ENTRIES = {f"layer.{i}.w": np.full((i % 5 + 1, 3), i, np.float32) for i in range(300)}
ENTRIES.update(mixed=MIXED, w=np.arange(400.0), adjacency=CSR.tocoo(), big=np.arange(40_000, dtype=np.int32), **MIXED)


@pytest.mark.parametrize("options", [
    {}, {"check_integrity": True, "alignment": 16}, {"compress": True, "check_integrity": True},
    {"compress": True, "alignment": 256}, {"alignment": 1},
], ids=["defaults", "checksums-16", "compressed", "compressed-256", "unaligned"])
def test_entries_round_trip_in_order_as_ordinary_aligned_packets(options, tmp_path, capsys):
    path, saved = tmp_path / "model.vkr", []
    vakra.save(ENTRIES, path, metadata=META, progress=lambda done, total: saved.append((done, total)), **options)
    assert len(saved) == len(ENTRIES)
    with vakra.open(path) as file:
        assert list(file) == list(ENTRIES) and len(file) == len(ENTRIES) and file.metadata == META
        for name, expected in ENTRIES.items():
            assert_same(expected, file[name])
    assert_same(ENTRIES, vakra.load_file(path))
    # Read by threads into memory of its own, entry by entry: writable, aligned as mapped, progress told in order.
    calls = []
    read = vakra.load_file(path, mmap=False, progress=lambda done, total: calls.append((done, total)))
    assert_same(ENTRIES, read)
    alignment = 1 if options.get("compress") else options.get("alignment", 64)  # compressed bodies lie anywhere
    assert read["big"].flags.writeable and read["big"].ctypes.data % alignment == 0
    for told in (saved, calls):
        assert [done for done, _ in told] == sorted(done for done, _ in told) and told[-1][0] == told[-1][1] > 0

    # Read as plain packets: the record, then the entries by name in bundles
    # (where bodies lie is the codec's model fuzz harness's to check).
    packets = list(vakra.iter_load(path))
    named = {key for packet in packets[1:] if isinstance(packet, dict) for key in packet}
    assert list(packets[0]["names"]) == list(ENTRIES) and named == set(ENTRIES)
    assert cli.main(["info", "--verify", str(path)]) == 0 and f"{len(ENTRIES)} entries sound" in capsys.readouterr().out


def test_each_entry_is_one_native_call_however_deep_it_nests(tmp_path, monkeypatch):
    import vakra._model.model_save as model_save

    calls = []

    class CountingWriter:
        def __init__(self, *arguments, **keywords):
            self.writer = vakra._native.ModelFileWriter(*arguments, **keywords)

        def __getattr__(self, name):
            method = getattr(self.writer, name)
            return lambda *arguments: (calls.append(name), method(*arguments))[1]

    class CountingNative:
        ModelFileWriter = CountingWriter

        def __getattr__(self, name):
            calls.append(name)
            return getattr(vakra._native, name)

    monkeypatch.setattr(model_save, "_native", CountingNative())
    nested = {"a": {"b": {"c": np.ones(3)}, "s": vakra.StringTensor(["x"])}, "q": np.arange(2)}
    vakra.save({"w": np.ones(4), "nested": nested, "csr": CSR}, tmp_path / "m.vkr")
    assert calls == ["write", "write", "write", "finish"]
    assert_same(nested, vakra.load_file(tmp_path / "m.vkr")["nested"])


def test_tied_views_are_stored_once_and_read_back_as_one_value(tmp_path):
    weight = np.arange(4096.0).reshape(64, 64)
    values = {"a": weight, "b": weight, "c": weight[:], "d": weight.T, "e": weight[1:], "f": weight.copy()}
    path = tmp_path / "tied.vkr"
    vakra.save(values, path)
    with vakra.open(path) as file:
        ranges = {name: file.byte_range(name) for name in values}
        assert ranges["a"] == ranges["b"] == ranges["c"] and len(set(ranges.values())) == 4
        assert file["a"] is file["b"] is file["c"]
    for mmap in (True, False):
        loaded = vakra.load_file(path, mmap=mmap)
        assert loaded["a"] is loaded["b"] is loaded["c"] and loaded["e"] is not loaded["a"]
        assert_same(values, loaded)
    assert path.stat().st_size < 5 * weight.nbytes


def test_a_damaged_or_misplaced_entry_is_refused_alone(tmp_path):
    path = tmp_path / "model.vkr"
    vakra.save(ENTRIES | {"tied": ENTRIES["w"]}, path, check_integrity=True)
    data = path.read_bytes()
    # Opening reads the record only; an entry is decoded, and verified, alone.
    with vakra.open(path) as file:
        offset, length = file.byte_range("w")
        body, header = offset + length - 8 - 1, file.byte_range("layer.0.w")[0]
        ranges = np.array([file.byte_range(name) for name in file], np.uint64)
    damaged = bytearray(data)
    damaged[body] ^= 0xFF
    damaged[header:header + 4] = b"XXXX"
    # Sound checksums, misleading ranges: "big" one byte into its packet, "tied" (to "w") longer than it.
    ranges[list(ENTRIES).index("big")] += np.uint64([1, 0])
    ranges[-1] += np.uint64([0, 8])
    path.write_bytes(with_record(bytes(damaged), ranges=ranges))
    with vakra.open(path) as file:
        assert_same(ENTRIES["layer.1.w"], file["layer.1.w"])
        for name, text in [("w", "Integrity check failed"), ("layer.0.w", "Invalid vakra packet"),
                           ("big", "Invalid vakra packet"), ("tied", "measures 3272 bytes where the record says 3280")]:
            with pytest.raises(ValueError, match=f"{text}.*entry '{name}'"):
                file[name]
    for mmap in (True, False):
        with pytest.raises(ValueError):
            vakra.load_file(path, mmap=mmap)  # once handed "tied" the value of "w"


def test_file_serves_entries_one_at_a_time(tmp_path):
    path = tmp_path / "model.vkr"
    vakra.save({"w": MIXED["float32 matrix"], "s": ["x"]}, path)
    original = path.read_bytes()
    file = vakra.open(path)
    weights = file["w"]
    facts = file.info("w")
    assert (facts["kind"], facts["dtype"], facts["shape"]) == ("dense", "float32", (3, 4))
    assert facts["size"] == file.byte_range("w")[1] == len(file.packet("w"))
    assert_same(MIXED["float32 matrix"], vakra.loads(file.packet("w")))
    assert "s" in file and "x" not in file and file.metadata == {} and not weights.flags.writeable
    with pytest.raises(KeyError):
        file["x"]
    file.close()
    assert_same(MIXED["float32 matrix"], weights)  # taken before close(), still valid
    with pytest.raises(ValueError, match="closed"):
        file["w"]
    with vakra.open(path, writable=True) as file:
        file["w"][:] = 7  # copy-on-write: the file keeps its bytes
    assert path.read_bytes() == original
    vakra.save(ENTRIES, tmp_path / "other.vkr")
    with vakra.open(path) as replaced, vakra.open(tmp_path / "other.vkr") as rewritten:
        vakra.save({"w": np.zeros(1)}, path)  # a rename: `replaced` still maps the old file, whole
        os.truncate(tmp_path / "other.vkr", 4096)  # in place: reading past the new end would be a SIGBUS
        assert_same(MIXED["float32 matrix"], replaced["w"])
        for access in (lambda: rewritten["big"], lambda: rewritten.info("big"), rewritten._load_all,
                       lambda: rewritten._load_all(mmap=False)):
            with pytest.raises(ValueError, match="the file changed since it was opened"):
                access()


@pytest.mark.parametrize("content, text", [
    (b"", "empty"), (b"not vakra at all", "Invalid vakra packet"),
    (vakra.dumps({"w": np.ones(3)}), "not a vakra model file"),
])
def test_other_files_are_not_model_files(content, text, tmp_path):
    path = tmp_path / "other.vkr"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=text):
        vakra.open(path)


@pytest.mark.parametrize("make, kwargs, error, text, note", [
    (lambda: {(1,): np.ones(2)}, {}, TypeError, "keys are str or int, not 'tuple'", None),
    (lambda: {"a": np.ones(2)}, {"metadata": {"k": 1}}, TypeError, "metadata must map str to str", None),
    (lambda: {"a": np.ones(2)}, {"alignment": 48}, ValueError, "power of two", None),
    (lambda: {"a": {"b": object()}}, {}, TypeError, r"cannot store a 'object' object \(at a/b\)", None),
    (lambda: {"a": {"b": np.zeros((1,) * 33)}}, {}, ValueError, "Packet exceeds maximum dimensions",
     "['a']['b'] is over a limit of the format: an array has at most 32 dimensions"),
    (lambda: {"m": {"emb": np.empty(10**9 + 1, np.uint8)}}, {}, ValueError, "Packet exceeds maximum elements",
     "['m']['emb'] is over a limit of the format: an array holds at most 1,000,000,000 elements"),
    # Just short of 4 GiB (virtual memory only), until the padding before "b" makes its slot longer than a u32 says.
    (lambda: {"m": {"a": np.zeros(2**29 - 9), "b": np.zeros(1)}}, {}, ValueError, "Malformed vakra packet",
     "['m']['a'] is over a limit of the format: a packet inside a dict is shorter than 4 GiB (its length travels as "
     "a u32); this one is 4294967351 bytes"),
], ids=["name", "metadata", "alignment", "value", "dimensions", "elements", "slot"])
def test_refused_values_leave_the_old_file_as_it_was(make, kwargs, error, text, note, tmp_path):
    path = tmp_path / "model.vkr"
    path.write_bytes(b"old")
    with pytest.raises(error, match=text) as raised:
        vakra.save(make(), path, **kwargs)
    assert (note is None) or raised.value.__notes__[0].endswith(note)  # the entry's path first
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["model.vkr"]


def test_dumps_of_a_dict_names_the_entry_over_a_limit():
    # 4.3 GB of untouched zero pages: virtual memory only, refused before any body is copied.
    long = np.zeros(537_000_000, np.float64)
    with pytest.raises(ValueError, match="^Malformed vakra packet\n") as raised:
        vakra.dumps({"model": {"emb": long}})
    assert raised.value.__notes__ == ["vakra: the value at ['model']['emb'] is over a limit of the format: a packet "
                                      "inside a dict is shorter than 4 GiB (its length travels as a u32); this one "
                                      "is 4296000064 bytes"]


SCALARS = (st.none() | st.booleans() | st.integers() | st.floats(allow_nan=True) | st.complex_numbers()
           | st.text(max_size=5) | st.binary(max_size=5)
           | st.sampled_from([np.float32(1.5), np.int8(-3), np.bool_(True), np.uint64(2**64 - 1)]))
SMALL_TENSORS = st.sampled_from([np.arange(3.0), np.zeros((0, 2), np.int16), CSR, vakra.StringTensor(["a", "β"]),
                                 np.array(7, np.uint8)])
TREES = st.recursive(SCALARS | SMALL_TENSORS, lambda inner: (
    st.lists(inner, max_size=4) | st.lists(inner, max_size=3).map(tuple)
    | st.dictionaries(st.integers(-3, 3) | st.text(max_size=3), inner, max_size=4)), max_leaves=12)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(TREES)
def test_generated_trees_round_trip_through_model_files_and_packets(tmp_path, value):
    vakra.save(value, tmp_path / "tree.vkr")
    # A mapping that vakra.save took before trees is saved as before: its NumPy scalars come back as 0-d arrays.
    (assert_same_tree if needs_tree(value) else assert_same)(value, vakra.load_file(tmp_path / "tree.vkr"))
    assert_same(value, vakra.loads(vakra.dumps(value)))  # what dumps took before trees comes back as before
