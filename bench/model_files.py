"""Model files: vakra.save, vakra.open and vakra.load_file against safetensors
and torch.save, with their targets; writes results/model_files.md.

    .venv/bin/python bench/model_files.py [--rounds N] [--dir DIR] [--disk-dir DIR] [--out FILE]

1. Lazy reads from a cold file: 512 tensors of 1 MiB in a file on disk
   (--disk-dir, default build/ in the repository), its page cache dropped
   (fsync, then posix_fadvise DONTNEED); the file is opened and 5 tensors are
   read and summed; then mincore over a mapping of the file tells how much
   of it the page cache holds. vakra.open as shipped (random-access advice on
   the mapping, will-need advice on each decoded range) against vakra.open
   with the kernel's default advice, and safetensors' safe_open.
2. 100,000 small tensors (4 float32 each): vakra.save against safetensors'
   numpy save_file; open, list the keys and get one tensor, against
   safe_open.
3. A 400 MiB float32 state_dict of 194 tensors (BERT-like shapes):
   vakra.torch.save against torch.save and safetensors' save_file, and
   the floor of any save (every tensor's bytes written to a new file);
   load_file and a sum over every tensor against safetensors' load_file and
   torch.load with the same sum.
4. The mapping advice of load_file (sequential, as shipped) against random,
   will-need and the kernel's default, on the same state_dict and sum: from
   the page cache (--dir) and from disk with the cache dropped before each
   read (--disk-dir).

Sections 2 to 4 keep their files in --dir (default /dev/shm, whose memory
holds the files, so that the formats' own costs show rather than the shared
disk's); times are medians of --rounds samples taken round-robin across the
cases of one table (bench/timing.py). Files are removed at the end.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import mmap
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import timing  # noqa: E402

import vakra  # noqa: E402
from vakra._model import model_file  # noqa: E402

HERE = Path(__file__).resolve().parent
LAZY_TENSORS, LAZY_MIB, LAZY_READ = 512, 1, (3, 100, 255, 400, 511)
SMALL_COUNT = 100_000
HIDDEN, INTERMEDIATE, VOCAB, LAYERS = 768, 3072, 25_000, 12
_libc = ctypes.CDLL(None, use_errno=True)


def cached_share(path: Path) -> float:
    """The share of `path`'s pages that the page cache holds (mincore)."""
    size = path.stat().st_size
    with open(path, "rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as mapping:
        view = np.frombuffer(mapping, np.uint8)
        pages = -(-size // mmap.PAGESIZE)
        vector = np.zeros(pages, np.uint8)
        status = _libc.mincore(ctypes.c_void_p(view.ctypes.data), ctypes.c_size_t(size),
                               ctypes.c_void_p(vector.ctypes.data))
        del view
        if status != 0:
            raise OSError(ctypes.get_errno(), "mincore failed")
    return float((vector & 1).sum()) / pages


def drop_cache(path: Path) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
        os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(descriptor)


@contextlib.contextmanager
def advice(lazy: object = model_file.LAZY_ADVICE, whole: object = model_file.WHOLE_ADVICE):
    """vakra.open / load_file with other mapping advice, for comparison."""
    saved = model_file.LAZY_ADVICE, model_file.WHOLE_ADVICE
    model_file.LAZY_ADVICE, model_file.WHOLE_ADVICE = lazy, whole
    try:
        yield
    finally:
        model_file.LAZY_ADVICE, model_file.WHOLE_ADVICE = saved


def lazy_reads(directory: Path, rounds: int) -> dict[str, float]:
    from safetensors import safe_open
    from safetensors.numpy import save_file

    rng = np.random.default_rng(0)
    tensors = {f"layer.{i}": rng.standard_normal(LAZY_MIB << 18, dtype=np.float32) for i in range(LAZY_TENSORS)}
    names = [f"layer.{i}" for i in LAZY_READ]
    vkr, st = directory / "lazy.vkr", directory / "lazy.safetensors"
    vakra.save(tensors, vkr)
    save_file(tensors, st)
    del tensors

    def vakra_read() -> None:
        with vakra.open(vkr) as file:
            sum(float(file[name].sum()) for name in names)

    def default_advice_read() -> None:
        with advice(lazy=None):
            vakra_read()

    def safetensors_read() -> None:
        with safe_open(st, "np") as file:
            sum(float(file.get_tensor(name).sum()) for name in names)

    cases = {"vakra.open, 5 reads": (vakra_read, vkr), "vakra.open with default advice, 5 reads":
             (default_advice_read, vkr), "safetensors safe_open, 5 reads": (safetensors_read, st)}
    shares: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(rounds):
        for name, (read, path) in cases.items():
            drop_cache(path)
            assert cached_share(path) < 0.001, "the page cache kept the file"
            read()
            shares[name].append(cached_share(path))
    return {name: statistics.median(values) for name, values in shares.items()}


def small_tensors(directory: Path, rounds: int) -> tuple[dict, dict]:
    from safetensors import safe_open
    from safetensors.numpy import save_file

    rng = np.random.default_rng(0)
    tensors = {f"model.layers.{i // 128}.experts.{i % 128}.w": rng.standard_normal(4, dtype=np.float32)
               for i in range(SMALL_COUNT)}
    vkr, st = directory / "small.vkr", directory / "small.safetensors"
    name = next(reversed(tensors))

    def vakra_open(_: object) -> None:
        with vakra.open(vkr) as file:
            assert len(list(file)) == SMALL_COUNT and file[name].shape == (4,)

    def safetensors_open(_: object) -> None:
        with safe_open(st, "np") as file:
            assert len(list(file.keys())) == SMALL_COUNT and file.get_tensor(name).shape == (4,)

    saves = timing.measure({"vakra.save": (lambda t: vakra.save(t, vkr), tensors),
                            "safetensors save_file": (lambda t: save_file(t, st), tensors)}, rounds, min_sample_ns=0)
    opens = timing.measure({"vakra.open + keys + one tensor": (vakra_open, None),
                            "safetensors safe_open + keys + one tensor": (safetensors_open, None)},
                           rounds, min_sample_ns=200_000_000)
    return saves, opens


def state_dict() -> dict:
    import torch

    shapes = {"embeddings.word": (VOCAB, HIDDEN), "embeddings.position": (512, HIDDEN)}
    for layer in range(LAYERS):
        prefix = f"encoder.layer.{layer}."
        for name in ("query", "key", "value", "output"):
            shapes[prefix + name + ".weight"], shapes[prefix + name + ".bias"] = (HIDDEN, HIDDEN), (HIDDEN,)
        for norm in ("norm1", "norm2"):
            shapes[prefix + norm + ".weight"], shapes[prefix + norm + ".bias"] = (HIDDEN,), (HIDDEN,)
        shapes[prefix + "up.weight"], shapes[prefix + "up.bias"] = (INTERMEDIATE, HIDDEN), (INTERMEDIATE,)
        shapes[prefix + "down.weight"], shapes[prefix + "down.bias"] = (HIDDEN, INTERMEDIATE), (HIDDEN,)
    generator = torch.Generator().manual_seed(0)
    return {name: torch.randn(shape, generator=generator) for name, shape in shapes.items()}


FLOOR = "write() of every tensor's bytes to a new file, renamed over the old (floor)"


def write_bodies(tensors: dict, path: Path) -> None:
    """What any format's save must do at least: every body into a new file."""
    temporary = path.with_suffix(".tmp")
    with open(temporary, "wb", buffering=0) as handle:
        for tensor in tensors.values():
            handle.write(memoryview(tensor.numpy()).cast("B"))
    os.replace(temporary, path)


def touch_all(tensors: dict) -> float:
    return sum(float(tensor.sum()) for tensor in tensors.values())


def large_state_dict(directory: Path, disk: Path, rounds: int) -> tuple[dict, dict, dict, dict, int]:
    import torch
    import vakra.torch
    from safetensors.torch import load_file, save_file

    tensors = state_dict()
    vkr, pt, st = directory / "model.vkr", directory / "model.pt", directory / "model.safetensors"
    saves = timing.measure({"vakra.torch.save": (lambda t: vakra.torch.save(t, vkr), tensors),
                            "torch.save": (lambda t: torch.save(t, pt), tensors),
                            "safetensors save_file": (lambda t: save_file(t, st), tensors),
                            FLOOR: (lambda t: write_bodies(t, directory / "bodies.raw"), tensors)},
                           rounds, min_sample_ns=0)
    loaded = vakra.torch.load_file(vkr)
    assert list(loaded) == list(tensors) and all(torch.equal(loaded[k], v) for k, v in tensors.items())
    del loaded
    loads = timing.measure({
        "vakra.torch.load_file + sum of every tensor": (lambda _: touch_all(vakra.torch.load_file(vkr)), None),
        "safetensors load_file + sum of every tensor": (lambda _: touch_all(load_file(st)), None),
        "torch.load(weights_only=True, mmap=True) + sum of every tensor":
            (lambda _: touch_all(torch.load(pt, weights_only=True, mmap=True)), None),
    }, rounds, min_sample_ns=0)
    variants = {"sequential (shipped)": {}, "random": {"whole": mmap.MADV_RANDOM},
                "will-need": {"whole": mmap.MADV_WILLNEED}, "kernel default": {"whole": None}}

    def load_with(variant: dict, path: Path, cold: bool) -> None:
        if cold:
            drop_cache(path)
        with advice(**variant):
            touch_all(vakra.torch.load_file(path))

    warm = timing.measure({name: (lambda v, variant=variant: load_with(variant, vkr, False), None)
                           for name, variant in variants.items()}, rounds, min_sample_ns=0)
    cold_file = disk / "model.vkr"
    shutil.copyfile(vkr, cold_file)
    cold = timing.measure({name: (lambda v, variant=variant: load_with(variant, cold_file, True), None)
                           for name, variant in variants.items()}, rounds, min_sample_ns=0)
    size = sum(t.numel() * t.element_size() for t in tensors.values())
    return saves, loads, warm, cold, size


def table(title: str, results: dict, reference: str, unit: str = "ms") -> list[str]:
    lines = [f"### {title}\n", f"| case | {unit} | vs {reference} |", "|---|---|---|"]
    base = results[reference]
    for name, value in results.items():
        if isinstance(value, str):
            lines.append(f"| {name} | {value} | |")
        else:
            lines.append(f"| {name} | {value / 1e6:.1f} | {value / base:.2f}x |")
    return lines + [""]


def report(lazy: dict, small: tuple, large: tuple, rounds: int, directory: Path, disk: Path) -> str:
    saves, opens = small
    big_saves, big_loads, warm, cold, size = large
    load = os.getloadavg()
    lines = ["# Model files\n",
             f"{platform.machine()}, {os.cpu_count()} cores, load average {load[0]:.1f} at the end of the run; "
             f"files in {directory} (cold reads: {disk}); median of {rounds} rounds. Produced by "
             "`bench/model_files.py`. The machine is shared: rerun it before quoting a ratio.\n",
             f"## Lazy reads: {len(LAZY_READ)} of {LAZY_TENSORS} tensors of {LAZY_MIB} MiB, page cache dropped\n",
             "| case | share of the file in the page cache afterwards |", "|---|---|"]
    lines += [f"| {name} | {share:.2%} |" for name, share in lazy.items()]
    lines += ["", f"## {SMALL_COUNT:,} small tensors\n"]
    lines += table("save", saves, "vakra.save")
    lines += table("open + list the keys + get one tensor", opens, "vakra.open + keys + one tensor")
    lines += [f"## A {size / 2**20:.0f} MiB float32 state_dict of 194 tensors\n"]
    lines += table("save", big_saves, "vakra.torch.save")
    lines += table("load + sum of every tensor", big_loads, "vakra.torch.load_file + sum of every tensor")
    lines += table("load_file + sum, mapping advice, from the page cache", warm, "sequential (shipped)")
    lines += table("load_file + sum, mapping advice, from disk (cache dropped)", cold, "sequential (shipped)")
    checks = [
        ("lazy reads bring at most 2% of the file into the page cache", f"{lazy['vakra.open, 5 reads']:.2%}",
         lazy["vakra.open, 5 reads"] <= 0.02),
        ("vakra.save of 100,000 small tensors >= 1.0x safetensors save_file",
         f"{saves['safetensors save_file'] / saves['vakra.save']:.2f}x",
         saves["safetensors save_file"] >= saves["vakra.save"]),
        ("open + keys + one tensor >= 1.0x safe_open",
         f"{opens['safetensors safe_open + keys + one tensor'] / opens['vakra.open + keys + one tensor']:.2f}x",
         opens["safetensors safe_open + keys + one tensor"] >= opens["vakra.open + keys + one tensor"]),
        ("open + keys + one tensor <= 0.5 s", f"{opens['vakra.open + keys + one tensor'] / 1e9:.3f} s",
         opens["vakra.open + keys + one tensor"] <= 0.5e9),
        ("vakra.torch.save >= 1.5x torch.save", f"{big_saves['torch.save'] / big_saves['vakra.torch.save']:.2f}x",
         big_saves["torch.save"] >= 1.5 * big_saves["vakra.torch.save"]),
        ("vakra.torch.save >= 1.0x safetensors save_file",
         f"{big_saves['safetensors save_file'] / big_saves['vakra.torch.save']:.2f}x",
         big_saves["safetensors save_file"] >= big_saves["vakra.torch.save"]),
    ]
    vakra_load = big_loads["vakra.torch.load_file + sum of every tensor"]
    peer_load = big_loads["safetensors load_file + sum of every tensor"]
    checks.append(("vakra.torch.load_file + sum >= 1.0x safetensors load_file + sum",
                   f"{peer_load / vakra_load:.2f}x", peer_load >= vakra_load))
    lines += ["## Targets\n", "| target | measured | met |", "|---|---|---|"]
    lines += [f"| {label} | {measured} | {'yes' if met else 'NO'} |" for label, measured, met in checks]
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--dir", type=Path, default=Path("/dev/shm") if Path("/dev/shm").is_dir() else None)
    parser.add_argument("--disk-dir", type=Path, default=HERE.parent / "build")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "model_files.md")
    arguments = parser.parse_args()
    arguments.disk_dir.mkdir(parents=True, exist_ok=True)
    memory = Path(tempfile.mkdtemp(prefix="vakra-bench-", dir=arguments.dir))
    disk = Path(tempfile.mkdtemp(prefix="vakra-bench-", dir=arguments.disk_dir))
    started = time.perf_counter()
    try:
        lazy = lazy_reads(disk, arguments.rounds)
        small = small_tensors(memory, arguments.rounds)
        large = large_state_dict(memory, disk, arguments.rounds)
    finally:
        shutil.rmtree(memory)
        shutil.rmtree(disk)
    text = report(lazy, small, large, arguments.rounds, memory.parent, disk.parent)
    arguments.out.write_text(text)
    print(text)
    print(f"({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
