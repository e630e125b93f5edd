"""Small files: one 300 KB bundle written to and read from a file on tmpfs,
vakra against pickle (protocol 5) on the same data, and the read threshold.

    .venv/bin/python bench/small_files.py                  # writes bench/results/small_files.md
    .venv/bin/python bench/small_files.py --quick          # fewer samples, prints only
    .venv/bin/python bench/small_files.py --sweep          # also load() by mapping and by reading, by size

The file lives on /dev/shm, so the file system's flushing is out of the
picture and what is left is the calls' own cost. A load touches one byte of
every page of every array (pickle's arrays are already read; a mapped one
faults its pages in), so lazy mapping gets no credit for pages never used.
Each figure is the median of round-robin samples of many calls.
"""

from __future__ import annotations

import argparse
import os
import pickle
import platform
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import vakra
from vakra._io import streams

RESULTS = Path(__file__).resolve().parent / "results" / "small_files.md"
TARGETS = {"load": 1.5, "dump": 1.0}


def bundle() -> dict:
    """About 300 KB: an image, an embedding table and a few small arrays, as one training sample."""
    rng = np.random.default_rng(0)
    return {"image": rng.integers(0, 255, (3, 224, 224), dtype=np.uint8),
            "embedding": rng.standard_normal((256, 128), dtype=np.float32),
            "boxes": rng.random((32, 4), dtype=np.float32),
            "labels": rng.integers(0, 80, 32),
            "id": np.int64(7)}


def touch(value) -> list:
    """One byte of every page of every array: what a consumer reads at least."""
    if isinstance(value, dict):
        return [touch(item) for item in value.values()]
    return bytes(memoryview(value).cast("B")[::4096])


def pickle_load(path: str):
    with open(path, "rb") as handle:
        return pickle.load(handle)


def pickle_dump(value, path: str) -> None:
    with open(path, "wb") as handle:
        pickle.dump(value, handle, protocol=5)


def read_then_loads(path: str):
    with open(path, "rb") as handle:
        return vakra.loads(handle.read())


def medians(calls: dict, rounds: int, per_sample: int) -> dict:
    """Median microseconds per call, sampled round-robin so load bursts hit all alike."""
    samples = {name: [] for name in calls}
    for call in calls.values():
        call()  # warm-up
    for _ in range(rounds):
        for name, call in calls.items():
            start = time.perf_counter()
            for _ in range(per_sample):
                call()
            samples[name].append((time.perf_counter() - start) / per_sample * 1e6)
    return {name: statistics.median(values) for name, values in samples.items()}


def sweep(directory: str, rounds: int) -> list[tuple[int, float, float]]:
    """load() of one uint8 array by size: mapped against read (microseconds)."""
    def load_with(path: str, read_below: int):
        streams.READ_BELOW = read_below
        try:
            return touch(vakra.load(path))
        finally:
            streams.READ_BELOW = threshold

    threshold, rows = streams.READ_BELOW, []
    for size in (4 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20, 16 << 20):
        path = os.path.join(directory, f"sweep-{size}.vkr")
        vakra.dump(np.ones(size, np.uint8), path)
        times = medians({"mapped": lambda: load_with(path, 0), "read": lambda: load_with(path, 1 << 62)},
                        rounds, max(1, (4 << 20) // size))
        rows.append((size, times["mapped"], times["read"]))
        os.unlink(path)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer samples; print only")
    parser.add_argument("--sweep", action="store_true", help="also time mapping against reading by file size")
    arguments = parser.parse_args()
    rounds, per_sample = (5, 50) if arguments.quick else (31, 200)
    value = bundle()
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as directory:
        ours, theirs = os.path.join(directory, "bundle.vkr"), os.path.join(directory, "bundle.pkl")
        vakra.dump(value, ours)
        pickle_dump(value, theirs)
        size = os.path.getsize(ours)
        times = medians({"vakra.load": lambda: touch(vakra.load(ours)),
                         "pickle.load": lambda: touch(pickle_load(theirs)),
                         "read() + vakra.loads": lambda: touch(read_then_loads(ours)),
                         "vakra.dump": lambda: vakra.dump(value, ours),
                         "pickle.dump": lambda: pickle_dump(value, theirs)}, rounds, per_sample)
        swept = sweep(directory, rounds) if arguments.sweep else []
    report = render(size, times, swept)
    print(report)
    if not arguments.quick:
        RESULTS.write_text(report)
        print(f"wrote {RESULTS}")


def render(size: int, times: dict, swept: list) -> str:
    load = os.getloadavg()
    lines = ["# Small files: a 300 KB bundle through a file on tmpfs", "",
             f"`bench/small_files.py`, one run: {platform.machine()}, {os.cpu_count()} cores, Python "
             f"{platform.python_version()}, load average {load[0]:.1f} at the end. A {size / 1e3:.0f} KB "
             "bundle (an image, an embedding table, boxes, labels, an id); loads touch one byte of every page "
             "of every array. Median microseconds per call.", "",
             "| call | vakra (µs) | pickle (µs) | pickle / vakra | target | met |", "|---|---:|---:|---:|---|---|"]
    for verb in ("load", "dump"):
        ours, theirs = times[f"vakra.{verb}"], times[f"pickle.{verb}"]
        ratio = theirs / ours
        lines.append(f"| {verb} (path) | {ours:.1f} | {theirs:.1f} | {ratio:.2f}x | >= {TARGETS[verb]}x | "
                     f"{'yes' if ratio >= TARGETS[verb] else 'no'} |")
    lines += ["", f"`open().read()` + `vakra.loads` of the same file: {times['read() + vakra.loads']:.1f} µs.", ""]
    if swept:
        lines += ["`load` of one uint8 array by file size, touching every page (µs): mapping against reading.", "",
                  "| size | mapped | read | read / mapped |", "|---:|---:|---:|---:|"]
        lines += [f"| {size >> 10} KiB | {mapped:.1f} | {read:.1f} | {read / mapped:.2f} |"
                  for size, mapped, read in swept]
        lines.append("")
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
