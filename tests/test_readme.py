"""The README's Python examples run as written: each block is saved as a
script and run by a fresh interpreter, as a reader would run it; so do the
scripts in examples/python that it points to."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def blocks(language: str) -> list[tuple[int, str]]:
    """(line number of the block's first line, code) for each block in `language`."""
    text = README.read_text(encoding="utf-8")
    pattern = re.compile(rf"^```{language}\n(.*?)^```$", flags=re.MULTILINE | re.DOTALL)
    return [(text.count("\n", 0, match.start(1)) + 1, match.group(1)) for match in pattern.finditer(text)]


BLOCKS = {f"line {line}": (line, code) for line, code in blocks("python")}
assert len(BLOCKS) >= 3, "the pattern no longer finds the README's examples"
BLOCKS.update({path.name: (1, path.read_text(encoding="utf-8")) for path in README.parent.glob("examples/python/*.py")})


@pytest.mark.parametrize("line, code", BLOCKS.values(), ids=BLOCKS.keys())
def test_readme_block_runs_as_a_script(line, code, tmp_path):
    script = tmp_path / f"readme_line_{line}.py"
    # Padding puts tracebacks on the README's own line numbers.
    script.write_text("\n" * (line - 1) + code, encoding="utf-8")
    # The examples write files into the current directory.
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, f"README.md line {line} failed:\n{run.stderr}"
    # A block that succeeds but leaves a traceback behind (an exception in a callback, or ignored at exit) is wrong too.
    assert "Traceback" not in run.stderr and "Exception ignored" not in run.stderr, run.stderr


def test_readme_dask_configuration_works_as_a_config_file(tmp_path):
    pytest.importorskip("distributed")
    (tmp_path / "vakra.yaml").write_text(blocks("yaml")[0][1], encoding="utf-8")
    # The keys vakra.dask reads (test_dask shows what each does), as Dask reads them from the file.
    script = ("import dask.config, vakra.dask; assert dask.config.get('distributed.worker.preload') == ['vakra.dask']"
              " and dask.config.get('vakra.check-integrity') is dask.config.get('vakra.compress') is True")
    run = subprocess.run([sys.executable, "-c", script], env={**os.environ, "DASK_CONFIG": str(tmp_path)},
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
