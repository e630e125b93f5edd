"""torch.distributed.checkpoint save and load through vakra.torch.dcp against
torch's own storage; writes results/dcp.md.

    .venv/bin/python bench/dcp.py [--rounds N] [--mib M] [--dir DIR] [--out FILE]

One process (DCP without a process group), one state dict of float32 and
bfloat16 tensors of transformer-like shapes, about --mib MiB, saved by each
writer into a directory of its own under --dir (default build/ in the
repository: the machine's shared disk) with its files synced, as each
writer does by default; then loaded back into preallocated tensors, once
from the page cache and once with the files evicted from it first (fsync,
then posix_fadvise DONTNEED). The writers: vakra.torch.dcp.Writer with 1 and
2 threads, FileSystemWriter(thread_count=1) and (2) (torch.save per tensor,
a pickled .metadata) and torch's safetensors-format storage
(HuggingFaceStorageWriter / HuggingFaceStorageReader); and both vakra's and
FileSystemWriter without syncing, which shows the writers' own costs
rather than the disk's. Every load is checked
bitwise against the state dict. Times are medians of --rounds samples taken
round-robin across the cases; the disk is shared with other work, so cold
figures vary between runs: rerun before quoting a ratio.
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import statistics
import sys
import time
import warnings
from pathlib import Path

import torch
import torch.distributed.checkpoint as dcp
from torch.distributed.checkpoint import FileSystemReader, FileSystemWriter
from torch.distributed.checkpoint.hf_storage import HuggingFaceStorageReader, HuggingFaceStorageWriter

from vakra.torch import dcp as vdcp

sys.path.insert(0, str(Path(__file__).resolve().parent))
from model_files import drop_cache  # noqa: E402

HERE = Path(__file__).resolve().parent
warnings.filterwarnings("ignore")  # DCP warns that it runs without a process group, every call

WRITERS = {
    "vakra Writer(thread_count=1)": (lambda path: vdcp.Writer(path), vdcp.Reader),
    "vakra Writer(thread_count=2)": (lambda path: vdcp.Writer(path, thread_count=2), vdcp.Reader),
    "FileSystemWriter(thread_count=1)": (lambda path: FileSystemWriter(path, thread_count=1), FileSystemReader),
    "FileSystemWriter(thread_count=2)": (lambda path: FileSystemWriter(path, thread_count=2), FileSystemReader),
    "HuggingFaceStorageWriter (safetensors)": (HuggingFaceStorageWriter, HuggingFaceStorageReader),
    "vakra Writer(durable=False)": (lambda path: vdcp.Writer(path, durable=False), vdcp.Reader),
    "FileSystemWriter(sync_files=False)": (lambda path: FileSystemWriter(path, sync_files=False), FileSystemReader),
}
BASELINE = "FileSystemWriter(thread_count=1)"


def state_dict(mib: int) -> dict[str, torch.Tensor]:
    """Layers of a 1024-wide transformer (float32 weights, bfloat16 copies of the
    attention ones) until about `mib` MiB."""
    generator = torch.Generator().manual_seed(0)
    tensors: dict[str, torch.Tensor] = {}
    total, layer = 0, 0
    while total < mib << 20:
        for name, shape, dtype in (("attention.qkv", (3072, 1024), torch.float32),
                                   ("attention.out", (1024, 1024), torch.bfloat16),
                                   ("mlp.up", (4096, 1024), torch.float32), ("mlp.down", (1024, 4096), torch.float32),
                                   ("norm", (1024,), torch.float32)):
            tensor = torch.randn(shape, generator=generator).to(dtype)
            tensors[f"layers.{layer}.{name}"] = tensor
            total += tensor.nbytes
        layer += 1
    return tensors


def evict(directory: Path) -> None:
    for path in directory.iterdir():
        drop_cache(path)


def run(rounds: int, mib: int, root: Path) -> tuple[dict[str, dict[str, list[float]]], int]:
    source = state_dict(mib)
    nbytes = sum(tensor.nbytes for tensor in source.values())
    into = {name: torch.empty_like(tensor) for name, tensor in source.items()}
    samples: dict[str, dict[str, list[float]]] = {name: {"save": [], "warm": [], "cold": []} for name in WRITERS}
    for _ in range(rounds):
        for name, (writer, reader) in WRITERS.items():
            directory = root / "".join(character for character in name if character.isalnum())
            shutil.rmtree(directory, ignore_errors=True)
            directory.mkdir(parents=True)
            start = time.perf_counter()
            dcp.save(source, storage_writer=writer(str(directory)))
            samples[name]["save"].append(time.perf_counter() - start)
            for temperature in ("warm", "cold"):
                for tensor in into.values():
                    tensor.zero_()
                if temperature == "cold":
                    evict(directory)
                start = time.perf_counter()
                dcp.load(into, storage_reader=reader(str(directory)))
                samples[name][temperature].append(time.perf_counter() - start)
                if not all(torch.equal(into[key], tensor) for key, tensor in source.items()):
                    raise AssertionError(f"{name}: the {temperature} load differs from what was saved")
            shutil.rmtree(directory)
    return samples, nbytes


def report(samples: dict[str, dict[str, list[float]]], nbytes: int, rounds: int, root: Path) -> str:
    lines = ["# torch.distributed.checkpoint storage", "",
             f"{platform.machine()}, {os.cpu_count()} cores, torch {torch.__version__}, load average "
             f"{os.getloadavg()[0]:.1f} at the end of the run; one process; a state dict of {nbytes / (1 << 20):.0f} "
             f"MiB (float32 and bfloat16); files in {root} on the machine's shared disk, synced on save; median of "
             f"{rounds} rounds, taken round-robin. Produced by `bench/dcp.py`. The disk and the cores are shared "
             "with other work and noisy: rerun before quoting a ratio.", ""]
    for phase, title in (("save", "save (files synced)"), ("warm", "load from the page cache"),
                         ("cold", "load with the files evicted from the page cache")):
        lines += [f"## {title}", "", f"| storage | s | GB/s | vs {BASELINE} |", "|---|---|---|---|"]
        baseline = statistics.median(samples[BASELINE][phase])
        for name, phases in samples.items():
            seconds = statistics.median(phases[phase])
            lines.append(f"| {name} | {seconds:.3f} | {nbytes / seconds / 1e9:.2f} | {baseline / seconds:.2f}x |")
        lines.append("")
    lines.append(f"GB/s: the state dict's {nbytes / 1e9:.3f} GB over the median time.")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--mib", type=int, default=512)
    parser.add_argument("--dir", type=Path, default=HERE.parent / "build" / "dcp-bench")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "dcp.md")
    args = parser.parse_args()
    samples, nbytes = run(args.rounds, args.mib, args.dir)
    text = report(samples, nbytes, args.rounds, args.dir)
    args.out.write_text(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
