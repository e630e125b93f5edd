"""Model files: any number of named values in one file, read lazily.

``vakra.save`` writes them, ``vakra.open`` maps one and decodes entries on
demand, ``vakra.load_file`` reads it whole into a dict.

The layout. A model file is a sequence of ordinary vakra packets with
nothing in between, so ``vakra.iter_load`` reads it one packet after
another and ``vakra info --index N`` shows each (``vakra.load``, which gives
one value, refuses a model file: its first packet is this index):

1. The record, a bundle of five checksummed entries: ``format`` (the layout
   and its version), ``names`` (a string tensor, in saved order), ``ranges``
   (uint64 rows: the file offset and exact length of each name's packet),
   ``metadata`` (keys and values, alternating, as a string tensor) and
   ``file_size``. Its length depends only on the names and the metadata, so
   the writer writes it first and fills in the ranges and the size last.
2. The entries in saved order, as the children of bundle packets of at most
   255 entries keyed by name (a packet of 4 GiB or more, too long for the u32
   length of a bundle's slot, is a top-level packet of its own). Names whose
   values are the same view of the same memory (tied weights) share one
   packet: the record gives them the same range.
3. Every child packet that is not a compressed array starts at a multiple
   of ``alignment`` in the file; array bodies, aligned relative to their own
   packet, are then aligned in the file, and in memory when mapped (a
   mapping starts on a page). The padding is zero bytes at the end of the
   slot before the child, inside the slot, where every decoder ignores it;
   nested dicts and sparse matrices are laid out the same way, so their
   arrays are aligned too. Where no slot can take padding (after a
   compressed array, whose LZ4 frame runs to the end of its slot), a filler
   packet (a uint8 vector of zeros) stands between two top-level packets.
4. A tensor too large for a packet (over 10^9 elements, or a dimension
   beyond 2^32 - 1) is a body instead (``vakra._model.bodies``): its raw
   bytes at a multiple of 64 and of ``alignment``, its range exactly those
   bytes, its dtype and shape in the record's ``bodies`` field (the record
   is then version 2). Such a file is read through its record only: it is
   not a sequence of packets any more.

Reading. ``open`` maps the file and reads the record only, then checks that
the file is exactly as long as the record says, that every range lies
inside it and that no name appears twice: a file cut anywhere, one that lost
whole packets at its end included, is refused there, and so is a body whose
dtype, shape, length or alignment do not fit. ``f[name]`` decodes exactly
the bytes of that name's packet, never another entry's; a body is a view of
the mapping, read as it is touched. The mapping has random-access advice
(no readahead around what is touched) and each decoded range gets
will-need advice (read in one go); ``load_file``, which reads everything,
advises sequential reading of the whole file instead.
"""

from __future__ import annotations

import mmap as _mmap
import os
import stat
import threading
import weakref
from collections.abc import Callable, Iterator, Mapping
from typing import Any

import numpy as np

from .. import _native
from .._io.file_objects import PathLike
from .._io.packets import decode as loads  # an entry is its value as stored, never read as a tree
from .._io.progress import Progress
from . import tree
from ._file_reads import maps_better, read_packets
from ._model_record import read_record
from .bodies import body_array, body_facts

__all__ = ["File", "open", "load_file"]

_PAGE = _mmap.ALLOCATIONGRANULARITY
# The advice for each use (None where the platform has none): a lazy File
# reads only what is touched, each decoded entry is read in one go, and
# load_file, which touches everything, reads ahead. bench/model_files.py
# measures the alternatives.
LAZY_ADVICE = getattr(_mmap, "MADV_RANDOM", None)
ENTRY_ADVICE = getattr(_mmap, "MADV_WILLNEED", None)
WHOLE_ADVICE = getattr(_mmap, "MADV_SEQUENTIAL", None)
# The first read of a file's record: records of a few hundred entries fit.
_RECORD_FIRST_READ = 64 << 10


class File(Mapping):
    """A model file opened for reading: a read-only mapping from name to value.

    Made by :func:`open`. Names come in saved order, and each value is decoded
    when it is asked for: ``f[name]`` decodes that entry alone. Uncompressed
    arrays are views of the file's mapping (read-only; copy-on-write with
    ``writable=True``, never written back), other values are decoded copies.
    Values taken before :meth:`close` stay valid after it. An open File pickles
    as its absolute path and ``writable``: unpickling opens that path again.

    For tools that work on one entry at a time, :meth:`info` describes an entry
    from its headers, :meth:`byte_range` says where its packet lies in the file
    and :meth:`packet` gives its bytes (:func:`loads` of them decodes it and
    verifies its checksums).

    A file rewritten in place since it was opened (truncated, or copied over)
    raises ``ValueError`` "the file changed since it was opened" on every access
    rather than reading a mapping the file no longer backs; replacing it by a
    rename (as :func:`save` does) leaves this one intact.

    Parameters
    ----------
    path : str or os.PathLike
        The model file.
    writable : bool, default False
        Map the file copy-on-write, so that arrays are writable.

    Attributes
    ----------
    path : str
        The path the file was opened with.
    metadata : dict of str to str
        The metadata saved with the file (empty when none was).

    Raises
    ------
    KeyError
        From ``f[name]`` for a missing name.
    ValueError
        For a damaged entry, naming it (a failed checksum included), and for a
        file that is not a model file or is damaged or cut short.

    Examples
    --------
    >>> vakra.save({"embed": np.ones((4, 2), np.float32), "step": np.array(7)}, "small.vkr",
    ...            metadata={"epoch": "3"})
    >>> with vakra.open("small.vkr") as f:
    ...     print(list(f), f.metadata, f["embed"].shape, f.info("step")["dtype"])
    ['embed', 'step'] {'epoch': '3'} (4, 2) int64
    """

    def __init__(self, path: PathLike, *, writable: bool = False) -> None:
        self.path = os.fsdecode(path)
        self._absolute_path = os.path.abspath(self.path)  # where a pickled copy opens it, whatever its cwd
        self._writable = bool(writable)
        self._mapping: Any = None
        self._lock = threading.Lock()  # close() against the accesses of other threads
        # The descriptor stays open while the file is, to tell whether the
        # file is still the one mapped; values taken from the file keep the
        # mapping alive after close(), not a descriptor. A FIFO does not block.
        self._descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        self._release = weakref.finalize(self, os.close, self._descriptor)
        try:
            record = self._map()
        except BaseException:
            self.close()
            raise
        self._names = record.names
        self._index = dict(zip(record.names, range(len(record.names))))
        self._ranges = record.ranges
        self._bodies = record.bodies
        self.metadata: dict[str, str] = record.metadata
        # Parsed once: every tree() and load rebuilds from the parsed head.
        try:
            self._skeleton = None if record.tree is None else tree.parse(record.tree)
        except ValueError:
            self.close()
            raise
        if self._skeleton is not None and self._skeleton["tensors"] != len(record.names):
            self.close()
            raise ValueError(f"{self.path}: damaged vakra model file: its tree does not hold its entries")
        # Names that share a packet (tied weights) share the value while it
        # lives: the same range, offset and length (a name whose length
        # differs is a damaged entry of its own, not the same packet).
        ranges, counts = np.unique(record.ranges, axis=0, return_counts=True)
        self._tied_ranges = set(map(tuple, ranges[counts > 1].tolist()))
        self._tied_values: weakref.WeakValueDictionary = weakref.WeakValueDictionary()

    def _map(self) -> Any:
        """Maps the file and reads its record."""
        status = os.fstat(self._descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise ValueError(f"{self.path} is not a vakra model file: it is not a regular file")
        self._identity = _identity(status)
        mapping = _native.map_file(self._descriptor, self._writable, 0, -1 if LAZY_ADVICE is None else LAZY_ADVICE)
        if len(mapping) != status.st_size:
            raise ValueError(f"{self.path}: the file changed while it was opened")
        if len(mapping) == 0:
            raise ValueError(f"{self.path} is not a vakra model file: it is empty")
        self._mapping, self._view = mapping, memoryview(mapping)
        _read_ahead_record(mapping, self._view)
        record = read_record(self._view, self.path)
        if record is None:
            raise ValueError(f"{self.path} is not a vakra model file: its first packet is not a model file's "
                             "record (a file of plain packets is read with vakra.load)")
        return record

    def __getitem__(self, name: str) -> Any:
        index = self._index[name]
        byte_range = tuple(self._ranges[index].tolist()) if self._tied_ranges else None
        if byte_range not in self._tied_ranges:
            return self._decode(name, index)
        value = self._tied_values.get(byte_range)
        if value is None:
            value = self._decode(name, index)
            try:
                self._tied_values[byte_range] = value
            except TypeError:  # not weakly referable (a dict): decoded anew each time
                pass
        return value

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __len__(self) -> int:
        return len(self._names)

    def __contains__(self, name: object) -> bool:
        return name in self._index

    def byte_range(self, name: str) -> tuple[int, int]:
        """Where the packet holding ``name``'s value lies in the file.

        Parameters
        ----------
        name : str
            An entry's name.

        Returns
        -------
        tuple of int
            ``(offset, length)`` in bytes.

        Raises
        ------
        KeyError
            For a missing name.

        Examples
        --------
        >>> vakra.save({"w": np.zeros(8, np.float32)}, "w.vkr")
        >>> with vakra.open("w.vkr") as f:
        ...     offset, length = f.byte_range("w")
        ...     print(offset % 64, length == len(f.packet("w")))
        0 True
        """
        offset, length = self._ranges[self._index[name]].tolist()
        return offset, length

    def packet(self, name: str) -> memoryview:
        """The bytes of the packet holding ``name``'s value.

        Of a tensor stored as a body (too large for a packet), its raw bytes.

        Parameters
        ----------
        name : str
            An entry's name.

        Returns
        -------
        memoryview
            A read-only view of the file's mapping.

        Raises
        ------
        KeyError
            For a missing name.
        ValueError
            When the file is closed or changed since it was opened.

        Examples
        --------
        >>> vakra.save({"w": np.arange(3)}, "w.vkr")
        >>> with vakra.open("w.vkr") as f:
        ...     print(vakra.loads(f.packet("w")))
        [0 1 2]
        """
        offset, length = self.byte_range(name)
        return self._bytes(offset, length)[1].toreadonly()

    def info(self, name: str) -> dict[str, Any]:
        """Describe ``name``'s packet from its headers, without touching its body.

        Parameters
        ----------
        name : str
            An entry's name.

        Returns
        -------
        dict
            What :func:`info` says of the packet: kind, dtype, shape, size and more;
            a tensor stored as a body is described as a dense packet would be,
            with ``"body": True``.

        Raises
        ------
        KeyError
            For a missing name.
        ValueError
            For a damaged entry, naming it.

        Examples
        --------
        >>> vakra.save({"embed": np.ones((1000, 32), np.float32)}, "embed.vkr")
        >>> with vakra.open("embed.vkr") as f:
        ...     facts = f.info("embed")
        >>> facts["kind"], facts["shape"], facts["body_size"]
        ('dense', (1000, 32), 128000)
        """
        body = self._bodies.get(self._index[name])
        if body is not None:
            return body_facts(*body, self.byte_range(name)[1])
        with self.packet(name) as data:
            try:
                return _native.walk(data)
            except ValueError as error:
                raise self._damaged(name, error) from None

    def close(self) -> None:
        """Release the file.

        Values taken from it stay valid; the mapping closes once none of them views
        it. ``with vakra.open(path) as f:`` closes it on leaving the block.

        Returns
        -------
        None

        Examples
        --------
        >>> vakra.save({"w": np.arange(3)}, "w.vkr")
        >>> f = vakra.open("w.vkr")
        >>> w = f["w"]
        >>> f.close()
        >>> w.sum(), f
        (np.int64(3), <vakra.File 'w.vkr', closed>)
        """
        with self._lock:
            if self._mapping is not None:
                self._view.release()
                self._mapping = None  # unmapped now, or when the last value viewing it goes
            self._release()

    def __enter__(self) -> File:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __reduce__(self) -> tuple:
        # A mapping cannot travel: the copy maps the same file anew.
        self._bytes(0, 0)[1].release()  # a closed File raises here
        return _reopened, (type(self), self._absolute_path, self._writable)

    def __repr__(self) -> str:
        state = "closed" if self._mapping is None else f"{len(self)} entries"
        return f"<vakra.File {self.path!r}, {state}>"

    def _decode(self, name: str, index: int, advise: bool = True) -> Any:
        offset, length = self._ranges[index].tolist()
        mapping, data = self._bytes(offset, length)
        body = self._bodies.get(index)
        if body is not None:  # checked with the record; read as it is touched, so no will-need advice
            data.release()
            return self._converted(body_array(mapping, offset, *body))
        try:
            if advise and length > _PAGE:  # a packet within a page or two is read by touching it
                _advise(mapping, ENTRY_ADVICE, offset, length)
            return self._decoded(name, data, self._writable)
        finally:
            data.release()  # decoded arrays hold views of their own

    def _decoded(self, name: str, data: memoryview, writable: bool) -> Any:
        """The value of entry `name` from its packet's bytes, `data`."""
        try:
            complete, measured = _native.probe(data)
            if not complete or measured != len(data):
                raise ValueError(f"its packet measures {measured} bytes where the record says {len(data)}")
            return self._converted(loads(data, writable=writable))
        except (ValueError, TypeError) as error:  # TypeError: SciPy refusing what a damaged sparse packet holds
            raise self._damaged(name, error) from error

    def _converted(self, value: Any) -> Any:
        """The value as this kind of file hands it out (subclasses convert)."""
        return value

    def _load_all(self, mmap: bool | None = True, progress: Callable[[int, int], object] | None = None) -> dict[str, Any]:
        """Every entry, each packet decoded once (tied names share the value):
        viewing the mapping, or read into memory of its own (`mmap` False;
        None: as maps_better says, by size and page cache)."""
        ranges = list(map(tuple, self._ranges.tolist()))
        packets = dict(zip(ranges, self._names))  # each packet once, with the last name that holds it
        # Read by choice, arrays own their memory and are writable; read by
        # default, they are as the mapping's would have been.
        writable = self._writable or mmap is False
        if mmap is None:
            mmap = maps_better(self._identity[2], self._bytes(0, 0)[0])
        counter = Progress(progress, sum(length for _, length in packets))
        if mmap:
            _advise(self._bytes(0, 0)[0], WHOLE_ADVICE)
            values = {}
            for index, byte_range in enumerate(ranges):
                if byte_range not in values:
                    values[byte_range] = self._decode(self._names[index], index, advise=False)
                    counter.advance(byte_range[1])
        else:
            values = read_packets(self, packets, counter, writable)
        return {name: values[byte_range] for name, byte_range in zip(self._names, ranges)}

    def tree(self, *, decode: bool = True) -> Any:
        """The checkpoint tree saved in the file.

        For a file of named values, the dict of them; for a file saved from a
        checkpoint tree (see :func:`save`), that tree with its types, key types
        and order.

        Parameters
        ----------
        decode : bool, default True
            ``False`` puts each tensor's entry name (its path in the tree) in
            its place, so the scalars and the shape of the tree are read
            without touching any body; ``f[name]`` then reads one tensor.

        Returns
        -------
        object
            The tree: for ``decode=True`` what :func:`load_file` gives.

        Raises
        ------
        ValueError
            For a damaged entry, naming it, or a skeleton this vakra does not
            read.

        Examples
        --------
        >>> vakra.save({"step": 3, "state": {0: {"exp_avg": np.zeros(2)}}}, "state.vkr")
        >>> with vakra.open("state.vkr") as f:
        ...     skeleton = f.tree(decode=False)
        ...     print(skeleton)
        ...     print(f[skeleton["state"][0]["exp_avg"]])
        {'step': 3, 'state': {0: {'exp_avg': 'state/0/exp_avg'}}}
        [0. 0.]
        """
        if decode:
            return self._load_tree()
        if self._skeleton is None:
            return {name: name for name in self._names}
        return tree.unflatten(self._skeleton, self._names, size=self._size)

    def _load_tree(self, mmap: bool | None = True, progress: Callable[[int, int], object] | None = None) -> Any:
        """Every entry read as _load_all reads them, in the saved tree if there is one."""
        values = self._load_all(mmap, progress)
        if self._skeleton is None:
            return values
        return tree.unflatten(self._skeleton, list(values.values()), size=self._size)

    _size = staticmethod(tuple)  # what a torch.Size comes back as

    def _bytes(self, offset: int, length: int) -> tuple[Any, memoryview]:
        """The mapping and its bytes from `offset`, `length` long, once the
        file is known to be open and still the file it was (a shorter one
        would kill the process with SIGBUS when the mapping is read)."""
        with self._lock:
            if self._mapping is None:
                raise ValueError(f"I/O operation on a closed vakra.File ({self.path})")
            if _identity(os.fstat(self._descriptor)) != self._identity:
                raise ValueError(f"{self.path}: the file changed since it was opened")
            return self._mapping, self._view[offset:offset + length]

    def _damaged(self, name: str, error: Exception) -> ValueError:
        return ValueError(f"{error} (entry {name!r} of {self.path})")


def _identity(status: os.stat_result) -> tuple[int, ...]:
    """What changes when a file is rewritten in place: its length and modification time."""
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


def _read_ahead_record(mapping: Any, view: memoryview) -> None:
    """Asks for the record's pages in one read: under random-access advice
    each page of it would be a read of its own from a cold disk (a
    100,000-entry file opened cold in 128 ms, 82 ms with this). Its first
    pages tell its length."""
    _advise(mapping, ENTRY_ADVICE, 0, _RECORD_FIRST_READ)
    try:
        complete, length = _native.probe(view)
    except ValueError:  # not a packet: read_record says what it is
        return
    if complete and length > _RECORD_FIRST_READ:
        _advise(mapping, ENTRY_ADVICE, 0, length)


def _advise(mapping: Any, advice: int | None, offset: int = 0, length: int = -1) -> None:
    if advice is not None:
        mapping.advise(advice, offset, length)


def _reopened(kind: type, path: str, writable: bool) -> File:
    """Unpickles a File: ``path`` opened anew."""
    return kind(path, writable=writable)


def open(path: PathLike, *, writable: bool = False) -> File:  # noqa: A001 - vakra.open, as gzip.open and os.open
    """Open a model file and return a :class:`File` that decodes each entry when asked.

    Opening reads the file's record (where every entry lies) and nothing else.

    Parameters
    ----------
    path : str or os.PathLike
        A model file, written by :func:`save` (or :func:`vakra.torch.save`,
        ``vakra convert``).
    writable : bool, default False
        Give writable arrays: the file is mapped copy-on-write, so writes stay
        in this process and never reach the file.

    Returns
    -------
    File
        A mapping from name to value, in saved order.

    Raises
    ------
    ValueError
        For a file that is not a model file or is damaged or cut short.
    OSError
        From the file system.

    See Also
    --------
    load_file : the whole file as a dict.

    Examples
    --------
    >>> vakra.save({f"layer{i}": np.full(2, i) for i in range(3)}, "layers.vkr")
    >>> with vakra.open("layers.vkr") as f:
    ...     print(len(f), f["layer2"])
    3 [2 2]
    """
    return File(path, writable=writable)


def load_file(path: PathLike, *, writable: bool = False, mmap: bool | None = None,
              progress: Callable[[int, int], object] | None = None) -> Any:
    """Read a whole model file into a dict, in saved order.

    For a file saved from a checkpoint tree, the tree comes back as it was
    saved (see :doc:`/guide/checkpoints`). Names saved as tied share one value.

    Parameters
    ----------
    path : str or os.PathLike
        A model file.
    writable : bool, default False
        As for :func:`open`, for arrays that view the file's mapping.
    mmap : bool or None, default None
        ``True``: uncompressed arrays are views of the file's mapping, as with
        :func:`open`. ``False``: the file is read by several threads of large
        positioned reads, each entry into memory of its own that its arrays
        then own (writable, whatever ``writable`` says); a later change to the
        file never reaches them. ``None``: map a file that is small (below
        64 MiB) or that the page cache mostly holds, and read any other, as
        measured fastest; arrays are then writable as ``writable`` says.
    progress : callable, optional
        Called as ``progress(done, total)`` with the bytes of packets read so
        far as entries are read, and with ``done == total`` at the end.

    Returns
    -------
    dict or object
        Every name and its value; for a file saved from a checkpoint tree,
        that tree.

    Raises
    ------
    ValueError, OSError
        As :func:`open` raises them, and for a damaged entry, naming it.

    Examples
    --------
    >>> embed = np.ones((4, 2), np.float32)
    >>> vakra.save({"embed": embed, "head": embed}, "tied.vkr")
    >>> values = vakra.load_file("tied.vkr")
    >>> list(values), values["head"] is values["embed"]
    (['embed', 'head'], True)
    >>> copied = vakra.load_file("tied.vkr", mmap=False)
    >>> copied["embed"].flags.writeable
    True
    """
    with File(path, writable=writable) as file:
        return file._load_tree(mmap, progress)
