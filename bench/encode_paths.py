"""Times the encoder paths that do not fit the peer comparison of run.py:
dicts holding string and quantized tensors, a list of short str against
pickle, a decoded StringTensor turned back into a list, and the rows that
must not get slower (one 64 MiB float32 array, one of 16 elements, a dict of
255 small arrays).

    .venv/bin/python bench/encode_paths.py            # prints a markdown table
    .venv/bin/python bench/encode_paths.py --quick    # seconds, smaller values

Run it with each build's interpreter to compare two versions of vakra; the
numbers are only comparable within one machine state.
"""

from __future__ import annotations

import argparse
import pickle
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

import timing  # noqa: E402
import workloads  # noqa: E402

import vakra  # noqa: E402
from vakra import QuantizedTensor, StringTensor  # noqa: E402


def mixed_dict(strings: int) -> dict:
    """A few large values of every kind the package takes."""
    rng = np.random.default_rng(7)
    return {
        "tokens": StringTensor(workloads.short_strings(strings)),
        "labels": workloads.short_strings(100),
        "weights": QuantizedTensor.quantize(rng.random((256, 256), dtype=np.float32), "qint8"),
        "bias": rng.random(256, dtype=np.float32),
    }


def many_small_entries(entries: int) -> dict:
    """Many small string and quantized values: the per-value cost dominates."""
    rng = np.random.default_rng(8)
    out: dict = {}
    for i in range(entries // 2):
        out[f"s{i}"] = StringTensor(workloads.short_strings(8))
        out[f"q{i}"] = QuantizedTensor.quantize(rng.random(16, dtype=np.float32), "qint8")
    return out


def cases(quick: bool) -> list[tuple[str, dict[str, timing.Case]]]:
    string_count = 10**3 if quick else 10**5
    strings = workloads.short_strings(string_count)
    tensor = vakra.loads(vakra.dumps(strings))
    big = workloads.dense(1 << 20 if quick else 64 << 20)
    small = workloads.small_dense(16)
    return [
        (f"dict: 3 big values + {string_count:,}-string tensor", {"vakra.dumps": (vakra.dumps, mixed_dict(string_count))}),
        ("dict: 254 small string / quantized values", {"vakra.dumps": (vakra.dumps, many_small_entries(254))}),
        (f"list of {string_count:,} short str", {
            "vakra.dumps": (vakra.dumps, strings),
            "pickle.dumps(protocol=5)": (lambda v: pickle.dumps(v, protocol=5), strings),
        }),
        (f"StringTensor of {string_count:,} -> list of str", {
            "StringTensor.tolist()": (StringTensor.tolist, tensor),
            "pickle.loads": (pickle.loads, pickle.dumps(strings, protocol=5)),
        }),
        (f"float32 {big.nbytes >> 20} MiB", {
            "vakra.dumps": (vakra.dumps, big),
            "vakra.dumps(check_integrity=True)": (lambda v: vakra.dumps(v, check_integrity=True), big),
        }),
        ("float32, 16 elements", {"vakra.dumps": (vakra.dumps, small)}),
        ("dict: 255 float32[64]", {"vakra.dumps": (vakra.dumps, workloads.dict_of_small(255, 64))}),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rounds, min_ns = (3, 1_000_000) if args.quick else (15, 20_000_000)
    print("| workload | call | median |\n|---|---|---|")
    for label, row in cases(args.quick):
        for name, result in timing.measure(row, rounds, min_ns).items():
            shown = f"{result / 1000:,.{2 if result < 10_000 else 1}f} µs" if isinstance(result, float) else result
            print(f"| {label} | {name} | {shown} |", flush=True)


if __name__ == "__main__":
    main()
