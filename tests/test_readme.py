"""The Python examples of the README and of the documentation's pages run as
written: each block is saved as a script and run by a fresh interpreter, as
a reader would run it; so do the scripts in examples/python."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("**/*.md"))]


def blocks(page: Path, language: str) -> list[tuple[int, str]]:
    """(line number of the block's first line, code) for each block in `language`."""
    text = page.read_text(encoding="utf-8")
    pattern = re.compile(rf"^```{language}\n(.*?)^```$", flags=re.MULTILINE | re.DOTALL)
    return [(text.count("\n", 0, match.start(1)) + 1, match.group(1)) for match in pattern.finditer(text)]


BLOCKS = {f"{page.relative_to(ROOT)}:{line}": (line, code) for page in PAGES for line, code in blocks(page, "python")}
assert len(BLOCKS) >= 20, "the pattern no longer finds the README's and the documentation's examples"
BLOCKS.update({path.name: (1, path.read_text(encoding="utf-8")) for path in ROOT.glob("examples/python/*.py")})


@pytest.mark.parametrize("line, code", BLOCKS.values(), ids=BLOCKS.keys())
def test_readme_block_runs_as_a_script(line, code, tmp_path):
    script = tmp_path / f"block_at_line_{line}.py"
    # Padding puts tracebacks on the page's own line numbers.
    script.write_text("\n" * (line - 1) + code, encoding="utf-8")
    # The examples write files into the current directory.
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, f"the block at line {line} failed:\n{run.stderr}"
    # A block that succeeds but leaves a traceback behind (an exception in a callback, or ignored at exit) is wrong too.
    assert "Traceback" not in run.stderr and "Exception ignored" not in run.stderr, run.stderr


def test_documented_dask_configuration_works_as_a_config_file(tmp_path):
    pytest.importorskip("distributed")
    (tmp_path / "vakra.yaml").write_text(blocks(ROOT / "docs/guide/dask_ray.md", "yaml")[0][1], encoding="utf-8")
    # The keys vakra.dask reads (test_dask shows what each does), as Dask reads them from the file.
    script = ("import dask.config, vakra.dask; assert dask.config.get('distributed.worker.preload') == ['vakra.dask']"
              " and dask.config.get('vakra.check-integrity') is dask.config.get('vakra.compress') is True")
    run = subprocess.run([sys.executable, "-c", script], env={**os.environ, "DASK_CONFIG": str(tmp_path)},
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
