"""``vakra.save``: any number of named values into one model file (the layout
is described in ``vakra.model_file``).

Entries are encoded and written one at a time: array bodies go to the file
straight from the values' own memory, and only a compressed or checksummed
body, a sparse matrix or a small value is held encoded, one entry at a time. Values that
are the same view of the same memory (tied weights) are written once.
"""

from __future__ import annotations

import os
import struct
import sys
from collections import Counter
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np

from .. import _native
from .._encoding import convert
from .._io.atomic_write import write_to_path
from .._io.file_objects import PathLike
from .._io.packets import loads
from ._file_layout import Branch, FileWriter, Leaf, Slot, SlotTooLong, bundle_head
from ._limit_notes import child_length_limit, note_failed_entry, too_deep, too_many_entries
from ._model_record import record_fields

__all__ = ["save", "save_stream"]

_U32 = struct.Struct("<I")
_FLAG_COMPRESSED = 0x0004
_FLAG_STRING = 0x0100
_SPARSE_FLAGS = 0x0008 | 0x0020 | 0x0040
_MAX_DEPTH = 64  # how deep the decoders follow nested packets
_SPARSE_ALIGNMENT = 64  # sparse components are encoded with it
_SEGMENTED = 1 << 16  # values this large are encoded as pieces that view their memory


def save(tensors: Mapping[str, Any], path: PathLike, *, metadata: Mapping[str, str] | None = None,
         check_integrity: bool = False, compress: bool = False, alignment: int = 64, durable: bool = True) -> None:
    """Write named values to a model file, read back lazily with :func:`open`.

    Any number of values, kept in the mapping's order. Uncompressed array
    bodies lie at file offsets that are multiples of ``alignment``, so arrays
    mapped from the file are aligned in memory. Values that are the same view
    of the same memory (tied weights) are stored once and read back as one
    value. ``path`` is replaced atomically and durably, as :func:`dump` does (a
    symlink's target is replaced and keeps its mode): on any error the old file
    is untouched and no temporary file is left.

    Parameters
    ----------
    tensors : mapping of str to values
        Anything :func:`dumps` takes (arrays, tensors, sparse matrices, string
        and quantized tensors, dicts of these) under each name. Top-level names
        are unlimited; a nested dict holds at most 255 entries.
    path : str or os.PathLike
        The file to write.
    metadata : mapping of str to str, optional
        Kept in the file, and given back as ``File.metadata``.
    check_integrity, compress, alignment
        As for :func:`dumps`, for every entry.
    durable : bool, default True
        As for :func:`dump`: ``False`` skips the syncs.

    Returns
    -------
    None

    Raises
    ------
    TypeError
        For non-``str`` names, metadata that is not ``str`` to ``str`` and
        values vakra does not encode (a note names the entry).
    ValueError
        For what :func:`dumps` refuses, with a note naming the entry for a
        value over a limit of the format (10^9 elements or 32 dimensions per
        array, 255 entries per nested dict).
    OSError
        From the file system.

    See Also
    --------
    open, load_file : the readers.
    vakra.torch.save : the same for a ``state_dict``.

    Examples
    --------
    >>> layers = {f"layers.{i}.weight": np.full((4, 4), i, np.float32) for i in range(300)}
    >>> vakra.save(layers, "model.vkr", metadata={"step": "1200"}, check_integrity=True)
    >>> with vakra.open("model.vkr") as f:
    ...     print(len(f), f["layers.299.weight"][0, 0], f.metadata)
    300 299.0 {'step': '1200'}
    """
    entries = _named_entries(tensors)
    values = [value for _, value in entries]
    _save([name for name, _ in entries], values, _TiedViews(values), path, metadata,
          (check_integrity, compress, alignment), durable)


def save_stream(names: list[str], values: Iterable[Any], path: PathLike, *,
                metadata: Mapping[str, str] | None = None, check_integrity: bool = False, compress: bool = False,
                alignment: int = 64, durable: bool = True) -> None:
    """:func:`save` for values made one at a time: ``values`` yields the
    value of each of ``names`` in turn, and each is written before the next
    is asked for, so a producer may hand out the same memory again (no two
    values are taken as tied). Options and errors are those of :func:`save`;
    a producer's error leaves ``path`` as it was, as any other does."""
    names = list(names)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"names must be str, not {type(name).__name__!r}")
    if len(set(names)) != len(names):
        repeated = sorted(name for name, count in Counter(names).items() if count > 1)
        raise ValueError(f"a model file's names are unique; these repeat: {', '.join(map(repr, repeated))}")
    _save(names, values, None, path, metadata, (check_integrity, compress, alignment), durable)


def _save(names: list[str], values: Iterable[Any], tied: _TiedViews | None, path: PathLike,
          metadata: Mapping[str, str] | None, flags: tuple, durable: bool) -> None:
    pairs = dict(_metadata_pairs(metadata))
    check_integrity, compress, alignment = flags
    if isinstance(alignment, bool) or not isinstance(alignment, int) or alignment < 1 or alignment & (alignment - 1):
        raise ValueError("Alignment must be a power of two")
    options = (bool(check_integrity), bool(compress), alignment, convert)
    write_to_path(os.fsdecode(path), lambda handle: _write(handle.fileno(), names, values, tied, pairs, options),
                  durable=bool(durable))


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
           metadata: dict[str, str], options: tuple) -> None:
    try:
        os.lseek(descriptor, 0, os.SEEK_CUR)
    except OSError as error:  # a pipe: nothing is written to it
        raise OSError(error.errno, "a model file's record is written last, at its start: vakra.save needs a file it "
                                   "can seek in, not a pipe") from None
    alignment = options[2]
    writer = FileWriter(descriptor, alignment)
    ranges = np.zeros((len(names), 2), np.uint64)
    record_options = (True, False, alignment, convert)
    # The record is one bundle, whatever its length.
    placed = {key: writer.add(_key_prefix(key), _leaf(value, (key,), record_options, 1), alone=False)
              for key, value in record_fields(names, metadata, ranges, 0)}
    writer.close_bundle()

    offsets, lengths = [], []
    for name, value in zip(names, values, strict=True):
        offset, length = _write_entry(writer, name, value, tied, offsets, lengths, options)
        del value  # a streamed value goes before the next one is made
        offsets.append(offset)
        lengths.append(length)

    file_size = writer.finish()
    if names:
        ranges[:, 0], ranges[:, 1] = offsets, lengths
    # The record keeps its length: only the bodies and checksums of these two change.
    writer.rewrite(placed["ranges"], _native.encode(ranges, *record_options))
    writer.rewrite(placed["file_size"], _native.encode(np.array(file_size, np.uint64), *record_options))


def _write_entry(writer: FileWriter, name: str, value: Any, tied: _TiedViews | None, offsets: list, lengths: list,
                 options: tuple) -> tuple[int, int]:
    """Writes `value` as entry `name` (or finds the earlier entry it is tied
    to) and returns the offset and length of its packet."""
    first = tied.first(value, len(offsets)) if tied is not None else None
    if first is not None:  # the same view of the same memory as an earlier entry
        return offsets[first], lengths[first]
    compress = options[1]
    if type(value) is np.ndarray and value.nbytes < _SEGMENTED:
        try:
            packet = _native.encode(value, *options)
        except (TypeError, ValueError) as error:
            note_failed_entry(error, (name,))
            raise
        return writer.add_bytes(_key_prefix(name), packet, not compress, not compress), len(packet)
    node = _node(value, (name,), options, 1, set())
    try:
        return writer.add(_key_prefix(name), node), node.length
    except SlotTooLong as error:
        note_failed_entry(error, error.path, child_length_limit(error.length))
        raise


def _key_prefix(key: str) -> bytes:
    encoded = key.encode()
    return _U32.pack(len(encoded)) + encoded


def _node(value: Any, path: tuple, options: tuple, depth: int, open_dicts: set) -> Leaf | Branch:
    """The layout node of `value`, at `path` and nesting `depth` in the file's bundles."""
    if depth > _MAX_DEPTH:
        raise too_deep(path, _MAX_DEPTH)
    # A dict subclass that names a sparse format (SciPy's dok) is a matrix, as for dumps.
    if isinstance(value, dict) and not isinstance(getattr(value, "format", None), str):
        return _bundle(value, path, options, depth, open_dicts)
    return _leaf(value, path, options, depth)


def _bundle(mapping: dict, path: tuple, options: tuple, depth: int, open_dicts: set) -> Branch:
    if len(mapping) > 255:
        raise too_many_entries(len(mapping), path)
    if id(mapping) in open_dicts:
        raise ValueError("Cannot encode a dict that contains itself")
    open_dicts.add(id(mapping))
    slots = []
    for key, value in mapping.items():
        if not isinstance(key, str):
            raise TypeError(f"dict keys must be str, not {type(key).__name__!r}")
        inner = path + (key,)
        slots.append(Slot(_key_prefix(key), _node(value, inner, options, depth + 1, open_dicts), inner))
    open_dicts.discard(id(mapping))
    return Branch(bundle_head(len(slots)), slots)


def _leaf(value: Any, path: tuple, options: tuple, depth: int) -> Leaf | Branch:
    try:
        if _byte_size(value) >= _SEGMENTED:
            pieces = _native.encode_segments(value, *options)
        else:
            pieces = (_native.encode(value, *options),)
    except (TypeError, ValueError) as error:
        note_failed_entry(error, path)
        raise
    flags = int.from_bytes(pieces[0][5:7], "little")
    if flags & _SPARSE_FLAGS:
        if depth == _MAX_DEPTH:  # its components would lie one level deeper
            raise too_deep(path, _MAX_DEPTH)
        return _sparse(b"".join(pieces), path, options[2])
    # A string packet's body is copied when decoded: it needs no alignment.
    return Leaf(pieces, sum(map(len, pieces)), not flags & (_FLAG_COMPRESSED | _FLAG_STRING),
                not flags & _FLAG_COMPRESSED)


def _byte_size(value: Any) -> int:
    try:
        return getattr(value, "nbytes", 0)
    except RuntimeError:  # torch's sparse tensors have no nbytes
        return 0


def _sparse(packet: bytes, path: tuple, alignment: int) -> Branch:
    """A sparse packet with its three components in slots of their own, so
    that each component's body can be aligned in the file."""
    head_length = 10 + 4 * packet[8]  # header, then the matrix shape
    position, slots, view = head_length, [], memoryview(packet)
    for index in range(3):
        (length,) = _U32.unpack_from(packet, position)
        component = view[position + 4:position + 4 + length]
        position += 4 + length
        if alignment > _SPARSE_ALIGNMENT:  # its body lies 64 bytes into it: encode it again
            component = _native.encode(loads(component), False, False, alignment, convert)
        slots.append(Slot(b"", Leaf((component,), len(component), True, True), path + (index,)))
    return Branch(bytes(view[:head_length]), slots)


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
