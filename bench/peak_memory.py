"""Peak resident memory of one encode, measured in a fresh process.

tracemalloc does not see the native allocations of an extension, so this reads
the kernel's high-water mark instead: build the input, reset VmHWM to the
current RSS (/proc/self/clear_refs, "5"), encode once, read VmHWM again.

    python bench/peak_memory.py CASE NBYTES   ->  prints {"packet": .., "peak": ..}
"""

from __future__ import annotations

import json
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import workloads  # noqa: E402


def _status_kib(field: str) -> int:
    text = Path("/proc/self/status").read_text()
    return int(re.search(rf"^{field}:\s+(\d+) kB", text, re.M).group(1))


def _encoder(case: str):
    """(input builder, encoder) for each measured case."""
    if case == "tobytes":
        return workloads.incompressible, lambda a: a.tobytes()
    if case == "lz4.frame incompressible":
        from peers import lz4_frame_codec

        return workloads.incompressible, lambda a: lz4_frame_codec(a.nbytes)[0](a)
    from peers import vakra_api

    dumps = vakra_api().dumps
    if case == "vakra":
        return workloads.incompressible, dumps
    if case == "vakra compress compressible":
        return workloads.compressible, lambda a: dumps(a, compress=True)
    if case == "vakra compress incompressible":
        return workloads.incompressible, lambda a: dumps(a, compress=True)
    raise SystemExit(f"unknown case {case!r}")


CASES = (
    "vakra",
    "vakra compress compressible",
    "vakra compress incompressible",
    "tobytes",
    "lz4.frame incompressible",
)


def main() -> None:
    case, nbytes = sys.argv[1], int(sys.argv[2])
    build, encode = _encoder(case)
    value = build(nbytes)
    Path("/proc/self/clear_refs").write_text("5")
    before = _status_kib("VmRSS")
    packet = encode(value)
    peak = _status_kib("VmHWM")
    print(json.dumps({"packet": len(packet), "peak": (peak - before) * 1024}))


if __name__ == "__main__":
    main()
