"""The Python side of the C++ example's round trip (scripts/cpp_package_test.sh).

    interop_check.py check-example FILE   asserts FILE holds exactly what vakra_example writes
    interop_check.py check-model FILE     asserts FILE is the model file model_file_example writes
    interop_check.py write FILE           writes a bundle of every packet kind and option
    interop_check.py digests FILE         prints the body digests `vakra_example --read` prints
"""

from __future__ import annotations

import sys

import numpy as np
import scipy.sparse

import vakra
from vakra.quantize import QuantizedTensor, quantize
from vakra.ragged import StringTensor
from vakra.vakra_rs import encode_bundle_rs

_SPARSE_PARTS = {"coo": ("data", "row", "col"), "csr": ("data", "indices", "indptr"), "csc": ("data", "indices", "indptr")}


def check_example(path: str) -> None:
    value = vakra.load(path)
    assert list(value) == ["weights", "weights_q", "adjacency", "labels"], list(value)
    weights = np.arange(12, dtype=np.float32).reshape(3, 4)
    np.testing.assert_array_equal(value["weights"], weights)
    quantized = value["weights_q"]
    assert (quantized.dtype, quantized.shape, quantized.quant_scheme, quantized.axis) == ("qint8", (3, 4), 1, 0)
    np.testing.assert_allclose(quantized.dequantize(), weights, atol=11 / 127 / 2)
    expected = scipy.sparse.csr_matrix(
        (np.array([1.5, -2.0, 3.25, 4.0], np.float32), np.array([0, 4, 2, 3]), np.array([0, 2, 2, 3, 4])), shape=(4, 5))
    adjacency = value["adjacency"]
    assert adjacency.format == "csr" and adjacency.dtype == np.float32 and adjacency.shape == (4, 5)
    assert (adjacency != expected).nnz == 0
    assert list(value["labels"]) == ["cat", "dog", "émeu"]


def check_model(path: str) -> None:
    entries = vakra.load_file(path)
    assert list(entries) == [f"layer.{i}.weight" for i in range(300)], list(entries)[:3]
    for i, value in enumerate(entries.values()):
        np.testing.assert_array_equal(value, (i + np.arange(32, dtype=np.float32) / 100).reshape(4, 8))
    with vakra.open(path) as file:
        assert file.metadata == {"framework": "vakra C++ example"}


def every_kind() -> bytes:
    """A bundle mixing every kind with every encoding option, nested two deep."""
    rng = np.random.default_rng(7)
    weights = rng.standard_normal((6, 8)).astype(np.float32)
    parts = [
        ("float16", vakra.dumps(np.linspace(-1, 1, 10, dtype=np.float16))),
        ("complex", vakra.dumps(np.arange(6, dtype=np.complex64).reshape(2, 3) * 1j, check_integrity=True)),
        ("flags", vakra.dumps(np.array([True, False, True]), alignment=8)),
        ("scalar", vakra.dumps(np.array(42, dtype=np.int64))),
        ("empty", vakra.dumps(np.zeros((0, 3), np.uint16))),
        ("packed", vakra.dumps(np.arange(5000, dtype=np.int32), compress=True, check_integrity=True)),
        ("coo", vakra.dumps(scipy.sparse.random(5, 7, density=0.3, format="coo", dtype=np.float64, random_state=1))),
        ("csr", vakra.dumps(scipy.sparse.random(6, 4, density=0.4, format="csr", dtype=np.float32, random_state=2))),
        ("csc", vakra.dumps(scipy.sparse.random(3, 9, density=0.5, format="csc", dtype=np.int64, random_state=3))),
        ("labels", vakra.dumps(StringTensor(["α", "", "beta", "γάμμα"]), check_integrity=True)),
        ("q8", vakra.dumps(quantize(weights, "qint8", axis=0), check_integrity=True)),
        ("q4", vakra.dumps(quantize(weights, "quint4", axis=1, group_size=4))),
        ("nested", vakra.dumps({"w": weights, "it's \"inner\"\t": {"x": np.arange(3, dtype=np.uint8)}})),
    ]
    return encode_bundle_rs(parts)


def digests(path: str) -> list[str]:
    lines: list[str] = []
    _digest_lines(vakra.load(path), "", lines)
    return lines


def _fnv1a(*chunks: bytes) -> str:
    state = 0xCBF29CE484222325
    for chunk in chunks:
        for byte in chunk:
            state = ((state ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{state:016x}"


def _digest_lines(value, path: str, lines: list[str]) -> None:
    if isinstance(value, dict):
        for key, item in value.items():
            _digest_lines(item, f"{path}/{key}" if path else key, lines)
    elif scipy.sparse.issparse(value):
        if value.format == "coo":
            components = (value.data, value.row, value.col)
        else:
            components = (value.data, value.indices, value.indptr)
        for name, component in zip(_SPARSE_PARTS[value.format], components):
            lines.append(f"{path}/{name}: {_fnv1a(component.tobytes())}")
    elif isinstance(value, StringTensor):
        offsets, payload, _ = value.to_raw()
        lines.append(f"{path}: {_fnv1a(offsets, payload)}")
    elif isinstance(value, QuantizedTensor):
        lines.append(f"{path}: {_fnv1a(value.scales.tobytes(), value.zero_points.tobytes(), bytes(value.data))}")
    else:
        lines.append(f"{path or '(top)'}: {_fnv1a(np.ascontiguousarray(value).tobytes())}")


def main(argv: list[str]) -> int:
    command, path = argv
    if command == "check-example":
        check_example(path)
    elif command == "check-model":
        check_model(path)
    elif command == "write":
        with open(path, "wb") as out:
            out.write(every_kind())
    elif command == "digests":
        print("\n".join(digests(path)))
    else:
        raise SystemExit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
