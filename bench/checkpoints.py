"""Checkpoints of a Llama-style model on this disk: saved to a new path and
over the previous file, durable and not, and loaded into the model warm and
cold, against safetensors and torch.save; writes results/checkpoints.md.

    .venv/bin/python bench/checkpoints.py [--rounds N] [--dir DIR] [--out FILE] [--only save,load,lazy]

The model: 12 decoder layers of hidden size 1024 (attention projections,
a gated MLP of 2816, two RMSNorms), a 32,000-token embedding and an untied
output head, built from plain torch.nn layers: 219.7M parameters, 838 MiB
in float32, 111 tensors.

Saves. Before every sample the page cache's dirty pages are written out
(os.sync, untimed). "Over the previous file" finds the last checkpoint at
the path; "new path" removes it just before (rm, then save), so that both
start with the same free memory; peers write to a new path, their durable
form is the save plus os.fsync of the file and of its directory.

Loads put the checkpoint into the model: load, then
``model.load_state_dict``. Warm: the file is in the page cache. Cold: its
pages are dropped first (fsync, posix_fadvise DONTNEED; the share left in
the cache is checked with mincore). The floors: one thread's memcpy of the
same bytes from memory plus the same ``load_state_dict`` (warm), and dd
reading the file sequentially from a dropped cache (cold).

Lazy: open a cold file and read 1% of its tensors (one, of 4 MiB, from the
middle) with a sum, against safetensors' safe_open; before each sample the
disk is left a quarter of a second to finish the previous one's read-ahead.

Every table gives the median and the spread (fastest-slowest) of --rounds
samples taken round-robin across its cases, so that the shared disk's
bursts hit every case alike; ratios come from the same run.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import torch
from torch import nn

import vakra
import vakra.torch

sys.path.insert(0, str(Path(__file__).resolve().parent))

from model_files import cached_share, drop_cache  # noqa: E402

HERE = Path(__file__).resolve().parent
HIDDEN, INTERMEDIATE, VOCAB, LAYERS = 1024, 2816, 32_000, 12


class Block(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.q_proj, self.k_proj, self.v_proj, self.o_proj = (nn.Linear(HIDDEN, HIDDEN, bias=False) for _ in range(4))
        self.gate_proj = nn.Linear(HIDDEN, INTERMEDIATE, bias=False)
        self.up_proj = nn.Linear(HIDDEN, INTERMEDIATE, bias=False)
        self.down_proj = nn.Linear(INTERMEDIATE, HIDDEN, bias=False)
        self.input_layernorm, self.post_attention_layernorm = nn.RMSNorm(HIDDEN), nn.RMSNorm(HIDDEN)


class Llama(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.embed_tokens = nn.Embedding(VOCAB, HIDDEN)
        self.layers = nn.ModuleList(Block() for _ in range(LAYERS))
        self.norm = nn.RMSNorm(HIDDEN)
        self.lm_head = nn.Linear(HIDDEN, VOCAB, bias=False)


def model() -> Llama:
    torch.manual_seed(0)
    with torch.no_grad():
        built = Llama()
        for norm in (m for m in built.modules() if isinstance(m, nn.RMSNorm)):
            norm.weight.uniform_(0.5, 1.5)  # not all ones, so that a load that missed it shows
    return built


# --- the page cache and the disk -------------------------------------------------------------------------

def warm(path: Path) -> None:
    with open(path, "rb", buffering=0) as handle:
        while handle.read(16 << 20):
            pass


def dd_read(path: Path) -> None:
    subprocess.run(["dd", f"if={path}", "of=/dev/null", "bs=16M"], check=True, capture_output=True)


def durable_peer(save: Callable[[dict, Path], None]) -> Callable[[dict, Path], None]:
    """A peer's save made durable: the file and its directory synced after it."""
    def durably(tensors: dict, path: Path) -> None:
        save(tensors, path)
        for target, flags in ((path, os.O_RDONLY), (path.parent, os.O_RDONLY | os.O_DIRECTORY)):
            descriptor = os.open(target, flags)
            try:
                os.fsync(descriptor)
            finally:
                os.close(descriptor)
    return durably


# --- sampling ---------------------------------------------------------------------------------------------

Case = tuple[Callable[[], None], Callable[[], None]]  # (untimed setup, timed call)


def round_robin(cases: dict[str, Case], rounds: int) -> dict[str, list[float]]:
    """Seconds of each case's timed call, `rounds` samples each, taken in turn."""
    samples: dict[str, list[float]] = {name: [] for name in cases}
    for round_number in range(rounds):
        for name, (setup, call) in cases.items():
            setup()
            began = time.perf_counter()
            call()
            samples[name].append(time.perf_counter() - began)
        print(f"  round {round_number + 1}/{rounds} (load {os.getloadavg()[0]:.1f})", flush=True)
    return samples


def median(values: list[float]) -> float:
    return statistics.median(values)


def cell(values: list[float]) -> str:
    return f"{median(values) * 1e3:.0f} ({min(values) * 1e3:.0f}-{max(values) * 1e3:.0f})"


# --- the three sections -----------------------------------------------------------------------------------

def saves(state: dict, directory: Path, rounds: int) -> dict[str, list[float]]:
    from safetensors.torch import save_file

    vkr, st, pt = directory / "model.vkr", directory / "model.safetensors", directory / "model.pt"

    def fresh(path: Path) -> Callable[[], None]:
        def setup() -> None:
            if not path.exists():
                vakra.torch.save(state, path, durable=False)
            os.sync()
            path.unlink()
        return setup

    def existing() -> None:
        if not vkr.exists():
            vakra.torch.save(state, vkr, durable=False)
        os.sync()

    def peer_fresh(path: Path) -> Callable[[], None]:
        def setup() -> None:
            path.unlink(missing_ok=True)
            os.sync()
        return setup

    durable_st, durable_pt = durable_peer(save_file), durable_peer(torch.save)
    cases: dict[str, Case] = {
        "vakra.torch.save, new path, durable": (fresh(vkr), lambda: vakra.torch.save(state, vkr)),
        "vakra.torch.save, over the previous file, durable": (existing, lambda: vakra.torch.save(state, vkr)),
        "vakra.torch.save, new path, durable=False":
            (fresh(vkr), lambda: vakra.torch.save(state, vkr, durable=False)),
        "vakra.torch.save, over the previous file, durable=False":
            (existing, lambda: vakra.torch.save(state, vkr, durable=False)),
        "safetensors save_file + fsync (durable)": (peer_fresh(st), lambda: durable_st(state, st)),
        "safetensors save_file": (peer_fresh(st), lambda: save_file(state, st)),
        "torch.save + fsync (durable)": (peer_fresh(pt), lambda: durable_pt(state, pt)),
        "torch.save": (peer_fresh(pt), lambda: torch.save(state, pt)),
    }
    return round_robin(cases, rounds)


def loads(target: Llama, state: dict, directory: Path, rounds: int) -> tuple[dict, dict, dict]:
    from safetensors.torch import load_file, save_file

    vkr, st = directory / "model.vkr", directory / "model.safetensors"
    vakra.torch.save(state, vkr)
    durable_peer(save_file)(state, st)
    loaded = vakra.torch.load_file(vkr)
    assert list(loaded) == list(state) and all(torch.equal(loaded[k], v) for k, v in state.items())
    del loaded

    def into_model(load: Callable[[], dict]) -> Callable[[], None]:
        return lambda: target.load_state_dict(load(), strict=True)

    readers = {
        "vakra.torch.load_file (mapped)": (vkr, lambda: vakra.torch.load_file(vkr, mmap=True)),
        "vakra.torch.load_file(mmap=False)": (vkr, lambda: vakra.torch.load_file(vkr, mmap=False)),
        "vakra.torch.load_file (default: mapped when cached)": (vkr, lambda: vakra.torch.load_file(vkr)),
        "safetensors load_file": (st, lambda: load_file(st)),
    }
    warm_cases = {name + " + load_state_dict": (lambda path=path: warm(path), into_model(load))
                  for name, (path, load) in readers.items()}
    size = sum(t.numel() * t.element_size() for t in state.values())
    source, destination = torch.empty(size, dtype=torch.uint8), torch.empty(size, dtype=torch.uint8)
    source.fill_(1)
    destination.fill_(2)
    source_array, destination_array = source.numpy(), destination.numpy()
    warm_cases["memcpy of the bytes, one thread"] = (lambda: None,
                                                     lambda: np.copyto(destination_array, source_array))
    warm_cases["load_state_dict of the tensors in memory"] = (lambda: None, into_model(lambda: state))
    warm_samples = round_robin(warm_cases, rounds)
    del source, destination, source_array, destination_array

    shares: dict[str, list[float]] = {}

    def dropped(path: Path, name: str) -> Callable[[], None]:
        def setup() -> None:
            drop_cache(path)
            shares.setdefault(name, []).append(cached_share(path))
        return setup

    cold_cases = {name + " + load_state_dict": (dropped(path, name), into_model(load))
                  for name, (path, load) in readers.items()}
    cold_cases["dd of the vakra file, bs=16M (floor)"] = (dropped(vkr, "dd"), lambda: dd_read(vkr))
    cold_samples = round_robin(cold_cases, rounds)
    return warm_samples, cold_samples, {name: max(values) for name, values in shares.items()}


def lazy(state: dict, directory: Path, rounds: int) -> dict[str, list[float]]:
    from safetensors import safe_open

    vkr, st = directory / "model.vkr", directory / "model.safetensors"
    if not vkr.exists() or not st.exists():
        from safetensors.torch import save_file

        vakra.torch.save(state, vkr)
        save_file(state, st)
    names = list(state)
    picked = [names[len(names) // 2]]  # 1% of 111: one tensor, a layer's projection

    def vakra_read() -> None:
        with vakra.torch.open(vkr) as file:
            sum(float(file[name].sum()) for name in picked)

    def safetensors_read() -> None:
        with safe_open(st, "pt") as file:
            sum(float(file.get_tensor(name).sum()) for name in picked)

    def settled(path: Path) -> Callable[[], None]:
        # The previous sample's read-ahead may still be in flight (a mapping
        # read with default advice reads past the tensor): let the disk
        # finish it, so that no sample waits for another's reads.
        def setup() -> None:
            drop_cache(path)
            time.sleep(0.25)
        return setup

    return round_robin({f"vakra.torch.open, {len(picked)} of {len(names)} tensors": (settled(vkr), vakra_read),
                        f"safetensors safe_open, {len(picked)} of {len(names)} tensors":
                            (settled(st), safetensors_read)}, rounds)


# --- the report -------------------------------------------------------------------------------------------

def table(samples: dict[str, list[float]], reference: str, size: int | None = None) -> list[str]:
    lines = ["| case | ms: median (fastest-slowest) | " + ("GB/s | " if size else "") + f"/ {reference} |",
             "|---|---:|" + ("---:|" if size else "") + "---:|"]
    base = median(samples[reference])
    for name, values in samples.items():
        rate = f" {size / median(values) / 1e9:.2f} |" if size else ""
        lines.append(f"| {name} | {cell(values)} |{rate} {median(values) / base:.2f} |")
    return lines + [""]


def target(label: str, ratio: float, goal: float, at_most: bool = False) -> str:
    met = ratio <= goal if at_most else ratio >= goal
    return f"| {label} | {ratio:.2f}x | {'<=' if at_most else '>='} {goal}x | {'yes' if met else 'NO'} |"


def report(results: dict, rounds: int, directory: Path, size: int, tensors: int) -> str:
    lines = ["# Checkpoints of a Llama-style model: save, overwrite, load into the model\n",
             f"`bench/checkpoints.py --rounds {rounds}`: {platform.machine()}, {os.cpu_count()} cores, "
             f"torch {torch.__version__}, files in `{directory}` ({_file_system(directory)}), load average "
             f"{os.getloadavg()[0]:.1f} at the end. {tensors} tensors, {size / 2**20:.0f} MiB float32. "
             "Medians and spreads of samples taken round-robin; ratios from this run.\n"]
    rows = ["## Targets\n", "| target | measured | goal | met |", "|---|---:|---:|---|"]
    if "save" in results:
        save = {name: median(values) for name, values in results["save"].items()}
        new, over = save["vakra.torch.save, new path, durable"], save["vakra.torch.save, over the previous file, durable"]
        lines += ["## Save\n"] + table(results["save"], "vakra.torch.save, new path, durable", size)
        rows += [target("save over the previous file / new path, durable", over / new, 1.1, at_most=True),
                 target("save over the previous file / new path, durable=False",
                        save["vakra.torch.save, over the previous file, durable=False"]
                        / save["vakra.torch.save, new path, durable=False"], 1.1, at_most=True),
                 target("safetensors / vakra, both durable, new path",
                        save["safetensors save_file + fsync (durable)"] / new, 1.2),
                 target("safetensors / vakra over the previous file, both durable",
                        save["safetensors save_file + fsync (durable)"] / over, 1.2),
                 target("torch.save / vakra, both durable, new path", save["torch.save + fsync (durable)"] / new, 2),
                 target("safetensors / vakra, neither durable, new path",
                        save["safetensors save_file"] / save["vakra.torch.save, new path, durable=False"], 1.2),
                 target("torch.save / vakra, neither durable, new path",
                        save["torch.save"] / save["vakra.torch.save, new path, durable=False"], 2)]
    if "load" in results:
        warm_samples, cold_samples, shares = results["load"]
        memcpy = median(warm_samples["memcpy of the bytes, one thread"])
        floor = memcpy + median(warm_samples["load_state_dict of the tensors in memory"])
        dd = median(cold_samples["dd of the vakra file, bs=16M (floor)"])
        lines += ["## Load into the model, warm (file in the page cache)\n",
                  f"Floor: one thread's memcpy of the {size / 2**20:.0f} MiB ({size / memcpy / 1e9:.1f} GB/s) plus "
                  f"load_state_dict of the same tensors from memory: {floor * 1e3:.0f} ms.\n"]
        lines += table(warm_samples, "vakra.torch.load_file (mapped) + load_state_dict", size)
        lines += ["## Load into the model, cold (pages dropped before each)\n",
                  f"Floor: dd reading the file from a dropped cache, {size / dd / 1e9:.2f} GB/s. Largest share of the "
                  "file left in the page cache after dropping it, by mincore: "
                  + ", ".join(f"{name} {share:.2%}" for name, share in shares.items()) + ".\n"]
        lines += table(cold_samples, "vakra.torch.load_file (mapped) + load_state_dict", size)
        warm_m = {name: median(values) for name, values in warm_samples.items()}
        cold_m = {name: median(values) for name, values in cold_samples.items()}
        st_warm, st_cold = (m["safetensors load_file + load_state_dict"] for m in (warm_m, cold_m))
        for reader in ("vakra.torch.load_file (mapped)", "vakra.torch.load_file(mmap=False)",
                       "vakra.torch.load_file (default: mapped when cached)"):
            key = reader + " + load_state_dict"
            rows += [target(f"warm: safetensors / {reader}", st_warm / warm_m[key], 1.2),
                     target(f"warm: floor / {reader}", floor / warm_m[key], 0.8),
                     target(f"cold: dd / {reader}", dd / cold_m[key], 0.85),
                     target(f"cold: safetensors / {reader} (no target)", st_cold / cold_m[key], 0)]
    if "lazy" in results:
        samples = results["lazy"]
        names = list(samples)
        lines += ["## Lazy: 1% of the tensors from a cold file\n"] + table(samples, names[0])
        rows.append(target("lazy 1% cold: vakra / safetensors", median(samples[names[0]]) / median(samples[names[1]]),
                           0.55, at_most=True))
    return "\n".join(lines + rows) + "\n"


def _file_system(directory: Path) -> str:
    result = subprocess.run(["df", "--output=fstype", str(directory)], capture_output=True, text=True)
    return result.stdout.split()[-1] if result.returncode == 0 else "unknown"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", type=Path, default=HERE.parent / "build" / "checkpoint-bench")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "checkpoints.md")
    parser.add_argument("--only", default="save,load,lazy")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    target_model = model()
    state = {name: tensor.detach().clone() for name, tensor in target_model.state_dict().items()}
    size = sum(t.numel() * t.element_size() for t in state.values())
    sections = args.only.split(",")
    results: dict = {}
    try:
        if "save" in sections:
            print("save", flush=True)
            results["save"] = saves(state, args.dir, args.rounds)
        if "load" in sections:
            print("load", flush=True)
            results["load"] = loads(target_model, state, args.dir, args.rounds)
        if "lazy" in sections:
            print("lazy", flush=True)
            results["lazy"] = lazy(state, args.dir, args.rounds)
    finally:
        for name in ("model.vkr", "model.safetensors", "model.pt"):
            (args.dir / name).unlink(missing_ok=True)
    text = report(results, args.rounds, args.dir, size, len(state))
    args.out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
