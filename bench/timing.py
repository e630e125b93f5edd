"""Median-of-samples timing with time.perf_counter_ns.

Every case is warmed up and calibrated first: a sample loops the call until it
lasts at least min_sample_ns, so that tiny calls are not lost in timer noise.
The samples are then taken round-robin across the cases of one comparison, so
that a burst of background load on this shared machine hits every format alike
instead of whichever happened to run at that moment.
"""

from __future__ import annotations

import gc
import statistics
from time import perf_counter_ns
from typing import Callable

MAX_LOOPS = 1 << 20

Case = tuple[Callable, object]  # a one-argument call and its argument


def _sample(call: Callable, argument, loops: int) -> float:
    """Nanoseconds per call, averaged over `loops` back-to-back calls."""
    start = perf_counter_ns()
    for _ in range(loops):
        call(argument)
    return (perf_counter_ns() - start) / loops


def _calibrate(call: Callable, argument, min_sample_ns: int) -> int:
    call(argument)  # warm-up: imports, caches, first-touch allocations
    loops = 1
    while loops < MAX_LOOPS:
        elapsed = _sample(call, argument, loops) * loops
        if elapsed >= min_sample_ns:
            break
        loops = min(MAX_LOOPS, max(loops * 2, int(loops * 1.2 * min_sample_ns / max(elapsed, 1.0))))
    return loops


def measure(cases: dict[str, Case], rounds: int, min_sample_ns: int) -> dict[str, float | str]:
    """Median nanoseconds per call for each case, or the error text of a case
    whose call raised."""
    results: dict[str, float | str] = {}
    loops: dict[str, int] = {}
    for name, (call, argument) in cases.items():
        try:
            loops[name] = _calibrate(call, argument, min_sample_ns)
        except Exception as error:  # a broken format is reported, not fatal
            results[name] = f"{type(error).__name__}: {error}"
    samples: dict[str, list[float]] = {name: [] for name in loops}
    gc_was_enabled = gc.isenabled()
    gc.disable()  # as timeit does: collections would land on random samples
    try:
        for _ in range(rounds):
            for name in loops:
                call, argument = cases[name]
                samples[name].append(_sample(call, argument, loops[name]))
    finally:
        if gc_was_enabled:
            gc.enable()
    for name, values in samples.items():
        results[name] = statistics.median(values)
    return results
