"""Packets as PyTorch tensors: ``loads``, ``load`` and ``loads_frames``; model
files of any size as tensors: ``save``, ``open`` and ``load_file``.

``vakra.dumps``, ``dump`` and ``dump_into`` take tensors (and
``state_dict()``s) as they take NumPy arrays. A ``state_dict`` of any size
goes to a model file with ``vakra.torch.save`` and comes back with
``model.load_state_dict(vakra.torch.load_file(path))``.

    >>> import torch, vakra, vakra.torch
    >>> packet = vakra.dumps({"w": torch.ones(2, 3, dtype=torch.bfloat16)})
    >>> vakra.torch.loads(packet)["w"].dtype
    torch.bfloat16

Dense packets become tensors of the same dtype and shape (bfloat16 and
float8 as torch's types; float4 as ``torch.float4_e2m1fn_x2``, two elements
per byte, so the last dimension is halved), bundles dicts, sparse packets sparse COO, CSR or CSC
tensors in the packet's own layout; string and quantized packets stay
``StringTensor`` and ``QuantizedTensor`` (``dequantize(as_torch=True)`` gives
a float32 tensor).

PyTorch has no read-only tensors, so the rule here is that a tensor never
aliases memory it must not write:

- ``loads`` copies bodies out of the packet: ``bytes`` and other read-only
  sources must not change, and a writable source belongs to its caller.
  With ``writable=True`` a writable source (``bytearray``, writable
  ``memoryview``, shared memory) is viewed instead: no copy, in-place
  operations on a tensor change the source, and writes into the source show
  in the tensor. Read-only sources are still copied.
- ``load`` maps a file copy-on-write (``MAP_PRIVATE``): tensors are zero-copy
  views that read the file's pages when first touched; an in-place operation
  copies the touched pages into this process's memory and never reaches the
  file. Without a mapping (``mmap=False``, pipes) the packet is read into
  memory of its own, which the tensors then view.
- ``open`` and ``load_file`` map a model file copy-on-write, as ``load`` does;
  ``load_file(mmap=False)`` reads it into memory the tensors own.
- Compressed bodies are decompressed into fresh tensors in every case.
"""

from __future__ import annotations

from collections.abc import Callable
from functools import partial
from typing import IO, Any

try:
    import torch
except ImportError as error:
    raise ImportError("vakra.torch needs PyTorch: pip install 'vakra[torch]'") from error

import numpy as np

from ._facts import DENSE
from ._packing import packed_units
from ._io import packets, streams
from ._io.frames import decode_frames
from ._io.file_objects import PathLike
from ._model import model_file, model_save, tree_packet

__all__ = ["loads", "load", "loads_frames", "as_tensor", "save", "open", "load_file", "File"]


def __getattr__(name: str) -> Any:
    # vakra.torch.dcp imports torch.distributed, which plain tensor users need not pay for.
    if name == "dcp":
        import importlib

        # The backend sits a level above this module (it builds on it): loaded by
        # its name at first use, never while this module is imported.
        return importlib.import_module(__name__ + "_dcp")
    raise AttributeError(f"module 'vakra.torch' has no attribute {name!r}")


def loads(data: Any, *, writable: bool = False) -> Any:
    """Decode the packet in ``data`` (any buffer of bytes) into tensors.

    Tensors are copies of the packet's bodies unless ``writable=True`` and
    ``data`` is writable, in which case they are views of ``data`` (see the
    module's notes). Errors are those of :func:`vakra.loads`.
    """
    return _tree_as_torch(packets.decode(data, writable))


def load(file: PathLike | IO[bytes], *, mmap: bool = True) -> Any:
    """Read one packet from ``file`` (a path or a binary file object, from
    its current position, which then moves past the packet) into tensors.

    With ``mmap=True`` a regular file is mapped copy-on-write and tensors view
    the mapping: loading reads nothing, writes into a tensor stay in this
    process. Otherwise the packet is read into memory that the tensors view.
    A ``state_dict`` saved with ``vakra.dump`` loads back with
    ``module.load_state_dict(vakra.torch.load(path))``; a model file
    (``vakra.torch.save``) is read with :func:`load_file` or :func:`open`,
    and refused here with a ``ValueError`` saying so. Errors are those of
    :func:`vakra.load`.
    """
    # Copy-on-write mapping, or a buffer of this process's own: either way
    # the tensors may view it and write into it.
    return _tree_as_torch(streams.read_value(file, mmap, None, True))


def loads_frames(frames: Any, *, writable: bool = False) -> Any:
    """Decode a packet given as a list of buffers into tensors, copying or
    viewing as :func:`loads` does."""
    return _tree_as_torch(decode_frames(frames, writable))


def save(state_dict: Any, path: PathLike, *, metadata: Any = None, check_integrity: bool = False,
         compress: bool = False, alignment: int = 64, durable: bool = True,
         progress: Callable[[int, int], object] | None = None) -> None:
    """Write ``state_dict`` (any mapping of ``str`` to tensors, such as
    ``model.state_dict()``, any number of them) to the model file ``path``.

    Tensors that are the same view of the same storage (tied weights) are
    stored once and load back as one tensor. Everything else is
    :func:`vakra.save`: ``metadata`` (``str`` to ``str``), the options, the
    atomic, durable replacement of ``path`` (``durable=False`` skips the
    syncs), ``progress`` and the errors.
    """
    model_save.save(state_dict, path, metadata=metadata, check_integrity=check_integrity, compress=compress,
                    alignment=alignment, durable=durable, progress=progress)


class File(model_file.File):
    """A model file's values as tensors (see :func:`open`)."""

    _size = staticmethod(torch.Size)

    def _converted(self, value: Any) -> Any:
        return _as_torch(value)


def open(path: PathLike) -> File:  # noqa: A001 - vakra.torch.open mirrors vakra.open
    """Open a model file as a read-only mapping from name to tensor, in saved
    order, with its ``metadata``; each tensor is decoded when asked for.

    The file is mapped copy-on-write: tensors view the mapping, are
    writable, and writes never reach the file. Errors are those of
    :func:`vakra.open`.
    """
    return File(path, writable=True)


def load_file(path: PathLike, *, mmap: bool | None = None,
              progress: Callable[[int, int], object] | None = None) -> Any:
    """The whole model file as a dict of tensors, in saved order, ready for
    ``model.load_state_dict(vakra.torch.load_file(path))`` (the checkpoint
    tree, tensors and ``torch.Size`` included, for a file saved from one).

    With ``mmap=True`` tensors view the file's copy-on-write mapping, as
    with :func:`open`; with ``mmap=False`` the file is read by several
    threads into memory that the tensors own; ``None`` (the default: mapped
    when small or in the page cache, else read) and ``progress`` are as for
    :func:`vakra.load_file`. Names saved as tied
    weights share one tensor. Errors are those of :func:`vakra.load_file`.
    """
    with File(path, writable=True) as file:
        return file._load_tree(mmap, progress)


def as_tensor(array: np.ndarray) -> torch.Tensor:
    """The tensor over ``array``'s memory (bfloat16 and float8 arrays as
    torch's types); a float4_e2m1fn array (one element per byte) becomes a
    new ``torch.float4_e2m1fn_x2`` tensor of two elements per byte, its last
    dimension halved."""
    row = DENSE.get(array.dtype.name)
    if row is not None and row.needs_ml_dtypes:  # ml_dtypes' type, unknown to torch: its bits, retyped
        bits = array.view(np.dtype(f"i{row.element_size}"))
        if row.unit_elements != 1:
            bits = packed_units(bits)
        return torch.from_numpy(bits).view(getattr(torch, row.torch_name))
    return torch.from_numpy(array)


def _tree_as_torch(value: Any) -> Any:
    """A decoded packet's value as tensors: a tree's bundle as its tree, with
    torch.Size back as itself."""
    if type(value) is dict and tree_packet.TREE_KEY in value:
        rebuilt = tree_packet.tree_of(value, lambda key, item: _as_torch(item, key), torch.Size)
        if rebuilt is not value:
            return rebuilt
    return _as_torch(value)


def _as_torch(value: Any, name: str | None = None) -> Any:
    """Tensors for the arrays in a decoded value (`name`: its place in
    dicts, for messages). A tensor never aliases memory it must not write:
    read-only arrays become copies."""
    if isinstance(value, np.ndarray):
        return as_tensor(value if value.flags.writeable else value.copy())
    if isinstance(value, dict):
        return {key: _as_torch(item, key if name is None else f"{name}/{key}") for key, item in value.items()}
    sparse_format = getattr(value, "format", None)
    if sparse_format in _SPARSE_TENSORS:
        try:
            return _SPARSE_TENSORS[sparse_format](value)
        except RuntimeError as error:  # torch's own check of what the codec let through
            where = "" if name is None else f"entry {name!r}: "
            raise ValueError(f"{where}torch refuses the {sparse_format} matrix: {error}") from None
    return value  # StringTensor, QuantizedTensor, or None for kinds vakra does not decode


# The packet's indices are not trusted: torch checks them against the shape, so
# an index out of range raises here rather than crashing a later operation.
def _coo_tensor(matrix: Any) -> torch.Tensor:
    indices = torch.from_numpy(np.stack([matrix.row, matrix.col]).astype(np.int64))
    return torch.sparse_coo_tensor(indices, _as_torch(matrix.data), matrix.shape, check_invariants=True)


def _compressed_tensor(constructor: Any, matrix: Any) -> torch.Tensor:
    """A CSR or CSC tensor (``constructor`` says which) from the matrix's
    three arrays; a copy with sorted, distinct indices where the matrix's
    are not (SciPy's column selection makes such matrices), as torch wants."""
    if not matrix.has_canonical_format:
        matrix = matrix.copy()
        matrix.sum_duplicates()  # sorts too; duplicates sum, as they do in the matrix
    # torch wants both index arrays in one integer type.
    index_type = np.promote_types(matrix.indptr.dtype, matrix.indices.dtype)
    if index_type != np.int32:
        index_type = np.int64
    indptr, indices = (_as_torch(part.astype(index_type, copy=False)) for part in (matrix.indptr, matrix.indices))
    return constructor(indptr, indices, _as_torch(matrix.data), matrix.shape, check_invariants=True)


_SPARSE_TENSORS = {
    "coo": _coo_tensor,
    "csr": partial(_compressed_tensor, torch.sparse_csr_tensor),
    "csc": partial(_compressed_tensor, torch.sparse_csc_tensor),
}
