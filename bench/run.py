"""Times vakra and its peers on the same data and writes the report.

    .venv/bin/python bench/run.py                  # the full run (make bench)
    .venv/bin/python bench/run.py --quick --out D  # a seconds-long smoke run

Everything runs in this one process, except the peak-memory probes, which need
a fresh process each (bench/peak_memory.py). Results go to OUT/latest.md,
OUT/latest.png and OUT/latest.json (OUT defaults to bench/results).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

import peers as formats  # noqa: E402
import report  # noqa: E402
import targets  # noqa: E402
import timing  # noqa: E402
import workloads  # noqa: E402
from report import Table, size_label  # noqa: E402


class Bench:
    def __init__(self, scale: workloads.Scale, peers: list[formats.Peer]):
        self.scale = scale
        self.peers = peers
        self.tables: dict[str, Table] = {}

    def _measure(self, cases):
        return timing.measure(cases, self.scale.rounds, self.scale.min_sample_ns)

    def _table(self, key: str, title: str, **kwargs) -> Table:
        order = ["vakra", *(p.name for p in self.peers), "lz4.frame", LZ4_SIZED, INTO_BUFFER, STRING_PARTS, "arr.tobytes()"]
        self.tables[key] = Table(title=title, order=order, **kwargs)
        return self.tables[key]

    def compare(self, kind: str, title: str, rows: dict[str, object], references=None) -> None:
        """Every peer that has a form for `kind`: dumps and loads of each row's
        value. references: extra dumps columns, name -> setup(value) -> Case."""
        dumps = self._table(f"{kind}-dumps", f"{title}: dumps", ratios=True)
        loads = self._table(f"{kind}-loads", f"{title}: loads", ratios=True)
        for label, value in rows.items():
            dumps_cases, loads_cases = {}, {}
            for peer in self.peers:
                if kind not in peer.dumps:
                    continue
                blob, error = _round_trip(peer.dumps[kind], peer.loads[kind], value)
                if error:
                    dumps.put(label, peer.name, error)
                    loads.put(label, peer.name, error)
                    continue
                dumps_cases[peer.name] = (peer.dumps[kind], value)
                loads_cases[peer.name] = (peer.loads[kind], blob)
            for name, setup in (references or {}).items():
                case, error = _guarded(lambda: setup(value))
                if error:
                    dumps.put(label, name, error)
                else:
                    dumps_cases[name] = case
            for name, result in self._measure(dumps_cases).items():
                dumps.put(label, name, result)
            for name, result in self._measure(loads_cases).items():
                loads.put(label, name, result)
            dumps.payload[label] = loads.payload[label] = workloads.payload_bytes(value)
            del dumps_cases, loads_cases
            print(f"  {title} {label}", flush=True)

    def compressed(self) -> None:
        """compress=True against lz4.frame with the same frame settings, on
        data LZ4 can shrink and on data it cannot."""
        compress = self._table("compress", "compression: dumps(compress=True) vs lz4.frame.compress", ratios=True)
        decompress = self._table("decompress", "decompression: loads vs lz4.frame.decompress", ratios=True)
        try:
            formats.lz4_frame_codec(0)
            with_lz4 = True
        except ImportError as error:
            compress.notes.append(f"lz4.frame skipped: cannot be imported: {error}")
            with_lz4 = False
        decompress.notes.append(
            f"{LZ4_SIZED}: reference only, not a target. The same data framed with its content size, so "
            "lz4.frame.decompress allocates its output once; without the size (the frame vakra writes, column "
            "lz4.frame) it has to grow the output as it goes.")
        for data_kind, build in (("compressible", workloads.compressible), ("incompressible", workloads.incompressible)):
            for size in self.scale.compressed_sizes:
                label = f"{data_kind} {size_label(size)}"
                self._compressed_row(label, build(size), compress, decompress, with_lz4)
                print(f"  compressed {label}", flush=True)

    def _compressed_row(self, label: str, array, compress: Table, decompress: Table, with_lz4: bool) -> None:
        vakra = formats.vakra_api()
        # name -> (encoder, timed decoder, decoder whose result is checked against the input)
        codecs = {"vakra": (_partial_kw(vakra.dumps, compress=True), vakra.loads, vakra.loads)}
        if with_lz4:
            lz4_compress, lz4_decompress = formats.lz4_frame_codec(array.nbytes)
            as_array = lambda frame: np.frombuffer(lz4_decompress(frame), array.dtype)  # noqa: E731
            codecs["lz4.frame"] = (lz4_compress, lz4_decompress, as_array)
        compress_cases, decompress_cases, ratios = {}, {}, []
        for name, (encoder, decoder, checked_decoder) in codecs.items():
            blob, error = _round_trip(encoder, checked_decoder, array)
            if error:
                compress.put(label, name, error)
                decompress.put(label, name, error)
                continue
            compress_cases[name] = (encoder, array)
            decompress_cases[name] = (decoder, blob)
            ratios.append(f"{name} {len(blob) / array.nbytes:.3f}")
        if with_lz4:
            sized_compress, sized_decompress = formats.lz4_frame_codec(array.nbytes, store_size=True)
            decompress_cases[LZ4_SIZED] = (sized_decompress, sized_compress(array))
        for name, result in self._measure(compress_cases).items():
            compress.put(label, name, result)
        for name, result in self._measure(decompress_cases).items():
            decompress.put(label, name, result)
        compress.payload[label] = decompress.payload[label] = array.nbytes
        compress.row_notes[label] = decompress.row_notes[label] = "output / input: " + ", ".join(ratios)

    # vakra against itself: the cost of an option, and how it scales.

    def integrity(self) -> None:
        dumps, loads = formats.vakra_api().dumps, formats.vakra_api().loads
        checked = _partial_kw(dumps, check_integrity=True)
        scale = self.scale
        big = workloads.dense(scale.integrity_size)
        integrity = self._table("integrity", f"check_integrity at {size_label(scale.integrity_size)}")
        self._time_rows(integrity, "dumps", {
            "check_integrity=False": lambda: (dumps, big),
            "check_integrity=True": lambda: (checked, big),
        })
        self._time_rows(integrity, "loads", {
            "check_integrity=False": lambda: (loads, dumps(big)),
            "check_integrity=True": lambda: (loads, checked(big)),
        })
        print("  check_integrity", flush=True)

    def dict_of_quarters(self) -> None:
        dumps = formats.vakra_api().dumps
        scale = self.scale
        whole = workloads.dense(scale.split_size)
        quarters = workloads.dict_of_quarters(scale.split_size)
        split = self._table("split", f"one {size_label(scale.split_size)} array vs a dict of four quarters")
        self._time_rows(split, "dumps", {
            f"one {size_label(scale.split_size)} array": lambda: (dumps, whole),
            f"dict of 4 x {size_label(scale.split_size // 4)}": lambda: (dumps, quarters),
        })
        print("  dict of quarters", flush=True)

    def bundle_per_entry(self) -> None:
        dumps, loads = formats.vakra_api().dumps, formats.vakra_api().loads
        scale = self.scale
        single = workloads.small_dense(scale.dict_entry_elements)
        bundle = workloads.dict_of_small(scale.dict_entries, scale.dict_entry_elements)
        per_entry = self._table(
            "bundle", f"decoding a bundle of {scale.dict_entries} arrays of {scale.dict_entry_elements} "
            "float32 vs one such packet alone")
        self._time_rows(per_entry, "loads", {
            "one packet alone": lambda: (loads, dumps(single)),
            "bundle, whole": lambda: (loads, dumps(bundle)),
        })
        whole_bundle = per_entry.rows.get("bundle, whole", {}).get("loads")
        per_entry.put("bundle, per entry", "loads",
                      whole_bundle / scale.dict_entries if isinstance(whole_bundle, float) else whole_bundle)
        print("  bundle per entry", flush=True)

    def packet_info(self) -> None:
        from vakra.vakra_rs import get_packet_info_rs as info

        dumps = formats.vakra_api().dumps
        sizes = (1024, self.scale.info_size)
        packet_info = self._table("info", "get_packet_info_rs (header only, any packet size)")
        self._time_rows(packet_info, "get_packet_info_rs", {
            f"{size_label(size)} packet": (lambda size=size: (info, dumps(workloads.dense(size)))) for size in sizes
        })
        print("  packet info", flush=True)

    def _time_rows(self, table: Table, column: str, setups) -> None:
        """Time one case per row; a row whose setup fails shows the error."""
        cases = {}
        for row, setup in setups.items():
            case, error = _guarded(setup)
            if error:
                table.put(row, column, error)
            else:
                cases[row] = case
        for row, result in self._measure(cases).items():
            table.put(row, column, result)

    def page_faults(self) -> None:
        """Minor page faults per encode of the largest array: the kernel's cost
        of handing out fresh memory, which a reused buffer or pool avoids."""
        size = max(self.scale.dense_sizes)
        array = workloads.dense(size)
        table = self._table("faults", f"minor page faults per encode of {size_label(size)} "
                            f"({size // 4096:,} pages of 4 KiB)", unit="count")
        calls = {"arr.tobytes()": np.ndarray.tobytes}
        for peer in self.peers:
            if peer.name in ("vakra", "pyarrow"):
                calls[peer.name] = peer.dumps["dense"]
        into_buffer, error = _guarded(lambda: _vakra_into_reused_buffer(array))
        if not error:
            calls[INTO_BUFFER] = into_buffer[0]
        for name, call in calls.items():
            faults, error = _guarded(lambda: _minor_faults(call, array))
            table.put(name, "faults per call", error or faults)
        print("  page faults", flush=True)

    def peak_memory(self) -> None:
        size = self.scale.peak_memory_size
        table = self._table("memory", f"peak memory of one encode of {size_label(size)} (fresh process each)",
                            unit="bytes")
        for case in _peak_memory_cases():
            probe = subprocess.run(
                [sys.executable, str(HERE / "peak_memory.py"), case, str(size)],
                capture_output=True, text=True, timeout=300,
            )
            if probe.returncode != 0:
                last = (probe.stderr.strip().splitlines() or ["no output"])[-1]
                table.put(case, "packet", last)
                continue
            measured = json.loads(probe.stdout)
            table.put(case, "packet", measured["packet"])
            table.put(case, "peak above input", measured["peak"])
            table.put(case, "peak / packet", measured["peak"] / max(measured["packet"], 1))
        print("  peak memory", flush=True)


INTO_BUFFER = "vakra dump_into (reused buffer)"
LZ4_SIZED = "lz4.frame (size stored)"
STRING_PARTS = "vakra dumps_string_rs, parts prebuilt"


def _vakra_into_reused_buffer(array) -> timing.Case:
    """dump_into (dump_to_buffer_rs) one bytearray kept across calls: the encode
    without the cost of a fresh allocation."""
    vakra = formats.vakra_api()
    buffer = bytearray(len(vakra.dumps(array)))
    return (lambda a: vakra.dump_into(a, buffer)), array


def _vakra_string_parts(strings) -> timing.Case:
    """dumps_string_rs on offsets and payload built beforehand: the packet
    encode alone, without turning Python str objects into bytes."""
    from vakra import vakra_rs

    offsets, payload, count = formats.string_parts(strings)
    return (lambda parts: vakra_rs.dumps_string_rs(*parts)), (offsets, payload, count)


def _minor_faults(call, argument, calls: int = 3) -> int:
    import resource

    call(argument)  # warm-up, as for timing
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        call(argument)
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) // calls


def _peak_memory_cases():
    import peak_memory

    return peak_memory.CASES


def _partial_kw(call, **keywords):
    from functools import partial

    return partial(call, **keywords)


def _guarded(thunk):
    """(value, None) or (None, error text)."""
    try:
        return thunk(), None
    except Exception as error:
        return None, f"{type(error).__name__}: {error}"


def _round_trip(dumps, loads, value):
    """Encode once and check the decode; (blob, None) or (None, error text)."""
    blob, error = _guarded(lambda: dumps(value))
    if error:
        return None, error
    decoded, error = _guarded(lambda: loads(blob))
    if error:
        return None, error
    if not workloads.same(value, decoded):
        return None, "decoded value differs from the input"
    return blob, None


def machine_facts() -> dict[str, str]:
    cpu = "unknown CPU"
    cpuinfo = Path("/proc/cpuinfo")
    if cpuinfo.exists():
        fields = dict(
            line.split(":", 1) for line in cpuinfo.read_text().splitlines() if ":" in line
        )
        fields = {k.strip(): v.strip() for k, v in fields.items()}
        cpu = f"{fields.get('model name', cpu)} (family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})"
    return {
        "CPU": cpu,
        "cores": str(os.cpu_count()),
        "NumPy": np.__version__,
        "Python": platform.python_version(),
        "vakra commit": _git_commit(),
        "libc": " ".join(platform.libc_ver()),
        "memmove of 64 KiB": memmove_by_page_offset(),
    }


def memmove_by_page_offset() -> str:
    """Times one 64 KiB memmove at two source-destination distances. On some
    CPU and libc pairs, a copy whose destination lies a few bytes past the
    source modulo 4096 is many times slower; which buffers of a run land that
    way depends on the allocator, so it shows up as noise in small copies."""
    import ctypes

    arena = np.zeros(4 << 20, dtype=np.uint8)
    base, size = arena.ctypes.data, 64 << 10

    def per_copy_ns(distance: int) -> float:
        source, destination = base, base + (2 << 20) + distance
        for _ in range(50):
            ctypes.memmove(destination, source, size)
        start = time.perf_counter_ns()
        for _ in range(1000):
            ctypes.memmove(destination, source, size)
        return (time.perf_counter_ns() - start) / 1000

    usual, near = per_copy_ns(2048), per_copy_ns(11)
    return (f"{report.time_label(usual)} at a distance of 2048 mod 4096, {report.time_label(near)} at 11 mod 4096 "
            f"({near / usual:.1f}x)")


def _git_commit() -> str:
    try:
        out = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, timeout=10)
        return out.stdout.strip() or "unknown"
    except OSError:
        return "unknown"


def _peer_versions() -> dict[str, str]:
    from importlib import metadata

    versions = {}
    for dist in ("vakra", "numpy", "scipy", "safetensors", "pyarrow", "msgpack", "msgpack-numpy", "lz4", "matplotlib"):
        try:
            versions[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            versions[dist] = "not installed"
    return versions


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny workloads, for the smoke test")
    parser.add_argument("--out", type=Path, default=HERE / "results", help="directory for latest.md/png")
    args = parser.parse_args(argv)

    scale = workloads.QUICK if args.quick else workloads.FULL
    started = time.monotonic()
    load_before = os.getloadavg()
    peers, skipped = formats.available()
    bench = Bench(scale, peers)

    bench.compare("dense", "dense float32", {size_label(s): workloads.dense(s) for s in scale.dense_sizes},
                  references={"arr.tobytes()": lambda a: (np.ndarray.tobytes, a),
                              INTO_BUFFER: _vakra_into_reused_buffer})
    bench.compare("dict", f"dict of {scale.dict_entries} arrays of {scale.dict_entry_elements} float32",
                  {f"{scale.dict_entries} entries": workloads.dict_of_small(scale.dict_entries, scale.dict_entry_elements)})
    bench.compare("sparse", "CSR float32",
                  {f"{scale.csr_nonzeros:,} non-zeros": workloads.csr(scale.csr_nonzeros)})
    bench.compare("strings", "short strings",
                  {f"{scale.string_count:,} strings": workloads.short_strings(scale.string_count)},
                  references={STRING_PARTS: _vakra_string_parts})
    bench.tables["strings-loads"].notes.append(
        "What loads returns differs: vakra a StringTensor and pyarrow a StringArray, both wrapping the decoded "
        "payload and decoding items on access; pickle5 and msgpack a list of str; numpy.save a fixed-width str "
        "array. vakra's dumps includes turning the list of str into offsets and payload in Python; the 'parts "
        "prebuilt' column is the packet encode alone.")
    bench.compressed()
    bench.integrity()
    bench.dict_of_quarters()
    bench.bundle_per_entry()
    bench.packet_info()
    bench.page_faults()
    bench.peak_memory()

    facts = machine_facts()
    load_after = os.getloadavg()
    facts["load average (1 min) at start / end"] = f"{load_before[0]:.2f} / {load_after[0]:.2f}"
    facts["run time"] = f"{time.monotonic() - started:.0f} s"
    results = targets.evaluate(bench.tables, scale)
    written = report.write(args.out, facts, _peer_versions(), peers, skipped, bench.tables, results, quick=args.quick)
    print(f"wrote {', '.join(map(str, written))} in {facts['run time']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
