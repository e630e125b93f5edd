"""Folding numbered names into patterns: ``layers.0.w`` ... ``layers.23.w``
become ``layers.{0..23}.w`` when their other columns agree.

A name is split into text and numbers (a number written with a leading zero
stays text, so that the pattern gives the names back exactly). Names with the
same text around their numbers and the same columns fold one number position
at a time, while any two differ in that position alone; repeating that folds
grids (``layers.{0..23}.experts.{0..63}.w``) as well as single runs.
"""

from __future__ import annotations

import re
from typing import Any

__all__ = ["fold", "number_set"]

_NUMBER = re.compile(r"(\d+)")


class _Group:
    """Names that fold into one pattern: the text between numbers, the set of
    numbers at each number position, the columns, the size and count."""

    __slots__ = ("texts", "numbers", "columns", "size", "count")

    def __init__(self, texts: tuple, numbers: tuple, columns: Any, size: int, count: int) -> None:
        self.texts, self.numbers, self.columns, self.size, self.count = texts, numbers, columns, size, count

    def pattern(self) -> str:
        parts = [self.texts[0]]
        for numbers, text in zip(self.numbers, self.texts[1:]):
            parts.append(number_set(numbers) + text)
        return "".join(parts)


def fold(rows: list[tuple[str, Any, int]]) -> list[tuple[str, Any, int, int]]:
    """``(name, columns, size)`` rows folded into ``(pattern, columns, total
    size, count)``, each pattern where its first name was."""
    groups = [_split(name, columns, size) for name, columns, size in rows]
    while True:
        folded = _fold_once(groups)
        if len(folded) == len(groups):
            return [(group.pattern(), group.columns, group.size, group.count) for group in groups]
        groups = folded


def number_set(numbers: frozenset[int]) -> str:
    """``7``, or ``{0..23}``, ``{1,3,5..9}`` for several."""
    ordered = sorted(numbers)
    if len(ordered) == 1:
        return str(ordered[0])
    runs: list[str] = []
    start = previous = ordered[0]
    for number in ordered[1:] + [None]:
        if number is not None and number == previous + 1:
            previous = number
            continue
        runs.append(f"{start}..{previous}" if previous - start >= 2 else
                    ",".join(str(value) for value in range(start, previous + 1)))
        if number is not None:
            start = previous = number
    return "{" + ",".join(runs) + "}"


def _split(name: str, columns: Any, size: int) -> _Group:
    texts, numbers = [""], []
    for index, part in enumerate(_NUMBER.split(name)):
        if index % 2 and (part == "0" or not part.startswith("0")):
            numbers.append(frozenset((int(part),)))
            texts.append("")
        else:
            texts[-1] += part
    return _Group(tuple(texts), tuple(numbers), columns, size, 1)


def _fold_once(groups: list[_Group]) -> list[_Group]:
    """One pass: at each number position in turn, groups that differ there
    alone become one."""
    positions = max((len(group.numbers) for group in groups), default=0)
    for position in range(positions):
        merged: dict[tuple, _Group] = {}
        for group in groups:
            if position >= len(group.numbers):
                key: tuple = (id(group),)
            else:
                key = (group.texts, group.numbers[:position], group.numbers[position + 1:], group.columns)
            first = merged.get(key)
            if first is None:
                merged[key] = group
                continue
            if first.numbers[position] & group.numbers[position]:
                merged[(id(group),)] = group  # the same name twice: keep both
                continue
            numbers = list(first.numbers)
            numbers[position] = first.numbers[position] | group.numbers[position]
            first.numbers, first.size, first.count = tuple(numbers), first.size + group.size, first.count + group.count
        groups = list(merged.values())
    return groups
