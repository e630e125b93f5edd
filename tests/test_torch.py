"""Tensors in (torch, DLPack, the array interface, any layout), tensors out."""

from __future__ import annotations

import subprocess
import sys
from collections import OrderedDict

import numpy as np
import pytest

torch = pytest.importorskip("torch")

import vakra  # noqa: E402
import vakra.torch as vtorch  # noqa: E402

TWINS = [torch.float32, torch.float64, torch.float16, torch.bfloat16, torch.complex64, torch.complex128,
         torch.bool, torch.int8, torch.int16, torch.int32, torch.int64, torch.uint8, torch.uint16,
         torch.uint32, torch.uint64]
MATRIX = torch.tensor([[0.0, 1.5, 0.0], [2.0, 0.0, -3.0]])


def every_kind() -> OrderedDict:
    values = OrderedDict((str(dtype), (torch.arange(24) % 7 - 2).reshape(2, 3, 4).to(dtype)) for dtype in TWINS)
    values.update(transposed=torch.arange(12.0).reshape(3, 4).t(), requires_grad=torch.nn.Parameter(torch.ones(3)),
                  scalar=torch.tensor(2.5, dtype=torch.bfloat16), coo=MATRIX.to_sparse_coo(),
                  csr=MATRIX.to_sparse_csr(), csc=MATRIX.to_sparse_csc())
    return values


def through_file(value, tmp_path):
    vakra.dump(value, tmp_path / "x.vkr")
    return vtorch.load(tmp_path / "x.vkr")


def through_buffer(value, tmp_path):
    buffer = bytearray(1 << 16)
    return vtorch.loads(buffer[:vakra.dump_into(value, buffer)])


@pytest.mark.parametrize("round_trip", [lambda value, _: vtorch.loads(vakra.dumps(value)), through_file,
                                        through_buffer], ids=["dumps", "dump", "dump_into"])
def test_every_dtype_and_layout_round_trips(round_trip, tmp_path):
    values = every_kind()
    assert torch.equal(round_trip(values["torch.bfloat16"], tmp_path), values["torch.bfloat16"])
    loaded = round_trip(values, tmp_path)
    assert list(loaded) == list(values)
    for name, want in values.items():
        got = loaded[name]
        assert (got.dtype, got.layout) == (want.dtype, want.layout), name
        assert torch.equal(got.to_dense(), want.detach().to_dense()), name


def test_bfloat16_encodes_without_ml_dtypes(monkeypatch):
    import ml_dtypes

    weights = torch.randn(3, 5).to(torch.bfloat16)
    as_numpy = weights.view(torch.int16).numpy().view(ml_dtypes.bfloat16)
    expected = [vakra.dumps(as_numpy), vakra.dumps({"w": as_numpy})]
    monkeypatch.setitem(sys.modules, "ml_dtypes", None)
    assert [vakra.dumps(weights), vakra.dumps({"w": weights})] == expected


def test_state_dict_loads_into_a_fresh_module(tmp_path):
    def model():
        return torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.BatchNorm1d(8), torch.nn.Embedding(5, 8))

    trained = model()
    trained[1].running_mean.add_(3)
    trained[1].num_batches_tracked.add_(7)
    vakra.dump(trained.state_dict(), tmp_path / "model.vkr")
    fresh = model()
    fresh.load_state_dict(vtorch.load(tmp_path / "model.vkr"))
    for (name, got), want in zip(fresh.state_dict().items(), trained.state_dict().values()):
        assert torch.equal(got, want), name


def test_in_place_writes_reach_only_writable_sources(tmp_path):
    packet = vakra.dumps({"a": torch.zeros(4)})
    for source, writable in ((packet, True), (bytearray(packet), False)):
        vtorch.loads(source, writable=writable)["a"].add_(1)
        assert source == packet
    buffer = bytearray(packet)
    vtorch.loads(buffer, writable=True)["a"].add_(1)
    assert vakra.loads(buffer)["a"].tolist() == [1.0] * 4
    path = tmp_path / "a.vkr"
    path.write_bytes(packet)
    tensor = vtorch.load(path, mmap=False)["a"].add_(2)
    assert tensor.tolist() == [2.0] * 4 and path.read_bytes() == packet
    # Writing into a tensor over a read-only mapping used to kill the process.
    child = f"import vakra.torch; t = vakra.torch.load({str(path)!r})['a']; t.add_(2); assert t.sum() == 8"
    assert subprocess.run([sys.executable, "-c", child], timeout=120).returncode == 0
    assert path.read_bytes() == packet


class DLPackWrapper:
    def __init__(self, array, device=(1, 0)):
        self.array, self.device = array, device

    def __dlpack__(self, **kwargs):
        return self.array.__dlpack__(**kwargs)

    def __dlpack_device__(self):
        return self.device


class InterfaceWrapper:
    def __init__(self, array):
        self.__array_interface__, self.array = array.__array_interface__, array


GRID = np.arange(24, dtype=np.float32).reshape(4, 6)


@pytest.mark.parametrize("value, expected", [
    (DLPackWrapper(GRID), GRID),
    (DLPackWrapper(GRID.T), GRID.T),
    (InterfaceWrapper(GRID[:, ::2]), GRID[:, ::2]),
    (np.asfortranarray(GRID), GRID),
    (GRID.astype(">i4")[::-1], GRID.astype(np.int32)[::-1]),
    (torch.from_numpy(GRID)[1:3, ::3], GRID[1:3, ::3]),
], ids=["dlpack", "dlpack-transposed", "array-interface-strided", "fortran", "swapped-reversed", "torch-sliced"])
def test_foreign_and_strided_arrays_encode_in_c_order(value, expected):
    for loaded in (vakra.loads(vakra.dumps(value)), vakra.loads(vakra.dumps({"x": value, "y": GRID}))["x"]):
        assert loaded.dtype == expected.dtype and np.array_equal(loaded, expected)


@pytest.mark.parametrize("value, device", [(torch.empty(3, device="meta"), "meta"),
                                           (DLPackWrapper(GRID, device=(2, 1)), "cuda:1")])
def test_arrays_off_the_cpu_are_refused_naming_the_device(value, device):
    for obj in (value, {"w": value}):
        with pytest.raises(ValueError, match=f"'{device}'"):
            vakra.dumps(obj)


def test_strings_and_quantized_stay_vakra_types():
    loaded = vtorch.loads(vakra.dumps({"labels": ["a", "b"], "q": vakra.quantize.quantize(np.linspace(-1, 1, 32))}))
    assert isinstance(loaded["labels"], vakra.StringTensor) and list(loaded["labels"]) == ["a", "b"]
    assert torch.equal(loaded["q"].dequantize(as_torch=True), torch.from_numpy(loaded["q"].dequantize()))


def test_without_torch_vakra_works_and_vakra_torch_says_what_to_install():
    child = ("import sys; sys.modules['torch'] = None\n"
             "import numpy, vakra; assert vakra.loads(vakra.dumps(numpy.ones(2))).sum() == 2\n"
             "try:\n    import vakra.torch\nexcept ImportError as e:\n    print(e)\n")
    result = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and "pip install torch" in result.stdout, result.stderr
