"""DCP's ``Metadata`` to the checkpoint's layout (``checkpoint_metadata``) and
back. The planner's data is kept as JSON when it is the default planners'
name mapping (name -> path of str and int keys), the only planner data
torch's own planners make; any other is refused rather than pickled."""

from __future__ import annotations

import json
from typing import Any

import torch
from torch.distributed.checkpoint.metadata import (BytesStorageMetadata, ChunkStorageMetadata, Metadata,
                                                   MetadataIndex, StorageMeta, TensorProperties,
                                                   TensorStorageMetadata)

from .checkpoint_metadata import Chunk, StoredValue, TensorLayout, ValueLayout, read_layout, write_layout

__all__ = ["write_metadata", "read_metadata"]


def write_metadata(directory: str, metadata: Metadata, stored: dict[MetadataIndex, StoredValue],
                   durable: bool) -> None:
    layouts: dict[str, TensorLayout | ValueLayout] = {}
    for name, described in metadata.state_dict_metadata.items():
        if isinstance(described, TensorStorageMetadata):
            chunks = [Chunk(tuple(chunk.offsets), tuple(chunk.sizes), stored[MetadataIndex(name, chunk.offsets)])
                      for chunk in described.chunks]
            layouts[name] = TensorLayout(str(described.properties.dtype).removeprefix("torch."),
                                         tuple(described.size), chunks)
        else:
            layouts[name] = ValueLayout(stored[MetadataIndex(name)])
    notes = {"version": metadata.version or "", "planner_data": json.dumps(_paths(metadata.planner_data))}
    if metadata.storage_meta is not None and metadata.storage_meta.save_id is not None:
        notes["save_id"] = metadata.storage_meta.save_id
    write_layout(directory, layouts, notes, durable)


def read_metadata(directory: str) -> tuple[Metadata, dict[MetadataIndex, StoredValue]]:
    """The checkpoint's Metadata and where each chunk and value lies."""
    layouts, notes = read_layout(directory)
    described: dict[str, Any] = {}
    stored: dict[MetadataIndex, StoredValue] = {}
    for name, layout in layouts.items():
        if isinstance(layout, ValueLayout):
            stored[MetadataIndex(name)] = layout.place
            described[name] = BytesStorageMetadata()
            continue
        chunks = []
        for chunk in layout.chunks:
            stored[MetadataIndex(name, chunk.offsets)] = chunk.place
            chunks.append(ChunkStorageMetadata(torch.Size(chunk.offsets), torch.Size(chunk.sizes)))
        described[name] = TensorStorageMetadata(TensorProperties(dtype=getattr(torch, layout.dtype)),
                                                torch.Size(layout.size), chunks)
    try:
        planner_data = json.loads(notes.get("planner_data", "null"))
        _paths(planner_data)
    except (ValueError, TypeError) as error:
        raise ValueError(f"{directory}: the checkpoint's planner data does not read: {error}") from None
    if planner_data is not None:
        planner_data = {name: tuple(path) for name, path in planner_data.items()}
    return Metadata(described, planner_data=planner_data, storage_meta=StorageMeta(
        checkpoint_id=directory, save_id=notes.get("save_id")), version=notes.get("version") or None), stored


def _paths(planner_data: Any) -> Any:
    """The name mapping in a form JSON keeps; TypeError for planner data of any other shape."""
    if planner_data is None:
        return None
    if isinstance(planner_data, dict) and all(
            isinstance(name, str) and isinstance(path, (tuple, list)) and
            all(isinstance(key, (str, int)) and not isinstance(key, bool) for key in path)
            for name, path in planner_data.items()):
        return {name: list(path) for name, path in planner_data.items()}
    raise TypeError("vakra.torch.dcp keeps the planner data of torch's default planners (a mapping of names to "
                    f"paths of str and int keys), not {type(planner_data).__name__}")
