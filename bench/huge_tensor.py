"""One tensor too large for a packet: a 2.2e9-element bfloat16 tensor
(110,000 x 20,000, 4.4 GB, the size of Llama-3-405B's embedding) saved and
loaded through a file, vakra (a model file body) against safetensors and
torch.save, side by side in one run; writes results/huge_tensor.md.

    .venv/bin/python bench/huge_tensor.py [--rounds N] [--dir DIR] [--out FILE]

Saves write a new file (the old one removed and the page cache's dirty
pages written out first, untimed), durable=False for vakra (the peers do
not sync). Loads start warm (the file read once into the page cache,
untimed) and end when every page of the tensor has been touched (a strided
read of one byte a page), so that a mapped load pays for what it maps.
"Open, last element" reads one element from the end without loading the
rest. The peak memory of each save is measured in a fresh process: its
peak resident set (VmHWM) after the save, less the one before it, when the
tensor already existed. Needs about 14 GB free under --dir and 9 GB of
memory.

Every table gives the median and the spread (fastest-slowest) of --rounds
samples taken round-robin across its cases; the disk is shared with other
work, so spreads are wide and only ratios within this run compare.
"""

from __future__ import annotations

import argparse
import os
import platform
import subprocess
import sys
from pathlib import Path

import safetensors
import safetensors.torch
import torch

import vakra.torch

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from checkpoints import round_robin, table  # noqa: E402
from model_files import cached_share  # noqa: E402

SHAPE = (110_000, 20_000)
FILES = {"vakra": "huge.vkr", "safetensors": "huge.safetensors", "torch.save": "huge.pt"}


def touch(tensor: torch.Tensor) -> None:
    """Reads one byte of every page of the tensor's memory."""
    int(tensor.view(-1).view(torch.uint8)[::4096].sum())


def warm(path: Path) -> None:
    with open(path, "rb", buffering=0) as handle:
        while handle.read(64 << 20):
            pass


def saves(weight: torch.Tensor, directory: Path, rounds: int) -> dict[str, list[float]]:
    writers = {"vakra.torch.save": ("vakra", lambda path: vakra.torch.save({"w": weight}, path, durable=False)),
               "safetensors save_file": ("safetensors", lambda path: safetensors.torch.save_file({"w": weight}, path)),
               "torch.save": ("torch.save", lambda path: torch.save({"w": weight}, path))}

    def case(kind: str, write):
        path = directory / FILES[kind]
        return (lambda: (path.unlink(missing_ok=True), os.sync()), lambda: write(path))

    return round_robin({name: case(*writer) for name, writer in writers.items()}, rounds)


def loads(directory: Path, rounds: int) -> tuple[dict[str, list[float]], dict[str, list[float]], dict[str, float]]:
    paths = {kind: directory / name for kind, name in FILES.items()}
    whole = {
        "vakra.torch.load_file (mapped)": ("vakra", lambda path: vakra.torch.load_file(path)["w"]),
        "vakra.torch.load_file(mmap=False)": ("vakra", lambda path: vakra.torch.load_file(path, mmap=False)["w"]),
        "safetensors load_file": ("safetensors", lambda path: safetensors.torch.load_file(path)["w"]),
        "torch.load(mmap=True)": ("torch.save", lambda path: torch.load(path, mmap=True, weights_only=True)["w"]),
        "torch.load": ("torch.save", lambda path: torch.load(path, weights_only=True)["w"]),
    }
    cached: dict[str, float] = {}

    def case(kind: str, read):
        def setup() -> None:
            warm(paths[kind])
            cached[kind] = min(cached.get(kind, 1.0), cached_share(paths[kind]))
        return setup, lambda: touch(read(paths[kind]))

    loaded = round_robin({name: case(*reader) for name, reader in whole.items()}, rounds)

    def last_of_safetensors(path: Path) -> float:
        with safetensors.safe_open(path, "pt") as handle:
            return float(handle.get_slice("w")[-1:, -1:])

    def last_of_vakra(path: Path) -> float:
        with vakra.torch.open(path) as file:
            return float(file["w"][-1, -1])

    lazy = {"vakra.torch.open": ("vakra", last_of_vakra),
            "safetensors safe_open + get_slice": ("safetensors", last_of_safetensors),
            "torch.load(mmap=True)": ("torch.save", lambda path: float(torch.load(path, mmap=True,
                                                                                  weights_only=True)["w"][-1, -1]))}
    opened = round_robin({name: (lambda: None, lambda kind=kind, read=read: read(paths[kind]))
                          for name, (kind, read) in lazy.items()}, rounds)
    return loaded, opened, cached


_PEAK = """
import sys, torch, safetensors.torch, vakra.torch
def peak():
    return next(int(line.split()[1]) << 10 for line in open("/proc/self/status") if line.startswith("VmHWM:"))
weight = torch.empty(SHAPE, dtype=torch.bfloat16).fill_(1.5)
before = peak()
{"vakra": lambda: vakra.torch.save({"w": weight}, sys.argv[2], durable=False),
 "safetensors": lambda: safetensors.torch.save_file({"w": weight}, sys.argv[2]),
 "torch.save": lambda: torch.save({"w": weight}, sys.argv[2])}[sys.argv[1]]()
print(before, peak())
""".replace("SHAPE", repr(SHAPE))


def peaks(directory: Path) -> dict[str, tuple[int, int]]:
    """(VmHWM before the save, after it) of each format's save in a fresh process."""
    result = {}
    for kind, name in FILES.items():
        path = directory / name
        path.unlink(missing_ok=True)
        output = subprocess.run([sys.executable, "-c", _PEAK, kind, str(path)], check=True, capture_output=True,
                                text=True).stdout.split()
        result[kind] = (int(output[0]), int(output[1]))
        path.unlink()
    return result


def report(saved: dict, loaded: dict, opened: dict, cached: dict, peak: dict, rounds: int, directory: Path,
           size: int) -> str:
    lines = ["# One tensor too large for a packet: save and load of 2.2e9 bfloat16 elements\n",
             f"`bench/huge_tensor.py --rounds {rounds}`: {platform.machine()}, {os.cpu_count()} cores, "
             f"torch {torch.__version__}, safetensors {safetensors.__version__}, files in `{directory}`, load "
             f"average {os.getloadavg()[0]:.1f} at the end. One tensor of shape {SHAPE[0]} x {SHAPE[1]}, "
             f"{size / 1e9:.2f} GB; vakra stores it as a model file body. Medians and spreads of samples taken "
             "round-robin; ratios from this run.\n",
             "## Save (a new file, not synced)\n", *table(saved, "vakra.torch.save", size),
             "## Load and touch every page (warm)\n",
             "Smallest share of each file in the page cache after warming it (mincore): "
             + ", ".join(f"{kind} {share:.0%}" for kind, share in cached.items()) + ".\n",
             *table(loaded, "vakra.torch.load_file (mapped)", size),
             "## Open and read the last element\n", *table(opened, "vakra.torch.open"),
             "## Peak memory of the save (a fresh process)\n",
             "| format | VmHWM before the save, MiB | after, MiB | added by the save, MiB |", "|---|---:|---:|---:|"]
    for kind, (before, after) in peak.items():
        lines.append(f"| {kind} | {before >> 20} | {after >> 20} | {(after - before) >> 20} |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", type=Path, default=HERE.parent / "build" / "huge-tensor-bench")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "huge_tensor.md")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    try:
        print("peak memory", flush=True)
        peak = peaks(args.dir)
        weight = torch.empty(SHAPE, dtype=torch.bfloat16).fill_(1.5)
        size = weight.numel() * weight.element_size()
        print("save", flush=True)
        saved = saves(weight, args.dir, args.rounds)
        del weight
        print("load", flush=True)
        loaded, opened, cached = loads(args.dir, args.rounds)
    finally:
        for name in FILES.values():
            (args.dir / name).unlink(missing_ok=True)
    text = report(saved, loaded, opened, cached, peak, args.rounds, args.dir, size)
    args.out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
