"""``vakra.save``: any number of named values into one model file (the layout
is described in ``vakra._model.model_file``).

The codec's model file writer places every byte; this module checks the
arguments, finds tied values and hands the writer one value at a time (one
native call per entry, a nested dict included). Array bodies go to the file
straight from the values' own memory; only compressed or checksummed bodies
and small values are held encoded, one entry at a time. Values that are the
same view of the same memory (tied weights) are written once.
"""

from __future__ import annotations

import os
import sys
from collections import Counter
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np

from .. import _native
from .._encoding import convert
from .._facts import MAX_BUNDLE_ENTRIES
from .._io.atomic_write import write_to_path
from .._io.file_objects import PathLike
from .._io.progress import Progress, ProgressCallback
from . import tree
from .bodies import BY_CODE, body_bytes, body_of, declared, describe

__all__ = ["save", "save_entries", "save_stream"]


def save(tensors: Mapping[str, Any], path: PathLike, *, metadata: Mapping[str, str] | None = None,
         check_integrity: bool = False, compress: bool = False, alignment: int = 64, durable: bool = True,
         progress: ProgressCallback | None = None) -> None:
    """Write named values, or a whole checkpoint tree, to a model file read back lazily with :func:`open`.

    Any number of values, kept in the mapping's order. Uncompressed array
    bodies lie at file offsets that are multiples of ``alignment``, so arrays
    mapped from the file are aligned in memory. Values that are the same view
    of the same memory (tied weights) are stored once and read back as one
    value. A dense array or tensor too large for a packet (over 10^9
    elements) is stored as a raw body the file's record describes, and opens
    as a view of the mapping like any other. ``path`` is replaced atomically
    and durably, as :func:`dump` does (a symlink's target is replaced and keeps
    its mode): on any error the old file is untouched and no temporary file is
    left.

    Parameters
    ----------
    tensors : mapping of str to values, or a checkpoint tree
        Anything :func:`dumps` takes (arrays, tensors, sparse matrices, string
        and quantized tensors, dicts of these) under each name; top-level names
        are unlimited. Or a checkpoint tree (a training state: dicts with
        ``str`` or ``int`` keys, lists, tuples, ``None``, ``bool``, ``int``,
        ``float``, ``complex``, ``str``, ``bytes``, NumPy scalars and tensors at
        any depth, of any length): each tensor is then the entry named by its
        path (``optimizer/state/0/exp_avg``) and the rest of the tree is kept
        in the file's record; :func:`load_file` gives the tree back.
    path : str or os.PathLike
        The file to write.
    metadata : mapping of str to str, optional
        Kept in the file, and given back as ``File.metadata``.
    check_integrity, compress, alignment
        As for :func:`dumps`, for every entry.
    durable : bool, default True
        As for :func:`dump`: ``False`` skips the syncs.
    progress : callable, optional
        Called as ``progress(done, total)`` after each entry, with the bytes of
        the values written so far and their total (their arrays' ``nbytes``).

    Returns
    -------
    None

    Raises
    ------
    TypeError
        For metadata that is not ``str`` to ``str``, and values vakra does not
        encode (naming the entry, or the value's path in a tree and the kinds
        a tree holds).
    ValueError
        For what :func:`dumps` refuses, with a note naming the entry for a
        value over a limit of the format (32 dimensions per array; 10^9
        elements for a value that is not a dense array, such as a sparse
        matrix), and for a tree that holds itself.
    OSError
        From the file system.

    See Also
    --------
    open, load_file : the readers.
    vakra.torch.save : the same for a ``state_dict`` or a training state.

    Notes
    -----
    A dense array or tensor too large for a packet (over 10^9 elements, or
    a dimension over 2^32 - 1) is stored as a body: its raw bytes, written
    straight from its memory, with its dtype and shape in the file's record
    (see ``vakra._model.bodies``). A body is never compressed nor
    checksummed: ``compress`` and ``check_integrity`` apply to packets, and
    ``vakra verify`` checks a body's description (dtype, shape, place and
    length, in the checksummed record) against the file, not its bytes.
    Such a file is read with :func:`vakra.open` and :func:`vakra.load_file`
    only, not packet by packet (:func:`vakra.iter_load` refuses it).

    Examples
    --------
    >>> layers = {f"layers.{i}.weight": np.full((4, 4), i, np.float32) for i in range(300)}
    >>> vakra.save(layers, "model.vkr", metadata={"step": "1200"}, check_integrity=True)
    >>> with vakra.open("model.vkr") as f:
    ...     print(len(f), f["layers.299.weight"][0, 0], f.metadata)
    300 299.0 {'step': '1200'}

    A checkpoint tree comes back with its types and key types:

    >>> state = {"step": 7, "lr": 1e-3, "groups": [{"params": (0, 1)}], "w": np.zeros(2)}
    >>> vakra.save(state, "state.vkr")
    >>> back = vakra.load_file("state.vkr")
    >>> back["step"], back["groups"], back["w"]
    (7, [{'params': (0, 1)}], array([0., 0.]))
    """
    skeleton = None
    if needs_tree(tensors):  # anything but a mapping of str names to what vakra.dumps takes
        skeleton, entries = tree.flatten(tensors)
    else:
        entries = _named_entries(tensors)
    save_entries(entries, skeleton, path, metadata=metadata, check_integrity=check_integrity, compress=compress,
                 alignment=alignment, durable=durable, progress=progress)


def save_entries(entries: list[tuple[str, Any]], skeleton: str | None, path: PathLike, *,
                 metadata: Mapping[str, str] | None = None, check_integrity: bool = False, compress: bool = False,
                 alignment: int = 64, durable: bool = True, progress: ProgressCallback | None = None) -> None:
    """:func:`save` of ``(name, value)`` pairs in order, the tensors of the
    checkpoint tree ``skeleton`` (None: named values only); re-packing a
    model file keeps its tree this way."""
    values = [value for _, value in entries]
    counter = Progress(progress, sum(map(_byte_size, values)))
    bodies = [(index, *body) for index, body in enumerate(map(describe, values)) if body is not None]
    _save([name for name, _ in entries], values, _TiedViews(values), path, metadata,
          (check_integrity, compress, alignment), durable, counter, bodies, skeleton)


def save_stream(names: list[str], values: Iterable[Any], path: PathLike, *,
                metadata: Mapping[str, str] | None = None, check_integrity: bool = False, compress: bool = False,
                alignment: int = 64, durable: bool = True, progress: ProgressCallback | None = None,
                expected_bytes: int = 0, bodies: Mapping[str, tuple[Any, Sequence[int]]] | None = None) -> None:
    """:func:`save` for values made one at a time: ``values`` yields the
    value of each of ``names`` in turn, and each is written before the next
    is asked for, so a producer may hand out the same memory again (no two
    values are taken as tied). Options and errors are those of :func:`save`;
    a producer's error leaves ``path`` as it was, as any other does. The
    values' total is not known ahead: ``progress`` is told
    ``expected_bytes`` as the total until the last value is written.

    A tensor too large for a packet is stored as a body, which the file's
    record, written before any value, declares: ``bodies`` maps the name of
    each such value to its ``(dtype, shape)`` (a NumPy, ml_dtypes or torch
    dtype, or its name; the shape in elements). A declared value of another
    dtype or shape, and a value too large for a packet that is not declared,
    raise ``ValueError`` naming the entry (:func:`save`, which sees every
    value first, needs no declaration). Bodies are never compressed nor
    checksummed: ``compress`` and ``check_integrity`` apply to packets."""
    names = list(names)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"names must be str, not {type(name).__name__!r}")
    if len(set(names)) != len(names):
        repeated = sorted(name for name, count in Counter(names).items() if count > 1)
        raise ValueError(f"a model file's names are unique; these repeat: {', '.join(map(repr, repeated))}")
    _save(names, values, None, path, metadata, (check_integrity, compress, alignment), durable,
          Progress(progress, expected_bytes), _declared_bodies(names, bodies or {}))


def _declared_bodies(names: list[str], bodies: Mapping[str, tuple[Any, Sequence[int]]]) -> list:
    """``(index, dtype code, shape)`` of each name `bodies` declares, by index."""
    index = {name: at for at, name in enumerate(names)}
    declared_rows = []
    for name, description in bodies.items():
        if name not in index:
            raise ValueError(f"entry {name!r} is declared a body but is not one of the names")
        if not isinstance(description, (tuple, list)) or len(description) != 2:
            raise TypeError(f"entry {name!r}: a body is declared as (dtype, shape), not {description!r}")
        declared_rows.append((index[name], *declared(name, *description)))
    return sorted(declared_rows)


def _save(names: list[str], values: Iterable[Any], tied: _TiedViews | None, path: PathLike,
          metadata: Mapping[str, str] | None, flags: tuple, durable: bool, progress: Progress,
          bodies: list | None = None, skeleton: str | None = None) -> None:
    pairs = dict(_metadata_pairs(metadata))
    check_integrity, compress, alignment = flags
    if isinstance(alignment, bool) or not isinstance(alignment, int) or alignment < 1 or alignment & (alignment - 1):
        raise ValueError("Alignment must be a power of two")
    options = (bool(check_integrity), bool(compress), alignment, convert)
    write_to_path(os.fsdecode(path),
                  lambda handle: _write(handle.fileno(), names, values, tied, pairs, options, progress, bodies or [],
                                        skeleton),
                  durable=bool(durable))
    progress.finish()


def needs_tree(value: Any) -> bool:
    """Whether ``value`` is saved as a checkpoint tree: anything but a
    mapping of str names to values vakra.dumps takes (arrays, sparse, string
    and quantized tensors, lists of str or bytes, NumPy scalars, dicts of
    str keys of these of at most 255 entries), which keeps the first layout."""
    return not isinstance(value, Mapping) or any(type(key) is not str or not _plain(item) for key, item in value.items())


def _plain(value: Any) -> bool:
    if isinstance(value, dict):
        return len(value) <= MAX_BUNDLE_ENTRIES and all(type(key) is str and _plain(item) for key, item in value.items())
    if isinstance(value, list):
        return all(isinstance(item, (str, bytes, bytearray, memoryview)) for item in value)
    if isinstance(value, (tuple, str, bytes, int, float, complex)) or value is None:
        return False  # bool is an int
    return tree.is_tensor(value) or isinstance(value, np.generic)


def _named_entries(tensors: Mapping[str, Any]) -> list[tuple[str, Any]]:
    if not isinstance(tensors, Mapping):
        raise TypeError(f"vakra.save takes a mapping of names to values, not {type(tensors).__name__!r}")
    entries = list(tensors.items())
    for name, _ in entries:
        if not isinstance(name, str):
            raise TypeError(f"names must be str, not {type(name).__name__!r}")
    return entries


def _metadata_pairs(metadata: Mapping[str, str] | None) -> Any:
    if metadata is None:
        return
    if not isinstance(metadata, Mapping):
        raise TypeError(f"metadata must be a mapping of str to str, not {type(metadata).__name__!r}")
    for key, value in metadata.items():
        if not isinstance(key, str) or not isinstance(value, str):
            raise TypeError(f"metadata must map str to str; got {type(key).__name__!r}: {type(value).__name__!r}")
        yield key, value


def _write(descriptor: int, names: list[str], values: Iterable[Any], tied: _TiedViews | None,
           metadata: dict[str, str], options: tuple, progress: Progress, bodies: list,
           skeleton: str | None) -> None:
    _check_seekable(descriptor)
    # The record, then one native call per entry: the codec places every byte.
    # Tensors too large for a packet are bodies, declared in the record.
    writer = _native.ModelFileWriter(descriptor, names, metadata, *options, bodies, tree=skeleton)
    is_body = {index: (code, shape) for index, code, shape in bodies}
    # Values are taken with next() rather than through zip and enumerate,
    # whose reused result tuples would hold the last value while the next
    # one is made: a streamed value goes before its successor exists.
    produced = iter(values)
    for index in range(len(names)):
        value = next(produced, _END)
        if value is _END:
            raise ValueError(f"{len(names)} names but {index} values")
        first = tied.first(value, index) if tied is not None else None
        if tied is None:  # streamed: each value must be as declared ahead
            _check_declared(names[index], value, is_body.get(index))
        if first is None and index in is_body:
            writer.write_body(body_bytes(value))  # straight from the tensor's memory
        elif first is None:
            writer.write(value)
        else:  # the same view of the same memory as an earlier entry
            writer.tie(first)
        progress.advance(_byte_size(value))
        del value
    if next(produced, _END) is not _END:
        raise ValueError(f"more values than the {len(names)} names")
    writer.finish()


_END = object()


def _check_declared(name: str, value: Any, body: tuple[int, tuple[int, ...]] | None) -> None:
    """ValueError naming a streamed entry whose value is not the body it
    was declared, or needs a body it was not declared."""
    if body is None:
        needed = describe(value)
        if needed is not None:
            raise ValueError(f"entry {name!r} of shape {list(needed[1])} is too large for a packet: it is "
                             "stored as a body, which the file's record declares before any value is written; "
                             "declare it with bodies={name: (dtype, shape)}, or save with vakra.save, which sees "
                             "every value first")
        return
    actual = body_of(value)
    if actual != body:
        said = "no dense array" if actual is None else f"{BY_CODE[actual[0]].name} of shape {list(actual[1])}"
        raise ValueError(f"entry {name!r} was declared a body of {BY_CODE[body[0]].name} of shape {list(body[1])}, "
                         f"but its value is {said}")


def _check_seekable(descriptor: int) -> None:
    try:
        os.lseek(descriptor, 0, os.SEEK_CUR)
    except OSError as error:  # a pipe: nothing is written to it
        raise OSError(error.errno, "a model file's record is written last, at its start: vakra.save needs a file it "
                                   "can seek in, not a pipe") from None


class _TiedViews:
    """Finds entries that are the same view of the same memory as an earlier
    one (tied weights): the same address, shape, strides and element type.
    Empty arrays have no memory to share and are never tied.

    The address of a NumPy array costs a microsecond, so it is taken only for
    arrays that can share memory with another entry: views (their base is
    set) and arrays that another entry views. The same object twice is
    caught by its identity."""

    def __init__(self, values: Any) -> None:
        self._viewed = {id(value.base) for value in values if type(value) is np.ndarray and value.base is not None}
        self._by_identity: dict[int, int] = {}
        self._by_view: dict[tuple, int] = {}

    def first(self, value: Any, index: int) -> int | None:
        """The index of the earlier entry `value` is tied to; else None, and
        `value` is remembered as entry `index`."""
        earlier = self._by_identity.setdefault(id(value), index)
        if earlier != index:
            return earlier
        view = _view_key(value, self._viewed)
        if view is None:
            return None
        earlier = self._by_view.setdefault(view, index)
        return earlier if earlier != index else None


def _view_key(value: Any, viewed: set) -> tuple | None:
    if type(value) is np.ndarray:
        if not value.size or (value.base is None and id(value) not in viewed):
            return None
        return ("numpy", value.__array_interface__["data"][0], value.shape, value.strides, value.dtype.str)
    torch = sys.modules.get("torch")
    if torch is not None and isinstance(value, torch.Tensor) and value.layout == torch.strided and value.numel():
        return ("torch", value.device.type, value.data_ptr(), tuple(value.shape), value.stride(), value.dtype)
    return None


def _byte_size(value: Any) -> int:
    """The bytes of a value's arrays, for progress: ``nbytes``, summed over a dict's values."""
    if isinstance(value, dict):
        return sum(map(_byte_size, value.values()))
    try:
        size = getattr(value, "nbytes", 0)
    except RuntimeError:  # torch's sparse tensors have no nbytes
        return 0
    return size if isinstance(size, int) else 0
