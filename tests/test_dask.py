"""The "vakra" Dask family on a real cluster: every kind it takes moves worker to worker and client to worker
through it, arriving writable and with its type; what it refuses moves through Dask's other families."""

import numpy as np
import pytest
import scipy.sparse

distributed = pytest.importorskip("distributed")

import vakra  # noqa: E402
import vakra.dask  # noqa: E402
from samples import VALUES, arrays_in, assert_same  # noqa: E402
from vakra.dask import SERIALIZERS, Bundle  # noqa: E402

TAKEN = {name: VALUES[name] for name in ("weights", "csr", "csc", "coo", "csr_array", "string tensor", "qint8")}
TAKEN["bundle"] = Bundle(x=VALUES["weights"], labels=VALUES["string tensor"],
                         inner=Bundle(m=scipy.sparse.coo_array(VALUES["coo"])))
TAKEN["dict"] = {"x": np.ones((3, 3), np.int16), "y": np.arange(4, dtype=np.uint64)}
# Bodies of 64 KiB or more travel as frames, the pieces between them in the header, or as frames of their own
# once they add up to more than 64 KiB.
TAKEN["large csr"] = scipy.sparse.random(300, 200, density=0.5, format="csr", random_state=1, dtype=np.float32)
TAKEN["many small arrays"] = Bundle({f"a{i}": np.full(1024 + i, i, np.float32) for i in range(40)})
TAKEN["tree"] = Bundle({0: {"step": 3, "exp_avg": VALUES["weights"]}, "betas": (0.9, 0.999), "lr": np.float32(0.5),
                        "m": VALUES["csr_array"], "labels": ["a", "b"]})
REFUSED = {name: VALUES[name] for name in ("list of str", "numpy scalar", "transposed")}


def make(kind):
    return {**TAKEN, **REFUSED}[kind]


def received(value, kind):
    """What the receiving worker saw: the type, and whether every array is writable."""
    if kind in TAKEN:
        assert_same(make(kind), value)
    return type(value).__name__, all(a.flags.writeable for a in arrays_in(value))


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
    for kind in [*TAKEN, *REFUSED]:
        made = client.submit(make, kind, workers=[a], pure=False)
        seen = client.submit(received, made, kind, workers=[b], pure=False)
        assert seen.result(timeout=20) == (type(make(kind)).__name__, True), kind
        [scattered] = client.scatter([make(kind)], workers=[a])
        assert client.submit(received, scattered, kind, workers=[b], pure=False).result(timeout=20)[1], kind
        if kind in TAKEN:
            assert_same(make(kind), scattered.result(timeout=20))
    # The family carried every kind it takes, both ways (Dask sends a plain dict's values one by one).
    expected = {type(value).__name__ for value in TAKEN.values()} - {"dict"}
    seen = client.run(lambda dask_worker: set(dask_worker.vakra_seen))
    assert seen == {a: expected, b: expected}


def test_index_arrays_handed_over_in_frames_are_checked():
    # The family views index arrays where Dask received them: the check runs on those very bytes.
    matrix = TAKEN["large csr"]
    header, frames = vakra.dask.serialize(matrix)
    received = [bytearray(frame) for frame in frames]
    [indices] = [frame for frame in received if frame == matrix.indices.tobytes()]
    np.frombuffer(indices, np.int32)[7] = matrix.shape[1]
    with pytest.raises(ValueError, match="^Malformed vakra packet$"):
        vakra.dask.deserialize(header, received)


@pytest.mark.parametrize("options", [{"vakra.check-integrity": True}, {"vakra.compress": True},
                                     {"vakra.check-integrity": True, "vakra.compress": True}],
                         ids=["check-integrity", "compress", "both"])
@pytest.mark.parametrize("value", [np.arange(1000.0), np.arange(20000.0).reshape(100, 200)],
                         ids=["in the header", "in a frame"])
def test_config_options_shape_every_packet(options, value):
    import dask.config

    with dask.config.set(options):
        header, frames = vakra.dask.serialize(value)
    pieces = header.get("pieces", [b""])  # the packet is pieces[0], frames[0], pieces[1], ... pieces[-1]
    packet = b"".join(bytes(part) for pair in zip(pieces, [*frames, b""], strict=True) for part in pair)
    facts = vakra.info(packet)
    assert (facts["integrity_protected"], facts["compressed"]) == (options.get("vakra.check-integrity", False),
                                                                   options.get("vakra.compress", False))
    assert_same(value, vakra.dask.deserialize(header, [bytearray(memoryview(frame).cast("B")) for frame in frames]))
