"""The README's Python examples run as written."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def python_blocks() -> list[tuple[int, str]]:
    """(line number of the block's first line, code) for each ```python block."""
    text = README.read_text(encoding="utf-8")
    pattern = re.compile(r"^```python\n(.*?)^```$", flags=re.MULTILINE | re.DOTALL)
    return [(text.count("\n", 0, match.start(1)) + 1, match.group(1)) for match in pattern.finditer(text)]


BLOCKS = python_blocks()
assert len(BLOCKS) >= 3, "the pattern no longer finds the README's examples"

@pytest.mark.parametrize("line, code", BLOCKS, ids=[f"line {line}" for line, _ in BLOCKS])
def test_readme_block_runs(line, code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # examples write files into the current directory
    # Padding puts tracebacks on the README's own line numbers.
    exec(compile("\n" * (line - 1) + code, str(README), "exec"), {"__name__": "readme"})
