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
    """Decode the packet in ``data`` into tensors.

    Tensors are copies of the packet's bodies unless ``writable=True`` and
    ``data`` is writable, in which case they are views of ``data``: in-place
    operations change it, and writes into it show in the tensors.

    Parameters
    ----------
    data : bytes-like
        Any buffer of bytes, as for :func:`vakra.loads`.
    writable : bool, default False
        View a writable ``data`` instead of copying it.

    Returns
    -------
    object
        Tensors for dense and sparse packets, dicts of them for bundles,
        :class:`vakra.StringTensor` and :class:`vakra.quantize.QuantizedTensor` as they
        are.

    Raises
    ------
    ValueError, ImportError
        As :func:`vakra.loads` raises them; ``ValueError`` naming the entry for
        a sparse matrix torch refuses.

    Examples
    --------
    >>> import torch, vakra.torch
    >>> packet = vakra.dumps({"w": torch.ones(2, 3, dtype=torch.bfloat16)})
    >>> vakra.torch.loads(packet)["w"]
    tensor([[1., 1., 1.],
            [1., 1., 1.]], dtype=torch.bfloat16)
    """
    return _tree_as_torch(packets.decode(data, writable))


def load(file: PathLike | IO[bytes], *, mmap: bool = True) -> Any:
    """Read one packet from ``file`` into tensors.

    A file object is read from its current position, which then moves past the
    packet. A ``state_dict`` saved with :func:`vakra.dump` loads back with
    ``module.load_state_dict(vakra.torch.load(path))``; a model file (written by
    :func:`save`) is read with :func:`load_file` or :func:`open`, and refused
    here.

    Parameters
    ----------
    file : str, os.PathLike or binary file object
        A path, or a file object opened for binary reading.
    mmap : bool, default True
        Map a regular file copy-on-write, so that tensors view the mapping:
        loading reads nothing, and writes into a tensor stay in this process.
        Otherwise the packet is read into memory that the tensors view.

    Returns
    -------
    object
        The packet's value, with tensors for arrays.

    Raises
    ------
    ValueError
        For a model file, saying so, and the errors of :func:`vakra.load`.
    EOFError, OSError
        As :func:`vakra.load` raises them.

    Examples
    --------
    >>> import torch, vakra.torch
    >>> model = torch.nn.Linear(4, 2)
    >>> vakra.dump(model.state_dict(), "linear.vkr")
    >>> model.load_state_dict(vakra.torch.load("linear.vkr"))
    <All keys matched successfully>
    """
    # Copy-on-write mapping, or a buffer of this process's own: either way
    # the tensors may view it and write into it.
    return _tree_as_torch(streams.read_value(file, mmap, None, True))


def loads_frames(frames: Any, *, writable: bool = False) -> Any:
    """Decode a packet given as a list of buffers into tensors.

    Copies or views as :func:`loads` does.

    Parameters
    ----------
    frames : iterable of bytes-like
        The packet's bytes in order, as for :func:`vakra.loads_frames`.
    writable : bool, default False
        View writable frames instead of copying them.

    Returns
    -------
    object
        The packet's value, with tensors for arrays.

    Raises
    ------
    ValueError, TypeError
        As :func:`vakra.loads_frames` raises them.

    Examples
    --------
    >>> import torch, vakra.torch
    >>> frames = vakra.dumps_frames(torch.arange(4))
    >>> vakra.torch.loads_frames(frames)
    tensor([0, 1, 2, 3])
    """
    return _tree_as_torch(decode_frames(frames, writable))


def save(state_dict: Any, path: PathLike, *, metadata: Any = None, check_integrity: bool = False,
         compress: bool = False, alignment: int = 64, durable: bool = True,
         progress: Callable[[int, int], object] | None = None) -> None:
    """Write a ``state_dict`` of any size, or a whole training state, to a model file.

    ``state_dict`` is a mapping of ``str`` to tensors such as
    ``model.state_dict()``, or a checkpoint tree: the model's, optimizer's and
    scheduler's state dicts, steps and RNG states together (see
    :func:`vakra.save`). Tensors that are the same view of the same storage
    (tied weights) are stored once and load back as one tensor. Everything
    else is :func:`vakra.save`: the metadata, the options, the atomic, durable
    replacement of ``path`` and the errors.

    Parameters
    ----------
    state_dict : mapping of str to tensors, or a checkpoint tree
        Such as ``model.state_dict()``; any value :func:`vakra.save` takes.
    path : str or os.PathLike
        The file to write.
    metadata : mapping of str to str, optional
        Kept in the file.
    check_integrity, compress, alignment, durable
        As for :func:`vakra.save`.
    progress : callable, optional
        As for :func:`vakra.save`: ``progress(done, total)`` in bytes after
        each entry.

    Returns
    -------
    None

    Raises
    ------
    TypeError, ValueError, OSError
        As :func:`vakra.save` raises them.

    Examples
    --------
    >>> import torch, vakra.torch
    >>> encoder = torch.nn.TransformerEncoder(torch.nn.TransformerEncoderLayer(16, 2, 32, batch_first=True), 24)
    >>> len(encoder.state_dict())  # more than a dict packet's 255 entries
    288
    >>> vakra.torch.save(encoder.state_dict(), "encoder.vkr")
    >>> encoder.load_state_dict(vakra.torch.load_file("encoder.vkr"))
    <All keys matched successfully>
    """
    model_save.save(state_dict, path, metadata=metadata, check_integrity=check_integrity, compress=compress,
                    alignment=alignment, durable=durable, progress=progress)


class File(model_file.File):
    """A model file's values as tensors, made by :func:`open`.

    A :class:`vakra.File` whose arrays come back as tensors over the file's
    copy-on-write mapping.

    Parameters
    ----------
    path : str or os.PathLike
        The model file.
    writable : bool, default False
        As for :class:`vakra.File`; :func:`open` passes ``True``.

    Examples
    --------
    >>> import torch, vakra.torch
    >>> vakra.torch.save({"w": torch.zeros(2)}, "w.vkr")
    >>> with vakra.torch.open("w.vkr") as f:
    ...     print(type(f).__name__, f["w"])
    File tensor([0., 0.])
    """

    _size = staticmethod(torch.Size)

    def _converted(self, value: Any) -> Any:
        return _as_torch(value)


def open(path: PathLike) -> File:  # noqa: A001 - vakra.torch.open mirrors vakra.open
    """Open a model file as a read-only mapping from name to tensor.

    Names come in saved order, with the file's ``metadata``; each tensor is
    decoded when asked for. The file is mapped copy-on-write: tensors view the
    mapping, are writable, and writes never reach the file.

    Parameters
    ----------
    path : str or os.PathLike
        A model file.

    Returns
    -------
    File
        The mapping.

    Raises
    ------
    ValueError, OSError
        As :func:`vakra.open` raises them.

    Examples
    --------
    >>> import torch, vakra.torch
    >>> vakra.torch.save({"embed": torch.ones(3, 2)}, "embed.vkr", metadata={"step": "5"})
    >>> with vakra.torch.open("embed.vkr") as f:
    ...     print(f.metadata, f["embed"].shape)
    {'step': '5'} torch.Size([3, 2])
    """
    return File(path, writable=True)


def load_file(path: PathLike, *, mmap: bool | None = None,
              progress: Callable[[int, int], object] | None = None) -> Any:
    """The whole model file as a dict of tensors, in saved order.

    Ready for ``model.load_state_dict(vakra.torch.load_file(path))``; for a
    file saved from a checkpoint tree, that tree, with tensors and
    ``torch.Size`` as they were saved. Names saved as tied weights share one
    tensor.

    Parameters
    ----------
    path : str or os.PathLike
        A model file.
    mmap : bool or None, default None
        ``True``: tensors view the file's copy-on-write mapping, as with
        :func:`open`. ``False``: the file is read by several threads into
        memory the tensors own. ``None``: mapped when the file is small or in
        the page cache, else read, as for :func:`vakra.load_file`.
    progress : callable, optional
        As for :func:`vakra.load_file`: ``progress(done, total)`` in bytes as
        entries are read.

    Returns
    -------
    dict of str to torch.Tensor, or a checkpoint tree
        Every name and its value; for a file saved from a tree, that tree.

    Raises
    ------
    ValueError, OSError
        As :func:`vakra.load_file` raises them.

    Examples
    --------
    >>> import torch, vakra.torch
    >>> weight = torch.ones(4, 2)
    >>> vakra.torch.save({"embed": weight, "head": weight}, "tied.vkr")
    >>> tensors = vakra.torch.load_file("tied.vkr")
    >>> tensors["embed"].data_ptr() == tensors["head"].data_ptr()
    True
    """
    with File(path, writable=True) as file:
        return file._load_tree(mmap, progress)


def as_tensor(array: np.ndarray) -> torch.Tensor:
    """The tensor over ``array``'s memory.

    bfloat16 and float8 arrays become torch's types over the same bytes. A
    float4_e2m1fn array (one element per byte in NumPy) becomes a new
    ``torch.float4_e2m1fn_x2`` tensor of two elements per byte, its last
    dimension halved.

    Parameters
    ----------
    array : numpy.ndarray
        An array of a dtype vakra stores.

    Returns
    -------
    torch.Tensor
        A view of the array's memory (a new tensor for float4).

    Raises
    ------
    TypeError
        For an array torch cannot view (from ``torch.from_numpy``).

    Examples
    --------
    >>> import ml_dtypes, vakra.torch
    >>> vakra.torch.as_tensor(np.ones(2, ml_dtypes.bfloat16))
    tensor([1., 1.], dtype=torch.bfloat16)
    """
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
