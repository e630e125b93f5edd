"""vakra.convert of a page-cached 384 MiB safetensors file, against reading
those bytes and writing them to a new file; the conversion's peak memory;
writes results/convert.md.

    .venv/bin/python bench/convert.py [--rounds N] [--passes N] [--dir DIR] [--out FILE]

The source, written by safetensors' own save_file, holds a 64 MiB float32
embedding and 80 layers of a 4 MiB float32 matrix and a 4 KiB bias: 384 MiB,
the largest tensor 64 MiB. It lives in --dir (default /dev/shm, so that the
formats' own costs show rather than the shared disk's) and is read once
before timing, so every case reads it from the page cache.

Cases, each writing a new file (the previous output is removed, untimed,
before each sample, so that no case pays for freeing an old file):
- read + write: the source read into one 16 MiB buffer and written to a new
  file, chunk after chunk: the floor of any conversion in user space;
- vakra.convert to .vkr (the target: at least 0.7x the speed of read + write);
- vakra.convert back from .vkr to .safetensors, for reference;
- shutil.copyfile (the kernel copies, no user-space buffer), for reference.
Samples are taken round-robin across the cases; a pass reports medians of
--rounds samples, and --passes passes run one after another.

Peak memory: each conversion once more in a fresh process, which resets the
kernel's high-water mark (/proc/self/clear_refs, "5") after its imports and
reports VmHWM minus VmRSS at that point (target: the largest tensor + 64 MiB).
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
MIB = 1 << 20
LAYERS, HIDDEN, VOCAB = 80, 1024, 16384
LARGEST = VOCAB * HIDDEN * 4
CHUNK = 16 * MIB
TARGET_SPEED, TARGET_EXTRA = 0.7, 64 * MIB


def write_source(path: Path) -> int:
    import safetensors.numpy

    rng = np.random.default_rng(7)
    tensors = {"embed.weight": rng.standard_normal((VOCAB, HIDDEN), dtype=np.float32)}
    for layer in range(LAYERS):
        tensors[f"layers.{layer}.weight"] = rng.standard_normal((HIDDEN, HIDDEN), dtype=np.float32)
        tensors[f"layers.{layer}.bias"] = rng.standard_normal(HIDDEN, dtype=np.float32)
    safetensors.numpy.save_file(tensors, path, metadata={"format": "np"})
    return path.stat().st_size


def read_write(source: Path, destination: Path) -> None:
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    with open(source, "rb", buffering=0) as reader, open(destination, "wb", buffering=0) as writer:
        while True:
            count = reader.readinto(buffer)
            if not count:
                return
            written = 0
            while written < count:
                written += writer.write(view[written:count])


def convert(source: Path, destination: Path) -> None:
    import vakra

    vakra.convert(source, destination)


CASES = {
    "read + write": read_write,
    "vakra.convert .safetensors -> .vkr": convert,
    "vakra.convert .vkr -> .safetensors": convert,
    "shutil.copyfile (kernel copy)": shutil.copyfile,
}


def timed_pass(directory: Path, rounds: int) -> dict[str, float]:
    source, model = directory / "source.safetensors", directory / "reverse-source.vkr"
    paths = {"read + write": (source, directory / "copy.bin"),
             "vakra.convert .safetensors -> .vkr": (source, directory / "model.vkr"),
             "vakra.convert .vkr -> .safetensors": (model, directory / "back.safetensors"),
             "shutil.copyfile (kernel copy)": (source, directory / "kernel-copy.bin")}
    samples: dict[str, list[float]] = {name: [] for name in CASES}
    convert(source, model)  # warm-up: imports, and the reverse case's source
    for _ in range(rounds):
        for name, case in CASES.items():
            origin, target = paths[name]
            target.unlink(missing_ok=True)
            start = time.perf_counter()
            case(origin, target)
            samples[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in samples.items()}


def _status_kib(field: str) -> int:
    return int(re.search(rf"^{field}:\s+(\d+) kB", Path("/proc/self/status").read_text(), re.M).group(1))


def peak_child(source: str, destination: str) -> None:
    """Run in a fresh process: prints the conversion's peak extra memory in bytes."""
    import vakra  # noqa: F401  (imports before the mark)
    import safetensors  # noqa: F401
    import ml_dtypes  # noqa: F401

    Path("/proc/self/clear_refs").write_text("5")
    start = _status_kib("VmRSS")
    convert(Path(source), Path(destination))
    print((_status_kib("VmHWM") - start) * 1024)


def peak_extra(source: Path, destination: Path) -> int:
    destination.unlink(missing_ok=True)
    result = subprocess.run([sys.executable, __file__, "--peak-child", str(source), str(destination)],
                            capture_output=True, text=True, check=True)
    return int(result.stdout.strip())


def report(passes: list[dict[str, float]], peaks: dict[str, list[int]], size: int, rounds: int,
           directory: Path, loads: list[float]) -> str:
    lines = ["# Converting a safetensors file", "",
             f"{platform.machine()}, {os.cpu_count()} cores, load average {', '.join(f'{x:.1f}' for x in loads)} "
             f"(start, after each pass); files in {directory}; each pass the median of {rounds} rounds taken "
             f"round-robin; {len(passes)} passes one after another. Produced by `bench/convert.py`. The machine "
             "is shared with other engineers: the passes show how much the numbers move.", "",
             f"The source: {size / MIB:.1f} MiB written by `safetensors.numpy.save_file`, {2 * LAYERS + 1} float32 "
             f"tensors, the largest {LARGEST / MIB:.0f} MiB; read once before timing, so it is page-cached.", "",
             "## Speed", "",
             "| case | " + " | ".join(f"pass {index + 1} ms" for index in range(len(passes))) +
             " | speed vs read + write (each pass) |", "|---|" + "---|" * (len(passes) + 1)]
    for name in CASES:
        times = " | ".join(f"{result[name] * 1000:.1f}" for result in passes)
        ratios = ", ".join(f"{result['read + write'] / result[name]:.2f}x" for result in passes)
        lines.append(f"| {name} | {times} | {ratios} |")
    key = "vakra.convert .safetensors -> .vkr"
    worst = min(result["read + write"] / result[key] for result in passes)
    lines += ["", f"Target: .safetensors -> .vkr at least {TARGET_SPEED}x the speed of read + write: "
              f"{'met' if worst >= TARGET_SPEED else 'MISSED'} (lowest pass {worst:.2f}x).", "",
              "## Peak memory above the starting point (VmHWM, fresh process per run)", "",
              "| conversion | runs (MiB) | target |", "|---|---|---|"]
    limit = LARGEST + TARGET_EXTRA
    for name, values in peaks.items():
        verdict = f"at most {limit / MIB:.0f} MiB: {'met' if max(values) <= limit else 'MISSED'}" \
            if name == key else "(reference)"
        lines.append(f"| {name} | {', '.join(f'{value / MIB:.1f}' for value in values)} | {verdict} |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--passes", type=int, default=3)
    parser.add_argument("--dir", type=Path, default=Path("/dev/shm"))
    parser.add_argument("--out", type=Path, default=HERE / "results" / "convert.md")
    parser.add_argument("--peak-child", nargs=2, metavar=("SOURCE", "DESTINATION"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak_child:
        peak_child(*args.peak_child)
        return
    directory = Path(args.dir) / f"vakra-convert-bench-{os.getpid()}"
    directory.mkdir()
    try:
        size = write_source(directory / "source.safetensors")
        (directory / "source.safetensors").read_bytes()  # page-cached before anything is timed
        loads = [os.getloadavg()[0]]
        passes = []
        for _ in range(args.passes):
            passes.append(timed_pass(directory, args.rounds))
            loads.append(os.getloadavg()[0])
        peaks = {"vakra.convert .safetensors -> .vkr": [
                     peak_extra(directory / "source.safetensors", directory / "model.vkr") for _ in range(3)],
                 "vakra.convert .vkr -> .safetensors": [
                     peak_extra(directory / "reverse-source.vkr", directory / "back.safetensors") for _ in range(3)]}
    finally:
        shutil.rmtree(directory)
    text = report(passes, peaks, size, args.rounds, args.dir, loads)
    args.out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
