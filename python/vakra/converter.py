"""``vakra.convert``: files other tools wrote into vakra files and back, the
formats told by the file names.

- ``.npy`` <-> a vakra file of that one array (``vakra.load`` reads it);
- ``.npz``, ``.safetensors`` (or a sharded ``*.safetensors.index.json`` as
  the source), ``.pt``/``.pth``/``.bin`` (``torch.save``) <-> a model file
  (``vakra.save``; ``.vkr``). Torch files are read through
  ``torch.load(weights_only=True)`` only.

Tensors go through one at a time: ``.npz`` and safetensors sources are read
entry by entry into the model file; a vakra source is mapped, so that its
tensors are views of the file, and ``.npz`` and safetensors destinations are
written entry by entry. torch reads and writes a whole file at once, from
and to mappings, so the model is held once. Everything the destination cannot hold is refused before anything is
written, naming the entry and the reason; the destination is replaced
atomically, so a failed conversion leaves no file behind (and an old one as
it was).
"""

from __future__ import annotations

import mmap
import os
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from . import _numpy_files, _safetensors_files, _torch_files
from .api import PathLike, dump, loads
from .file_entries import Contents, Entry, read_contents
from .model_save import save, save_stream

__all__ = ["convert"]

_SUFFIXES = {".vkr": "vakra", ".npy": "npy", ".npz": "npz", ".safetensors": "safetensors", ".pt": "torch",
             ".pth": "torch", ".bin": "torch"}
_INDEX_SUFFIX = ".safetensors.index.json"
_SHOWN = {"npy": ".npy", "npz": ".npz", "safetensors": ".safetensors", "torch": "torch.save"}


def convert(source: PathLike, destination: PathLike, *, check_integrity: bool = False, compress: bool = False,
            alignment: int = 64) -> None:
    """Convert the file ``source`` into ``destination``, each format told by
    its name: ``.vkr`` (vakra), ``.npy``, ``.npz``, ``.safetensors`` (and
    ``*.safetensors.index.json`` as a source: its shards become one file),
    ``.pt``/``.pth``/``.bin`` (``torch.save``). One side is a vakra file.

    Every dtype that both sides hold survives (bfloat16, float16, complex,
    bool); safetensors metadata is carried both ways. The options are those
    of :func:`vakra.save` and apply to a vakra destination. Torch files are
    read with ``torch.load(weights_only=True)`` only: nothing in a pickle
    runs. ``destination`` is replaced atomically.

    Raises ``ValueError`` for what the destination cannot hold (naming the
    entry and why), for a damaged or hostile source and for names of no
    known format; ``ImportError`` naming the extra to install when a
    format's library is missing (safetensors, torch, ml_dtypes for
    bfloat16); ``OSError`` from the file system.
    """
    source, destination = os.fsdecode(source), os.fsdecode(destination)
    kinds = _format_of(source), _format_of(destination)
    if kinds[1] == "safetensors-index":
        raise ValueError(f"{destination}: vakra writes one .safetensors file, not a sharded index")
    if (kinds[0] == "vakra") == (kinds[1] == "vakra"):
        raise ValueError(f"converting {source} to {destination}: one of the two must be a vakra file (.vkr)")
    options = {"check_integrity": check_integrity, "compress": compress, "alignment": alignment}
    if kinds[1] != "vakra":
        if check_integrity or compress or alignment != 64:
            raise ValueError("--check-integrity, --compress and --alignment describe a vakra file: "
                             f"{destination} is not one")
        _from_vakra(source, destination, kinds[1])
    elif kinds[0] == "npy":
        dump(_numpy_files.read_npy(source), destination, **options)
    elif kinds[0] == "npz":
        with _numpy_files.read_npz(source) as (names, values):
            save_stream(names, values, destination, **options)
    elif kinds[0] == "torch":
        save(_torch_files.read_torch(source), destination, **options)
    else:
        with _safetensors_files.read_safetensors(source, kinds[0] == "safetensors-index") as (names, metadata, values):
            save_stream(names, values, destination, metadata=metadata, **options)


def _format_of(path: str) -> str:
    """The format a file name says: "vakra", "npy", "npz", "safetensors",
    "safetensors-index" or "torch"; ValueError for other names."""
    name = os.path.basename(path).lower()
    if name.endswith(_INDEX_SUFFIX):
        return "safetensors-index"
    kind = _SUFFIXES.get(os.path.splitext(name)[1])
    if kind is None:
        raise ValueError(f"{path}: cannot tell the format from the name; vakra converts "
                         f"{', '.join(_SUFFIXES)} and {_INDEX_SUFFIX} (as a source)")
    return kind


def _from_vakra(source: str, destination: str, kind: str) -> None:
    with _vakra_entries(source, writable=kind == "torch") as (contents, mapping):
        entries = _entries(contents, source, kind)
        for entry in entries:
            _check_holds(kind, entry.name, entry.facts, source)
        if kind == "npy":
            _numpy_files.write_npy(destination, loads(entries[0].packet))
            return
        if contents.metadata and kind != "safetensors":
            warnings.warn(f"{destination}: a {_SHOWN[kind]} file has no place for metadata; not carried: "
                          f"{', '.join(map(repr, contents.metadata))}", stacklevel=3)
        if kind == "npz":
            _numpy_files.write_npz(destination, entries, _OneAtATime(mapping))
        elif kind == "safetensors":
            _safetensors_files.write_safetensors(destination, entries, _OneAtATime(mapping), contents.metadata)
        else:
            from . import torch as vakra_torch  # imported here: torch is an extra

            _torch_files.write_torch(destination, entries,
                                     lambda entry: vakra_torch.loads(entry.packet, writable=True))


class _OneAtATime:
    """Decodes entries for a writer that is done with each before it asks
    for the next, and lets go of the previous entry's pages of the mapping
    (the page cache keeps them), so that the process maps one at a time."""

    def __init__(self, mapping: mmap.mmap) -> None:
        self._mapping, self._previous = mapping, None

    def __call__(self, entry: Entry) -> Any:
        if self._previous is not None and hasattr(mmap, "MADV_DONTNEED"):
            start = self._previous.offset - self._previous.offset % mmap.PAGESIZE
            self._mapping.madvise(mmap.MADV_DONTNEED, start, self._previous.offset + len(self._previous.packet) - start)
        self._previous = entry
        return loads(entry.packet)


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


def _entries(contents: Contents, source: str, kind: str) -> list[Entry]:
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
    if kind == "npy" and len(entries) != 1:
        raise ValueError(f"{source} holds {len(entries)} entries; a .npy file holds one array (convert to .npz)")
    if kind != "npy" and contents.packets == 1 and entries[0].facts["kind"] != "bundle" and \
            entries[0].facts["offset"] == 0:
        raise ValueError(f"{source} holds one unnamed value, not named tensors: convert it to .npy")
    return entries


def _check_holds(kind: str, name: str, facts: dict[str, Any], source: str) -> None:
    """ValueError naming the entry when the destination cannot hold it."""
    value_kind = facts["kind"]
    if value_kind == "bundle" and kind == "torch":
        for key, child in facts["entries"].items():
            _check_holds(kind, f"{name}/{key}", child, source)
        return
    held = {"dense"} | ({"sparse"} if kind == "torch" else set())
    if value_kind not in held:
        what = {"bundle": "a dict", "sparse": f"a sparse {facts.get('format')} matrix", "string": "a string tensor",
                "quantized": f"a quantized ({facts['dtype']}) tensor"}.get(value_kind, f"a {value_kind} packet")
        raise ValueError(f"entry {name!r} of {source} is {what}; a {_SHOWN[kind]} file holds "
                         f"{'tensors' if kind == 'torch' else 'dense arrays'} only")
    dtype = facts["dtype"] if value_kind == "dense" else facts["components"]["data"]["dtype"]
    if (kind in ("npy", "npz") and dtype == "bfloat16") or \
            (kind == "safetensors" and dtype not in _safetensors_files.WRITABLE_TYPES):
        raise ValueError(f"entry {name!r} of {source} is {dtype}, which a {_SHOWN[kind]} file does not hold "
                         "(nothing is cast)")
