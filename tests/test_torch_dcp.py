"""vakra.torch.dcp under torch.distributed.checkpoint: a 2-rank gloo save of
DTensors with AdamW state, loaded on one rank and on two ranks sharded the
other way, bitwise, with nothing unpickled and only the overlapping bytes read."""

from __future__ import annotations

import json
import os
import pickle
import weakref
from contextlib import contextmanager
from unittest import mock

import numpy as np
import pytest

torch = pytest.importorskip("torch")

import torch.distributed as dist  # noqa: E402
import torch.distributed.checkpoint as dcp  # noqa: E402
import torch.multiprocessing as mp  # noqa: E402
from torch.distributed.checkpoint import DefaultSavePlanner  # noqa: E402
from torch.distributed.checkpoint.api import CheckpointException  # noqa: E402
from torch.distributed.tensor import DTensor, Replicate, Shard, distribute_tensor, init_device_mesh  # noqa: E402

import vakra  # noqa: E402
import vakra.torch as vtorch  # noqa: E402
from vakra._dcp.checkpoint_metadata import Chunk, StoredValue, TensorLayout, ValueLayout, write_layout  # noqa: E402
from vakra.torch import dcp as vdcp  # noqa: E402

SHAPES = {"0.weight": (64, 48), "0.bias": (64,), "1.weight": (24, 64), "1.bias": (24,)}


@contextmanager
def no_unpickling():
    """pickle's loaders and torch.load raise while the block runs."""
    def refuse(*args, **kwargs):
        raise AssertionError("a checkpoint written by vakra was unpickled")

    with mock.patch.object(pickle, "loads", refuse), mock.patch.object(pickle, "load", refuse), \
            mock.patch.object(torch, "load", refuse):
        yield


def trained_state(mesh):
    """A model's and AdamW's state, every parameter and moment a DTensor sharded by rows over `mesh`."""
    torch.manual_seed(0)
    model = torch.nn.Sequential(torch.nn.Linear(48, 64), torch.nn.Linear(64, 24))
    for module in model:
        for name, parameter in list(module.named_parameters()):
            module.register_parameter(name, torch.nn.Parameter(distribute_tensor(parameter.data, mesh, [Shard(0)])))
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-2)
    for parameter in model.parameters():
        parameter.grad = distribute_tensor(torch.randn(parameter.shape), mesh, [Shard(0)])
    optimizer.step()
    return {"model": model.state_dict(), "optim": optimizer.state_dict(), "rng": torch.get_rng_state(),
            "extra": {"epoch": 3, "tag": "run-7", "scale": 0.5}}


def like(state, make_tensor):
    """The state's structure with each tensor replaced by `make_tensor(name, tensor)` and other values by None."""
    def walk(value, name):
        if isinstance(value, dict):
            return {key: walk(item, f"{name}.{key}") for key, item in value.items()}
        if isinstance(value, list):
            return [walk(item, f"{name}.{index}") for index, item in enumerate(value)]
        return make_tensor(name, value) if isinstance(value, torch.Tensor) else None
    return walk(state, "")


def full(value):
    return value.full_tensor() if isinstance(value, DTensor) else value


def flat(state, prefix=""):
    """name -> value of every leaf of a nested state, lists of dicts by index."""
    items = state.items() if isinstance(state, dict) else enumerate(state)
    out = {}
    for key, value in items:
        if isinstance(value, dict) or isinstance(value, list) and value and isinstance(value[0], dict):
            out.update(flat(value, f"{prefix}{key}."))
        else:
            out[f"{prefix}{key}"] = value
    return out


def rank_main(rank, directory):
    # Both ranks talk over loopback: the host name may resolve to an address this machine cannot reach.
    os.environ["GLOO_SOCKET_IFNAME"] = "lo"
    dist.init_process_group("gloo", init_method=f"file://{directory}/rendezvous", rank=rank, world_size=2)
    mesh = init_device_mesh("cpu", (2,))
    state = trained_state(mesh)
    dcp.save(state, storage_writer=vdcp.Writer(f"{directory}/ckpt", thread_count=2))
    reference = {name: full(value) for name, value in flat(state).items() if isinstance(value, torch.Tensor)}
    if rank == 0:
        vtorch.save(reference, f"{directory}/reference.vkr")
    # Loaded sharded by columns where it was saved by rows (vectors: replicated).
    into = like(state, lambda name, tensor: distribute_tensor(
        torch.zeros(tensor.shape, dtype=tensor.dtype), mesh, [Shard(tensor.dim() - 1) if tensor.dim() > 1 else
                                                              Replicate()]) if isinstance(tensor, DTensor)
        else torch.zeros_like(tensor))
    reader = vdcp.Reader(f"{directory}/ckpt")
    with no_unpickling():
        dcp.load(into, storage_reader=reader)
    loaded = flat(into)
    equal = all(torch.equal(full(loaded[name]), tensor) for name, tensor in reference.items())
    needed = sum(value.to_local().nbytes if isinstance(value, DTensor) else value.nbytes
                 for value in loaded.values() if isinstance(value, torch.Tensor))
    others = {name: value for name, value in loaded.items() if not isinstance(value, torch.Tensor)}
    with open(f"{directory}/rank{rank}.json", "w") as report:
        json.dump({"equal": equal, "read": reader.bytes_read, "needed": needed, "counted": reader.bytes_needed,
                   "others": repr(sorted(others.items()))}, report)
    dist.destroy_process_group()


@pytest.fixture(scope="module")
def checkpoint(tmp_path_factory):
    directory = tmp_path_factory.mktemp("dcp")
    mp.spawn(rank_main, args=(str(directory),), nprocs=2, join=True)
    return directory


def expected_others():
    state = {"optim": torch.optim.AdamW([torch.nn.Parameter(torch.ones(1))] * 4, lr=1e-2).state_dict(),
             "extra": {"epoch": 3, "tag": "run-7", "scale": 0.5}}
    state["optim"]["param_groups"][0]["params"] = [0, 1, 2, 3]
    return {name: value for name, value in flat(state).items() if name != "optim.state"}


def test_two_ranks_load_resharded_bitwise_reading_only_what_overlaps(checkpoint):
    for rank in (0, 1):
        report = json.loads((checkpoint / f"rank{rank}.json").read_text())
        assert report["equal"] and report["counted"] == report["needed"]
        assert report["needed"] <= report["read"] <= 1.1 * report["needed"], report
        assert report["others"] == repr(sorted(expected_others().items()))


def test_one_rank_loads_the_whole_checkpoint_without_unpickling(checkpoint):
    reference = vtorch.load_file(checkpoint / "reference.vkr")
    state_names = [name for name in reference if name.startswith("optim.state.")]
    assert len(state_names) == 12 and all((checkpoint / "ckpt" / f"__{rank}_{k}.vkr").is_file()
                                          for rank in (0, 1) for k in (0, 1))
    groups = [{name.rsplit(".", 1)[1]: None for name in expected_others() if name.startswith("optim.param_groups.0.")}]
    into = {"model": {name: torch.zeros(shape) for name, shape in SHAPES.items()},
            "optim": {"state": {}, "param_groups": groups}, "rng": torch.zeros_like(reference["rng"]),
            "extra": {"epoch": None, "tag": None, "scale": None}}
    for name in state_names:
        _, _, index, key = name.split(".")
        into["optim"]["state"].setdefault(int(index), {})[key] = torch.zeros_like(reference[name])
    reader = vdcp.Reader(checkpoint / "ckpt")
    with no_unpickling(), mock.patch.object(pickle, "Unpickler", None):
        dcp.load(into, storage_reader=reader)
    loaded = flat(into)
    assert all(torch.equal(loaded[name], tensor) for name, tensor in reference.items())
    assert {name: loaded[name] for name in expected_others()} == expected_others()
    assert reader.bytes_read == reader.bytes_needed == sum(tensor.nbytes for tensor in reference.values())


def test_consolidated_checkpoint_loads_without_torch_distributed(checkpoint, tmp_path):
    vakra.convert(checkpoint / "ckpt", tmp_path / "whole.vkr")
    reference = vakra.load_file(checkpoint / "reference.vkr")
    whole = vakra.load_file(tmp_path / "whole.vkr")
    assert sorted(whole) == sorted(reference)
    assert all(np.array_equal(whole[name], array) and whole[name].dtype == array.dtype
               for name, array in reference.items())


class Staging(DefaultSavePlanner):
    """Hands out every tensor as a new copy (as a planner staging from a device does) and
    checks that the copies handed out before are gone."""

    def __init__(self):
        super().__init__()
        self.copies = []

    def resolve_data(self, item):
        assert all(copy() is None for copy in self.copies), "a tensor was kept after its bytes were written"
        staged = super().resolve_data(item).numpy().copy()
        self.copies.append(weakref.ref(staged))  # the tensor's memory lives as long as this array
        return torch.from_numpy(staged)


def test_save_keeps_no_staged_tensor_and_integrity_is_checked_on_load(tmp_path):
    state = {f"layer{index}": torch.randn(64, 32) for index in range(4)}
    dcp.save(state, storage_writer=vdcp.Writer(tmp_path, check_integrity=True), planner=Staging())
    into = {name: torch.zeros_like(tensor) for name, tensor in state.items()}
    dcp.load(into, storage_reader=vdcp.Reader(tmp_path))
    assert all(torch.equal(into[name], tensor) for name, tensor in state.items())
    with vakra.open(tmp_path / "__0_0.vkr") as file:
        offset, length = file.byte_range("layer2@0,0")
    with open(tmp_path / "__0_0.vkr", "r+b") as damaged:
        damaged.seek(offset + length - 100)
        damaged.write(b"\xff")
    with pytest.raises(CheckpointException, match="Integrity check failed.*'layer2@0,0'"):
        dcp.load(into, storage_reader=vdcp.Reader(tmp_path))


@pytest.mark.parametrize("layout, refusal", [
    (ValueLayout(StoredValue("../elsewhere.vkr", "x")), "'../elsewhere.vkr' is not a file of the checkpoint"),
    (TensorLayout("float32", (4,), [Chunk((2,), (4,), StoredValue("__0_0.vkr", "x"))]), "outside its tensor"),
    (TensorLayout("object", (4,), []), "names no dtype vakra stores"),
])
def test_metadata_that_leads_astray_is_refused(layout, refusal, tmp_path):
    write_layout(str(tmp_path), {"x": layout}, {}, durable=False)
    with pytest.raises(ValueError, match=refusal):
        vdcp.Reader(tmp_path).read_metadata()
