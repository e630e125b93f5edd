"""Tensors in (torch, DLPack, the array interface, any layout), tensors out.

The README loads a bfloat16 state_dict back into a fresh module."""

from __future__ import annotations

import subprocess
import sys
from collections import OrderedDict
from types import SimpleNamespace

import numpy as np
import pytest

torch = pytest.importorskip("torch")

import vakra  # noqa: E402
import vakra.torch as vtorch  # noqa: E402
from samples import assert_same_tree, torch_equal  # noqa: E402

TWINS = [torch.float32, torch.float64, torch.float16, torch.bfloat16, torch.complex64, torch.complex128,
         torch.bool, torch.int8, torch.int16, torch.int32, torch.int64, torch.uint8, torch.uint16,
         torch.uint32, torch.uint64]
MATRIX = torch.tensor([[0.0, 1.5, 0.0], [2.0, 0.0, -3.0]])


VALUES = OrderedDict((str(dtype), (torch.arange(24) % 7 - 2).reshape(2, 3, 4).to(dtype)) for dtype in TWINS)
VALUES.update(transposed=torch.arange(12.0).reshape(3, 4).t(), requires_grad=torch.nn.Parameter(torch.ones(3)),
              scalar=torch.tensor(2.5, dtype=torch.bfloat16), coo=MATRIX.to_sparse_coo(),
              csr=MATRIX.to_sparse_csr(), csc=MATRIX.to_sparse_csc(),  # and indices unsorted and repeated:
              unsorted=torch.sparse_csr_tensor(torch.tensor([0, 3, 4]), torch.tensor([2, 0, 2, 1]), torch.ones(4), (2, 3)))


def through_model_file(value, directory):
    vtorch.save({"v": value}, directory / "model.vkr")
    return vtorch.load_file(directory / "model.vkr")["v"]


@pytest.mark.parametrize("round_trip", [lambda value, _: vtorch.loads(vakra.dumps(value)),
                                        lambda value, _: vtorch.loads(vakra.dumps(value, compress=True)),
                                        lambda value, _: vtorch.loads_frames(vakra.dumps_frames(value)),
                                        lambda value, tmp: vakra.dump(value, tmp / "x") or vtorch.load(tmp / "x"),
                                        through_model_file],
                         ids=["bytes", "compressed", "frames", "file", "model file"])
def test_every_dtype_and_layout_round_trips(round_trip, tmp_path):
    assert torch.equal(round_trip(VALUES["torch.bfloat16"], tmp_path), VALUES["torch.bfloat16"])
    quantized = vakra.quantize.quantize(np.linspace(-1, 1, 32))
    loaded = round_trip({**VALUES, "labels": ["a", "b"], "q": quantized}, tmp_path)
    assert list(loaded.pop("labels")) == ["a", "b"] and loaded.pop("q") == quantized  # vakra's own types stay
    assert torch.equal(quantized.dequantize(as_torch=True), torch.from_numpy(quantized.dequantize()))
    torch_equal(VALUES, loaded)


def test_in_place_writes_reach_only_writable_sources(tmp_path):
    packet = vakra.dumps({"a": torch.zeros(4)})
    for source, writable in ((packet, True), (bytearray(packet), False), (bytearray(packet), True)):
        vtorch.loads(source, writable=writable)["a"].add_(1)
        assert (source == packet) != (writable and isinstance(source, bytearray))
    path = tmp_path / "a.vkr"
    path.write_bytes(packet)
    assert vtorch.load(path, mmap=False)["a"].add_(2).tolist() == [2.0] * 4
    # Writing into a tensor over a read-only mapping used to kill the process.
    child = f"import vakra.torch; t = vakra.torch.load({str(path)!r})['a']; t.add_(2); assert t.sum() == 8"
    assert subprocess.run([sys.executable, "-c", child], timeout=120).returncode == 0
    assert path.read_bytes() == packet


def dlpack(array, device=(1, 0)):
    return SimpleNamespace(__dlpack__=array.__dlpack__, __dlpack_device__=lambda: device)


GRID = np.arange(24, dtype=np.float32).reshape(4, 6)


@pytest.mark.parametrize("value, expected", [
    (dlpack(GRID), GRID),
    (SimpleNamespace(__array_interface__=GRID[:, ::2].__array_interface__, base=GRID), GRID[:, ::2]),
    (torch.from_numpy(GRID)[1:3, ::3], GRID[1:3, ::3]),
], ids=["dlpack", "array-interface-strided", "torch-sliced"])
def test_foreign_arrays_in_any_layout_encode_in_c_order(value, expected):
    for loaded in (vakra.loads(vakra.dumps(value)), vakra.loads(vakra.dumps({"x": value, "y": GRID}))["x"]):
        assert loaded.dtype == expected.dtype and np.array_equal(loaded, expected)


@pytest.mark.parametrize("value, device", [(torch.empty(3, device="meta"), "meta"),
                                           (dlpack(GRID, device=(2, 1)), "cuda:1")])
def test_arrays_off_the_cpu_are_refused_naming_the_device(value, device):
    with pytest.raises(ValueError, match=f"'{device}'"):
        vakra.dumps({"w": value})


def batch_normed():
    model = torch.nn.Sequential(torch.nn.Linear(4, 6), torch.nn.BatchNorm1d(6)).to(torch.bfloat16)
    model(torch.randn(5, 4, dtype=torch.bfloat16))  # running statistics and a batch count to keep
    return model


def tied():
    model = torch.nn.ModuleDict({"embed": torch.nn.Embedding(100, 32), "head": torch.nn.Linear(32, 100, bias=False)})
    model["head"].weight = model["embed"].weight
    return model


MODULES = {
    "transformer": lambda: torch.nn.Transformer(d_model=16, nhead=2, num_encoder_layers=2, num_decoder_layers=2,
                                                dim_feedforward=32, batch_first=True),
    "24-layer encoder": lambda: torch.nn.TransformerEncoder(  # 288 tensors
        torch.nn.TransformerEncoderLayer(16, 2, 32, batch_first=True), 24),
    "lstm": lambda: torch.nn.LSTM(8, 16, num_layers=2),
    "bfloat16 with batch norm": batch_normed,
    "tied embedding": tied,  # stored once, loaded as one tensor
}


@pytest.mark.parametrize("make", MODULES.values(), ids=MODULES.keys())
def test_model_files_load_into_real_modules(make, tmp_path):
    torch.manual_seed(0)
    model, fresh = make(), make()
    path = tmp_path / "model.vkr"
    vtorch.save(model.state_dict(), path, metadata={"module": type(model).__name__})
    loaded, expected = vtorch.load_file(path), model.state_dict()
    read = vtorch.load_file(path, mmap=False)  # into tensors' own memory
    assert all(torch.equal(read[name], value) for name, value in expected.items())
    with pytest.raises(ValueError, match="is a model file .* vakra.torch.load_file"):
        vtorch.load(path)  # its first packet is the file's index, not the state_dict
    fresh.load_state_dict(loaded)
    assert all(torch.equal(value, expected[name]) for name, value in fresh.state_dict().items())
    original, storages = path.read_bytes(), len({tensor.data_ptr() for tensor in expected.values()})
    with vtorch.open(path) as file:
        assert list(file) == list(expected) and file.metadata == {"module": type(model).__name__}
        opened = {name: file[name] for name in file}
        assert len({tensor.data_ptr() for tensor in opened.values()}) == storages  # ties kept, nothing else joined
        next(iter(opened.values())).add_(1)  # writable; copy-on-write, so the file keeps its bytes
    assert path.read_bytes() == original and len({tensor.data_ptr() for tensor in loaded.values()}) == storages


@pytest.mark.parametrize("make_optimizer, make_scheduler", [
    (lambda p: torch.optim.Adam(p, lr=0.01), lambda o: torch.optim.lr_scheduler.LambdaLR(o, lambda step: 0.9 ** step)),
    (lambda p: torch.optim.AdamW(p, lr=0.01, amsgrad=True),
     lambda o: torch.optim.lr_scheduler.OneCycleLR(o, max_lr=0.05, total_steps=20)),
    (lambda p: torch.optim.SGD(p, lr=0.01, momentum=0.9), lambda o: torch.optim.lr_scheduler.CosineAnnealingLR(o, 10)),
], ids=["adam-lambda", "adamw-amsgrad-onecycle", "sgd-momentum-cosine"])
def test_a_training_state_resumes_bit_identically(make_optimizer, make_scheduler, tmp_path):
    import random

    def fresh():
        torch.manual_seed(0)
        model = torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.Tanh(), torch.nn.Linear(8, 1))
        optimizer = make_optimizer(model.parameters())
        return model, optimizer, make_scheduler(optimizer), torch.amp.GradScaler("cpu")

    def train(parts, steps, rng):
        model, optimizer, scheduler, scaler = parts
        for _ in range(steps):
            batch = torch.from_numpy(rng.standard_normal((5, 4)).astype(np.float32)) + random.random() + np.random.rand()
            loss = (model(batch + torch.rand(1)) ** 2).mean()
            optimizer.zero_grad()
            scaler.scale(loss).backward()
            scaler.step(optimizer)
            scaler.update()
            scheduler.step()

    def state(parts, rng):
        model, optimizer, scheduler, scaler = parts
        return {"model": model.state_dict(), "optimizer": optimizer.state_dict(), "scheduler": scheduler.state_dict(),
                "scaler": scaler.state_dict(), "random": random.getstate(), "numpy": np.random.get_state(),
                "generator": rng.bit_generator.state, "torch": torch.get_rng_state()}

    def restore(saved):
        parts, rng = fresh(), np.random.default_rng()
        for part, key in zip(parts, ("model", "optimizer", "scheduler", "scaler")):
            part.load_state_dict(saved[key])
        random.setstate(saved["random"]), np.random.set_state(saved["numpy"]), torch.set_rng_state(saved["torch"])
        rng.bit_generator.state = saved["generator"]
        return parts, rng

    parts, rng = fresh(), np.random.default_rng(1)
    train(parts, 4, rng)
    vakra.torch.save(state(parts, rng), tmp_path / "state.vkr")
    packet = vakra.dumps({**state(parts, rng), "shape": torch.Size([4, 8])})
    legacy = state(parts, rng)  # weights_only refuses NumPy arrays: the legacy generator's keys as ints
    legacy["numpy"] = (legacy["numpy"][0], legacy["numpy"][1].tolist(), *legacy["numpy"][2:])
    torch.save(legacy, tmp_path / "state.pt")
    # The converter's way there and back, re-packed (compressed) on the way: the tree is kept each time.
    vakra.convert(tmp_path / "state.pt", tmp_path / "converted.vkr")
    vakra.convert(tmp_path / "converted.vkr", tmp_path / "repacked.vkr", compress=True)
    vakra.convert(tmp_path / "repacked.vkr", tmp_path / "back.pt")
    converted = vakra.torch.load_file(tmp_path / "repacked.vkr"), torch.load(tmp_path / "back.pt", weights_only=True)
    for tree in converted:
        assert_same_tree(torch.load(tmp_path / "state.pt", weights_only=True), tree)
    train(parts, 3, rng)
    expected = [p.detach().clone() for p in parts[0].parameters()]
    from_packet = vakra.torch.loads(packet)
    assert type(from_packet.pop("shape")) is torch.Size
    for saved in (vakra.torch.load_file(tmp_path / "state.vkr"), from_packet,
                  torch.load(tmp_path / "state.pt", weights_only=True), *converted):
        resumed, resumed_rng = restore(saved)
        train(resumed, 3, resumed_rng)
        assert all(torch.equal(a, b) for a, b in zip(expected, resumed[0].parameters()))
