"""Turns the measured tables into latest.md and latest.png."""

from __future__ import annotations

import dataclasses
import datetime
import json
from dataclasses import dataclass, field
from pathlib import Path


class Failed(str):
    """A cell whose case could not be timed: the error text."""


@dataclass
class Table:
    """Rows x columns of measurements. Cells hold nanoseconds (or bytes when
    unit == "bytes"), a Failed error text, or plain preformatted text."""

    title: str
    order: list[str] = field(default_factory=list)  # preferred column order
    ratios: bool = False  # also render time ÷ vakra's time
    unit: str = "ns"
    rows: dict[str, dict[str, object]] = field(default_factory=dict)
    payload: dict[str, int] = field(default_factory=dict)  # row -> bytes of tensor data
    row_notes: dict[str, str] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)

    def put(self, row: str, column: str, value) -> None:
        if isinstance(value, str) and not isinstance(value, Failed):
            value = Failed(value)  # the harness hands errors around as plain text
        self.rows.setdefault(row, {})[column] = value

    def columns(self) -> list[str]:
        seen: dict[str, None] = {}
        for cells in self.rows.values():
            seen.update(dict.fromkeys(cells))
        rank = {name: i for i, name in enumerate(self.order)}
        return sorted(seen, key=lambda c: rank.get(c, len(rank)))


def size_label(nbytes: float) -> str:
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if nbytes >= scale:
            value = nbytes / scale
            return f"{value:.0f} {unit}" if value == int(value) else f"{value:.1f} {unit}"
    return f"{nbytes:.0f} B"


def ratio_label(ratio: float) -> str:
    return f"{ratio:.2f}x" if ratio < 100 else f"{ratio:,.0f}x"


def time_label(ns: float) -> str:
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.3g} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.3g} ms"
    return f"{ns / 1e9:.3g} s"


def _cell(table: Table, value) -> str:
    if value is None:
        return "n/a"
    if isinstance(value, Failed):
        return "failed"
    if isinstance(value, str):
        return value
    if table.unit == "count":
        return f"{value:,}"
    if table.unit == "bytes":
        return size_label(value) if isinstance(value, int) else ratio_label(value)
    return time_label(value)


def _markdown_table(header: list[str], rows: list[list[str]]) -> list[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines


def _render_table(table: Table) -> list[str]:
    columns = table.columns()
    with_notes = bool(table.row_notes)
    what = {"ns": "median time per call", "bytes": "bytes", "count": "count"}[table.unit]
    lines = [f"### {table.title} ({what})", ""]
    body = []
    for row, cells in table.rows.items():
        line = [row] + [_cell(table, cells.get(c)) for c in columns]
        if with_notes:
            line.append(table.row_notes.get(row, ""))
        body.append(line)
    lines += _markdown_table([""] + columns + (["note"] if with_notes else []), body)
    if table.ratios and "vakra" in columns:
        lines += ["", f"Ratio {table.title}: time of the peer ÷ time of vakra (above 1: vakra is faster).", ""]
        others = [c for c in columns if c != "vakra"]
        ratio_rows = []
        for row, cells in table.rows.items():
            base = cells.get("vakra")
            line = [row]
            for column in others:
                value = cells.get(column)
                ok = isinstance(base, float) and isinstance(value, float)
                line.append(ratio_label(value / base) if ok else "n/a")
            ratio_rows.append(line)
        lines += _markdown_table([""] + others, ratio_rows)
    failures = [
        f"- {row} / {column}: {value}"
        for row, cells in table.rows.items()
        for column, value in cells.items()
        if isinstance(value, Failed)
    ]
    if failures:
        lines += ["", "Failed cases:", *failures]
    lines += [f"\n{note}" for note in table.notes]
    return lines + [""]


def _markdown(facts, versions, peers, skipped, tables, results, observations, quick, chart) -> str:
    machine = ", ".join(f"{k} {v}" for k, v in facts.items() if k in ("CPU", "cores", "NumPy", "Python"))
    lines = [
        f"Machine: {machine}",
        "",
        "# vakra benchmark" + (" (quick smoke run: tiny workloads, not for quoting)" if quick else ""),
        "",
        f"Run on {datetime.date.today().isoformat()}; "
        + "; ".join(f"{k} {v}" for k, v in facts.items() if k not in ("CPU", "cores", "NumPy", "Python"))
        + ". Versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()) + ".",
        "",
        chart,
        "",
        "## Targets",
        "",
        "Headroom is the measured value over the required one, turned so that 1 or more means the target holds.",
        "",
    ]
    target_rows = []
    for result in results:
        verdict = {True: "holds", False: "MISSED", None: "not measured"}[result.holds]
        headroom = f"{result.headroom:.2f}" if result.headroom is not None else "n/a"
        target_rows.append([result.name, verdict, headroom, result.summary])
    lines += _markdown_table(["target", "result", "headroom", "worst case measured"], target_rows)
    details = [f"- {result.name}: {result.detail}" for result in results if result.detail]
    if details:
        lines += ["", "All rows of the targets checked on several rows:", "", *details]
    lines += ["", "Also measured:", ""] + [f"- {o}" for o in observations]
    lines += ["", "## Formats compared", ""]
    lines += [f"- **{peer.name}**: {peer.note}" for peer in peers]
    lines += [f"- **{name}**: skipped, {reason}" for name, reason in skipped]
    lines += [
        "- **lz4.frame**: the compressed path's reference, same frame settings as vakra writes",
        "- **arr.tobytes()**: one copy of the array into a new bytes object, the floor for any encoder that returns bytes",
        "",
        "## Method",
        "",
        "One process, one run. Before timing, every format encodes each value once and its decode is compared "
        "with the input; a format that fails or decodes wrongly is listed as failed and not timed. Each case is "
        "warmed up, then timed with time.perf_counter_ns in samples that loop the call until a sample lasts at "
        "least the minimum sample time; the samples of all formats of one comparison are taken round-robin, with "
        "the garbage collector off, and the median is reported. loads is always timed on the format's own dumps "
        "output (bytes, a pyarrow Buffer, or pickle's header plus buffers). Peak memory is the kernel's high-water "
        "mark (VmHWM after resetting it through /proc/self/clear_refs) of a fresh process that builds the input "
        "and encodes it once. n/a: the format has no form for that value. The memmove figure in the run line "
        "measures a quirk of some CPU and libc pairs: a copy whose destination lies a few bytes past its source "
        "modulo 4096 runs many times slower. Which buffers land that way depends on the allocator, so copy-bound "
        "rows of tens of KiB can move by about that factor between runs, for any format.",
        "",
        "## Tables",
        "",
    ]
    for table in tables.values():
        lines += _render_table(table)
    return "\n".join(lines)


def _headroom_label(value: float) -> str:
    if value >= 10:
        return f"{value:,.0f}"
    return f"{value:.2f}" if value >= 0.01 else f"{value:.0e}"


def _chart(path: Path, tables, results) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    fig, axes = plt.subplots(1, 3, figsize=(18, 6), gridspec_kw={"width_ratios": [1, 1, 1.1]})
    zero_copy = "\n(a line that climbs without bound copies nothing)"
    for axis, key, title, subtitle in ((axes[0], "dense-dumps", "dumps", zero_copy),
                                       (axes[1], "dense-loads", "loads", zero_copy)):
        table = tables.get(key)
        if not table:
            continue
        for column in table.columns():
            points = [
                (table.payload[row], table.payload[row] / cells[column])
                for row, cells in table.rows.items()
                if isinstance(cells.get(column), float)
            ]
            if not points:
                continue
            xs, ys = zip(*points)
            style = {"linewidth": 3, "color": "black"} if column == "vakra" else {}
            if column == "arr.tobytes()":
                style = {"linestyle": "--", "color": "grey"}
            axis.plot(xs, ys, marker="o", markersize=3, label=column, **style)
        axis.set_xscale("log", base=2)
        axis.set_xticks(sorted(table.payload.values()))
        axis.xaxis.set_major_formatter(FuncFormatter(lambda x, _: size_label(x)))
        axis.tick_params(axis="x", labelrotation=45, labelsize=8)
        axis.set_yscale("log")
        axis.set_xlabel("array size (float32)")
        axis.set_ylabel("throughput, GB/s (higher is better)")
        axis.set_title(f"{title}: dense float32" + subtitle, fontsize=10)
        axis.grid(True, which="major", alpha=0.3)
        axis.legend(fontsize=8)

    measured = [r for r in results if r.headroom is not None]
    axis = axes[2]
    if measured:
        names = [r.short for r in measured][::-1]
        values = [r.headroom for r in measured][::-1]
        colors = ["tab:green" if r.holds else "tab:red" for r in measured][::-1]
        bars = axis.barh(names, values, color=colors)
        axis.bar_label(bars, labels=[_headroom_label(v) for v in values], fontsize=7, padding=2)
        axis.axvline(1.0, color="black", linewidth=1)
        axis.set_xscale("log")
        axis.set_xlabel("headroom: measured ÷ required (1 or more holds)")
        axis.set_title("targets")
        axis.tick_params(axis="y", labelsize=8)
    else:
        axis.text(0.5, 0.5, "no target measured in this run", ha="center", va="center")
        axis.set_axis_off()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write(out_dir: Path, facts, versions, peers, skipped, tables, evaluation, quick: bool) -> list[Path]:
    """Writes latest.md, latest.json and (with matplotlib) latest.png; returns their paths."""
    results, observations = evaluation
    out_dir.mkdir(parents=True, exist_ok=True)
    written = [out_dir / "latest.md", out_dir / "latest.json"]
    try:
        _chart(out_dir / "latest.png", tables, results)
        chart = "![throughput of dumps and loads per format, and the targets](latest.png)"
        written.append(out_dir / "latest.png")
    except ImportError as error:  # the test extra has no matplotlib; the bench extra does
        chart = f"(no chart: {error})"
    text = _markdown(facts, versions, peers, skipped, tables, results, observations, quick, chart)
    (out_dir / "latest.md").write_text(text + "\n")
    raw = {
        "machine": facts,
        "versions": versions,
        "skipped": dict(skipped),
        "tables": {key: {"title": t.title, "unit": t.unit, "payload": t.payload, "rows": t.rows}
                   for key, t in tables.items()},
        "targets": [dataclasses.asdict(r) for r in results],
    }
    (out_dir / "latest.json").write_text(json.dumps(raw, indent=1) + "\n")
    return written
