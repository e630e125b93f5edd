"""Checkpoint trees as packets: a tree travels as an ordinary bundle of its
tensors plus its skeleton, so every reader of bundles reads the packet and
vakra reads the tree back.

What is a tree. A value ``vakra.dumps`` took before trees existed is
encoded exactly as before, byte for byte: a tensor, a list of str or bytes,
a dict with ``str`` keys of at most 255 entries whose values are such
values, nested at most 64 levels. Anything else a checkpoint tree holds
(int keys, Python scalars, lists of numbers, tuples, any number of entries,
at any depth: ``vakra._model.tree``) is a tree, and so is a dict that uses
the reserved key ``TREE_KEY`` (which would otherwise read as one). An
encoder tries the value as it is first; only a value it refuses is looked
at as a tree, so the plain case costs nothing.

The bundle. Its first entry is ``TREE_KEY``: a one-item string tensor
holding the skeleton's JSON (``"vakra tree 1"``). The tensors follow in the
skeleton's order, each keyed by its path in the tree. A bundle holds 255
entries, so past 254 tensors they go into groups: consecutive runs of at
most 255 tensors, each a bundle keyed ``"first-last"`` by the indices it
holds; past 254 groups the groups are grouped the same way, until the top
bundle holds the key and at most 254 groups. The reader walks the bundles
depth first, so a tensor's place is its order, whatever its key.

Reading. A decoded bundle is a tree only when ``TREE_KEY`` holds a one-item
string tensor that parses as a skeleton of this form and version; anything
else is the plain dict it is. A skeleton that parses but does not rebuild
(a node kind vakra does not know, a count that is not the tensors') raises
ValueError: the set of types a packet can produce is vakra's own.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from .._facts import MAX_BUNDLE_ENTRIES, MAX_NESTING_DEPTH
from ..ragged import StringTensor
from . import tree

__all__ = ["TREE_KEY", "encoded", "is_tree", "bundle", "tree_of"]

TREE_KEY = "__vakra_tree__"
_STRING_LIKE = (str, bytes, bytearray, memoryview)


def encoded(encode: Callable[..., Any], value: Any, *arguments: Any) -> Any:
    """``encode(value, *arguments)``, with the tree's bundle in place of a
    tree that ``encode`` refuses as it is (or that uses the reserved key).
    Any other refusal is the encoder's own error, unchanged."""
    if isinstance(value, dict) and TREE_KEY in value:
        return encode(bundle(value), *arguments)
    try:
        return encode(value, *arguments)
    except (TypeError, ValueError):
        if not is_tree(value):
            raise
    return encode(bundle(value), *arguments)


def is_tree(value: Any) -> bool:
    """Whether ``value`` travels as a tree: anything but a value the
    encoder takes as it is (tensors, lists of str or bytes, plain dicts)."""
    if isinstance(value, dict) and TREE_KEY in value:
        return True
    if _plain(value, 0):
        return False
    return isinstance(value, (dict, list, tuple, str, bytes, int, float, complex)) or value is None


def _plain(value: Any, depth: int) -> bool:
    """Whether the encoder takes ``value`` as it is, `depth` dicts down."""
    if tree.is_tensor(value) or isinstance(value, np.generic):  # before dict: a SciPy dok matrix is a dict
        return True
    if isinstance(value, list):
        return all(isinstance(item, _STRING_LIKE) for item in value)
    if not isinstance(value, dict) or depth >= MAX_NESTING_DEPTH or len(value) > MAX_BUNDLE_ENTRIES:
        return False
    # The storage, as the encoder walks it, not a subclass's items().
    return all(isinstance(key, str) and _plain(item, depth + 1) for key, item in dict.items(value))


def bundle(value: Any) -> dict:
    """The bundle that carries the tree ``value``: the errors of ``tree.flatten``."""
    skeleton, tensors = tree.flatten(value)
    names = {name for name, _ in tensors}
    entries = [(_unreserved(name, names), tensor) for name, tensor in tensors]
    spans = [(index, index) for index in range(len(entries))]  # the tensors each entry holds, first and last
    while len(entries) > MAX_BUNDLE_ENTRIES - 1:  # the skeleton's entry takes one place
        starts = range(0, len(entries), MAX_BUNDLE_ENTRIES)
        spans = [(spans[start][0], spans[min(start + MAX_BUNDLE_ENTRIES, len(spans)) - 1][1]) for start in starts]
        entries = [(f"{first}-{last}", dict(entries[start:start + MAX_BUNDLE_ENTRIES]))
                   for start, (first, last) in zip(starts, spans)]
    return {TREE_KEY: StringTensor([skeleton]), **dict(entries)}


def _unreserved(name: str, names: set[str]) -> str:
    """`name`, or a suffixed one where it is the reserved key (the paths are unique already)."""
    if name != TREE_KEY:
        return name
    suffix = 1
    while f"{name}~{suffix}" in names:
        suffix += 1
    names.add(f"{name}~{suffix}")
    return f"{name}~{suffix}"


def tree_of(value: Any, convert: Callable[[str, Any], Any] | None = None,
            size: Callable[[tuple], Any] = tuple) -> Any:
    """The tree a decoded packet's value carries, or the value itself when it
    is no tree's bundle. ``convert(key, tensor)`` turns each decoded tensor
    into what the caller hands out, ``size`` a tuple into a torch.Size."""
    if type(value) is not dict or TREE_KEY not in value:
        return value
    skeleton = value[TREE_KEY]
    if not (isinstance(skeleton, StringTensor) and len(skeleton) == 1):
        return value
    try:
        text = skeleton[0]
    except UnicodeDecodeError:
        return value
    if not tree.is_skeleton(text):
        return value
    tensors: list = []
    _collect(value, tensors, convert, top=True)
    return tree.unflatten(text, tensors, size=size)


def _collect(group: dict, tensors: list, convert: Callable[[str, Any], Any] | None, top: bool = False) -> None:
    for key, item in group.items():
        if top and key == TREE_KEY:
            continue
        if type(item) is dict:  # a group of tensors: no tensor decodes as a dict
            _collect(item, tensors, convert)
        else:
            tensors.append(item if convert is None else convert(key, item))
