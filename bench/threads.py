"""Threads: what the pool and the released interpreter lock buy.

    .venv/bin/python bench/threads.py                   # writes bench/results/threads.md
    .venv/bin/python bench/threads.py --baseline PYTHON # small values also timed with another build's python
    .venv/bin/python bench/threads.py --quick --out D   # seconds, tiny sizes (smoke run)

Each figure is the median of several runs of one call (or of one pair of
calls), timed with the wall clock. The two-thread comparison runs in a child
process with VAKRA_NUM_THREADS=1, so each call uses one core and only the
released lock can let the two overlap. Numbers are only comparable within one
run; the load average is printed with them.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
MiB = 1 << 20


def median_seconds(call, rounds):
    call()  # warm-up: imports, first-touch allocations, the pool's workers
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def parallel_headroom():
    """How much faster two threads of GIL-free work (hashlib over 32 MiB)
    finish than one thread doing both: about 2 when two cores are free, about
    1 when other processes keep one busy. Printed with the figures."""
    import hashlib

    data = bytes(32 * MiB)

    def work():
        hashlib.sha256(data).digest()

    def serial():
        work()
        work()

    def both():
        workers = [threading.Thread(target=work) for _ in range(2)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    return median_seconds(serial, 3) / median_seconds(both, 3)


def compressible_float32(nbytes):
    rng = np.random.default_rng(0)
    return np.round(rng.standard_normal(nbytes // 4), 1).astype(np.float32)


class Pair:
    """Two threads that each run `call` once per go(), started together; the
    threads live across rounds so their creation is not timed."""

    def __init__(self, call):
        self.call = call
        self.start = threading.Barrier(3)
        self.done = threading.Barrier(3)
        self.stopping = False
        self.threads = [threading.Thread(target=self._serve, daemon=True) for _ in range(2)]
        for thread in self.threads:
            thread.start()

    def _serve(self):
        while True:
            self.start.wait()
            if self.stopping:
                return
            self.call()
            self.done.wait()

    def go(self):
        self.start.wait()
        self.done.wait()

    def close(self):
        self.stopping = True
        self.start.wait()


def memcpy_calls(size):
    """Plain memcpy of `size` bytes with the GIL released (ctypes drops it around a
    foreign call): into fresh memory, allocated as dumps allocates its bytes (malloc,
    huge pages asked for: NumPy's allocator asks for them from 4 MiB on), and into
    memory each thread keeps. What two threads of them gain is the most two threads
    of dumps can gain on this machine."""
    source = np.ones(size, np.uint8)
    kept = threading.local()

    def fresh():
        target = np.empty(size, np.uint8)
        ctypes.memmove(target.ctypes.data, source.ctypes.data, size)

    def reused():
        if not hasattr(kept, "target"):
            kept.target = np.ones(size, np.uint8)
        ctypes.memmove(kept.target.ctypes.data, source.ctypes.data, size)

    return {"memcpy into fresh memory": fresh, "memcpy into reused memory": reused}


def concurrency_part(size, rounds):
    """Child process, one thread per call: two dumps (and two plain copies, the
    machine's ceiling) on two threads against two in a row."""
    import vakra

    assert vakra.get_num_threads() == 1
    array = compressible_float32(size)
    calls = {"plain": lambda: vakra.dumps(array), "compress": lambda: vakra.dumps(array, compress=True),
             **memcpy_calls(size)}
    out = {}
    for mode, one in calls.items():
        pair = Pair(one)
        pair.go()  # warm-up
        # Round-robin so a burst of background load hits both alike.
        serial, together = [], []
        for _ in range(rounds):
            start = time.perf_counter()
            one()
            one()
            serial.append(time.perf_counter() - start)
            start = time.perf_counter()
            pair.go()
            together.append(time.perf_counter() - start)
        pair.close()
        out[mode] = (statistics.median(serial), statistics.median(together), min(serial), min(together))
    return out


def small_values_part(rounds):
    """Microseconds per dumps/loads of small values (no pool, no lock release)."""
    import vakra

    values = {
        "16 float32": np.arange(16, dtype=np.float32),
        "dict of 4 small arrays": {k: np.arange(32, dtype=np.float64) for k in "abcd"},
    }
    out = {}
    for name, value in values.items():
        packet = vakra.dumps(value)
        for label, call in (("dumps", lambda: vakra.dumps(value)), ("loads", lambda: vakra.loads(packet))):
            def many(call=call):
                for _ in range(2000):
                    call()
            out[f"{label} {name}"] = median_seconds(many, rounds) / 2000 * 1e6
    return out


def run_child(python, part, args, env_extra):
    env = dict(os.environ, **env_extra)
    command = [python, str(Path(__file__).resolve()), "--part", part, "--size", str(args.size), "--rounds",
               str(args.rounds)]
    result = subprocess.run(command, env=env, capture_output=True, text=True, check=True, timeout=1800)
    return json.loads(result.stdout)


def machine_line():
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, {platform.python_implementation()} {platform.python_version()}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--part", choices=["concurrency", "small"], help=argparse.SUPPRESS)
    parser.add_argument("--size", type=int, default=64 * MiB)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="tiny sizes and few rounds, for a smoke run")
    parser.add_argument("--baseline", help="a python with another vakra build, for the small-value row")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    args = parser.parse_args()
    if args.quick:
        args.size, args.rounds = 8 * MiB, 2
    if args.part == "concurrency":
        print(json.dumps(concurrency_part(args.size, args.rounds)))
        return
    if args.part == "small":
        print(json.dumps(small_values_part(args.rounds)))
        return

    import lz4.frame

    import vakra

    load_before = os.getloadavg()
    headroom_before = parallel_headroom()
    rows = []  # (measure, vakra seconds, reference seconds, reference name, target ratio or None)

    pairs = run_child(sys.executable, "concurrency", args, {"VAKRA_NUM_THREADS": "1"})
    ceilings = []
    for mode, (serial, together, fastest_serial, fastest_together) in pairs.items():
        if mode.startswith("memcpy"):
            ceilings.append(f"| two threads each {mode.replace('memcpy', 'copy ' + str(args.size // MiB) + ' MiB')} "
                            f"| {together * 1e3:.1f} ms | {serial * 1e3:.1f} ms | {together / serial:.2f}x | "
                            f"{fastest_together / fastest_serial:.2f}x |")
            continue
        rows.append((f"two threads each dumps {args.size // MiB} MiB ({mode}), VAKRA_NUM_THREADS=1",
                     together, serial, "the two one after the other", 1 / 0.65))
        if mode == "plain":
            ceilings.append(f"| two threads each dumps {args.size // MiB} MiB (plain) | {together * 1e3:.1f} ms | "
                            f"{serial * 1e3:.1f} ms | {together / serial:.2f}x | "
                            f"{fastest_together / fastest_serial:.2f}x |")

    array = compressible_float32(args.size)
    raw = array.tobytes()
    threads = vakra.get_num_threads()
    compressed = vakra.dumps(array, compress=True)
    lz4_settings = dict(block_size=lz4.frame.BLOCKSIZE_MAX4MB, block_linked=False, content_checksum=False,
                        store_size=False)
    same_frame = compressed[64:] == lz4.frame.compress(raw, **lz4_settings)
    rows.append((f"dumps(compress=True), {args.size // MiB} MiB compressible float32, {threads} threads",
                 median_seconds(lambda: vakra.dumps(array, compress=True), args.rounds),
                 median_seconds(lambda: lz4.frame.compress(raw, **lz4_settings), args.rounds),
                 "lz4.frame.compress, same settings" + ("" if same_frame else " (frames differ!)"), 1.6))
    parallel_loads = median_seconds(lambda: vakra.loads(compressed), args.rounds)
    vakra.set_num_threads(1)
    serial_loads = median_seconds(lambda: vakra.loads(compressed), args.rounds)
    vakra.set_num_threads(threads)
    rows.append((f"loads of that packet, {threads} threads", parallel_loads, serial_loads,
                 "the one-thread decoder", 1.6))

    big = np.ones(4 * args.size // 4, dtype=np.float32)
    rows.append((f"dumps of {big.nbytes // MiB} MiB into new bytes",
                 median_seconds(lambda: vakra.dumps(big), args.rounds),
                 median_seconds(big.tobytes, args.rounds), "arr.tobytes()", 1.5))
    del big

    small = small_values_part(args.rounds)
    baseline = run_child(args.baseline, "small", args, {}) if args.baseline else {}
    load_after = os.getloadavg()
    headroom_after = parallel_headroom()

    lines = [f"Machine: {machine_line()}; load average {load_before[0]:.1f} before, {load_after[0]:.1f} after; "
             f"two threads of GIL-free hashing ran {headroom_before:.2f}x / {headroom_after:.2f}x as fast as one "
             "(before / after: about 2 means two free cores).",
             f"vakra threads: {threads} (default); figures are medians of {args.rounds} runs.", "",
             "| measure | vakra | reference | ratio (reference / vakra) | target |", "|---|---|---|---|---|"]
    for measure, ours, reference, reference_name, target in rows:
        ratio = reference / ours
        verdict = "met" if ratio >= target else "missed"
        lines.append(f"| {measure} | {ours * 1e3:.1f} ms | {reference * 1e3:.1f} ms ({reference_name}) | "
                     f"{ratio:.2f}x | >= {target:.2f}x: {verdict} |")
    lines += ["", "The ceiling: what two threads gain over one for a plain memcpy of the same size (ctypes, lock "
              "released), beside the plain dumps; time of two threads over the two one after the other (lower is "
              "better; 0.5 would be two free cores with bandwidth to spare). Medians, and the ratio of the fastest "
              "runs, which background load touches least.", "",
              "| two threads | together | one after the other | ratio of medians | ratio of fastest |",
              "|---|---|---|---|---|", *ceilings]
    lines += ["", "Small values (microseconds per call; no pool, no lock release below 256 KiB):", "",
              "| call | this build | " + ("baseline build |" if baseline else ""),
              "|---|---|" + ("---|" if baseline else "")]
    for name, micros in small.items():
        lines.append(f"| {name} | {micros:.2f} | " + (f"{baseline[name]:.2f} |" if baseline else ""))
    text = "\n".join(lines) + "\n"
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "threads.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
