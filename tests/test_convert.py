"""vakra.convert on files written by NumPy, safetensors and torch themselves,
read back by the same libraries; refusals and hostile peer files."""

from __future__ import annotations

import functools
import io
import json
import os
import struct
import warnings
import zipfile

import gguf
import ml_dtypes
import numpy as np
import pytest
import safetensors.numpy
import safetensors.torch
import scipy.sparse
import torch
from hypothesis import given, settings, strategies as st

import vakra
import vakra.__main__
import vakra.torch
from samples import VALUES, assert_same, assert_same_tree, torch_equal
from test_convert_fuzz import convert_or_refuse
from vakra._convert.safetensors_header import read_header

ARRAYS = {"f16": np.arange(6, dtype=np.float16).reshape(2, 3), "c64": np.array([1 + 2j, 3j], np.complex64),
          "flags": np.array([True, False]), "u16": np.arange(3, dtype=np.uint16), "scalar": np.array(2.5),
          "fortran": np.asfortranarray(np.arange(6.0).reshape(2, 3)), "empty": np.zeros((0, 4), np.int8)}
TENSORS = {"bf16": torch.arange(6, dtype=torch.bfloat16).reshape(2, 3), "c64": torch.tensor([1 + 2j, 3j]),
           "flags": torch.tensor([True, False]), "u64": torch.tensor([0, 2**63], dtype=torch.uint64),
           "i8": torch.tensor([-1]), "wide": torch.zeros((0, 2**32), dtype=torch.bfloat16)}  # a body: no packet holds it


def test_numpy_files_round_trip(tmp_path):
    for name, array in ARRAYS.items():
        np.save(tmp_path / f"{name}.npy", array)
        vakra.convert(tmp_path / f"{name}.npy", tmp_path / f"{name}.vkr", check_integrity=True)
        assert_same(array, vakra.load(tmp_path / f"{name}.vkr"))
        vakra.convert(tmp_path / f"{name}.vkr", tmp_path / f"{name}-back.npy")
        assert_same(array, np.load(tmp_path / f"{name}-back.npy"))
    arrays = {**ARRAYS, "wide": np.zeros((0, 2**32), np.int8)}  # a body in the model file: no packet holds it
    for save in (np.savez, np.savez_compressed):
        save(tmp_path / "arrays.npz", **arrays)
        vakra.convert(tmp_path / "arrays.npz", tmp_path / "arrays.vkr", compress=True)
        assert_same(arrays, vakra.load_file(tmp_path / "arrays.vkr"))
        vakra.convert(tmp_path / "arrays.vkr", tmp_path / "back.npz")
        assert_same(arrays, dict(np.load(tmp_path / "back.npz")))


def test_safetensors_round_trip_with_metadata_and_shards(tmp_path):
    safetensors.torch.save_file(TENSORS, tmp_path / "model.safetensors", metadata={"format": "pt", "step": "3"})
    vakra.convert(tmp_path / "model.safetensors", tmp_path / "model.vkr", alignment=256)
    with vakra.torch.open(tmp_path / "model.vkr") as file:
        assert file.metadata == {"format": "pt", "step": "3"}
        torch_equal(TENSORS, {name: file[name] for name in TENSORS})
    vakra.convert(tmp_path / "model.vkr", tmp_path / "back.safetensors")
    torch_equal(TENSORS, {name: safetensors.torch.load_file(tmp_path / "back.safetensors")[name] for name in TENSORS})
    with safetensors.safe_open(tmp_path / "back.safetensors", "pt") as handle:
        assert handle.metadata() == {"format": "pt", "step": "3"}

    # Laid out as a hub's cache is: the index and the shards are links to files in one directory of blobs.
    blobs, snapshot = tmp_path / "blobs", tmp_path / "snapshot"
    blobs.mkdir(), snapshot.mkdir()
    shards = {"model-1.safetensors": {"a": np.ones(3, np.float32)}, "model-2.safetensors": {"b": np.zeros(2)}}
    for shard, tensors in shards.items():
        safetensors.numpy.save_file(tensors, blobs / shard, metadata={"format": "np"})
    index = {"metadata": {"total_size": 28}, "weight_map": {"b": "model-2.safetensors", "a": "model-1.safetensors"}}
    (blobs / "model.safetensors.index.json").write_text(json.dumps(index))
    for name in [*shards, "model.safetensors.index.json"]:
        (snapshot / name).symlink_to(f"../blobs/{name}")
    vakra.convert(snapshot / "model.safetensors.index.json", tmp_path / "merged.vkr")
    with vakra.open(tmp_path / "merged.vkr") as file:
        assert list(file) == ["b", "a"] and file.metadata == {"total_size": "28", "format": "np"}
        assert_same(np.zeros(2), file["b"])


@pytest.mark.parametrize("name", ["float8_e4m3fn", "float8_e5m2", "float8_e4m3fnuz", "float8_e5m2fnuz",
                                  "float8_e8m0fnu", "float4_e2m1fn"])
def test_low_precision_types_round_trip_bit_exactly_everywhere(name, tmp_path):
    packed = name.startswith("float4")
    bits = (np.arange(256) % (16 if packed else 256)).astype(np.uint8).reshape(4, 64)  # every bit pattern, NaNs too
    array = bits.view(getattr(ml_dtypes, name))

    def same_bits(value, shape=(4, 64)):
        assert value.dtype == array.dtype and value.shape == shape and np.array_equal(value.view(np.uint8), bits)

    packet = vakra.dumps(array)
    for loaded in (vakra.loads(packet), vakra.loads(vakra.dumps(array, compress=True, check_integrity=True))):
        same_bits(loaded)
    vakra.save({"w": array}, tmp_path / "m.vkr")
    with vakra.open(tmp_path / "m.vkr") as file:
        same_bits(file["w"])
    # torch's type; its packed float4_e2m1fn_x2 counts bytes and encodes to the same packet.
    tensor = vakra.torch.loads(packet)
    assert tensor.dtype == getattr(torch, name + "_x2" if packed else name)
    assert tensor.shape == ((4, 32) if packed else (4, 64)) and vakra.dumps(tensor) == packet
    safetensors.torch.save_file({"w": tensor, "scale": torch.ones(3)}, tmp_path / "m.safetensors")
    vakra.convert(tmp_path / "m.safetensors", tmp_path / "from.vkr")
    same_bits(vakra.load_file(tmp_path / "from.vkr")["w"])
    vakra.convert(tmp_path / "from.vkr", tmp_path / "back.safetensors")
    assert (tmp_path / "back.safetensors").read_bytes() == (tmp_path / "m.safetensors").read_bytes()


def test_fp8_checkpoints_with_block_scales_and_mxfp4_blocks_convert_exactly(tmp_path):
    # DeepSeek-V3: F8_E4M3 weights, 128 x 128 blocks (a partial one at each edge), float32 inverse scales;
    # gpt-oss: MXFP4 experts as uint8 blocks and scales.
    weight = torch.randn(200, 300).to(torch.float8_e4m3fn)
    state = {"w": weight, "w.weight_scale_inv": torch.rand(2, 3), "experts_blocks": torch.randint(0, 255, (2, 4, 16),
             dtype=torch.uint8), "experts_scales": torch.randint(0, 255, (2, 4), dtype=torch.uint8)}
    safetensors.torch.save_file(state, tmp_path / "model.safetensors")
    vakra.convert(tmp_path / "model.safetensors", tmp_path / "model.vkr")
    loaded = vakra.torch.load_file(tmp_path / "model.vkr")
    assert {key: value.dtype for key, value in loaded.items()} == {key: value.dtype for key, value in state.items()}
    assert all(torch.equal(loaded[key].view(torch.uint8), state[key].view(torch.uint8)) for key in state)
    with vakra.open(tmp_path / "model.vkr") as file:
        assert file["experts_scales"].dtype == np.uint8 and not file["experts_scales"].flags.owndata  # a view


@pytest.mark.parametrize("in_tree", [False, True], ids=["state_dict", "checkpoint"])
def test_torch_files_round_trip_keeping_ties_and_layouts(in_tree, tmp_path):
    weight = torch.randn(4, 4)
    state = {"embed": weight, "head": weight, **TENSORS, "adjacency": torch.eye(3).to_sparse_csr(),
             "coo": torch.eye(2).to_sparse(), "block": {"bias": torch.ones(4)}, "expanded": torch.ones(1).expand(3)}
    saved = {"model": state, 3: (1.5, [None, "x"]), "shape": torch.Size([2])} if in_tree else state
    torch.save(saved, tmp_path / "model.pt")
    vakra.convert(tmp_path / "model.pt", tmp_path / "model.vkr", allow_expanded=True)
    if not in_tree:  # a state_dict's file is the one vakra.torch.save writes
        vakra.torch.save(state, tmp_path / "saved.vkr")
        assert (tmp_path / "model.vkr").read_bytes() == (tmp_path / "saved.vkr").read_bytes()
    vakra.convert(tmp_path / "model.vkr", tmp_path / "back.pth")
    for loaded in (vakra.torch.load_file(tmp_path / "model.vkr"), torch.load(tmp_path / "back.pth", weights_only=True)):
        assert_same_tree(saved, loaded)
        model = loaded["model"] if in_tree else loaded
        assert model["embed"].data_ptr() == model["head"].data_ptr()


@pytest.mark.parametrize("values, target, text", [
    ({"m": VALUES["csr"]}, "safetensors", "entry 'm' of .* is a sparse csr matrix; a .safetensors file holds dense"),
    ({"s": ["a"]}, "safetensors", "entry 's' of .* is a string tensor"),
    ({"q": VALUES["qint8"]}, "pt", r"entry 'q' of .* is a quantized \(qint8\) tensor; a torch.save file holds"),
    ({"d": {"x": np.ones(1)}}, "npz", "entry 'd' of .* is a dict"),
    ({"w": VALUES["bfloat16"]}, "npz", "entry 'w' of .* is bfloat16, which a .npz file does not hold"),
    ({"w": VALUES["complex128"]}, "safetensors", "is complex128, which a .safetensors file does not hold"),
    ({"a": np.ones(1), "b": np.ones(1)}, "npy", "holds 2 entries; a .npy file holds one array"),
    ({"__metadata__": np.ones(1)}, "safetensors", "entry '__metadata__' of .* a .safetensors file reserves that name"),
    ({"w": np.ones(1), "optimizer": {"state": {0: {}}, "lr": 0.1}, "betas": (0.9,)}, "safetensors",
     r"checkpoint tree, and a .safetensors file holds named tensors only, with no place for optimizer/state \(a dict "
     r"with int keys\), optimizer/lr \(a float\), betas \(a tuple\)"),
], ids=["sparse", "strings", "quantized", "dict", "bfloat16", "complex128", "two-to-npy", "reserved name", "tree"])
def test_what_the_destination_cannot_hold_is_refused_and_nothing_written(values, target, text, tmp_path):
    vakra.save(values, tmp_path / "model.vkr", metadata={"k": "v"})
    (tmp_path / f"out.{target}").write_bytes(b"old")
    with pytest.raises(ValueError, match=text):
        vakra.convert(tmp_path / "model.vkr", tmp_path / f"out.{target}")
    assert (tmp_path / f"out.{target}").read_bytes() == b"old" and len(os.listdir(tmp_path)) == 2


def safetensors_bytes(header, body=bytes(16), declared=None):
    raw = header if isinstance(header, bytes) else json.dumps(header).encode()
    return struct.pack("<Q", len(raw) if declared is None else declared) + raw + body


def tensor(offsets, shape=(2,)):
    return {"dtype": "F32", "shape": list(shape), "data_offsets": list(offsets)}


class Evil:
    def __reduce__(self):
        return os.mkdir, ("pickle-ran",)


def zip_of(path, members):
    with warnings.catch_warnings(), zipfile.ZipFile(path, "w") as archive:
        warnings.simplefilter("ignore")  # a repeated name
        for name, data in members:
            archive.writestr(name, data)


def npy_bytes(array):
    buffer = io.BytesIO()
    np.save(buffer, array)
    return buffer.getvalue()


HOSTILE = {
    "offsets past the end": ("x.safetensors", lambda p: p.write_bytes(safetensors_bytes({"a": tensor((0, 32), (8,))}))),
    "overlapping tensors": ("x.safetensors", lambda p: p.write_bytes(safetensors_bytes(
        {"a": tensor((0, 8)), "b": tensor((4, 12))}))),
    "header of 8 GiB": ("x.safetensors", lambda p: p.write_bytes(safetensors_bytes(b"{}", declared=8 << 30))),
    "duplicate names": ("x.safetensors", lambda p: p.write_bytes(safetensors_bytes(
        b'{"a": %s, "b": %s, "a": %s}' % tuple(json.dumps(tensor(o)).encode() for o in ((0, 8), (8, 16), (0, 8)))))),
    "float6": ("x.safetensors", lambda p: p.write_bytes(safetensors_bytes(
        {"a": tensor((0, 8)), "f6": {"dtype": "F6_E2M3", "shape": [4], "data_offsets": [8, 11]}}, bytes(11)))),
    "33 dimensions": ("x.safetensors", lambda p: p.write_bytes(safetensors_bytes(
        {"a": tensor((0, 8)), "big": {"dtype": "U8", "shape": [1] * 33, "data_offsets": [8, 9]}}, bytes(9)))),
    "npy over a packet": ("x.npy", lambda p: np.save(p, np.zeros((0, 2**32), np.int8))),
    "gguf Q4_1": ("x.gguf", lambda p: gguf_file(p, {"ok": np.ones(32, np.float32), "q": (np.ones((2, 32)), "Q4_1")})),
    "shard outside": ("x.safetensors.index.json", lambda p: p.write_text('{"weight_map": {"a": "../x.safetensors"}}')),
    "shard mismatch": ("x.safetensors.index.json", lambda p: (
        p.write_text('{"weight_map": {"a": "s.safetensors", "b": "s.safetensors"}}'),
        safetensors.numpy.save_file({"a": np.ones(1)}, p.parent / "s.safetensors"))),
    "npz names twice": ("x.npz", lambda p: zip_of(p, [("a.npy", npy_bytes(np.ones(2)))] * 2)),
    "npz declares more": ("x.npz", lambda p: zip_of(p, [("a.npy", npy_bytes(np.ones(1000))[:200])])),
    "npz pickle": ("x.npz", lambda p: zip_of(p, [("a.npy", npy_bytes(np.array([{}], dtype=object)))])),
    "npz bfloat16": ("x.npz", lambda p: np.savez(p, w=np.ones(2, ml_dtypes.bfloat16))),
    "pickle with code": ("x.pt", lambda p: torch.save({"w": torch.ones(1), "x": Evil()}, p)),
    "pickle of no tree": ("x.pt", lambda p: torch.save({"w": torch.ones(1), "step": {"dtype": torch.float32}}, p)),
    "pickle repeating itself": ("x.pt", lambda p: torch.save(functools.reduce(lambda x, _: [x, x], range(40), [0]), p)),
    "not a pickle": ("x.bin", lambda p: p.write_bytes(b"\x80\x02junk" * 10)),
    "shard linked outside": ("x.safetensors.index.json", lambda p: (
        p.write_text('{"weight_map": {"a": "s.safetensors"}}'), (p.parent / "s.safetensors").symlink_to(np.__file__))),
    "expanded view": ("x.pt", lambda p: torch.save({"w": torch.ones(1).expand(1 << 20)}, p)),
}
HOSTILE_TEXT = ["not fully covered", "invalid offset", "header too large", "the name 'a' is given more",
                "vakra has no F6_E2M3", "entry 'big' has shape .1, 1, .*: a model file entry has at most 32 dimensions",
                "x.npy holds an array of shape .0, 4294967296., too large for a packet .* save it into a model file",
                "entry 'q' of .*x.gguf is Q4_1 blocks, which vakra does not convert", "not a file name beside the index",
                "the index gives 'b' to .*s.safetensors",
                "names 'a' more than once", "declares 8000 bytes of data but the member holds 72",
                "vakra has no object", "vakra has no |V2 element type .raw bytes", "unsupported GLOBAL posix.mkdir",
                "entry 'step/dtype' of .* is of type dtype, which a checkpoint tree does not hold",
                r"holds a tree of \d+ values .its containers repeat", "torch.load.weights_only=True. refused it",
                "s.safetensors leads to .*, outside the index's directory",
                "entry 'w' of .* holds 4194304 bytes in a view of 4 bytes of storage"]


@pytest.mark.parametrize("case, text", list(zip(HOSTILE, HOSTILE_TEXT, strict=True)), ids=list(HOSTILE))
def test_hostile_peer_files_are_refused_clearly(case, text, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(os, "preadv", None)  # refused from headers: no tensor is read
    name, write = HOSTILE[case]
    write(tmp_path / name)
    with pytest.raises(ValueError, match=text):
        vakra.convert(tmp_path / name, tmp_path / "out.vkr")
    assert not os.path.exists(tmp_path / "out.vkr") and not os.path.exists(tmp_path / "pickle-ran")


def gguf_file(path, tensors, metadata=()):
    """A GGUF file by gguf's own writer; a (values, "Q8_0") pair is quantized by gguf."""
    writer = gguf.GGUFWriter(path, "llama")
    for key, value in metadata:
        writer.add_string(key, value) if isinstance(value, str) else writer.add_array(key, value)
    for name, value in tensors.items():
        if isinstance(value, tuple):
            kind = gguf.GGMLQuantizationType[value[1]]
            writer.add_tensor(name, gguf.quants.quantize(value[0].astype(np.float32), kind), raw_dtype=kind)
        else:  # bfloat16 as its bytes
            bf16 = value.dtype == ml_dtypes.bfloat16
            writer.add_tensor(name, value.view(np.uint8) if bf16 else value,
                              raw_dtype=gguf.GGMLQuantizationType.BF16 if bf16 else None)
    for step in (writer.write_header_to_file, writer.write_kv_data_to_file, writer.write_tensors_to_file, writer.close):
        step()


def test_gguf_files_convert_with_blocks_that_dequantize_exactly(tmp_path, capsys):
    rng = np.random.default_rng(5)
    weights = rng.standard_normal((3, 2, 64)) * rng.choice([1e-3, 1, 50], (3, 2, 1))
    arrays = {"f32": rng.standard_normal((2, 3), np.float32), "f16": np.arange(4, dtype=np.float16),
              "bf16": np.arange(6).astype(ml_dtypes.bfloat16).reshape(3, 2), "i8": np.arange(-3, 3, dtype=np.int8)}
    gguf_file(tmp_path / "m.gguf", {**arrays, "q8": (weights, "Q8_0"), "q4": (weights, "Q4_0")},
              [("general.name", "tiny"), ("tokens", ["a", "b"])])
    vakra.convert(tmp_path / "m.gguf", tmp_path / "m.vkr")
    reader = gguf.GGUFReader(tmp_path / "m.gguf")
    with vakra.open(tmp_path / "m.vkr") as file:
        assert list(file) == [tensor.name for tensor in reader.tensors]
        assert file.metadata == {"general.architecture": "llama", "general.name": "tiny", "tokens": '["a", "b"]'}
        assert_same(arrays, {name: file[name] for name in arrays})
        for tensor in reader.tensors[len(arrays):]:
            expected = gguf.quants.dequantize(tensor.data, tensor.tensor_type)
            value = file[tensor.name]
            assert (value.dtype, value.shape, value.group_size) == ({"q8": "qint8", "q4": "quint4"}[tensor.name],
                                                                    (3, 2, 64), 32)
            assert np.array_equal(value.dequantize().view(np.uint32), expected.view(np.uint32))
    assert vakra.__main__.main(["ls", str(tmp_path / "m.gguf")]) == 0
    assert "q4    quantized  quint4    (3, 2, 64)  216 B" in capsys.readouterr().out


VALID = safetensors_bytes({"__metadata__": {"k": "v"}, "a": tensor((0, 8)), "b": tensor((8, 16))})
EDITED = st.lists(st.tuples(st.integers(0, len(VALID) - 1), st.integers(0, 255)), max_size=6).map(
    lambda edits: _edited(VALID, edits))


def _edited(data, edits):
    data = bytearray(data)
    for position, value in edits:
        data[position] = value
    return bytes(data)


@settings(max_examples=1000, deadline=None)
@given(st.one_of(st.binary(max_size=300), EDITED, st.builds(
    safetensors_bytes, st.recursive(st.sampled_from(["F32", "BF16", "U8", "F8_E4M3"]) | st.integers(-1, 20)
                                    | st.lists(st.integers(-1, 20), max_size=3),
                                    lambda inner: st.dictionaries(st.sampled_from(["a", "dtype", "shape",
                                                                                   "data_offsets"]), inner)
                                    ).map(lambda header: json.dumps(header).encode()))))
def test_safetensors_headers_give_exact_ranges_and_files_convert_or_raise_value_error(data):
    try:
        tensors = read_header(data[:8], len(data), io.BytesIO(data[8:]).read)
    except ValueError:
        tensors = None
    else:
        start = 8 + struct.unpack("<Q", data[:8])[0]
        assert [t.start for t in tensors] == [start + sum(t.size for t in tensors[:i]) for i in range(len(tensors))]
        assert start + sum(t.size for t in tensors) == len(data) and len({t.name for t in tensors}) == len(tensors)
        assert all(t.size == np.prod(t.shape, dtype=object) * np.dtype(t.dtype).itemsize for t in tensors)
    assert not convert_or_refuse(".safetensors", data) or tensors is not None


def test_names_options_and_metadata_without_a_place(tmp_path):
    vakra.save({"w": np.ones(2), "m": scipy.sparse.identity(2, format="csr")}, tmp_path / "m.vkr",
               metadata={"format": "pt"})
    for source, destination, text in [("m.vkr", "m.txt", "cannot tell the format"),
                                      ("a.npz", "b.npy", "one of the two must be a vakra file"),
                                      ("m.vkr", "x.safetensors.index.json", "does not write one")]:
        with pytest.raises(ValueError, match=text):
            vakra.convert(tmp_path / source, tmp_path / destination)
    with pytest.raises(ValueError, match="describe a vakra file"):
        vakra.convert(tmp_path / "m.vkr", tmp_path / "m.pt", compress=True)
    with pytest.warns(UserWarning, match="a torch.save file has no place for metadata; not carried: 'format'"):
        vakra.convert(tmp_path / "m.vkr", tmp_path / "m.pt")
