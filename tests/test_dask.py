import numpy as np
import pytest
import scipy.sparse

distributed = pytest.importorskip("distributed")

import vakra  # noqa: E402
from test_frames import assert_same  # noqa: E402
from vakra.dask import SERIALIZERS, Bundle  # noqa: E402
from vakra.quantize import quantize  # noqa: E402

TAKEN = ["array", "csr_matrix", "csc_matrix", "coo_matrix", "csr_array", "strings", "quantized", "bundle", "dict"]
REFUSED = ["list of str", "numpy scalar", "fortran array"]


def make(kind):
    rng = np.random.default_rng(len(kind))
    sparse = {name: scipy.sparse.random(30, 20, density=0.2, format=name[:3], dtype=np.float32, rng=rng)
              for name in ("csr_matrix", "csc_matrix", "coo_matrix")}
    return {
        "array": lambda: rng.standard_normal((64, 32), dtype=np.float32),
        **{name: (lambda m=m: m) for name, m in sparse.items()},
        "csr_array": lambda: scipy.sparse.csr_array(sparse["csr_matrix"]),
        "strings": lambda: vakra.StringTensor(["cat", "émeu", ""] * 20),
        "quantized": lambda: quantize(rng.standard_normal((8, 16)), "qint8", axis=0),
        "bundle": lambda: Bundle(x=np.arange(10.0), labels=vakra.StringTensor(["a"]),
                                 inner=Bundle(m=scipy.sparse.coo_array(sparse["coo_matrix"]))),
        "dict": lambda: {"x": np.ones((3, 3), np.int16), "y": np.arange(4, dtype=np.uint64)},
        "list of str": lambda: ["a", "b"],
        "numpy scalar": lambda: np.float64(2.5),
        "fortran array": lambda: np.asfortranarray(np.ones((4, 5))),
    }[kind]()


def arrays(value):
    if isinstance(value, np.ndarray):
        return [value]
    if isinstance(value, dict):
        return [array for item in value.values() for array in arrays(item)]
    if scipy.sparse.issparse(value):
        return [value.data]
    if isinstance(value, vakra.QuantizedTensor):
        return [value.data, value.scales, value.zero_points]
    return []


def received(value, kind):
    """What the receiving worker saw: the type, and whether every array is writable."""
    assert_same(value, make(kind))
    return type(value).__name__, all(a.flags.writeable for a in arrays(value))


def count_family_loads(dask_worker):
    """Wraps the family's deserializer in a worker to record the types it produces there."""
    from distributed.protocol.serialize import families

    dumps, loads, context = families["vakra"]
    dask_worker.vakra_seen = seen = []

    def counted(header, frames):
        seen.append(type(value := loads(header, frames)).__name__)
        return value

    families["vakra"] = (dumps, counted, context)


@pytest.fixture(scope="module")
def client():
    # Workers get the family from the preload alone (the README shows the explicit serializers= route).
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, preload=["vakra.dask"])
    with cluster, distributed.Client(cluster, serializers=SERIALIZERS, deserializers=SERIALIZERS) as client:
        client.run(count_family_loads)
        yield client


def test_values_move_worker_to_worker_and_client_to_worker(client):
    a, b = sorted(client.scheduler_info()["workers"])
    for kind in TAKEN + REFUSED:
        made = client.submit(make, kind, workers=[a], pure=False)
        seen = client.submit(received, made, kind, workers=[b], pure=False)
        assert seen.result(timeout=20) == (type(make(kind)).__name__, True), kind
        [scattered] = client.scatter([make(kind)], workers=[a])
        assert client.submit(received, scattered, kind, workers=[b], pure=False).result(timeout=20)[1], kind
        assert_same(scattered.result(timeout=20), make(kind))
    # The family carried every kind it takes, both ways (Dask sends a plain dict's values one by one).
    expected = {type(make(kind)).__name__ for kind in TAKEN} - {"dict"}
    seen = client.run(lambda dask_worker: set(dask_worker.vakra_seen))
    assert seen == {a: expected, b: expected}
