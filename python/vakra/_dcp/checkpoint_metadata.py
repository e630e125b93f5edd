"""A checkpoint's metadata as a vakra model file, ``.metadata.vkr``, and back,
without torch (``vakra convert`` reads it too).

One entry per name of the state dict, in its order: a tensor's entry is a
dict of ``dtype`` (its torch name), ``size``, one row of ``offsets`` and of
``sizes`` per chunk (int64), and the ``files`` and ``entries`` (string
tensors) where each chunk lies; a non-tensor value's entry holds only its
file and entry. The file's str-to-str metadata keeps the layout's name and
what else the writer notes (the DCP version, the save's id, the planner's
name mapping). Reading checks all of it: types, shapes, chunks inside their
tensor, dtypes vakra stores and file names that stay in the directory.
"""

from __future__ import annotations

import os
from typing import Any, NamedTuple

import numpy as np

from .._facts import BY_TORCH_NAME
from .._model.model_file import File
from .._model.model_save import save
from ..ragged import StringTensor

__all__ = ["METADATA_NAME", "StoredValue", "Chunk", "TensorLayout", "ValueLayout", "write_layout", "read_layout"]

METADATA_NAME = ".metadata.vkr"
_LAYOUT = "vakra.torch.dcp 1"
_TENSOR_KEYS = {"dtype", "size", "offsets", "sizes", "files", "entries"}
_VALUE_KEYS = {"files", "entries"}


class StoredValue(NamedTuple):
    """Where one chunk or non-tensor value lies: a model file of the
    checkpoint's directory and the entry's name in it."""

    file: str
    entry: str


class Chunk(NamedTuple):
    offsets: tuple[int, ...]
    sizes: tuple[int, ...]
    place: StoredValue


class TensorLayout(NamedTuple):
    dtype: str  # torch's name, "float32", "bfloat16", ...
    size: tuple[int, ...]
    chunks: list[Chunk]


class ValueLayout(NamedTuple):
    place: StoredValue


def write_layout(directory: str, layouts: dict[str, TensorLayout | ValueLayout], notes: dict[str, str],
                 durable: bool) -> None:
    entries: dict[str, Any] = {}
    for name, layout in layouts.items():
        if isinstance(layout, TensorLayout):
            shape = (len(layout.chunks), len(layout.size))
            entries[name] = {
                "dtype": StringTensor([layout.dtype]),
                "size": np.array(layout.size, dtype=np.int64),
                "offsets": np.array([chunk.offsets for chunk in layout.chunks], dtype=np.int64).reshape(shape),
                "sizes": np.array([chunk.sizes for chunk in layout.chunks], dtype=np.int64).reshape(shape),
                "files": StringTensor([chunk.place.file for chunk in layout.chunks]),
                "entries": StringTensor([chunk.place.entry for chunk in layout.chunks]),
            }
        else:
            entries[name] = {"files": StringTensor([layout.place.file]), "entries": StringTensor([layout.place.entry])}
    save(entries, os.path.join(directory, METADATA_NAME), metadata={**notes, "format": _LAYOUT},
         check_integrity=True, durable=durable)


def read_layout(directory: str) -> tuple[dict[str, TensorLayout | ValueLayout], dict[str, str]]:
    """Each name's layout, in saved order, and the writer's notes.
    ValueError for anything that does not read as this layout, naming the
    file and the entry."""
    path = os.path.join(os.fsdecode(directory), METADATA_NAME)
    with File(path) as file:
        if file.metadata.get("format") != _LAYOUT:
            raise ValueError(f"{path} is not the metadata of a checkpoint written by vakra.torch.dcp")
        layouts = {}
        for name in file:
            try:
                layouts[name] = _read_entry(file[name])
            except (ValueError, TypeError) as error:
                raise ValueError(f"{path}: entry {name!r}: {error}") from None
        return layouts, dict(file.metadata)


def _read_entry(value: Any) -> TensorLayout | ValueLayout:
    if not isinstance(value, dict) or set(value) not in (_TENSOR_KEYS, _VALUE_KEYS):
        raise ValueError(f"holds {sorted(value) if isinstance(value, dict) else type(value).__name__}, not a "
                         "tensor's or a value's description")
    files, entries = _strings(value["files"]), _strings(value["entries"])
    if len(files) != len(entries):
        raise ValueError("its files and entries differ in number")
    places = [StoredValue(_checked_file(file), entry) for file, entry in zip(files, entries)]
    if "dtype" not in value:
        if len(places) != 1:
            raise ValueError("a value lies in one place")
        return ValueLayout(places[0])
    dtypes = _strings(value["dtype"])
    if len(dtypes) != 1 or dtypes[0] not in BY_TORCH_NAME:
        raise ValueError(f"names no dtype vakra stores: {dtypes}")
    size, offsets, sizes = (_integers(value[key], key) for key in ("size", "offsets", "sizes"))
    if size.ndim != 1 or offsets.shape != sizes.shape or offsets.ndim != 2 or offsets.shape[1:] != size.shape:
        raise ValueError("its size, offsets and sizes do not agree in shape")
    if len(places) != len(offsets):
        raise ValueError("it has a different number of chunks and places")
    if (size < 0).any() or (offsets < 0).any() or (sizes < 0).any() or (offsets > size - sizes).any():
        raise ValueError("a chunk lies outside its tensor")
    chunks = [Chunk(tuple(chunk_offsets), tuple(chunk_sizes), place)
              for chunk_offsets, chunk_sizes, place in zip(offsets.tolist(), sizes.tolist(), places)]
    return TensorLayout(dtypes[0], tuple(size.tolist()), chunks)


def _strings(value: Any) -> list[str]:
    if not isinstance(value, StringTensor):
        raise TypeError(f"a string tensor was expected, not {type(value).__name__}")
    strings = list(value)
    if not all(isinstance(item, str) for item in strings):
        raise TypeError("a string tensor of text was expected, not of bytes")
    return strings


def _integers(value: Any, key: str) -> np.ndarray:
    if not isinstance(value, np.ndarray) or value.dtype != np.int64:
        raise TypeError(f"{key} must be an int64 array")
    return value


def _checked_file(name: str) -> str:
    """A model file's name, which must lie in the checkpoint's directory."""
    if not name or name != os.path.basename(name) or name.startswith(".") or "\0" in name:
        raise ValueError(f"{name!r} is not a file of the checkpoint's directory")
    return name
