"""``vakra demo``: a realistic bundle written, mapped back and timed.

The bundle is what a small model checkpoint or a graph-learning batch looks
like: float32 weights, a sparse CSR adjacency matrix, string labels and a
qint8 copy of the weights. It goes to a file in a temporary directory, comes
back memory-mapped, is checked against the original, printed as a tree and
timed against pickle and numpy.savez on the same data.
"""

from __future__ import annotations

import os
import pickle
import tempfile
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from .._io import packets, streams
from ..quantize import QuantizedTensor, quantize
from ..ragged import StringTensor
from .tree_text import human_size, render_tree

__all__ = ["build_bundle", "run"]

NODES = 4096
FEATURES = 512
EDGES_PER_NODE = 8


def build_bundle(seed: int = 7) -> dict[str, Any]:
    import scipy.sparse

    rng = np.random.default_rng(seed)
    weights = rng.standard_normal((NODES // 4, FEATURES), dtype=np.float32)
    rows = np.repeat(np.arange(NODES), EDGES_PER_NODE)
    cols = rng.integers(0, NODES, size=rows.size)
    adjacency = scipy.sparse.csr_matrix((np.ones(rows.size, np.float32), (rows, cols)), shape=(NODES, NODES))
    labels = StringTensor(f"node-{index:05d}/{'abcdefgh'[index % 8]}" for index in range(NODES))
    return {
        "weights": weights,
        "adjacency": adjacency,
        "labels": labels,
        "weights_qint8": quantize(weights, "qint8", axis=0),
    }


def run(repeat: int = 5, out: Callable[[str], None] = print) -> None:
    bundle = build_bundle()
    with tempfile.TemporaryDirectory(prefix="vakra-demo-") as directory:
        path = os.path.join(directory, "bundle.vkr")
        packets.dump(bundle, path, check_integrity=True)
        loaded = streams.load(path)
        _check_round_trip(bundle, loaded)
        weights = loaded["weights"]
        out(f"wrote {human_size(os.path.getsize(path))} to {path}, loaded it back memory-mapped:")
        out(f"  weights {weights.shape} {weights.dtype}: read-only view of the mapped file: "
            f"{not weights.flags.writeable and not weights.flags.owndata}")
        out(f"  round trip: every value identical; qint8 weights within "
            f"{_max_quantization_error(bundle):.4f} of the float32 ones")
        out("")
        with open(path, "rb") as handle:
            tree = streams.info(handle.read())
        for line in render_tree(tree, "bundle.vkr"):
            out(line)
        del loaded, weights
        out("")
        for line in _timing_table(bundle, directory, repeat):
            out(line)


def _check_round_trip(bundle: dict[str, Any], loaded: dict[str, Any]) -> None:
    problems = []
    if not np.array_equal(bundle["weights"], loaded["weights"]):
        problems.append("weights")
    if (bundle["adjacency"] != loaded["adjacency"]).nnz:
        problems.append("adjacency")
    if bundle["labels"] != loaded["labels"]:
        problems.append("labels")
    if bundle["weights_qint8"] != loaded["weights_qint8"]:
        problems.append("weights_qint8")
    if problems:
        raise AssertionError(f"round trip changed {', '.join(problems)}")


def _max_quantization_error(bundle: dict[str, Any]) -> float:
    restored = bundle["weights_qint8"].dequantize()
    return float(np.abs(restored - bundle["weights"]).max())


def _timing_table(bundle: dict[str, Any], directory: str, repeat: int) -> list[str]:
    contenders = [
        ("vakra", _vakra(bundle, directory, check_integrity=False)),
        ("vakra, checksums", _vakra(bundle, directory, check_integrity=True)),
        ("pickle (protocol 5)", _pickle(bundle, directory)),
        ("numpy.savez", _npz(bundle, directory)),
    ]
    lines = [f"best of {repeat} runs, warm page cache; 'load + use' also sums every numeric array",
             f"{'format':<22}{'file size':>11}{'write':>11}{'load':>11}{'load + use':>13}"]
    for name, (write, load, path) in contenders:
        write_time = _best(write, repeat)
        load_time = _best(load, repeat)
        use_time = _best(lambda: _use(load()), repeat)
        lines.append(f"{name:<22}{human_size(os.path.getsize(path)):>11}{_ms(write_time):>11}"
                     f"{_ms(load_time):>11}{_ms(use_time):>13}")
    lines.append("vakra's load maps the file: arrays are read from the page cache when first used.")
    return lines


def _vakra(bundle, directory, check_integrity):
    path = os.path.join(directory, f"timing-{check_integrity}.vkr")
    return (lambda: packets.dump(bundle, path, check_integrity=check_integrity)), (lambda: streams.load(path)), path


def _pickle(bundle, directory):
    path = os.path.join(directory, "timing.pickle")

    def write():
        with open(path, "wb") as handle:
            pickle.dump(bundle, handle, protocol=5)

    def load():
        with open(path, "rb") as handle:
            return pickle.load(handle)

    return write, load, path


def _npz(bundle, directory):
    """numpy.savez of the same data: one .npy per array, labels as a unicode array."""
    path = os.path.join(directory, "timing.npz")
    adjacency, quantized = bundle["adjacency"], bundle["weights_qint8"]
    arrays = {
        "weights": bundle["weights"],
        "adjacency_data": adjacency.data, "adjacency_indices": adjacency.indices,
        "adjacency_indptr": adjacency.indptr, "adjacency_shape": np.array(adjacency.shape),
        "labels": np.array(bundle["labels"].tolist()),
        "weights_qint8": quantized.data, "weights_qint8_scales": quantized.scales,
        "weights_qint8_zero_points": quantized.zero_points,
    }

    def load():
        with np.load(path) as archive:
            return {name: archive[name] for name in archive.files}

    return (lambda: np.savez(path, **arrays)), load, path


def _use(value: Any) -> float:
    """Touch every numeric array, so that lazily mapped data is really read."""
    if isinstance(value, dict):
        return sum(_use(item) for item in value.values())
    if isinstance(value, QuantizedTensor):
        return float(value.data.sum()) + float(value.scales.sum())
    if isinstance(value, np.ndarray) and value.dtype.kind in "biuf":
        return float(value.sum())
    if hasattr(value, "data") and isinstance(getattr(value, "data"), np.ndarray):  # sparse matrices
        return float(value.data.sum())
    return 0.0


def _best(action: Callable[[], Any], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - started)
    return best


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.2f} ms"
