"""vakra.save of an 800 MiB model file to a new path and over an existing
file, durable (the default: synced before the rename, the directory after)
and not (durable=False), with the write-back started while writing and
without it; writes results/durable_save.md.

    .venv/bin/python bench/durable_save.py [--runs N] [--dir DIR] [--out FILE]

The model is 200 float32 tensors of 4 MiB, held in memory. --dir (default
build/durable-bench, on the project's disk) takes the files; a tmpfs would
show no cost of syncing. Before every sample the page cache's dirty pages
are written out (os.sync, untimed), so that no sample pays for another's;
for a save over an existing file the old file is saved (durably) and
synced first. The floor is dd writing the same bytes with conv=fdatasync:
the disk's own speed of writing 800 MiB durably. Samples of all cases are
taken round-robin, so that the shared disk's bursts hit every case alike;
the table gives the median and the spread (fastest, slowest) of --runs.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import time
from pathlib import Path

import numpy as np

import vakra
from vakra._io import write_behind

HERE = Path(__file__).resolve().parent
TENSORS, ELEMENTS = 200, 1 << 20  # 200 x 4 MiB
# (over an existing file, durable, write-back while writing); a save that is not durable starts none.
CASES = [(over, durable, behind) for over in (False, True) for durable in (True, False) for behind in (True, False)
         if durable or not behind]


def sample(values: dict, path: Path, over: bool, durable: bool, behind: bool, start_write_back) -> float:
    path.unlink(missing_ok=True)
    if over:
        vakra.save(values, path)
    os.sync()
    write_behind._start_write_back = start_write_back if behind else None
    try:
        began = time.perf_counter()
        vakra.save(values, path, durable=durable)
        return time.perf_counter() - began
    finally:
        write_behind._start_write_back = start_write_back


def floor(path: Path) -> float:
    os.sync()
    began = time.perf_counter()
    subprocess.run(["dd", "if=/dev/zero", f"of={path}", "bs=8M", f"count={TENSORS // 2}", "conv=fdatasync"],
                   check=True, capture_output=True)
    elapsed = time.perf_counter() - began
    path.unlink()
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--dir", type=Path, default=HERE.parent / "build" / "durable-bench")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "durable_save.md")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    values = {f"layers.{i}.weight": np.full(ELEMENTS, i, np.float32) for i in range(TENSORS)}
    size = TENSORS * ELEMENTS * 4
    start_write_back = write_behind._start_write_back
    times: dict[tuple, list[float]] = {case: [] for case in CASES}
    floors = []
    for run in range(args.runs):
        floors.append(floor(args.dir / "dd.bin"))
        for case in CASES:
            times[case].append(sample(values, args.dir / "model.vkr", *case, start_write_back))
        print(f"run {run + 1}/{args.runs} done", flush=True)
    (args.dir / "model.vkr").unlink(missing_ok=True)

    def cell(seconds: list[float]) -> str:
        return f"{statistics.median(seconds):.2f} ({min(seconds):.2f}-{max(seconds):.2f})"

    lines = [f"# Durable saves: vakra.save of {size >> 20} MiB to a new path and over an existing file", "",
             f"`bench/durable_save.py --runs {args.runs}`: {platform.machine()}, {os.cpu_count()} cores, "
             f"Python {platform.python_version()}, files in `{args.dir}` ({_file_system(args.dir)}), load average "
             f"{os.getloadavg()[0]:.1f} at the end. Seconds: median (fastest-slowest) of {args.runs} runs, "
             "taken round-robin, the dirty page cache written out before each.", "",
             f"Floor, dd of the same bytes with conv=fdatasync: {cell(floors)} s "
             f"({size / statistics.median(floors) / 1e6:.0f} MB/s).", "",
             "| destination | durable | write-back while writing | seconds | MB/s | / floor |",
             "|---|---|---|---:|---:|---:|"]
    for over, durable, behind in CASES:
        seconds = times[over, durable, behind]
        median = statistics.median(seconds)
        lines.append(f"| {'over an existing file' if over else 'new path'} | {'yes' if durable else 'no'} | "
                     f"{'yes' if behind else 'no'}{'' if durable else ' (never started here)'} | {cell(seconds)} | {size / median / 1e6:.0f} | "
                     f"{median / statistics.median(floors):.2f} |")
    args.out.write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


def _file_system(directory: Path) -> str:
    result = subprocess.run(["df", "--output=fstype", str(directory)], capture_output=True, text=True)
    return result.stdout.split()[-1] if result.returncode == 0 else "unknown"


if __name__ == "__main__":
    main()
