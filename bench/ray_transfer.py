"""``ray.get`` of 1 GiB vakra values from a local Ray's object store: what Ray
does alone against ``vakra.ray``, in one run.

    .venv/bin/python bench/ray_transfer.py            # writes bench/results/ray.md
    .venv/bin/python bench/ray_transfer.py --quick    # 64 MiB values, prints only

Each value is put once; then it is got again and again, each get timed alone,
with this process's resident memory read before the get and after it (the
value still held), then the value dropped. Nothing reads the values' bodies,
so resident memory grows only by what a get copies. The "before" rows run
first, without ``vakra.ray.register()``; the rest after it.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import time
from pathlib import Path

import ml_dtypes
import numpy as np
import ray
import torch

import vakra
import vakra.ray

RESULTS = Path(__file__).resolve().parent / "results" / "ray.md"
PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def measure(value, gets: int, decode=None) -> dict:
    """Put ``value`` once; time each of ``gets`` gets (and ``decode`` of what arrived, when given)."""
    start = time.perf_counter()
    ref = ray.put(value)
    put = time.perf_counter() - start
    times, grown = [], []
    for _ in range(gets):
        before = resident()
        start = time.perf_counter()
        got = ray.get(ref)
        if decode is not None:
            got = decode(got)
        times.append(time.perf_counter() - start)
        grown.append(resident() - before)
        del got
    del ref
    return {"put": put, "get": statistics.median(times), "grown": statistics.median(grown), "most": max(grown)}


def viewed(got):
    """The first array or tensor of what a get gave (packets decoded)."""
    if isinstance(got, (bytes, vakra.ray.Packet)):
        got = vakra.loads(got.data if isinstance(got, vakra.ray.Packet) else got)
    return next(iter(got.values())) if isinstance(got, dict) else got


def shares_the_store(value) -> bool:
    """Whether two gets of ``value`` give arrays or tensors over the same memory."""
    ref = ray.put(value)
    first, second = viewed(ray.get(ref)), viewed(ray.get(ref))
    if isinstance(first, torch.Tensor):
        return first.data_ptr() == second.data_ptr()
    return bool(np.shares_memory(first, second))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="64 MiB values, 3 gets; print only")
    arguments = parser.parse_args()
    size = (64 if arguments.quick else 1024) * MIB
    gets = 3 if arguments.quick else 10
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             runtime_env={"worker_process_setup_hook": "vakra.ray.register"})

    floats = np.random.default_rng(0).standard_normal(size // 4, dtype=np.float32)
    packet = vakra.dumps(floats)
    tensor = torch.from_numpy(floats)
    halves = np.tile(floats.astype(ml_dtypes.bfloat16), 2)  # size bytes of bfloat16
    label = f"{size // MIB} MiB"
    rows = []

    def row(case: str, how: str, value, decode=None) -> None:
        result = measure(value, gets, decode)
        result.update(case=case, how=how, shares=shares_the_store(value))
        rows.append(result)
        print(f"{case:40} {how:42} get {result['get'] * 1e3:9.3f} ms  rss +{result['most'] / MIB:7.1f} MiB", flush=True)

    row(f"packet, {label}", "before: `bytes`, then `vakra.loads`", packet, vakra.loads)
    row(f"torch float32 tensor, {label}", "before: torch's own pickle", tensor)
    row(f"bfloat16 array, {label}", "before: NumPy's own pickle", halves)
    small = {f"a{i}": np.full(1024, i, np.float32) for i in range(200)}
    row("dict of 200 arrays of 4 KiB", "before: Ray alone", small)
    vakra.ray.register()
    row(f"packet, {label}", "`vakra.ray.Packet`, then `vakra.loads`", vakra.ray.Packet(packet),
        lambda got: vakra.loads(got.data))
    row(f"torch float32 tensor, {label}", "`vakra.ray.register()`", tensor)
    row(f"bfloat16 array, {label}", "`vakra.ray.register()`", halves)
    row(f"float32 array decoded by vakra, {label}", "NumPy's pickle, out of band (left to Ray)", vakra.loads(packet))
    row("dict of 200 arrays of 4 KiB", "`vakra.ray.register()` (NumPy's pickle still)", small)
    row("dict of 200 arrays of 4 KiB", "one `vakra.ray.Packet`, then `vakra.loads`", vakra.ray.Packet(vakra.dumps(small)),
        lambda got: vakra.loads(got.data))
    ray.shutdown()
    if not arguments.quick:
        write(rows, gets)


def write(rows: list, gets: int) -> None:
    lines = [
        "# Ray: `ray.get` of vakra values from the object store",
        "",
        f"`bench/ray_transfer.py`, one run: {platform.machine()}, {os.cpu_count()} cores, Python "
        f"{platform.python_version()}, Ray {ray.__version__}, torch {torch.__version__}, load average "
        f"{os.getloadavg()[0]:.1f} at the end. A local `ray.init(num_cpus=2)`; each value put once, then got "
        f"{gets} times, each get timed alone; the driver's resident memory read before each get and after it "
        "(the value held, its bodies not read). Target: `ray.get` of a 1 GiB vakra value in at most 1 ms "
        "median, resident memory flat over the gets, arrays and tensors sharing the store's memory.",
        "",
        "| value | how | put (ms) | get, median (ms) | RSS growth per get, median / most (MiB) | two gets share memory |",
        "|---|---|---:|---:|---:|---|",
    ]
    for r in rows:
        lines.append(f"| {r['case']} | {r['how']} | {r['put'] * 1e3:.1f} | {r['get'] * 1e3:.3f} | "
                     f"{r['grown'] / MIB:.1f} / {r['most'] / MIB:.1f} | {'yes' if r['shares'] else 'no'} |")
    lines += ["", "Puts copy each body into the store once, from the value's own memory (a tensor, an array and "
              "a `Packet` alike); put times vary from run to run with how much of the store's memory is touched for "
              "the first time. The gets of the rows after `register()` build views of the store and read nothing "
              "of the bodies."]
    RESULTS.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print(f"wrote {RESULTS}")


if __name__ == "__main__":
    main()
