"""A whole training checkpoint of a Llama-style model (its AdamW state after
one step, a scheduler, a GradScaler, the RNG states and the step count)
saved and loaded: vakra.torch.save / load_file of the checkpoint tree,
against torch.save / torch.load(weights_only=True) of the same tree, against
safetensors of its tensors alone (flattened by path) and against vakra's own
save and load of those flattened tensors as a plain mapping; writes
results/training_checkpoint.md.

    .venv/bin/python bench/training_checkpoint.py [--rounds N] [--layers N] [--dir DIR] [--out FILE]

The model: 6 decoder layers of hidden size 1024 (the blocks of
bench/checkpoints.py), a 32,000-token embedding and an untied output head:
141.6M parameters; with AdamW's exp_avg and exp_avg_sq the checkpoint holds
three times their bytes. Files are written to DIR (on disk, default under
build/); at most four exist at once and all are removed at the end.

Saves go to a new path (the previous file removed and the page cache's dirty
pages written out before each, untimed), durable (vakra's default; peers
save, then fsync the file and its directory) and not. Loads read files the
page cache holds (each is read through once before every sample): the load
alone, then the load plus restoring the model and optimizer from it
(load_state_dict), which touches every byte. Samples are taken round-robin
across the cases, so that the shared disk's bursts hit every case alike.
"""

from __future__ import annotations

import argparse
import os
import platform
import random
import sys
from collections.abc import Callable
from pathlib import Path

import numpy as np
import torch
from torch import nn

import vakra.torch
from vakra._model.tree import flatten

sys.path.insert(0, str(Path(__file__).resolve().parent))

from checkpoints import HIDDEN, VOCAB, Block, durable_peer, median, round_robin, table, target, warm  # noqa: E402

HERE = Path(__file__).resolve().parent
LAYERS = 6
TREE, PLAIN = "vakra.torch.save of the tree", "vakra.torch.save of the flattened tensors"


class Llama(nn.Module):
    def __init__(self, layers: int) -> None:
        super().__init__()
        self.embed_tokens = nn.Embedding(VOCAB, HIDDEN)
        self.layers = nn.ModuleList(Block() for _ in range(layers))
        self.norm = nn.RMSNorm(HIDDEN)
        self.lm_head = nn.Linear(HIDDEN, VOCAB, bias=False)


def training_parts(layers: int) -> tuple[nn.Module, torch.optim.Optimizer, torch.optim.lr_scheduler.LRScheduler,
                                         torch.amp.GradScaler]:
    torch.manual_seed(0)
    model = Llama(layers)
    optimizer = torch.optim.AdamW(model.parameters(), lr=3e-4, weight_decay=0.1)
    scheduler = torch.optim.lr_scheduler.OneCycleLR(optimizer, max_lr=3e-4, total_steps=1000)
    return model, optimizer, scheduler, torch.amp.GradScaler("cpu")


def checkpoint(parts: tuple) -> dict:
    """The training state after one AdamW step (gradients made up: the
    state's tensors exist and hold other values than the parameters)."""
    model, optimizer, scheduler, scaler = parts
    generator = torch.Generator().manual_seed(1)
    for parameter in model.parameters():
        parameter.grad = torch.randn(parameter.shape, generator=generator) * 1e-3
    optimizer.step()
    scheduler.step()
    optimizer.zero_grad(set_to_none=True)
    return {"model": model.state_dict(), "optimizer": optimizer.state_dict(), "scheduler": scheduler.state_dict(),
            "scaler": scaler.state_dict(), "step": 1, "epoch": 0,
            "rng": {"python": random.getstate(), "numpy": np.random.default_rng(2).bit_generator.state,
                    "torch": torch.get_rng_state()}}


def byte_size(tensors: list[tuple[str, torch.Tensor]]) -> int:
    return sum(tensor.numel() * tensor.element_size() for _, tensor in tensors)


def saves(state: dict, plain: dict, directory: Path, rounds: int) -> dict[str, list[float]]:
    from safetensors.torch import save_file

    vkr, flat, pt, st = (directory / name for name in ("tree.vkr", "flat.vkr", "tree.pt", "flat.safetensors"))

    def fresh(path: Path) -> Callable[[], None]:
        def setup() -> None:
            path.unlink(missing_ok=True)
            os.sync()
        return setup

    durable_pt, durable_st = durable_peer(torch.save), durable_peer(save_file)
    cases = {
        f"{TREE}, durable": (fresh(vkr), lambda: vakra.torch.save(state, vkr)),
        f"{PLAIN}, durable": (fresh(flat), lambda: vakra.torch.save(plain, flat)),
        "torch.save of the tree + fsync (durable)": (fresh(pt), lambda: durable_pt(state, pt)),
        "safetensors save_file of the flattened tensors + fsync (durable)": (fresh(st), lambda: durable_st(plain, st)),
        f"{TREE}, durable=False": (fresh(vkr), lambda: vakra.torch.save(state, vkr, durable=False)),
        f"{PLAIN}, durable=False": (fresh(flat), lambda: vakra.torch.save(plain, flat, durable=False)),
        "torch.save of the tree": (fresh(pt), lambda: torch.save(state, pt)),
        "safetensors save_file of the flattened tensors": (fresh(st), lambda: save_file(plain, st)),
    }
    return round_robin(cases, rounds)


def loads(state: dict, plain: dict, directory: Path, rounds: int, layers: int) -> dict[str, list[float]]:
    from safetensors.torch import load_file

    vkr, flat, pt, st = (directory / name for name in ("tree.vkr", "flat.vkr", "tree.pt", "flat.safetensors"))
    for path in (vkr, flat, pt, st):
        if not path.exists():
            raise FileNotFoundError(f"{path}: the save section writes the files the loads read")
    check(state, vakra.torch.load_file(vkr))
    check(state, torch.load(pt, weights_only=True))
    parts = training_parts(layers)

    def restored(load: Callable[[], dict]) -> Callable[[], None]:
        def call() -> None:
            loaded = load()
            parts[0].load_state_dict(loaded["model"])
            parts[1].load_state_dict(loaded["optimizer"])
            parts[2].load_state_dict(loaded["scheduler"])
            parts[3].load_state_dict(loaded["scaler"])
        return call

    readers: dict[str, tuple[Path, Callable[[], object]]] = {
        "vakra.torch.load_file of the tree": (vkr, lambda: vakra.torch.load_file(vkr)),
        "vakra.torch.load_file of the flattened tensors": (flat, lambda: vakra.torch.load_file(flat)),
        "vakra.torch.load_file(mmap=False) of the tree": (vkr, lambda: vakra.torch.load_file(vkr, mmap=False)),
        "vakra.torch.load_file(mmap=False) of the flattened tensors":
            (flat, lambda: vakra.torch.load_file(flat, mmap=False)),
        "torch.load(weights_only=True) of the tree": (pt, lambda: torch.load(pt, weights_only=True)),
        "torch.load(weights_only=True, mmap=True) of the tree":
            (pt, lambda: torch.load(pt, weights_only=True, mmap=True)),
        "safetensors load_file of the flattened tensors": (st, lambda: load_file(st)),
        "vakra.torch.load_file of the tree + restore": (vkr, restored(lambda: vakra.torch.load_file(vkr))),
        "torch.load(weights_only=True) of the tree + restore":
            (pt, restored(lambda: torch.load(pt, weights_only=True))),
    }
    return round_robin({name: (lambda path=path: warm(path), load) for name, (path, load) in readers.items()}, rounds)


def check(expected: dict, loaded: dict) -> None:
    """The loaded tree is the saved one: its skeleton and every tensor."""
    (want, want_tensors), (got, got_tensors) = flatten(expected), flatten(loaded)
    assert want == got, "the tree's skeleton differs"
    assert all(torch.equal(a, b) for (_, a), (_, b) in zip(want_tensors, got_tensors, strict=True))


def report(results: dict, rounds: int, layers: int, directory: Path, sizes: dict, loads_seen: list[float]) -> str:
    save, load = results["save"], results["load"]
    tensors, size = sizes["tensors"], sizes["bytes"]
    lines = ["# A training checkpoint: model, AdamW state, scheduler, scaler and RNG states\n",
             f"`bench/training_checkpoint.py --rounds {rounds} --layers {layers}`: {platform.machine()}, "
             f"{os.cpu_count()} cores shared "
             f"with other builds, torch {torch.__version__}, files in `{directory}`; load average "
             f"{min(loads_seen):.1f}-{max(loads_seen):.1f} during the run. {sizes['parameters'] / 1e6:.1f}M "
             f"parameters; the checkpoint holds {tensors} tensors, {size / 2**20:.0f} MiB, and "
             f"{sizes['skeleton']} bytes of skeleton (everything but the tensors). File sizes: "
             + ", ".join(f"{name} {value / 2**20:.0f} MiB" for name, value in sizes["files"].items())
             + ". Medians and spreads of samples taken round-robin; ratios from this run.\n",
             "## Save, to a new path\n"] + table(save, f"{TREE}, durable", size)
    lines += ["## Load from the page cache\n",
              "`load_file` maps a file in the page cache and reads a tensor's pages when it is touched; "
              "`mmap=False` and torch.load read every byte. \"+ restore\" adds load_state_dict of the model, "
              "optimizer, scheduler and scaler.\n"] + table(load, "vakra.torch.load_file of the tree", size)
    s = {name: median(values) for name, values in save.items()}
    m = {name: median(values) for name, values in load.items()}
    tree_load, torch_load = "vakra.torch.load_file of the tree", "torch.load(weights_only=True) of the tree"
    rows = ["## Aims\n", "| aim | measured | goal | met |", "|---|---:|---:|---|",
            target("save: torch.save / vakra, both durable", s["torch.save of the tree + fsync (durable)"]
                   / s[f"{TREE}, durable"], 1.5),
            target("save: torch.save / vakra, neither durable",
                   s["torch.save of the tree"] / s[f"{TREE}, durable=False"], 1.5),
            target("load: torch.load(weights_only=True) / vakra.torch.load_file", m[torch_load] / m[tree_load], 10),
            target("load: torch.load(weights_only=True) / vakra.torch.load_file(mmap=False)",
                   m[torch_load] / m["vakra.torch.load_file(mmap=False) of the tree"], 10),
            target("load + restore: torch.load(weights_only=True) / vakra.torch.load_file",
                   m[torch_load + " + restore"] / m[tree_load + " + restore"], 10),
            target("save: tree / flattened tensors, durable", s[f"{TREE}, durable"] / s[f"{PLAIN}, durable"], 1.1,
                   at_most=True),
            target("save: tree / flattened tensors, durable=False",
                   s[f"{TREE}, durable=False"] / s[f"{PLAIN}, durable=False"], 1.1, at_most=True),
            target("load_file: tree / flattened tensors",
                   m[tree_load] / m["vakra.torch.load_file of the flattened tensors"], 1.1, at_most=True),
            target("load_file(mmap=False): tree / flattened tensors",
                   m["vakra.torch.load_file(mmap=False) of the tree"]
                   / m["vakra.torch.load_file(mmap=False) of the flattened tensors"], 1.1, at_most=True)]
    return "\n".join(lines + rows) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--layers", type=int, default=LAYERS, help="decoder layers (fewer for a quick run)")
    parser.add_argument("--dir", type=Path, default=HERE.parent / "build" / "training-checkpoint-bench")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "training_checkpoint.md")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    parts = training_parts(args.layers)
    state = checkpoint(parts)
    skeleton, tensors = flatten(state)
    plain = dict(tensors)
    loads_seen = [os.getloadavg()[0]]
    results: dict = {}
    try:
        print("save", flush=True)
        results["save"] = saves(state, plain, args.dir, args.rounds)
        loads_seen.append(os.getloadavg()[0])
        print("load", flush=True)
        results["load"] = loads(state, plain, args.dir, args.rounds, args.layers)
        loads_seen.append(os.getloadavg()[0])
        files = {path.name: path.stat().st_size for path in sorted(args.dir.iterdir())}
    finally:
        for path in args.dir.iterdir():
            path.unlink()
    sizes = {"tensors": len(tensors), "bytes": byte_size(tensors), "skeleton": len(skeleton.encode()),
             "parameters": sum(p.numel() for p in parts[0].parameters()), "files": files}
    text = report(results, args.rounds, args.layers, args.dir, sizes, loads_seen)
    args.out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
