#!/usr/bin/env python3
"""Checks the imports of the vakra package: no circle, and no import that
runs back up a level.

Every import counts, those inside functions too, and so do
``importlib.import_module`` calls with a literal name. The package's parts
stand in levels (LEVELS, lowest first); a module imports only from its own
level or from below, so the public facade (``vakra/__init__.py``) is built
on the parts and never the other way round. A module that no level names
is reported, so that a new one is placed deliberately.

    scripts/import_graph.py [PACKAGE_DIR]   (default: python/vakra)

Prints what it finds and exits 1 when anything is wrong.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path

PACKAGE = "vakra"
EXTENSIONS = {"vakra._native", "vakra.vakra_rs"}  # built from ext/, so no source here
# Lowest first. A module's level is the one of the longest name that
# contains it (vakra._io.streams is at the level of vakra._io).
LEVELS = [
    # the extension, the facts it gives and the values it encodes
    {"vakra._native", "vakra.vakra_rs", "vakra._facts", "vakra._packing", "vakra.ragged", "vakra.quantize",
     "vakra._encoding", "vakra._foreign", "vakra.shm"},
    {"vakra._model.tree", "vakra._model.tree_packet"},  # checkpoint trees, and trees as bundles
    {"vakra._io"},  # packets to and from bytes, files, pipes and sockets
    {"vakra._model"},  # model files
    {"vakra._dcp", "vakra._convert", "vakra.torch", "vakra.dask", "vakra.ray", "vakra.aio"},  # other formats, frameworks and event loops
    {"vakra.torch_dcp"},  # torch.distributed.checkpoint storage, on vakra.torch
    {"vakra._cli"},  # the command line
    {"vakra", "vakra.__main__"},  # the public facade
]


def module_names(root: Path) -> dict[str, Path]:
    """Every module of the package under `root`, by dotted name (a package by its own name)."""
    names = {}
    for path in sorted(root.rglob("*.py")):
        parts = (PACKAGE, *path.relative_to(root).with_suffix("").parts)
        names[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return names


def imported(name: str, path: Path, modules: dict[str, Path | None]) -> set[str]:
    """The package's modules that the module `name` at `path` imports."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found: set[str] = set()

    def add(target: str) -> None:
        if target in modules:
            found.add(target)

    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                add(alias.name)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            for alias in node.names:
                # `from X import y` names the module X.y when there is one, else a name of X.
                target = f"{base}.{alias.name}"
                add(target if target in modules else base)
        elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute) and node.func.attr == "import_module"
              and node.args and isinstance(node.args[0], ast.Constant) and isinstance(node.args[0].value, str)):
            target = node.args[0].value
            add(package + target if target.startswith(".") else target)
    found.discard(name)
    return found


def level_of(name: str) -> int | None:
    best = None
    for index, level in enumerate(LEVELS):
        for part in level:
            if (name == part or name.startswith(part + ".")) and (best is None or len(part) > len(best[1])):
                best = index, part
    return None if best is None else best[0]


def circles(graph: dict[str, set[str]]) -> list[list[str]]:
    """One circle through each module that lies on any (depth-first search)."""
    found, state = [], {}
    stack: list[str] = []

    def visit(name: str) -> None:
        state[name] = "open"
        stack.append(name)
        for target in sorted(graph[name]):
            if state.get(target) == "open":
                found.append(stack[stack.index(target):] + [target])
            elif target not in state:
                visit(target)
        stack.pop()
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name)
    return found


def problems(root: Path) -> list[str]:
    modules = module_names(root)
    graph = {name: imported(name, path, modules | dict.fromkeys(EXTENSIONS)) for name, path in modules.items()}
    graph.update((name, set()) for name in EXTENSIONS)
    found = [f"circle: {' -> '.join(circle)}" for circle in circles(graph)]
    for name in sorted(graph):
        level = level_of(name)
        if level is None:
            found.append(f"{name}: in no level of scripts/import_graph.py")
            continue
        for target in sorted(graph[name]):
            target_level = level_of(target)
            if target_level is not None and target_level > level:
                found.append(f"{name} imports {target}, a level above it")
    return found


def main(argv: list[str]) -> int:
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "python" / PACKAGE
    found = problems(root)
    for line in found:
        print(line)
    if not found:
        print(f"import graph of {root}: no circle, nothing runs back up a level")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
