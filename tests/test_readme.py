"""The README's Python examples run as written: each block is saved as a
script and run by a fresh interpreter, as a reader would run it."""

from __future__ import annotations

import re
import subprocess
import sys
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
def test_readme_block_runs_as_a_script(line, code, tmp_path):
    script = tmp_path / f"readme_line_{line}.py"
    # Padding puts tracebacks on the README's own line numbers.
    script.write_text("\n" * (line - 1) + code, encoding="utf-8")
    # The examples write files into the current directory.
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, f"README.md line {line} failed:\n{run.stderr}"
