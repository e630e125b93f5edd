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

TWINS = [torch.float32, torch.float64, torch.float16, torch.bfloat16, torch.complex64, torch.complex128,
         torch.bool, torch.int8, torch.int16, torch.int32, torch.int64, torch.uint8, torch.uint16,
         torch.uint32, torch.uint64]
MATRIX = torch.tensor([[0.0, 1.5, 0.0], [2.0, 0.0, -3.0]])


VALUES = OrderedDict((str(dtype), (torch.arange(24) % 7 - 2).reshape(2, 3, 4).to(dtype)) for dtype in TWINS)
VALUES.update(transposed=torch.arange(12.0).reshape(3, 4).t(), requires_grad=torch.nn.Parameter(torch.ones(3)),
              scalar=torch.tensor(2.5, dtype=torch.bfloat16), coo=MATRIX.to_sparse_coo(),
              csr=MATRIX.to_sparse_csr(), csc=MATRIX.to_sparse_csc())


@pytest.mark.parametrize("round_trip", [lambda value, _: vtorch.loads(vakra.dumps(value)),
                                        lambda value, _: vtorch.loads(vakra.dumps(value, compress=True)),
                                        lambda value, tmp: vakra.dump(value, tmp / "x") or vtorch.load(tmp / "x")],
                         ids=["bytes", "compressed", "file"])
def test_every_dtype_and_layout_round_trips(round_trip, tmp_path):
    assert torch.equal(round_trip(VALUES["torch.bfloat16"], tmp_path), VALUES["torch.bfloat16"])
    quantized = vakra.quantize.quantize(np.linspace(-1, 1, 32))
    loaded = round_trip({**VALUES, "labels": ["a", "b"], "q": quantized}, tmp_path)
    assert list(loaded.pop("labels")) == ["a", "b"] and loaded.pop("q") == quantized  # vakra's own types stay
    assert torch.equal(quantized.dequantize(as_torch=True), torch.from_numpy(quantized.dequantize()))
    assert list(loaded) == list(VALUES)
    for name, want in VALUES.items():
        got = loaded[name]
        assert (got.dtype, got.layout, torch.equal(got.to_dense(), want.detach().to_dense())) == \
            (want.dtype, want.layout, True), name


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
