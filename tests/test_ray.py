"""vakra values, packets, tensors and model files through a local Ray: each comes back equal, and the arrays and
tensors that ray.get gives view the object store (two gets of one object share their memory)."""

import pickle

import ml_dtypes
import numpy as np
import pytest

ray = pytest.importorskip("ray")
torch = pytest.importorskip("torch")

import vakra  # noqa: E402
import vakra.ray  # noqa: E402
import vakra.torch  # noqa: E402
from samples import VALUES, arrays_in, assert_same, torch_equal  # noqa: E402
from test_torch import VALUES as TENSORS  # noqa: E402  (every dtype and layout)

KINDS = {name: VALUES[name] for name in ("weights", "csr", "qint8", "string tensor")}
KINDS["bfloat16"] = np.arange(4096, dtype=ml_dtypes.bfloat16)  # bodies under 4 KiB ride, copied, in the framing
KINDS["dict"] = dict(KINDS)
DECODED = {name: vakra.loads(vakra.dumps(value)) for name, value in KINDS.items()}


@pytest.fixture(scope="module")
def gets():
    """ray.get twice of one object; the workers register through the setup hook, as the README says."""
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             runtime_env={"worker_process_setup_hook": "vakra.ray.register"})
    vakra.ray.register()
    yield lambda ref: (ray.get(ref), ray.get(ref))
    ray.shutdown()


@pytest.mark.parametrize("name", DECODED)
def test_decoded_values_arrive_as_read_only_views_of_the_store(gets, name):
    first, second = gets(ray.put(DECODED[name]))
    assert_same(KINDS[name], first)
    assert all(not a.flags.writeable and np.shares_memory(a, b) for a, b in zip(arrays_in(first), arrays_in(second)))


def test_tensors_of_every_dtype_and_layout_arrive_viewing_the_store(gets):
    large = {"grad": torch.ones(1024, requires_grad=True), "bfloat16": torch.ones(4096, dtype=torch.bfloat16)}
    first, second = gets(ray.put({**TENSORS, **large, "conj": torch.ones(2, dtype=torch.complex64).conj()}))
    torch_equal({**TENSORS, **large, "conj": torch.ones(2, dtype=torch.complex64)}, first)
    assert first["grad"].requires_grad and first["conj"].is_conj()  # the conjugate view went by torch's pickle
    assert all(first[key].data_ptr() == second[key].data_ptr() for key in large)  # bodies of 4 KiB or more
    first, second = gets(ray.remote(lambda n: torch.arange(n, dtype=torch.float32)).remote(1 << 18))  # worker's hook
    assert torch.equal(first, torch.arange(1 << 18, dtype=torch.float32)) and first.data_ptr() == second.data_ptr()


def test_packets_travel_as_one_buffer_and_decode_views(gets):
    packet = vakra.dumps({"x": np.arange(4096.0), "s": ["a", "b"]})
    first, second = gets(ray.put(vakra.ray.Packet(packet + b"after the packet")))
    assert bytes(first) == packet and np.shares_memory(vakra.loads(first.data)["x"], vakra.loads(second.data)["x"])
    assert bytes(pickle.loads(pickle.dumps(first, 4))) == bytes(pickle.loads(pickle.dumps(first, 5))) == packet
    with pytest.raises(ValueError, match="not a whole vakra packet: 1 more bytes needed"):
        vakra.ray.Packet(packet[:-1])


def test_model_files_pickle_as_their_path_and_reopen(gets, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    vakra.save({"w": np.arange(6.0)}, "model.vkr")
    assert ray.get(ray.remote(lambda file: file["w"].sum()).remote(vakra.open("model.vkr"))) == 15.0
    copied = pickle.loads(pickle.dumps(vakra.torch.open("model.vkr")))
    assert type(copied) is vakra.torch.File and copied["w"].add_(1)[0] == 1  # writable as it was opened
    copied.close()
    with pytest.raises(ValueError, match="closed vakra.File"):
        pickle.dumps(copied)
