"""Saving and loading a PyTorch state_dict through a file: vakra against
torch.save/torch.load and safetensors, on a BERT-base-shaped model (199
tensors, 110M parameters) in float32 and in bfloat16.

    .venv/bin/python bench/torch_state_dict.py [--rounds N] [--dir DIR] [--out bench/results/torch.md]
    .venv/bin/python bench/torch_state_dict.py --peak CASE DTYPE --dir DIR   (one save, in a fresh process)

Every file lives in a temporary directory under DIR (default: /dev/shm,
where the shared virtual disk's write-back and discard do not drown the
formats' own costs) that is removed at the end. Loads
read files that the page cache holds (each was just written), so they
measure the formats, not the disk. vakra.torch.load maps the file and reads
nothing until a tensor is touched; the "+ read all" rows add a pass over
every tensor so that the lazy and the eager loaders do the same work.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))

import timing  # noqa: E402

import vakra  # noqa: E402
import vakra.torch  # noqa: E402

HIDDEN, LAYERS, INTERMEDIATE, VOCAB, POSITIONS = 768, 12, 3072, 30522, 512
DTYPES = {"float32": torch.float32, "bfloat16": torch.bfloat16}


def bert_shapes() -> dict[str, tuple[int, ...]]:
    shapes = {"embeddings.word_embeddings.weight": (VOCAB, HIDDEN),
              "embeddings.position_embeddings.weight": (POSITIONS, HIDDEN),
              "embeddings.token_type_embeddings.weight": (2, HIDDEN),
              "embeddings.LayerNorm.weight": (HIDDEN,), "embeddings.LayerNorm.bias": (HIDDEN,)}
    for layer in range(LAYERS):
        prefix = f"encoder.layer.{layer}."
        for name in ("attention.self.query", "attention.self.key", "attention.self.value", "attention.output.dense"):
            shapes[prefix + name + ".weight"] = (HIDDEN, HIDDEN)
            shapes[prefix + name + ".bias"] = (HIDDEN,)
        shapes[prefix + "attention.output.LayerNorm.weight"] = (HIDDEN,)
        shapes[prefix + "attention.output.LayerNorm.bias"] = (HIDDEN,)
        shapes[prefix + "intermediate.dense.weight"] = (INTERMEDIATE, HIDDEN)
        shapes[prefix + "intermediate.dense.bias"] = (INTERMEDIATE,)
        shapes[prefix + "output.dense.weight"] = (HIDDEN, INTERMEDIATE)
        shapes[prefix + "output.dense.bias"] = (HIDDEN,)
        shapes[prefix + "output.LayerNorm.weight"] = (HIDDEN,)
        shapes[prefix + "output.LayerNorm.bias"] = (HIDDEN,)
    shapes["pooler.dense.weight"] = (HIDDEN, HIDDEN)
    shapes["pooler.dense.bias"] = (HIDDEN,)
    return shapes


def state_dict(dtype: torch.dtype) -> dict[str, torch.Tensor]:
    generator = torch.Generator().manual_seed(0)
    return {name: torch.randn(shape, generator=generator).to(dtype) for name, shape in bert_shapes().items()}


FLOOR = "write() of the bodies as one buffer (floor)"


def all_bodies(tensors: dict[str, torch.Tensor]) -> memoryview:
    """Every tensor's bytes end to end: what any format's save must write at least."""
    return memoryview(torch.cat([tensor.reshape(-1).view(torch.uint8) for tensor in tensors.values()]).numpy())


def read_all(tensors: dict[str, torch.Tensor]) -> float:
    return sum(float(tensor.float().sum()) for tensor in tensors.values())


def savers(directory: Path) -> dict[str, tuple]:
    from safetensors.torch import save_file

    return {
        "vakra.dump": lambda sd: vakra.dump(sd, directory / "model.vkr"),
        "torch.save": lambda sd: torch.save(sd, directory / "model.pt"),
        "safetensors save_file": lambda sd: save_file(sd, directory / "model.safetensors"),
    }


def loaders(directory: Path) -> dict[str, object]:
    from safetensors.torch import load_file

    vkr, pt, st = directory / "model.vkr", directory / "model.pt", directory / "model.safetensors"
    return {
        "vakra.torch.load (mapped)": lambda _: vakra.torch.load(vkr),
        "torch.load(weights_only=True)": lambda _: torch.load(pt, weights_only=True),
        "torch.load(weights_only=True, mmap=True)": lambda _: torch.load(pt, weights_only=True, mmap=True),
        "safetensors load_file": lambda _: load_file(st),
        "vakra.torch.load + read all": lambda _: read_all(vakra.torch.load(vkr)),
        "torch.load(weights_only=True) + read all": lambda _: read_all(torch.load(pt, weights_only=True)),
        "safetensors load_file + read all": lambda _: read_all(load_file(st)),
    }


def peak_of_save(case: str, dtype_name: str, parent: Path) -> dict[str, int]:
    """Run in a fresh process: the state_dict's size, its largest tensor and
    the peak resident memory that one save adds on top of it."""
    tensors = state_dict(DTYPES[dtype_name])
    directory = Path(tempfile.mkdtemp(prefix="vakra-bench-", dir=parent))
    try:
        save = savers(directory)[case]
        Path("/proc/self/clear_refs").write_text("5")  # VmHWM := current RSS
        before = _status_kib("VmRSS")
        save(tensors)
        peak = _status_kib("VmHWM")
    finally:
        shutil.rmtree(directory)
    sizes = [tensor.numel() * tensor.element_size() for tensor in tensors.values()]
    return {"model": sum(sizes), "largest": max(sizes), "peak_above_model": (peak - before) * 1024}


def _status_kib(field: str) -> int:
    text = Path("/proc/self/status").read_text()
    return int(re.search(rf"^{field}:\s+(\d+) kB", text, re.M).group(1))


def run(rounds: int, parent: Path) -> dict:
    results = {}
    for dtype_name, dtype in DTYPES.items():
        tensors = state_dict(dtype)
        directory = Path(tempfile.mkdtemp(prefix="vakra-bench-", dir=parent))
        try:
            save_cases = {name: (call, tensors) for name, call in savers(directory).items()}
            save_cases[FLOOR] = (lambda data: (directory / "bodies.raw").write_bytes(data), all_bodies(tensors))
            saves = timing.measure(save_cases, rounds, min_sample_ns=0)
            loads = timing.measure({name: (call, None) for name, call in loaders(directory).items()},
                                   rounds, min_sample_ns=200_000_000)
            checked = vakra.torch.load(directory / "model.vkr")
            assert list(checked) == list(tensors) and all(torch.equal(checked[k], v) for k, v in tensors.items())
            sizes = {path.name: path.stat().st_size for path in directory.iterdir() if path.suffix != ".raw"}
        finally:
            shutil.rmtree(directory)
        del tensors
        peaks = {case: _peak_in_child(case, dtype_name, parent) for case in ("vakra.dump", "torch.save")}
        results[dtype_name] = {"save": saves, "load": loads, "files": sizes, "peak": peaks}
    return results


def _peak_in_child(case: str, dtype_name: str, parent: Path) -> dict[str, int]:
    output = subprocess.run([sys.executable, __file__, "--peak", case, dtype_name, "--dir", str(parent)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def report(results: dict, rounds: int, parent: Path) -> str:
    load = os.getloadavg()
    lines = [f"# PyTorch state_dict through a file\n",
             f"{platform.machine()}, {os.cpu_count()} cores, load {load[0]:.1f}; torch {torch.__version__}; "
             f"BERT-base shapes, {len(bert_shapes())} tensors; files in {parent}; median of {rounds} rounds (ms). "
             "Produced by `bench/torch_state_dict.py`.\n"]
    for dtype_name, result in results.items():
        model_mib = result["peak"]["vakra.dump"]["model"] / 2**20
        lines += [f"## {dtype_name} ({model_mib:.0f} MiB)\n", "| operation | ms | vs vakra |", "|---|---|---|"]
        for group, reference in (("save", "vakra.dump"), ("load", "vakra.torch.load (mapped)")):
            for name, value in result[group].items():
                base = result[group][reference if "read all" not in name else "vakra.torch.load + read all"]
                cell = f"{value / 1e6:.1f} | {value / base:.1f}x" if isinstance(value, float) else f"{value} |"
                lines.append(f"| {name} | {cell} |")
        lines += ["", "| save | peak memory above the model (MiB) | largest tensor (MiB) |", "|---|---|---|"]
        for case, peak in result["peak"].items():
            lines.append(f"| {case} | {peak['peak_above_model'] / 2**20:.0f} | {peak['largest'] / 2**20:.0f} |")
        lines.append("\nFile sizes: " + ", ".join(f"{name} {size / 2**20:.1f} MiB"
                                                   for name, size in sorted(result["files"].items())) + "\n")
    lines += ["## Targets\n", "| target | measured | met |", "|---|---|---|"]
    for dtype_name, result in results.items():
        save, load, peak = result["save"], result["load"], result["peak"]["vakra.dump"]
        checks = [
            ("vakra.dump >= 1.5x torch.save", save["torch.save"] / save["vakra.dump"], 1.5),
            ("vakra.torch.load >= 50x torch.load(weights_only=True)",
             load["torch.load(weights_only=True)"] / load["vakra.torch.load (mapped)"], 50),
            ("vakra.torch.load >= 1x safetensors load_file",
             load["safetensors load_file"] / load["vakra.torch.load (mapped)"], 1),
        ]
        for label, ratio, target in checks:
            lines.append(f"| {dtype_name}: {label} | {ratio:.1f}x | {'yes' if ratio >= target else 'NO'} |")
        over = peak["peak_above_model"] / peak["largest"]
        lines.append(f"| {dtype_name}: save peak <= largest tensor above the model | {over:.2f}x the largest "
                     f"| {'yes' if over <= 1 else 'NO'} |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results" / "torch.md")
    parser.add_argument("--dir", type=Path, default=Path("/dev/shm") if Path("/dev/shm").is_dir() else None)
    parser.add_argument("--peak", nargs=2, metavar=("CASE", "DTYPE"))
    arguments = parser.parse_args()
    if arguments.peak:
        print(json.dumps(peak_of_save(*arguments.peak, arguments.dir)))
        return
    text = report(run(arguments.rounds, arguments.dir), arguments.rounds, arguments.dir)
    arguments.out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
