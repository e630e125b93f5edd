"""What the installed package says about itself: its version, and which
extra an optional module needs."""

from __future__ import annotations

import importlib
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vakra

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


@pytest.mark.skipif(not PYPROJECT.exists(), reason="no pyproject.toml beside the tests")
def test_version_is_the_one_in_pyproject():
    declared = re.search(r'^version = "(.+)"$', PYPROJECT.read_text(encoding="utf-8"), flags=re.MULTILINE)[1]
    assert vakra.__version__ == declared
    run = subprocess.run([sys.executable, "-m", "vakra", "--version"], capture_output=True, text=True, check=True)
    assert run.stdout == f"vakra {declared}\n"


@pytest.mark.parametrize("module, dependency, extra", [("vakra.dask", "distributed", "dask"),
                                                       ("vakra.torch", "torch", "torch")])
def test_optional_module_names_its_extra(module, dependency, extra, monkeypatch):
    monkeypatch.setitem(sys.modules, dependency, None)  # imports of it now fail, as if it were not installed
    monkeypatch.delitem(sys.modules, module, raising=False)
    with pytest.raises(ImportError, match=re.escape(f"pip install 'vakra[{extra}]'")):
        importlib.import_module(module)
