"""Times the rows a change to the extension must not slow down, quickly: a
16-element array through dumps and loads against pickle, and a 64 MiB array
through dumps against ndarray.tobytes (the copy every encoder pays at least).

    .venv/bin/python bench/hot_rows.py

Run it with each build's interpreter to compare two versions of vakra; the
numbers are only comparable within one machine state.
"""

from __future__ import annotations

import pickle
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import timing  # noqa: E402
import workloads  # noqa: E402

import vakra  # noqa: E402


def main() -> None:
    small, big = workloads.small_dense(16), workloads.dense(64 << 20)
    rows = [
        ("float32, 16 elements: dumps", {"vakra.dumps": (vakra.dumps, small),
                                         "pickle.dumps(protocol=5)": (lambda v: pickle.dumps(v, protocol=5), small)}),
        ("float32, 16 elements: loads", {"vakra.loads": (vakra.loads, vakra.dumps(small)),
                                         "pickle.loads": (pickle.loads, pickle.dumps(small, protocol=5))}),
        ("float32 64 MiB: dumps", {"vakra.dumps": (vakra.dumps, big), "ndarray.tobytes": (lambda v: v.tobytes(), big)}),
    ]
    print("| workload | call | median |\n|---|---|---|")
    for label, row in rows:
        for name, result in timing.measure(row, 15, 20_000_000).items():
            print(f"| {label} | {name} | {result / 1000:,.{2 if result < 10_000 else 1}f} µs |", flush=True)


if __name__ == "__main__":
    main()
