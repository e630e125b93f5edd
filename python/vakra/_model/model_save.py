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
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np

from .. import _native
from .._encoding import convert
from .._io.atomic_write import write_to_path
from .._io.file_objects import PathLike
from .._io.progress import Progress, ProgressCallback
from . import tree
from .bodies import body_bytes, describe

__all__ = ["save", "save_entries", "save_stream"]


def save(tensors: Mapping[str, Any], path: PathLike, *, metadata: Mapping[str, str] | None = None,
         check_integrity: bool = False, compress: bool = False, alignment: int = 64, durable: bool = True,
         progress: ProgressCallback | None = None) -> None:
    """Write ``tensors``, a mapping of ``str`` names to values, to the model
    file ``path``; read it back with :func:`vakra.open` or
    :func:`vakra.load_file`.

    ``tensors`` may also be a checkpoint tree (a training state: dicts with
    ``str`` or ``int`` keys, lists, tuples, Python and NumPy scalars and
    tensors at any depth, see ``vakra._model.tree``): each tensor is then the
    entry named by its path (``optimizer/state/0/exp_avg``) and the rest of
    the tree is kept in the record; :func:`vakra.load_file` gives the tree
    back. Values are otherwise anything :func:`vakra.dumps` takes (arrays, tensors, sparse
    matrices, string and quantized tensors, dicts of these), any number of
    them, kept in the mapping's order. ``metadata`` maps ``str`` to ``str``
    and is kept in the file. The options are those of :func:`vakra.dumps`;
    uncompressed array bodies lie at file offsets that are multiples of
    ``alignment``, so arrays mapped from the file are aligned in memory.
    Values that are the same view of the same memory (tied weights) are
    stored once and read back as one value.

    ``path`` is replaced atomically and durably, as :func:`vakra.dump` does
    (a symlink's target is replaced and keeps its mode; ``durable=False``
    skips the syncs): on any error the old file is untouched and no
    temporary file is left. ``progress``, if given, is called with the bytes
    of the values written so far and their total (their arrays' ``nbytes``)
    after each entry. Raises
    ``TypeError`` for non-``str`` names, metadata that is not ``str`` to
    ``str`` and values vakra does not encode; ``ValueError`` for what
    :func:`vakra.dumps` refuses, with a note naming the entry for a value
    over a limit of the format (10^9 elements or 32 dimensions per array,
    255 entries per nested dict); ``OSError`` from the file system.
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
                expected_bytes: int = 0) -> None:
    """:func:`save` for values made one at a time: ``values`` yields the
    value of each of ``names`` in turn, and each is written before the next
    is asked for, so a producer may hand out the same memory again (no two
    values are taken as tied). Options and errors are those of :func:`save`;
    a producer's error leaves ``path`` as it was, as any other does. The
    values' total is not known ahead: ``progress`` is told
    ``expected_bytes`` as the total until the last value is written."""
    names = list(names)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"names must be str, not {type(name).__name__!r}")
    if len(set(names)) != len(names):
        repeated = sorted(name for name, count in Counter(names).items() if count > 1)
        raise ValueError(f"a model file's names are unique; these repeat: {', '.join(map(repr, repeated))}")
    _save(names, values, None, path, metadata, (check_integrity, compress, alignment), durable,
          Progress(progress, expected_bytes))


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
        return len(value) <= 255 and all(type(key) is str and _plain(item) for key, item in value.items())
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
    is_body = {index for index, _, _ in bodies}
    # Values are taken with next() rather than through zip and enumerate,
    # whose reused result tuples would hold the last value while the next
    # one is made: a streamed value goes before its successor exists.
    produced = iter(values)
    for index in range(len(names)):
        value = next(produced, _END)
        if value is _END:
            raise ValueError(f"{len(names)} names but {index} values")
        first = tied.first(value, index) if tied is not None else None
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
