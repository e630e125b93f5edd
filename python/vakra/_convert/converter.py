"""``vakra.convert``: files other tools wrote into vakra files and back, the
formats told by the file names.

- ``.npy`` <-> a vakra file of that one array (``vakra.load`` reads it);
- ``.npz``, ``.safetensors`` (or a sharded ``*.safetensors.index.json`` as
  the source), ``.pt``/``.pth``/``.bin`` (``torch.save``) <-> a model file
  (``vakra.save``; ``.vkr``). Torch files are read through
  ``torch.load(weights_only=True)`` only;
- ``.gguf`` -> a model file;
- a checkpoint directory written by ``vakra.torch.dcp`` -> a model file of
  its tensors, each whole.
- a vakra file -> a vakra file of the same kind written with other options
  (re-packing: compressed, checksummed, aligned otherwise).

Tensors go through one at a time: ``.npz`` and safetensors sources are read
entry by entry into the model file; a vakra source is mapped, so that its
tensors are views of the file, and ``.npz`` and safetensors destinations are
written entry by entry. torch reads and writes a whole file at once, from
and to mappings, so the model is held once. Everything the destination
cannot hold is refused before anything is written, naming the entry and the
reason (a source's entries from its header, before any tensor is read);
the destination is replaced atomically, so a failed conversion
leaves no file behind (and an old one as it was). The formats and what each
holds are the rows of ``formats``.
"""

from __future__ import annotations

import errno
import mmap
import os
import stat
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Callable

from .._facts import DTYPES, MAX_ELEMENTS, STANDARD_ALIGNMENT
from .._io.atomic_write import write_to_path
from .._io.progress import Progress, ProgressCallback
from .._io.file_objects import PathLike
from .._io.packets import dump, loads
from .._io.streams import iter_load
from .._model.bodies import body_array, describe
from .._model.file_entries import Contents, Entry, read_contents
from .._model.model_file import File
from .._model.model_save import save, save_entries, save_stream
from .formats import FORMATS, VAKRA_SUFFIX, FileFormat
from .tree_fit import misfits

__all__ = ["convert"]


def convert(source: PathLike, destination: PathLike, *, check_integrity: bool = False, compress: bool = False,
            alignment: int = 64, durable: bool = True, allow_expanded: bool = False,
            no_clobber: bool = False, progress: ProgressCallback | None = None) -> None:
    """Convert the file ``source`` into ``destination``, each format told by its name.

    The formats are ``.vkr`` (vakra), ``.npy``, ``.npz``, ``.safetensors`` (and
    ``*.safetensors.index.json`` as a source: its shards become one file),
    ``.pt``/``.pth``/``.bin`` (``torch.save``), ``.gguf`` (as a source) and a
    ``torch.distributed.checkpoint`` directory written by
    ``vakra.torch.dcp`` (as a source: its tensors, each assembled whole
    from its chunks, into one model file; its non-tensor values are not
    carried). One side is a vakra
    file; when both are, the source is re-packed with the options given: a
    model file into a model file (its order, metadata and tied names kept), a
    file of packets into one of the same packets.

    Every dtype that both sides hold survives (bfloat16, float8, float4,
    float16, complex, bool); safetensors metadata is carried both ways, GGUF
    metadata into the vakra file. Torch files are read with
    ``torch.load(weights_only=True)`` only: nothing in a pickle runs.
    ``destination`` is replaced atomically and durably, as :func:`save` does.
    The source must be a regular file or a checkpoint directory (a device or
    FIFO would be read without end).

    Parameters
    ----------
    source : str or os.PathLike
        The file to read.
    destination : str or os.PathLike
        The file to write.
    check_integrity, compress, alignment
        As for :func:`save`; they describe a vakra destination and are refused
        for any other.
    durable : bool, default True
        As for :func:`dump`: ``False`` skips the syncs.
    allow_expanded : bool, default False
        Accept torch tensors that view fewer bytes of their storage than they
        hold (expanded or overlapping views, which a small file can use to make
        a huge one).
    no_clobber : bool, default False
        Refuse an existing ``destination`` (checked before anything is read).
    progress : callable, optional
        Called as ``progress(done, total)`` with the bytes converted so far as
        entries go through (the total is the source's size where the entries'
        is not known ahead), and with ``done == total`` at the end.

    Returns
    -------
    None

    Raises
    ------
    ValueError
        For what the destination cannot hold (naming the entry and why), for a
        damaged or hostile source and for names of no known format.
    FileExistsError
        With ``no_clobber``, when ``destination`` exists.
    ImportError
        Naming the extra to install when a format's library is missing
        (safetensors, torch, gguf; ml_dtypes for bfloat16, float8 and float4).
    OSError
        From the file system.

    Notes
    -----
    A tensor too large for a packet (over 10^9 elements, or a dimension
    over 2^32 - 1) becomes a body of the model file, declared from the
    source's header (:func:`vakra.save` describes bodies): never compressed
    nor checksummed, whatever ``compress`` and ``check_integrity`` say. A
    safetensors tensor is written from a mapping of the source, a torch.save
    one from torch's mapping; an ``.npz`` member is read whole by NumPy
    first. A ``.npy`` destination or source is one array: a model file of
    one such entry converts to ``.npy``, but an ``.npy`` too large for a
    packet does not convert to a vakra file of one packet.

    Examples
    --------
    >>> np.savez("arrays.npz", w=np.ones((2, 3), np.float16), mask=np.array([True, False]))
    >>> vakra.convert("arrays.npz", "arrays.vkr", check_integrity=True)
    >>> vakra.load_file("arrays.vkr")["w"].dtype
    dtype('float16')
    >>> vakra.convert("arrays.vkr", "back.npz")
    >>> sorted(np.load("back.npz").files)
    ['mask', 'w']
    """
    source, destination = os.fsdecode(source), os.fsdecode(destination)
    formats = _format_of(source), _format_of(destination)
    if formats[1] is not None and formats[1].write is None:
        raise ValueError(f"{destination}: vakra reads a {formats[1].shown} but does not write one")
    if formats[0] is not None and formats[1] is not None:
        raise ValueError(f"converting {source} to {destination}: one of the two must be a vakra file (.vkr)")
    if formats[0] is None or formats[0].claims is None:
        _check_regular(source)
    if no_clobber and os.path.lexists(destination):
        raise FileExistsError(errno.EEXIST, "it exists, and no_clobber refuses to replace it", destination)
    options = {"check_integrity": check_integrity, "compress": compress, "alignment": alignment,
               "durable": durable}
    if formats[0] is None and formats[1] is None:
        _repack(source, destination, options, progress)
    elif formats[1] is not None:
        if check_integrity or compress or alignment != STANDARD_ALIGNMENT:
            raise ValueError("--check-integrity, --compress and --alignment describe a vakra file: "
                             f"{destination} is not one")
        _from_vakra(source, destination, formats[1], bool(durable), Progress(progress, 0))
    else:
        _to_vakra(source, destination, formats[0], options, allow_expanded, progress)


def _to_vakra(source: str, destination: str, file_format: FileFormat, options: dict[str, Any],
              allow_expanded: bool, progress: ProgressCallback | None) -> None:
    read_options = {"allow_expanded": bool(allow_expanded)} if file_format.expands else {}
    with file_format.read(source, **read_options) as (names, values, metadata, *bodies):
        if file_format.one_array:
            _check_one_packet(values, source)
            dump(values, destination, **options)
            Progress(progress, os.stat(source).st_size).finish()
        elif names is None:
            save(values, destination, metadata=metadata, progress=progress, **options)
        else:
            save_stream(names, values, destination, metadata=metadata, progress=progress,
                        expected_bytes=os.stat(source).st_size, bodies=bodies[0] if bodies else None, **options)


def _check_one_packet(array: Any, source: str) -> None:
    """ValueError when the one array of `source` is too large for a packet,
    which a vakra file of one array is (vakra.load reads it)."""
    body = describe(array)
    if body is not None:
        raise ValueError(f"{source} holds an array of shape {list(body[1])}, too large for a packet (at most "
                         f"{MAX_ELEMENTS:,} elements in dimensions of at most 2^32 - 1), and a .vkr of one array "
                         "is one packet: save it into a model file, which holds it, with "
                         f"vakra.save({{'name': numpy.load({source!r}, mmap_mode='r')}}, 'model.vkr')")


_SPECIAL = ((stat.S_ISDIR, "directory"), (stat.S_ISFIFO, "FIFO"), (stat.S_ISCHR, "character device"),
            (stat.S_ISBLK, "block device"), (stat.S_ISSOCK, "socket"))


def _check_regular(path: str) -> None:
    """ValueError unless `path` leads to a regular file."""
    mode = os.stat(path).st_mode
    if not stat.S_ISREG(mode):
        kind = next((kind for is_kind, kind in _SPECIAL if is_kind(mode)), "special file")
        raise ValueError(f"{path} is a {kind}, not a regular file: vakra converts files")


def _repack(source: str, destination: str, options: dict[str, Any], progress: ProgressCallback | None) -> None:
    """A vakra file written again with `options`: a model file entry by
    entry into a model file; a file of packets packet by packet. The source
    is checked first: a damaged one is refused before anything is written."""
    with _vakra_entries(source, writable=False) as (contents, _):
        if contents.failure is not None:
            raise ValueError(contents.failure)
        if contents.damaged:
            name, why = contents.damaged[0]
            raise ValueError(f"entry {name!r} of {source} is damaged: {why}")
        model, skeleton = contents.model, contents.tree
    if model:
        with File(source) as file:
            # Tied names come back as one value; a checkpoint tree keeps its skeleton.
            save_entries(list(file.items()), skeleton, destination, metadata=file.metadata, progress=progress,
                         **options)
        return

    packet_options = {key: options[key] for key in ("check_integrity", "compress", "alignment")}

    def write(handle: Any) -> None:
        for value in iter_load(source):
            dump(value, handle, **packet_options)

    write_to_path(destination, write, durable=options["durable"])
    Progress(progress, os.stat(source).st_size).finish()


def _format_of(path: str) -> FileFormat | None:
    """The format a directory is of or a file name says (None: vakra's own);
    ValueError for other names."""
    for file_format in FORMATS:
        if file_format.claims is not None and file_format.claims(path):
            return file_format
    name = os.path.basename(path).lower()
    if name.endswith(VAKRA_SUFFIX):
        return None
    for file_format in FORMATS:
        if name.endswith(file_format.suffixes):
            return file_format
    written = [VAKRA_SUFFIX] + [suffix for row in FORMATS if row.write is not None for suffix in row.suffixes]
    read_only = [suffix for row in FORMATS if row.write is None for suffix in row.suffixes]
    raise ValueError(f"{path}: cannot tell the format from the name; vakra converts {', '.join(written)} and "
                     f"{', '.join(read_only)} (as a source)")


def _from_vakra(source: str, destination: str, file_format: FileFormat, durable: bool, progress: Progress) -> None:
    with _vakra_entries(source, writable=file_format.views_source) as (contents, mapping):
        entries = _entries(contents, source, file_format)
        if contents.tree is not None and not file_format.trees:
            _check_tree_fits(contents.tree, source, file_format)
        for entry in entries:
            if entry.name in file_format.reserved_names:
                raise ValueError(f"entry {entry.name!r} of {source}: a {file_format.shown} file reserves that name "
                                 "for its metadata")
            _check_holds(file_format, entry.name, entry.facts, source)
        if contents.metadata and not file_format.metadata and not file_format.one_array:
            warnings.warn(f"{destination}: a {file_format.shown} file has no place for metadata; not carried: "
                          f"{', '.join(map(repr, contents.metadata))}", stacklevel=3)
        def decoded(entry: Entry) -> Any:
            facts = entry.facts
            if facts.get("body"):  # raw bytes the record describes, viewed where they lie
                array = body_array(mapping, entry.offset, facts["dtype_code"], facts["shape"])
                return file_format.decode_body(array)
            return file_format.decode(entry.packet)

        decode = decoded if file_format.views_source else _OneAtATime(mapping, decoded)
        progress.total = sum(len(entry.packet) for entry in entries)

        def value(entry: Entry) -> Any:
            decoded = decode(entry)
            progress.advance(len(entry.packet))
            return decoded

        tree = {"tree": contents.tree} if contents.tree is not None else {}
        file_format.write(destination, entries, value, contents.metadata, durable, **tree)
        progress.finish()


class _OneAtATime:
    """Decodes entries for a writer that is done with each before it asks
    for the next, and lets go of the previous entry's pages of the mapping
    (the page cache keeps them), so that the process maps one at a time."""

    def __init__(self, mapping: mmap.mmap, decode: Callable[[Entry], Any]) -> None:
        self._mapping, self._decode, self._previous = mapping, decode, None

    def __call__(self, entry: Entry) -> Any:
        if self._previous is not None and hasattr(mmap, "MADV_DONTNEED"):
            start = self._previous.offset - self._previous.offset % mmap.PAGESIZE
            self._mapping.madvise(mmap.MADV_DONTNEED, start, self._previous.offset + len(self._previous.packet) - start)
        self._previous = entry
        return self._decode(entry)


@contextmanager
def _vakra_entries(path: str, writable: bool) -> Iterator[tuple[Contents, mmap.mmap]]:
    """The file's contents over a mapping of it (copy-on-write when
    `writable`, so that torch tensors may view it), and the mapping; values
    decoded from it outlive the mapping's close."""
    with open(path, "rb") as handle:
        if os.fstat(handle.fileno()).st_size == 0:
            raise ValueError(f"{path} is empty")
        mapping = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_COPY if writable else mmap.ACCESS_READ)
    view = memoryview(mapping)
    contents = None
    try:
        contents = read_contents(view, path)
        yield contents, mapping
    finally:
        if contents is not None:
            contents.release()
        view.release()
        try:
            mapping.close()
        except BufferError:
            pass  # values still view it; it closes when the last one goes


def _entries(contents: Contents, source: str, file_format: FileFormat) -> list[Entry]:
    """The entries to convert; ValueError for a damaged file and for
    contents the destination has no names or room for."""
    if contents.failure is not None:
        raise ValueError(contents.failure)
    if contents.damaged:
        name, why = contents.damaged[0]
        raise ValueError(f"entry {name!r} of {source} is damaged: {why}")
    if contents.packets > 1:
        raise ValueError(f"{source} holds {contents.packets} packets; vakra converts a model file (vakra.save) or "
                         "a file of one packet")
    entries = contents.entries
    if file_format.one_array and len(entries) != 1:
        raise ValueError(f"{source} holds {len(entries)} entries; a {file_format.shown} file holds one array "
                         "(convert to .npz)")
    if not file_format.one_array and contents.packets == 1 and entries[0].facts["kind"] != "bundle" and \
            entries[0].facts["offset"] == 0:
        raise ValueError(f"{source} holds one unnamed value, not named tensors: convert it to .npy")
    return entries


def _check_tree_fits(skeleton: str, source: str, file_format: FileFormat) -> None:
    """ValueError naming what of the checkpoint tree in `source` a file of
    named tensors has no place for."""
    missing = misfits(skeleton)
    if missing:
        shown = ", ".join(missing[:3]) + (f" and {len(missing) - 3} more" if len(missing) > 3 else "")
        raise ValueError(f"{source} holds a checkpoint tree, and a {file_format.shown} file holds named tensors only, "
                         f"with no place for {shown}; convert it to .pt, or save the tensors alone")


def _check_holds(file_format: FileFormat, name: str, facts: dict[str, Any], source: str) -> None:
    """ValueError naming the entry when the destination cannot hold it."""
    value_kind = facts["kind"]
    if value_kind == "bundle" and "bundle" in file_format.kinds:
        for key, child in facts["entries"].items():
            _check_holds(file_format, f"{name}/{key}", child, source)
        return
    if value_kind not in file_format.kinds:
        what = {"bundle": "a dict", "sparse": f"a sparse {facts.get('format')} matrix", "string": "a string tensor",
                "quantized": f"a quantized ({facts['dtype']}) tensor"}.get(value_kind, f"a {value_kind} packet")
        held = "tensors" if "sparse" in file_format.kinds else "dense arrays"
        raise ValueError(f"entry {name!r} of {source} is {what}; a {file_format.shown} file holds {held} only")
    dtype = facts["dtype"] if value_kind == "dense" else facts["components"]["data"]["dtype"]
    if not file_format.holds(DTYPES[dtype]):
        raise ValueError(f"entry {name!r} of {source} is {dtype}, which a {file_format.shown} file does not hold "
                         "(nothing is cast)")
