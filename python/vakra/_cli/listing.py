"""The lines of ``vakra ls``: one per entry (name, kind, dtype, shape, stored
size, flags), from headers alone, optionally folded into numbered patterns,
then a total."""

from __future__ import annotations

from typing import Any

from .._model.file_entries import Contents
from .name_patterns import fold
from .tree_text import human_size, shape_text

__all__ = ["entry_lines", "printable"]


def entry_lines(contents: Contents, collapse: bool = False) -> list[str]:
    """The table of `contents`' entries, the damaged ones marked, its
    metadata (model files) and a total line."""
    rows: list[tuple[str, tuple, int]] = []
    stored = 0
    for entry in contents.entries:
        tied = (f"tied to {printable(entry.tied)}",) if entry.tied is not None else ()
        for name, facts in _leaves(entry.name, entry.facts):
            rows.append((name, _columns(facts) + tied, facts["size"]))
        if entry.tied is None:
            stored += entry.facts["size"]
    folded = fold(rows) if collapse else [(name, columns, size, 1) for name, columns, size in rows]
    table = [[printable(name), *columns[:3], human_size(size), ", ".join(columns[3:]), f"x{count}" if count > 1 else ""]
             for name, columns, size, count in folded]
    lines = _aligned(table)
    lines += [f"{printable(name)}  damaged: {why}" for name, why in contents.damaged]
    if contents.metadata:
        lines.append("metadata: " + ", ".join(f"{printable(key)}={printable(value)}" for key, value in
                                              contents.metadata.items()))
    count = len(contents.entries) + len(contents.damaged)
    lines.append(f"total: {count} {'entry' if count == 1 else 'entries'}, {human_size(stored)} stored "
                 f"({stored} bytes)")
    return lines


def _leaves(name: str, facts: dict[str, Any]) -> list[tuple[str, dict[str, Any]]]:
    """The entry, or the values of the dict it holds (at any depth), named by path."""
    children = facts.get("entries")
    if facts["kind"] != "bundle" or not children:
        return [(name, facts)]
    return [leaf for key, child in children.items() for leaf in _leaves(f"{name}/{key}", child)]


def _columns(facts: dict[str, Any]) -> tuple:
    """kind, dtype, shape, then the flags of the packet and its parts."""
    kind = facts["kind"]
    dtype = facts["dtype"]
    if kind == "sparse":
        kind, dtype = f"sparse {facts['format']}", facts["components"]["data"]["dtype"]
    elif kind == "bundle":
        kind = "dict"
    shape = shape_text(facts["shape"])
    parts = [facts, *facts.get("components", {}).values()]
    flags = tuple(flag for flag, key in (("compressed", "compressed"), ("checksummed", "integrity_protected"))
                  if any(part.get(key) for part in parts))
    return (kind, dtype or "-", shape) + flags


def _aligned(table: list[list[str]]) -> list[str]:
    """The rows as columns two spaces apart, sizes right-aligned; a column empty in every row is left out."""
    widths = [max(len(row[column]) for row in table) for column in range(len(table[0]))] if table else []
    lines = []
    for row in table:
        cells = [cell.rjust(width) if column == 4 else cell.ljust(width)
                 for column, (cell, width) in enumerate(zip(row, widths)) if width]
        lines.append("  ".join(cells).rstrip())
    return lines


def printable(text: str) -> str:
    """`text` as it is when printable, else its repr (no control characters reach the terminal)."""
    return text if text.isprintable() else repr(text)
