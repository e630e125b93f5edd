"""Sphinx configuration of vakra's documentation (make docs)."""

from __future__ import annotations

import os
import sys
import urllib.request
from pathlib import Path

import vakra

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "vakra"
author = "the vakra developers"
copyright = "the vakra developers"  # noqa: A001 - Sphinx's name for it
release = version = vakra.__version__

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.intersphinx",
    "cpp_headers",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
nitpicky = True
myst_heading_anchors = 3

html_theme = "pydata_sphinx_theme"
html_title = f"vakra {release}"
html_theme_options = {
    "navbar_align": "left",
    "show_toc_level": 2,
    "navigation_with_keys": False,
}
html_sidebars = {"**": ["sidebar-nav-bs"]}

# The docstrings say the types in their Parameters sections, so the
# signatures stay short and free of typing-only names.
autodoc_typehints = "none"
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
# Types in Parameters and Returns link where they name a known object
# (NumPy's, torch's, Python's through their inventories; vakra's own); other
# words of a type description stay text.
numpydoc_xref_param_type = True
numpydoc_xref_ignore = "all"
numpydoc_xref_aliases = {
    **{name: name for name in ("bytes", "bytearray", "memoryview", "str", "int", "float", "bool", "dict",
                               "list", "tuple", "object", "os.PathLike", "socket.socket", "asyncio.StreamReader",
                               "asyncio.StreamWriter", "numpy.ndarray", "torch.Tensor")},
    "File": "vakra.File",
    "StringTensor": "vakra.StringTensor",
    "QuantizedTensor": "vakra.quantize.QuantizedTensor",
    "Receiver": "vakra.Receiver",
}
numpydoc_validation_checks = {"PR01", "PR02", "RT01", "EX01"}  # every parameter described; Returns; Examples
numpydoc_validation_exclude = {r"\.__\w+__$", r"^vakra\.dask\.(FAMILY|SERIALIZERS)$"}  # constants: no examples to run

# Every Examples section runs as a doctest (make docs runs the doctest
# builder too), in a directory of its own since many of them write files.
doctest_global_setup = """
import os, tempfile
import numpy as np
import vakra
os.chdir(tempfile.mkdtemp(prefix="vakra-doctest-"))
"""


def _inventory(url: str, *local: str) -> tuple[str, str] | None:
    """The (target, inventory) pair for one project: a copy installed on this
    machine (a Debian doc package) when there is one, else the published
    inventory when it can be reached; None when neither is there."""
    for path in local:
        if Path(path).is_file():
            return url, path
    if os.environ.get("VAKRA_DOCS_OFFLINE"):
        return None
    try:
        with urllib.request.urlopen(url + "objects.inv", timeout=3):
            return url, None
    except OSError:
        return None


_projects = {
    "python": _inventory("https://docs.python.org/3/", "/usr/share/doc/python3/html/objects.inv",
                         f"/usr/share/doc/python3.{sys.version_info.minor}/html/objects.inv"),
    "numpy": _inventory("https://numpy.org/doc/stable/"),
    "scipy": _inventory("https://docs.scipy.org/doc/scipy/", "/usr/share/doc/python-scipy-doc/html/objects.inv"),
    "torch": _inventory("https://docs.pytorch.org/docs/stable/"),
}
intersphinx_mapping = {name: pair for name, pair in _projects.items() if pair}
_unreachable = sorted(name for name, pair in _projects.items() if not pair)
# Without a project's inventory its names are shown as code, unlinked.
nitpick_ignore_regex = [("py:.*", rf"{name}(\..*)?") for name in _unreachable if name != "python"]
# numpydoc links None, True and False, and terms such as array_like, into
# Python's and NumPy's inventories.
nitpick_ignore_regex += [("std:term", rf"{name}:.*") for name in _unreachable]
if "python" in _unreachable:
    nitpick_ignore_regex += [("py:(class|exc|func|meth|obj|mod|data)", r"(?!vakra)[\w.:]+")]
if _unreachable:
    print(f"vakra docs: no inventory reachable for {', '.join(_unreachable)}: their names are left unlinked")


# Every public name must have its entry in the reference: a name added to a
# module's __all__ without one fails the build.
_PUBLIC_MODULES = ("vakra", "vakra.aio", "vakra.torch", "vakra.dask", "vakra.ray", "vakra.quantize", "vakra.shm",
                   "vakra.torch.dcp")


def _check_public_names(app, env):
    import importlib

    from sphinx.util import logging

    def resolved(dotted):
        module, _, name = dotted.rpartition(".")
        try:
            return getattr(importlib.import_module(module), name)
        except (ImportError, AttributeError, ValueError):
            return None

    documented = {id(resolved(name)) for name in env.get_domain("py").objects}
    for module_name in _PUBLIC_MODULES:
        module = resolved(module_name) if module_name == "vakra.torch.dcp" else importlib.import_module(module_name)
        for name in [*module.__all__, *(["open"] if module_name == "vakra" else [])]:
            if id(getattr(module, name)) not in documented:
                logging.getLogger(__name__).warning(f"{module_name}.{name} is public but has no entry in docs/api/")


def setup(app):
    app.connect("env-check-consistency", _check_public_names)
