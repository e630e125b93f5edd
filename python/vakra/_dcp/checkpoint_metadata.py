"""A checkpoint's metadata as a vakra model file, ``.metadata.vkr``, and back.

One entry per name of the state dict, in its order: a tensor's entry is a
dict of ``dtype`` (its torch name), ``size``, one row of ``offsets`` and of
``sizes`` per chunk (int64), and the ``files`` and ``entries`` (string
tensors) where each chunk lies; a non-tensor value's entry holds only its
file and entry. The file's str-to-str metadata keeps the layout's name, the
DCP version, the save's id and the planner's name mapping (JSON of str and
int paths). Reading checks all of it before torch sees any: types, shapes,
chunks inside their tensor and file names that stay in the directory.
"""

from __future__ import annotations

import json
import os
from typing import Any, NamedTuple

import numpy as np
import torch
from torch.distributed.checkpoint.metadata import (BytesStorageMetadata, ChunkStorageMetadata, Metadata,
                                                   MetadataIndex, StorageMeta, TensorProperties,
                                                   TensorStorageMetadata)

from .._model.model_file import File
from .._model.model_save import save
from ..ragged import StringTensor

__all__ = ["METADATA_NAME", "StoredValue", "write_metadata", "read_metadata"]

METADATA_NAME = ".metadata.vkr"
_LAYOUT = "vakra.torch.dcp 1"
_TENSOR_KEYS = ("dtype", "size", "offsets", "sizes", "files", "entries")
_BYTES_KEYS = ("files", "entries")


class StoredValue(NamedTuple):
    """Where one chunk or non-tensor value lies: a model file of the
    checkpoint's directory and the entry's name in it."""

    file: str
    entry: str


def write_metadata(directory: str, metadata: Metadata, stored: dict[MetadataIndex, StoredValue],
                   durable: bool) -> None:
    entries = {}
    for name, described in metadata.state_dict_metadata.items():
        if isinstance(described, TensorStorageMetadata):
            places = [stored[MetadataIndex(name, chunk.offsets)] for chunk in described.chunks]
            ndim = len(described.size)
            entries[name] = {
                "dtype": StringTensor([str(described.properties.dtype).removeprefix("torch.")]),
                "size": np.array(described.size, dtype=np.int64),
                "offsets": np.array([chunk.offsets for chunk in described.chunks], dtype=np.int64).reshape(len(places), ndim),
                "sizes": np.array([chunk.sizes for chunk in described.chunks], dtype=np.int64).reshape(len(places), ndim),
                "files": StringTensor([place.file for place in places]),
                "entries": StringTensor([place.entry for place in places]),
            }
        else:
            place = stored[MetadataIndex(name)]
            entries[name] = {"files": StringTensor([place.file]), "entries": StringTensor([place.entry])}
    notes = {"format": _LAYOUT, "version": metadata.version or "",
             "planner_data": json.dumps(_paths(metadata.planner_data))}
    if metadata.storage_meta is not None and metadata.storage_meta.save_id is not None:
        notes["save_id"] = metadata.storage_meta.save_id
    save(entries, os.path.join(directory, METADATA_NAME), metadata=notes, check_integrity=True, durable=durable)


def read_metadata(directory: str) -> tuple[Metadata, dict[MetadataIndex, StoredValue]]:
    """The checkpoint's Metadata (its storage_data left None) and where each
    chunk and value lies. ValueError for anything that does not read as
    this layout, naming the file and the entry."""
    path = os.path.join(directory, METADATA_NAME)
    with File(path) as file:
        if file.metadata.get("format") != _LAYOUT:
            raise ValueError(f"{path} is not the metadata of a checkpoint written by vakra.torch.dcp")
        described: dict[str, Any] = {}
        stored: dict[MetadataIndex, StoredValue] = {}
        for name in file:
            try:
                described[name] = _read_entry(name, file[name], stored)
            except (ValueError, TypeError, KeyError) as error:
                raise ValueError(f"{path}: entry {name!r}: {error}") from None
        notes = file.metadata
    planner_data = _read_paths(notes.get("planner_data", "null"), path)
    storage_meta = StorageMeta(checkpoint_id=directory, save_id=notes.get("save_id"))
    return Metadata(described, planner_data=planner_data, storage_meta=storage_meta,
                    version=notes.get("version") or None), stored


def _read_entry(name: str, value: Any, stored: dict[MetadataIndex, StoredValue]) -> Any:
    if not isinstance(value, dict) or set(value) not in (set(_TENSOR_KEYS), set(_BYTES_KEYS)):
        raise ValueError(f"holds {sorted(value) if isinstance(value, dict) else type(value).__name__}, not a "
                         "tensor's or a value's description")
    files, entries = _strings(value["files"]), _strings(value["entries"])
    if len(files) != len(entries):
        raise ValueError("its files and entries differ in number")
    places = [StoredValue(_checked_file(file), entry) for file, entry in zip(files, entries)]
    if "dtype" not in value:
        if len(places) != 1:
            raise ValueError("a value lies in one place")
        stored[MetadataIndex(name)] = places[0]
        return BytesStorageMetadata()
    dtypes = _strings(value["dtype"])
    dtype = getattr(torch, dtypes[0], None) if len(dtypes) == 1 else None
    if not isinstance(dtype, torch.dtype):
        raise ValueError(f"names no torch dtype: {dtypes}")
    size, offsets, sizes = (_integers(value[key], key) for key in ("size", "offsets", "sizes"))
    if size.ndim != 1 or offsets.shape != sizes.shape or offsets.ndim != 2 or offsets.shape[1:] != size.shape:
        raise ValueError("its size, offsets and sizes do not agree in shape")
    if len(places) != len(offsets):
        raise ValueError("it has a different number of chunks and places")
    if (size < 0).any() or (offsets < 0).any() or (sizes < 0).any() or (offsets + sizes > size).any():
        raise ValueError("a chunk lies outside its tensor")
    chunks = []
    for chunk_offsets, chunk_sizes, place in zip(offsets.tolist(), sizes.tolist(), places):
        chunk = ChunkStorageMetadata(torch.Size(chunk_offsets), torch.Size(chunk_sizes))
        stored[MetadataIndex(name, chunk.offsets)] = place
        chunks.append(chunk)
    return TensorStorageMetadata(TensorProperties(dtype=dtype), torch.Size(size.tolist()), chunks)


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


def _paths(planner_data: Any) -> Any:
    """The default planners' name mapping (name -> path of str and int keys)
    in a form JSON keeps; TypeError for planner data of any other shape."""
    if planner_data is None:
        return None
    if isinstance(planner_data, dict) and all(
            isinstance(name, str) and isinstance(path, (tuple, list)) and
            all(isinstance(key, (str, int)) and not isinstance(key, bool) for key in path)
            for name, path in planner_data.items()):
        return {name: list(path) for name, path in planner_data.items()}
    raise TypeError("vakra.torch.dcp keeps the planner data of torch's default planners (a mapping of names to "
                    f"paths of str and int keys), not {type(planner_data).__name__}")


def _read_paths(text: str, path: str) -> Any:
    try:
        planner_data = json.loads(text)
    except ValueError as error:
        raise ValueError(f"{path}: its planner data does not read: {error}") from None
    if planner_data is None:
        return None
    try:
        _paths(planner_data)
    except TypeError as error:
        raise ValueError(f"{path}: {error}") from None
    return {name: tuple(keys) for name, keys in planner_data.items()}
