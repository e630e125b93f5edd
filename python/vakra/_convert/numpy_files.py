"""NumPy's files for the converter: ``.npy`` and ``.npz`` read and written
with NumPy's own format functions, never with pickles (``allow_pickle`` is
always False).

An ``.npz`` is read entry by entry: every member's header is checked first
(a ``.npy`` member, a unique name, an element type vakra holds, no more bytes
declared than the member holds), then the arrays are read one at a time.
"""

from __future__ import annotations

import tokenize
import zipfile
import zlib
from collections import Counter
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np

from .._facts import DENSE
from .._io.atomic_write import write_to_path
from .entry_limits import check_entry

__all__ = ["read_npy", "read_npz", "write_npy", "write_npz", "check_element_type"]

# What a damaged file makes NumPy's header parser raise (tokenize's TokenError
# and SyntaxError for a header dict cut short or holding null bytes), and
# zipfile (a bad deflate stream, a method or encryption it does not read,
# overlapping members), beside their own errors.
_DAMAGED = (ValueError, EOFError, OSError, SyntaxError, tokenize.TokenError, zipfile.BadZipFile, zipfile.LargeZipFile,
            zlib.error, NotImplementedError, RuntimeError)
_HEADER_READERS = {(1, 0): np.lib.format.read_array_header_1_0, (2, 0): np.lib.format.read_array_header_2_0}


def check_element_type(dtype: np.dtype, what: str) -> None:
    """ValueError naming `what` (the entry and its file) unless vakra stores `dtype`."""
    if dtype.name in DENSE and dtype.fields is None:
        return
    hint = ""
    if dtype.kind == "V" and dtype.fields is None:  # what np.save makes of bfloat16, for one
        hint = " (raw bytes without an element type, as np.save writes bfloat16)"
    raise ValueError(f"{what}: vakra has no {dtype} element type{hint}")


@contextmanager
def read_npy(path: str) -> Iterator[tuple[None, np.ndarray, dict[str, str]]]:
    """The array of a .npy file, mapped rather than read, as the converter
    reads every format: (no names, the value, no metadata)."""
    try:
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except _DAMAGED as error:
        raise ValueError(f"{path}: not a readable .npy file: {error}") from None
    if not isinstance(array, np.ndarray):
        raise ValueError(f"{path}: not a .npy file (an .npz archive?)")
    check_element_type(array.dtype, path)
    yield None, array, {}


@contextmanager
def read_npz(path: str) -> Iterator[tuple[list[str], Iterator[np.ndarray], dict[str, str], dict[str, Any]]]:
    """The names of an .npz file's arrays, a generator of the arrays, in the
    archive's order, one at a time, no metadata, and the dtype and shape of
    each array too large for a packet. NumPy reads each member into an array
    of its own (a zip member is a stream), the largest arrays included."""
    try:
        archive = zipfile.ZipFile(path)
    except _DAMAGED as error:
        raise ValueError(f"{path}: not a readable .npz file: {error}") from None
    with archive:
        members = archive.infolist()
        names = [_member_name(member.filename, path) for member in members]
        repeated = sorted(name for name, count in Counter(names).items() if count > 1)
        if repeated:
            raise ValueError(f"{path}: the archive names {', '.join(map(repr, repeated))} more than once")
        bodies = {}
        for member, name in zip(members, names):
            dtype, shape = _check_header(archive, member, name, path)
            if check_entry(name, DENSE[dtype.name], shape, path):
                bodies[name] = (dtype, shape)
        yield names, _arrays(archive, members, path), {}, bodies


def _member_name(filename: str, path: str) -> str:
    if not filename.endswith(".npy"):
        raise ValueError(f"{path}: member {filename!r} is not a .npy array")
    return filename[:-len(".npy")]


def _check_header(archive: zipfile.ZipFile, member: zipfile.ZipInfo, name: str,
                  path: str) -> tuple[np.dtype, tuple[int, ...]]:
    """The dtype and shape of a member's array, read and checked from its header."""
    if member.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):  # bz2 and lzma raise errors of their own
        raise ValueError(f"entry {name!r} of {path}: compression method {member.compress_type}; vakra reads stored and "
                         "deflated members, as NumPy writes them")
    try:
        with archive.open(member) as stream:
            version = np.lib.format.read_magic(stream)
            reader = _HEADER_READERS.get(version)
            if reader is None:
                raise ValueError(f"format version {version[0]}.{version[1]} (structured types)")
            shape, _, dtype = reader(stream)
            header_length = stream.tell()
    except _DAMAGED as error:
        raise ValueError(f"entry {name!r} of {path}: not a readable .npy member: {error}") from None
    check_element_type(dtype, f"entry {name!r} of {path}")
    declared = int(np.prod(shape, dtype=object)) * dtype.itemsize
    if header_length + declared != member.file_size:
        raise ValueError(f"entry {name!r} of {path}: its header declares {declared} bytes of data but the "
                         f"member holds {member.file_size - header_length}")
    return dtype, tuple(shape)


def _arrays(archive: zipfile.ZipFile, members: list[zipfile.ZipInfo], path: str) -> Iterator[np.ndarray]:
    for member in members:
        try:
            with archive.open(member) as stream:
                array = np.lib.format.read_array(stream, allow_pickle=False)
        except _DAMAGED as error:
            raise ValueError(f"entry {member.filename[:-4]!r} of {path}: {error}") from None
        yield array
        del array  # gone before the next is read


def write_npy(path: str, entries: list, value: Callable[[Any], np.ndarray], metadata: dict[str, str],
              durable: bool) -> None:
    """A .npy file of the one entry's array."""
    array = value(entries[0])
    write_to_path(path, lambda handle: np.lib.format.write_array(handle, array, allow_pickle=False), durable=durable)


def write_npz(path: str, entries: list, value: Callable[[Any], np.ndarray], metadata: dict[str, str],
              durable: bool) -> None:
    """An uncompressed .npz (as numpy.savez writes) of each entry's array,
    decoded one at a time."""
    def write(handle: Any) -> None:
        with zipfile.ZipFile(handle, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
            for entry in entries:
                with archive.open(entry.name + ".npy", "w", force_zip64=True) as member:
                    np.lib.format.write_array(member, value(entry), allow_pickle=False)

    write_to_path(path, write, durable=durable)
