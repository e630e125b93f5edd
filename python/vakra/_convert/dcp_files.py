"""A torch.distributed.checkpoint directory written by ``vakra.torch.dcp``,
consolidated for the converter: each tensor whole, assembled from its chunks
one tensor at a time, so that the model file loads without torch.distributed
(or torch). Nothing here imports torch: the checkpoint's metadata and chunks
are vakra model files. Non-tensor values (optimizer settings, steps kept
as numbers) are not carried: a model file holds tensors.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from typing import Any

import numpy as np

from .._dcp.checkpoint_metadata import METADATA_NAME, TensorLayout, read_layout
from .._facts import BY_TORCH_NAME
from .._model.model_file import File

__all__ = ["is_checkpoint", "read_checkpoint"]


def is_checkpoint(path: str) -> bool:
    return os.path.isdir(path) and os.path.isfile(os.path.join(path, METADATA_NAME))


@contextmanager
def read_checkpoint(path: str) -> Iterator[tuple[list[str], Iterator[Any], dict[str, str]]]:
    """The names of the checkpoint's tensors, in saved order, and a generator
    of each whole tensor in turn (a new array each)."""
    layouts, _ = read_layout(path)
    tensors = {name: layout for name, layout in layouts.items() if isinstance(layout, TensorLayout)}
    with ExitStack() as stack:
        files: dict[str, File] = {}

        def opened(name: str) -> File:
            if name not in files:
                files[name] = stack.enter_context(File(os.path.join(path, name)))
            return files[name]

        yield list(tensors), (_assembled(path, name, layout, opened) for name, layout in tensors.items()), {}


def _assembled(path: str, name: str, layout: TensorLayout, opened: Any) -> np.ndarray:
    element = BY_TORCH_NAME[layout.dtype]
    whole = None
    for chunk in layout.chunks:
        try:
            part = opened(chunk.place.file)[chunk.place.entry]
        except KeyError:
            raise ValueError(f"{path}: {chunk.place.file} holds no entry {chunk.place.entry!r} "
                             f"(a chunk of {name!r})") from None
        if not isinstance(part, np.ndarray) or part.dtype.name != element.name or part.shape != chunk.sizes:
            raise ValueError(f"{path}: entry {chunk.place.entry!r} of {chunk.place.file} is not the "
                             f"{layout.dtype} {chunk.sizes} chunk of {name!r} the checkpoint's metadata says")
        if whole is None:
            whole = np.zeros(layout.size, dtype=part.dtype)
        whole[tuple(slice(start, start + size) for start, size in zip(chunk.offsets, chunk.sizes))] = part
    if whole is None:  # no chunks: an empty tensor
        whole = np.zeros(layout.size, dtype=np.dtype(element.name))
    return whole
