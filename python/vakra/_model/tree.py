"""Checkpoint trees: nested dicts, lists and tuples of scalars and tensors,
split into a skeleton (everything but the tensors, as text) and the list of
the tensors, and put together again.

``flatten(tree)`` gives ``(skeleton, tensors)``: ``tensors`` is a list of
``(path, value)`` in the order the tree is walked, ``path`` the keys down to
the value joined by ``/`` (unique: a path met twice gets a ``~N`` suffix);
``unflatten(skeleton, values)`` rebuilds the tree from the skeleton and the
tensors' values in that order. Model files store each tensor as an entry
named by its path and the skeleton in their record; packets carry a tree as
a bundle of its tensors plus the skeleton (``vakra._model.tree_packet``).

The skeleton is JSON: ``{"format": "vakra tree 1", "tensors": n, "root": node}``.
Nodes are a closed set, so reading a skeleton never imports or calls
anything it names:

=========================  ===============================================
``null``, ``true``/``false``  None, bool
``"text"``                 str
``["i", "123"]``           int, any size, as decimal text
``["f", "3ff0..."]``       float: its IEEE-754 bits in 16 hex digits (NaN payloads and -0.0 kept)
``["c", re, im]``          complex: the bits of both parts
``["b", "aGk="]``          bytes, base64
``["n", dtype, "hex"]``    NumPy scalar: its dtype name and little-endian bytes
``["l", [node...]]``       list
``["t", [node...]]``       tuple
``["S", ["2", ...]]``      torch.Size, its ints as decimal text (a tuple where torch is not asked for)
``["d", [[key, node]...]]``  dict in order; a key is a str or ``["i", "7"]``
``["T", k]``               the k-th tensor
=========================  ===============================================

Tensors are NumPy arrays, SciPy sparse matrices, StringTensor,
QuantizedTensor and anything else vakra encodes as an array (torch tensors,
0-d included, DLPack and array-interface objects). The same tensor object
reached twice is stored once and comes back as one value.
"""

from __future__ import annotations

import base64
import json
import struct
import sys
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from .._facts import DENSE
from ..quantize import QuantizedTensor
from ..ragged import StringTensor

__all__ = ["FORMAT", "ACCEPTED", "flatten", "unflatten", "is_tensor"]

FORMAT = "vakra tree 1"
ACCEPTED = ("dict (str or int keys), list, tuple, None, bool, int, float, complex, str, bytes, NumPy scalars, "
            "arrays, SciPy sparse matrices, StringTensor, QuantizedTensor and torch tensors")
# Deeper trees are refused: rebuilding one recurses once per level.
MAX_DEPTH = 200

_SCALAR_DTYPES = {name: row for name, row in DENSE.items()}


def is_tensor(value: Any) -> bool:
    """Whether a tree stores ``value`` as a tensor rather than in its skeleton."""
    if isinstance(value, (np.ndarray, StringTensor, QuantizedTensor)):
        return True
    if isinstance(value, np.generic):
        return False
    if hasattr(value, "__dlpack__") or hasattr(value, "__array_interface__"):
        return True
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and sparse.issparse(value)


def flatten(tree: Any) -> tuple[str, list[tuple[str, Any]]]:
    """``(skeleton, tensors)`` of ``tree``; TypeError naming the path of a
    value of another kind, ValueError for a tree holding itself or nested
    more than MAX_DEPTH levels."""
    walk = _Flattener()
    root = walk.node(tree, [], 0)
    skeleton = json.dumps({"format": FORMAT, "tensors": len(walk.tensors), "root": root},
                          ensure_ascii=False, separators=(",", ":"))
    return skeleton, walk.tensors


def unflatten(skeleton: str | dict, values: Sequence[Any], *, size: Callable[[tuple], Any] = tuple) -> Any:
    """The tree of ``skeleton`` (its text, or its head as ``parse`` gives
    it, for a caller that reads one tree more than once) with ``values`` as
    its tensors, in order; ``size`` makes a torch.Size from a tuple of ints
    (``tuple`` by default). ValueError for a skeleton that is not of this
    form and version."""
    head = skeleton if type(skeleton) is dict else parse(skeleton)
    if head["tensors"] != len(values):
        raise ValueError(f"the tree holds {head['tensors']} tensors where {len(values)} are given")
    return _Rebuilder(values, size).node(head["root"], 0)


def parse(skeleton: str) -> dict:
    """The skeleton's head, checked for its form and version (its nodes are
    checked as they are rebuilt)."""
    try:
        head = json.loads(skeleton)
    except (ValueError, RecursionError) as error:
        raise ValueError(f"the tree's skeleton does not read: {error}") from None
    if not (type(head) is dict and head.keys() == {"format", "tensors", "root"} and head["format"] == FORMAT
            and type(head["tensors"]) is int and head["tensors"] >= 0):
        shown = head.get("format") if type(head) is dict else None
        raise ValueError(f"unsupported tree skeleton (format {shown!r}; this vakra reads {FORMAT!r})")
    return head


def is_skeleton(skeleton: Any) -> bool:
    """Whether ``skeleton`` is text that parses as a skeleton of this form and version."""
    try:
        return isinstance(skeleton, str) and bool(parse(skeleton))
    except ValueError:
        return False


def path_text(path: list) -> str:
    return "/".join(map(str, path))


def _bits(number: float) -> str:
    return struct.pack("<d", number)[::-1].hex()


def _from_bits(text: Any) -> float:
    if type(text) is not str or len(text) != 16:
        raise ValueError(f"a float's bits are 16 hex digits, not {text!r}")
    return struct.unpack("<d", bytes.fromhex(text)[::-1])[0]


class _Flattener:
    def __init__(self) -> None:
        self.tensors: list[tuple[str, Any]] = []
        self._indices: dict[int, int] = {}  # id of a tensor object -> its index
        self._held: list[Any] = []  # tensors kept alive while their ids are in _indices
        self._names: set[str] = set()
        self._open: set[int] = set()  # ids of the containers being walked: a tree holding itself

    def node(self, value: Any, path: list, depth: int) -> Any:
        kind = type(value)
        if value is None or kind is bool or kind is str:
            return value
        if kind is int:
            return ["i", str(value)]
        if kind is float:
            return ["f", _bits(value)]
        if kind is complex:
            return ["c", _bits(value.real), _bits(value.imag)]
        if kind is bytes:
            return ["b", base64.b64encode(value).decode("ascii")]
        if isinstance(value, np.generic) and not isinstance(value, np.ndarray):
            return self._numpy_scalar(value, path)
        if kind is dict or kind is list or kind is tuple or (
                isinstance(value, (dict, list, tuple)) and not is_tensor(value)):  # a SciPy dok matrix is a dict
            return self._container(value, path, depth)
        if isinstance(value, (bool, int, float, complex, str, bytes)):  # subclasses (IntEnum, ...): their plain value
            for plain in (bool, int, float, complex, str, bytes):
                if isinstance(value, plain):
                    return self.node(plain(value), path, depth)
        if is_tensor(value):
            return ["T", self._tensor(value, path)]
        where = path_text(path) or "the top"
        raise TypeError(f"vakra cannot store a {kind.__name__!r} object (at {where}); a checkpoint tree holds {ACCEPTED}")

    def _container(self, value: Any, path: list, depth: int) -> Any:
        if depth >= MAX_DEPTH:
            raise ValueError(f"the tree is nested more than {MAX_DEPTH} levels (at {path_text(path)})")
        if id(value) in self._open:
            raise ValueError(f"the tree holds itself (at {path_text(path)})")
        self._open.add(id(value))
        try:
            if isinstance(value, dict):
                return ["d", [[self._key(key, path), self.node(item, [*path, key], depth + 1)]
                              for key, item in value.items()]]
            items = [self.node(item, [*path, index], depth + 1) for index, item in enumerate(value)]
            if isinstance(value, list):
                return ["l", items]
            if type(value).__name__ == "Size" and type(value).__module__ == "torch":
                return ["S", [item[1] for item in items]]
            return ["t", items]
        finally:
            self._open.discard(id(value))

    def _key(self, key: Any, path: list) -> Any:
        if type(key) is str:
            return key
        if type(key) is int:
            return ["i", str(key)]
        where = path_text(path) or "the top"
        raise TypeError(f"a checkpoint tree's dict keys are str or int, not {type(key).__name__!r} (in {where})")

    def _numpy_scalar(self, value: np.generic, path: list) -> Any:
        name = value.dtype.name
        if name not in _SCALAR_DTYPES:
            where = path_text(path) or "the top"
            raise TypeError(f"vakra cannot store a NumPy {name} scalar (at {where}); a checkpoint tree holds {ACCEPTED}")
        data = np.asarray(value).astype(value.dtype.newbyteorder("<"), copy=False).tobytes()
        return ["n", name, data.hex()]

    def _tensor(self, value: Any, path: list) -> int:
        index = self._indices.get(id(value))
        if index is not None:
            return index
        name = path_text(path)
        if name in self._names:
            suffix = 1
            while f"{name}~{suffix}" in self._names:
                suffix += 1
            name = f"{name}~{suffix}"
        self._names.add(name)
        index = self._indices[id(value)] = len(self.tensors)
        self._held.append(value)
        self.tensors.append((name, value))
        return index


class _Rebuilder:
    def __init__(self, values: Sequence[Any], size: Callable[[tuple], Any]) -> None:
        self._values = values
        self._size = size

    def node(self, node: Any, depth: int) -> Any:
        if node is None or type(node) in (bool, str):
            return node
        if type(node) is not list or not node or type(node[0]) is not str:
            raise ValueError(f"the tree's skeleton holds an unknown node: {_shown(node)}")
        kind, arguments = node[0], node[1:]
        if kind in ("l", "t", "d", "S"):
            if depth >= MAX_DEPTH:
                raise ValueError(f"the tree's skeleton is nested more than {MAX_DEPTH} levels")
            if len(arguments) != 1 or type(arguments[0]) is not list:
                raise ValueError(f"the tree's skeleton holds a malformed {kind!r} node")
            items = arguments[0]
            if kind == "d":
                return {self._key(pair): self.node(pair[1], depth + 1) for pair in self._pairs(items)}
            if kind == "S":
                return self._size(tuple(map(_int, items)))
            built = [self.node(item, depth + 1) for item in items]
            return built if kind == "l" else tuple(built)
        if kind == "T":
            return self._tensor(arguments)
        reader = _SCALAR_READERS.get(kind)
        if reader is None:
            raise ValueError(f"the tree's skeleton holds an unknown node kind {kind!r}")
        try:
            return reader(*arguments)
        except (TypeError, ValueError, OverflowError) as error:
            raise ValueError(f"the tree's skeleton holds a malformed {kind!r} node: {error}") from None

    def _pairs(self, items: list) -> list:
        for pair in items:
            if type(pair) is not list or len(pair) != 2:
                raise ValueError("the tree's skeleton holds a malformed dict entry")
        return items

    def _key(self, pair: list) -> Any:
        key = pair[0]
        if type(key) is str:
            return key
        if type(key) is list and len(key) == 2 and key[0] == "i":
            return _int(key[1])
        raise ValueError(f"the tree's skeleton holds a dict key of unknown kind: {_shown(key)}")

    def _tensor(self, arguments: list) -> Any:
        if len(arguments) != 1 or type(arguments[0]) is not int or not 0 <= arguments[0] < len(self._values):
            raise ValueError(f"the tree's skeleton refers to a tensor it does not hold: {_shown(arguments)}")
        return self._values[arguments[0]]


def _int(text: Any) -> int:
    if type(text) is not str or not text.lstrip("-").isdigit() or not text.isascii():
        raise ValueError(f"an int is decimal text, not {_shown(text)}")
    return int(text)


def _bytes(text: Any) -> bytes:
    if type(text) is not str:
        raise ValueError(f"bytes are base64 text, not {_shown(text)}")
    return base64.b64decode(text.encode("ascii"), validate=True)


def _numpy_scalar(name: Any, data: Any) -> np.generic:
    row = _SCALAR_DTYPES.get(name) if type(name) is str else None
    if row is None:
        raise ValueError(f"unknown NumPy scalar type {_shown(name)}")
    if row.needs_ml_dtypes:
        import ml_dtypes  # vakra's own table names the type, never the file

        dtype = np.dtype(getattr(ml_dtypes, row.ml_dtypes_name))
    else:
        dtype = np.dtype(name).newbyteorder("<")
    raw = bytes.fromhex(data) if type(data) is str else b""
    if len(raw) != dtype.itemsize:
        raise ValueError(f"a {name} scalar is {dtype.itemsize} bytes, not {len(raw)}")
    return np.frombuffer(raw, dtype).astype(dtype.newbyteorder("="))[0]


_SCALAR_READERS: dict[str, Callable[..., Any]] = {
    "i": _int,
    "f": _from_bits,
    "c": lambda real, imag: complex(_from_bits(real), _from_bits(imag)),
    "b": _bytes,
    "n": _numpy_scalar,
}


def _shown(node: Any) -> str:
    text = json.dumps(node)
    return text if len(text) <= 80 else text[:77] + "..."
