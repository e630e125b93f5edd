"""What the installed package says about itself: its version, and which
extra an optional module or a conversion needs."""

from __future__ import annotations

import importlib
import importlib.metadata
import os
import re
import shutil
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


@pytest.mark.parametrize("call, dependency, extra", [
    (lambda path: importlib.import_module("vakra.dask"), "distributed", "dask"),
    (lambda path: importlib.import_module("vakra.torch"), "torch", "torch"),
    (lambda path: importlib.import_module("vakra.ray"), "ray", "ray"),
    (lambda path: vakra.convert(path / "x.safetensors", path / "out.vkr"), "safetensors", "safetensors"),
    (lambda path: vakra.convert(path / "x.pt", path / "out.vkr"), "torch", "torch"),
], ids=["vakra.dask", "vakra.torch", "vakra.ray", "convert safetensors", "convert torch"])
def test_a_missing_extra_is_named(call, dependency, extra, tmp_path, monkeypatch):
    for name in ("x.safetensors", "x.pt"):
        (tmp_path / name).write_bytes(b"")
    monkeypatch.setitem(sys.modules, dependency, None)  # imports of it now fail, as if it were not installed
    for module in ("vakra.dask", "vakra.torch", "vakra.ray"):
        monkeypatch.delitem(sys.modules, module, raising=False)
    with pytest.raises(ImportError, match=re.escape(f"pip install 'vakra[{extra}]'")):
        call(tmp_path)


IMPORT_GRAPH = PYPROJECT.parent / "scripts" / "import_graph.py"


@pytest.mark.skipif(not IMPORT_GRAPH.exists(), reason="no scripts/ beside the tests")
def test_imports_form_levels_without_a_circle(tmp_path):
    check = [sys.executable, str(IMPORT_GRAPH)]
    assert subprocess.run(check + [str(Path(vakra.__file__).parent)], capture_output=True).returncode == 0
    (tmp_path / "_io").mkdir()
    (tmp_path / "__init__.py").write_text("")
    (tmp_path / "_io" / "packets.py").write_text("def save():\n    from .. import torch\n")
    (tmp_path / "torch.py").write_text("import vakra\nfrom ._io import packets\n")
    run = subprocess.run(check + [str(tmp_path)], capture_output=True, text=True)
    assert run.returncode == 1 and run.stdout.splitlines() == [
        "circle: vakra._io.packets -> vakra.torch -> vakra._io.packets",
        "vakra._io.packets imports vakra.torch, a level above it", "vakra.torch imports vakra, a level above it"]


ROOT = PYPROJECT.parent


def test_published_metadata_names_the_license_and_pins_no_torch():
    assert importlib.metadata.metadata("vakra")["License"] == "Apache-2.0"
    assert not [requirement for requirement in importlib.metadata.requires("vakra") if "==" in requirement.split(";")[0]]
    [license_file] = [path for path in importlib.metadata.files("vakra") if path.name == "LICENSE"]
    text = license_file.read_text(encoding="utf-8")  # the full text travels in the distribution
    assert text.split()[:3] == ["Apache", "License", "Version"] and "END OF TERMS AND CONDITIONS" in text


@pytest.mark.skipif(not (ROOT / "scripts" / "bootstrap.sh").exists(), reason="no scripts/ beside the tests")
def test_bootstrap_says_what_it_does_and_installs_the_pinned_torch(tmp_path):
    # The script run on a copy of the tree whose .venv/bin/python only records how it was called.
    shutil.copytree(ROOT / "scripts", tmp_path / "scripts")
    for name in ("pyproject.toml", "CMakeLists.txt", "codec/CMakeLists.txt", "codec/cmake/a", "codec/include/a",
                 "codec/src/a", "ext/a", ".venv/bin/python"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(f'#!/bin/sh\necho "$*" >> {tmp_path}/calls\n')
    (tmp_path / ".venv/bin/python").chmod(0o755)
    bootstrap = [subprocess.run(["bash", str(tmp_path / "scripts/bootstrap.sh")], capture_output=True, text=True,
                                env={**os.environ, "VAKRA_EXTRAS": extras}, check=True).stdout
                 for extras in ("sparse", "test", "test")]
    assert bootstrap[0].startswith("bootstrap: installing vakra[sparse] into .venv: ") and bootstrap[2] == "" and \
        bootstrap[1].endswith("\nbootstrap: .venv is ready\n")
    installs = [call for call in (tmp_path / "calls").read_text().splitlines() if "-e ." in call]
    assert installs[0].endswith("-e .[sparse]") and installs[1].endswith("-e .[sparse,test] torch==2.13.0")
