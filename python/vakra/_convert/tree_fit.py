"""What of a model file's checkpoint tree a file of named tensors alone
(.npz, safetensors) has no place for: the tree's tensors go to such a file
by their paths, so nested dicts of str keys fit, and everything else (a
scalar, a list, a tuple, an int key) would be lost without a word."""

from __future__ import annotations

from typing import Any

from .._model.tree import parse, path_text

__all__ = ["misfits"]

_KINDS = {"i": "an int", "f": "a float", "c": "a complex", "b": "bytes", "n": "a NumPy scalar", "l": "a list",
          "t": "a tuple", "S": "a torch.Size"}


def misfits(skeleton: str) -> list[str]:
    """Each path in the tree that names no tensor or dict of str keys, with
    what it holds (``optimizer/param_groups (a list)``), in tree order; a
    container that does not fit is named, not what it holds."""
    found: list[str] = []
    _walk(parse(skeleton)["root"], [], found)
    return found


def _walk(node: Any, path: list, found: list[str]) -> None:
    where = path_text(path) or "the top level"
    if type(node) is list and node and node[0] == "T":
        return
    if type(node) is list and node and node[0] == "d":
        if any(type(key) is not str for key, _ in node[1]):
            found.append(f"{where} (a dict with int keys)")
            return
        for key, child in node[1]:
            _walk(child, [*path, key], found)
        return
    if node is None or type(node) is bool:
        found.append(f"{where} ({node})")
    elif type(node) is str:
        found.append(f"{where} (a str)")
    else:
        found.append(f"{where} ({_KINDS.get(node[0], 'a value')})")
