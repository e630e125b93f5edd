"""The speed targets vakra promises, checked against the tables of one run.

Every target is a ratio of two times taken in the same run, so it says
something about vakra and not about the machine. Headroom is measured over
required, oriented so that 1 or more means the target holds.
"""

from __future__ import annotations

from dataclasses import dataclass

from report import Table, ratio_label, size_label, time_label

BIG = 64 << 20  # "64 MiB and up"
REFERENCES = ("arr.tobytes()", "vakra dump_into (reused buffer)")  # dense-dumps columns that are not peers
SELF_CONTAINED_EXCLUDED = "pickle5-oob"  # hands out views of the source, copies nothing


@dataclass
class Target:
    name: str
    short: str  # chart label
    holds: bool | None  # None: not measured in this run
    headroom: float | None
    summary: str  # the worst row, and by how much a miss misses
    detail: str = ""  # every row, when there are several


def _time(tables: dict[str, Table], key: str, row: str, column: str) -> float | None:
    value = tables.get(key, Table("")).rows.get(row, {}).get(column)
    return value if isinstance(value, float) else None


def _verdict(name: str, short: str, checks: list[tuple[str, float | None]], explain) -> Target:
    """checks: (row label, headroom or None). The target holds when every
    measured row holds; the reported headroom is the worst row's."""
    measured = [(row, h) for row, h in checks if h is not None]
    if not measured:
        missing = ", ".join(row for row, _ in checks) or "no row"
        return Target(name, short, None, None, f"not measured in this run ({missing})")
    worst_row, worst = min(measured, key=lambda check: check[1])
    summary = explain(worst_row)
    if worst < 1.0:
        summary = f"missed by a factor of {ratio_label(1 / worst)}: " + summary
    detail = "; ".join(explain(row) for row, _ in measured) if len(measured) > 1 else ""
    unmeasured = [row for row, h in checks if h is None]
    if unmeasured:
        detail += "; not measured: " + ", ".join(unmeasured)
    return Target(name, short, worst >= 1.0, worst, summary, detail)


def _big_rows(tables) -> list[str]:
    table = tables.get("dense-dumps")
    if not table:
        return []
    return [row for row, size in table.payload.items() if size >= BIG]


def _dumps_fastest(tables, exclude: tuple[str, ...]) -> tuple[list, callable]:
    rows = _big_rows(tables)
    table = tables.get("dense-dumps", Table(""))
    checks, facts = [], {}
    for row in rows:
        vakra = _time(tables, "dense-dumps", row, "vakra")
        peers = {c: v for c, v in table.rows[row].items()
                 if isinstance(v, float) and c not in ("vakra", *REFERENCES, *exclude)}
        if vakra is None or not peers:
            checks.append((row, None))
            continue
        fastest = min(peers, key=peers.get)
        checks.append((row, peers[fastest] / vakra))
        facts[row] = f"{row}: vakra {time_label(vakra)}, fastest peer {fastest} {time_label(peers[fastest])}"
    return checks, lambda row: facts[row]


def _ratio_rows(tables, key, rows, peer, limit, faster_by):
    """Headroom of vakra against `peer` on the given rows of one table:
    faster_by=True requires vakra to be `limit` times faster; False requires it
    to be no more than `limit` times slower."""
    checks, facts = [], {}
    for row in rows:
        vakra, other = _time(tables, key, row, "vakra"), _time(tables, key, row, peer)
        if vakra is None or other is None:
            checks.append((row, None))
            continue
        speedup = other / vakra
        checks.append((row, speedup / limit if faster_by else speedup * limit))
        facts[row] = f"{row}: vakra {time_label(vakra)}, {peer} {time_label(other)} (vakra {ratio_label(speedup)} as fast)"
    return checks, lambda row: facts[row]


def evaluate(tables: dict[str, Table], scale) -> tuple[list[Target], list[str]]:
    results = []
    big = _big_rows(tables) or [f">= {size_label(BIG)} (largest in this run: {size_label(max(scale.dense_sizes))})"]

    checks, explain = _dumps_fastest(tables, exclude=())
    results.append(_verdict("dumps >= 64 MiB: fastest of all peers", "dumps fastest, all peers", checks, explain))
    results[-1].summary += (". pickle5-oob copies nothing: it returns a small pickle and views of the "
                           "array's own memory")
    checks, explain = _dumps_fastest(tables, exclude=(SELF_CONTAINED_EXCLUDED,))
    results.append(_verdict(
        "dumps >= 64 MiB: fastest of the peers that produce one self-contained buffer (all but pickle5-oob)",
        "dumps fastest, self-contained", checks, explain))
    if results[-1].holds is False:
        results[-1].summary += _why_fresh_memory(tables)

    checks, explain = _ratio_rows(tables, "dense-dumps", big, "arr.tobytes()", 0.85, faster_by=True)
    results.append(_verdict("dumps >= 64 MiB: >= 0.85x the throughput of arr.tobytes()", "dumps vs tobytes",
                            checks, explain))
    for peer, short in (("numpy.save", "loads vs numpy.load"), ("pickle5", "loads vs pickle.loads")):
        checks, explain = _ratio_rows(tables, "dense-loads", big, peer, 100, faster_by=True)
        results.append(_verdict(f"loads >= 64 MiB: >= 100x faster than {peer}", short, checks, explain))
    checks, explain = _ratio_rows(tables, "dense-loads", big, "pyarrow", 2, faster_by=False)
    results.append(_verdict("loads >= 64 MiB: within 2x of pyarrow read_tensor", "loads vs pyarrow", checks, explain))

    small = [size_label(scale.small_elements * 4)]
    for op in ("dumps", "loads"):
        checks, explain = _ratio_rows(tables, f"dense-{op}", small, "pickle5", 1.5, faster_by=False)
        results.append(_verdict(f"{op} of {scale.small_elements} float32: within 1.5x of pickle protocol 5",
                                f"{op} 16 elements vs pickle", checks, explain))

    for key, op in (("compress", "compression"), ("decompress", "decompression")):
        rows = list(tables.get(key, Table("")).rows)
        checks, explain = _ratio_rows(tables, key, rows, "lz4.frame", 0.9, faster_by=True)
        results.append(_verdict(f"{op}: >= 0.9x lz4.frame (worst row counts)", f"{op} vs lz4", checks, explain))

    plain = _time(tables, "integrity", "check_integrity=False", "dumps")
    checked = _time(tables, "integrity", "check_integrity=True", "dumps")
    row = size_label(scale.integrity_size)
    results.append(_verdict(
        f"check_integrity adds <= 60% to dumps at {row}", "check_integrity cost",
        [(row, 1.6 / (checked / plain) if plain and checked else None)],
        lambda _: f"{time_label(plain)} without, {time_label(checked)} with (+{(checked / plain - 1) * 100:.0f}%)"))

    single = _time(tables, "bundle", "one packet alone", "loads")
    per_entry = _time(tables, "bundle", "bundle, per entry", "loads")
    results.append(_verdict(
        f"decoding a {scale.dict_entries}-entry bundle: per entry <= 1.5x one packet alone", "bundle per entry",
        [("bundle", 1.5 * single / per_entry if single and per_entry else None)],
        lambda _: f"{time_label(per_entry)} per entry, {time_label(single)} for one packet alone "
                  f"({ratio_label(per_entry / single)})"))

    split = tables.get("split", Table(""))
    one_row, dict_row = (list(split.rows) + [None, None])[:2]
    one, quarters = _time(tables, "split", one_row, "dumps"), _time(tables, "split", dict_row, "dumps")
    results.append(_verdict(
        f"dict of 4 x {size_label(scale.split_size // 4)} encodes >= 0.8x as fast as one "
        f"{size_label(scale.split_size)} array", "dict of quarters",
        [(size_label(scale.split_size), (one / quarters) / 0.8 if one and quarters else None)],
        lambda _: f"{one_row} {time_label(one)}, {dict_row} {time_label(quarters)} "
                  f"(dict {ratio_label(one / quarters)} as fast)"))

    return results, _observations(tables)


def _why_fresh_memory(tables) -> str:
    faults = tables.get("faults")
    if not faults:
        return ""
    counts = {row: cells.get("faults per call") for row, cells in faults.rows.items()}
    parts = [f"{row} {count:,}" for row, count in counts.items() if isinstance(count, int)]
    return (f". Why: minor page faults per call at the largest size ({', '.join(parts)}): a new bytes object "
            "of that size is fresh memory the kernel must fault in and zero (with huge pages there are fewer "
            "faults, but the zeroing remains), while pyarrow's memory pool hands back memory it already touched. "
            "dump_into a reused buffer avoids it (see 'Also measured')")


def _observations(tables) -> list[str]:
    notes = []
    for row in _big_rows(tables):
        fresh, reused = _time(tables, "dense-dumps", row, "vakra"), _time(tables, "dense-dumps", row, REFERENCES[1])
        if fresh and reused:
            notes.append(f"dumps of {row}: {time_label(fresh)} into a new bytes object, {time_label(reused)} with "
                         f"dump_into a reused buffer ({ratio_label(fresh / reused)}): the rest is the cost of "
                         "faulting in and zeroing freshly allocated memory")
    small, large = _time(tables, "dense-loads", "1 KiB", "vakra"), _time(tables, "dense-loads", "64 MiB", "vakra")
    if small and large:
        notes.append(f"loads of an uncompressed 1 KiB packet {time_label(small)}, of a 64 MiB packet "
                     f"{time_label(large)} ({ratio_label(large / small)}): decoding is zero-copy, its cost does not grow "
                     "with the body")
    info = tables.get("info")
    if info:
        cells = [f"{row} {time_label(c['get_packet_info_rs'])}" for row, c in info.rows.items()
                 if isinstance(c.get("get_packet_info_rs"), float)]
        if cells:
            notes.append("get_packet_info_rs: " + ", ".join(cells))
    memory = tables.get("memory")
    if memory:
        for row, cells in memory.rows.items():
            if isinstance(cells.get("peak above input"), int):
                notes.append(f"peak memory, {row}: {size_label(cells['peak above input'])} above the input for a "
                             f"{size_label(cells['packet'])} packet ({ratio_label(cells['peak / packet'])} the packet)")
    return notes
