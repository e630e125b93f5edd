"""safetensors files for the converter: checked and described by the
``safetensors`` package (the ``vakra[safetensors]`` extra), their tensors
read, and written, one at a time here.

Reading: the package opens each file (it validates the header: its size,
the element types, offsets inside the file without gaps or overlaps) and
gives its metadata; ``safetensors_header`` reads the same header again,
checking it as strictly and refusing names given twice (which the package
lets through, keeping the last), to find each tensor's bytes. Every tensor
is then read into one buffer, as long as the largest, which the model file
takes before the next one is read; one too large for a packet, a body in
the model file, is a view of the file's mapping instead, written from there. A sharded model's index is JSON too: its
shard names must be plain file names beside it, each shard must be a regular
file that lies, once the kernel has followed its links, in the index's
directory (as named, or as the index's own links lead: a hub's cache links
both to one directory of blobs), and the shards must hold exactly what the
index says. Each shard is opened once and read through that descriptor.
"""

from __future__ import annotations

import json
import mmap
import os
import stat
import struct
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from typing import Any, Callable

import numpy as np

from .._facts import DTYPES
from .._io.atomic_write import write_to_path
from .._packing import packed_units, unpacked_elements
from .safetensors_header import Tensor, read_header, unique_keys

__all__ = ["read_safetensors", "write_safetensors"]

_INDEX_LIMIT = 64 << 20
_PROC = os.path.isdir("/proc/self/fd")


def _package() -> Any:
    try:
        import safetensors
    except ImportError:
        raise ImportError("converting .safetensors files needs the safetensors package: "
                          "pip install 'vakra[safetensors]'") from None
    return safetensors


@contextmanager
def read_safetensors(path: str, sharded: bool = False) -> Iterator[tuple[list[str], Iterator[Any], dict[str, str],
                                                                         dict[str, tuple[str, tuple[int, ...]]]]]:
    """The tensor names (each shard's in file order), a generator of the
    tensors, one at a time, the metadata of a .safetensors file or (when
    `sharded`) of the shards a ``*.safetensors.index.json`` names, and the
    dtype and shape of each tensor too large for a packet. The tensors
    share one buffer: each is valid until the next is asked for; those too
    large for a packet view the file's mapping instead."""
    safetensors = _package()
    shards, metadata = _read_index(path) if sharded else ({path: None}, {})
    roots = {os.path.realpath(os.path.dirname(path)), os.path.dirname(os.path.realpath(path))} if sharded else None
    with ExitStack() as stack:
        sources: list[tuple[int, Tensor]] = []
        for shard, expected in shards.items():
            handle = stack.enter_context(_open_shard(shard, roots))
            try:
                with safetensors.safe_open(_name_of(handle.fileno(), shard), framework="numpy") as opened:
                    _merge(metadata, opened.metadata() or {}, shard)
            except safetensors.SafetensorError as error:
                raise ValueError(f"{shard}: not a readable safetensors file: {error}") from None
            try:
                tensors = read_header(handle.read(8), os.fstat(handle.fileno()).st_size, handle.read)
            except ValueError as error:
                raise ValueError(f"{shard}: {error}") from None
            if expected is not None and {tensor.name for tensor in tensors} != expected:
                raise ValueError(_mismatch(shard, {tensor.name for tensor in tensors}, expected))
            sources += [(handle.fileno(), tensor) for tensor in tensors]
        needed = [tensor.dtype for _, tensor in sources if DTYPES[tensor.dtype].needs_ml_dtypes]
        if needed:
            _import_ml_dtypes(needed[0])
        bodies = {tensor.name: (tensor.dtype, tensor.shape) for _, tensor in sources if tensor.body}
        yield [tensor.name for _, tensor in sources], _tensors(sources), metadata, bodies


def _open_shard(shard: str, roots: set[str] | None) -> Any:
    """`shard` opened for reading (a FIFO does not block), refused unless it
    is a regular file lying in one of `roots` (None: anywhere)."""
    handle = open(os.open(shard, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC), "rb")
    try:
        if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
            raise ValueError(f"{shard} is not a regular file")
        if roots is None:
            return handle
        where = os.readlink(_name_of(handle.fileno(), shard)) if _PROC else os.path.realpath(shard)
        if not any(os.path.commonpath([root, where]) == root for root in roots):
            raise ValueError(f"{shard} leads to {where}, outside the index's directory")
    except BaseException:
        handle.close()
        raise
    return handle


def _name_of(descriptor: int, path: str) -> str:
    """A name that opens the file behind `descriptor` itself."""
    return f"/proc/self/fd/{descriptor}" if _PROC else path


def _tensors(sources: list[tuple[int, Tensor]]) -> Iterator[np.ndarray]:
    buffer = np.empty(max((tensor.size for _, tensor in sources if not tensor.body), default=0), np.uint8)
    for descriptor, tensor in sources:
        if tensor.body:
            yield _typed(_mapped(descriptor, tensor), tensor)
            continue
        view = buffer[:tensor.size]
        done = 0
        while done < tensor.size:
            count = os.preadv(descriptor, [view[done:]], tensor.start + done)
            if count <= 0:
                raise ValueError(f"entry {tensor.name!r}: the file ends inside it (it changed while read)")
            done += count
        yield _typed(view, tensor)


def _mapped(descriptor: int, tensor: Tensor) -> np.ndarray:
    """The bytes of a tensor too large for a packet as a view of the file's
    mapping, which the model file's body is written from: read once, by the
    write, through the page cache, and never copied into memory of its own."""
    if not tensor.size:
        return np.empty(0, np.uint8)  # a mapping is never empty
    start = tensor.start - tensor.start % mmap.ALLOCATIONGRANULARITY
    mapping = mmap.mmap(descriptor, tensor.start + tensor.size - start, access=mmap.ACCESS_READ, offset=start)
    if hasattr(mmap, "MADV_SEQUENTIAL"):
        mapping.madvise(mmap.MADV_SEQUENTIAL)
    return np.frombuffer(mapping, np.uint8, tensor.size, tensor.start - start)


def _typed(data: np.ndarray, tensor: Tensor) -> np.ndarray:
    """`data`, the tensor's bytes, as its array."""
    row = DTYPES[tensor.dtype]
    if row.unit_elements != 1:  # F4: two elements to a byte, unpacked for NumPy (a copy)
        units = tensor.shape[:-1] + (tensor.shape[-1] // row.unit_elements,)
        return unpacked_elements(data.reshape(units), np.dtype(tensor.dtype))
    return data.view(tensor.dtype).reshape(tensor.shape)


def _read_index(path: str) -> tuple[dict[str, set[str]], dict[str, str]]:
    """Shard paths (beside the index, in order of first mention) with the
    names each must hold, and the index's metadata as text."""
    try:
        with open(path, "rb") as handle:
            text = handle.read(_INDEX_LIMIT + 1)
        if len(text) > _INDEX_LIMIT:
            raise ValueError(f"it is longer than {_INDEX_LIMIT} bytes")
        index = json.loads(text, object_pairs_hook=unique_keys)
        weight_map, extra = index.get("weight_map"), index.get("metadata") or {}
        if not isinstance(weight_map, dict) or not all(isinstance(shard, str) for shard in weight_map.values()):
            raise ValueError("it has no \"weight_map\" of tensor names to shard files")
        if not isinstance(extra, dict):
            raise ValueError("its \"metadata\" is not an object")
    except (ValueError, UnicodeDecodeError, RecursionError, AttributeError) as error:
        raise ValueError(f"{path}: not a readable safetensors index: {error}") from None
    directory = os.path.dirname(path)
    shards: dict[str, set[str]] = {}
    for name, shard in weight_map.items():
        if shard in ("", ".", "..") or os.path.basename(shard) != shard or "\\" in shard or "\0" in shard:
            raise ValueError(f"{path}: tensor {name!r} is in shard {shard!r}, which is not a file name beside "
                             "the index")
        shards.setdefault(os.path.join(directory, shard), set()).add(name)
    metadata = {key: value if isinstance(value, str) else json.dumps(value) for key, value in extra.items()}
    return shards, metadata


def _mismatch(shard: str, held: set[str], expected: set[str]) -> str:
    if held - expected:
        return f"{shard} holds {sorted(held - expected)[0]!r}, which the index does not give to it"
    return f"the index gives {sorted(expected - held)[0]!r} to {shard}, which does not hold it"


def _merge(metadata: dict[str, str], more: dict[str, str], shard: str) -> None:
    for key, value in more.items():
        if metadata.setdefault(key, value) != value:
            raise ValueError(f"{shard}: its metadata {key!r} is {value!r}, where other shards or the index say "
                             f"{metadata[key]!r}")


def _import_ml_dtypes(dtype: str) -> None:
    """NumPy names some types (bfloat16, float8, float4) once ml_dtypes is imported."""
    try:
        import ml_dtypes  # noqa: F401
    except ImportError:
        raise ImportError(f"{dtype} tensors need ml_dtypes: pip install 'vakra[safetensors]'") from None


def write_safetensors(path: str, entries: list, value: Callable[[Any], np.ndarray], metadata: dict[str, str],
                      durable: bool) -> None:
    """A .safetensors file of the entries' arrays, each decoded and written
    in turn. The package's own writer takes every tensor at once (a
    compressed vakra file would be decompressed whole) and creates files
    only its owner may read; this one writes what it would (the JSON header,
    padded with spaces to 8 bytes, then the tensors ordered by element size,
    largest first, so that each is aligned) through ``write_to_path``."""
    layout, sizes, offset = [], [], 0
    for entry in sorted(entries, key=lambda entry: -DTYPES[entry.facts["dtype"]].element_size):
        row = DTYPES[entry.facts["dtype"]]
        size = row.body_size(entry.facts["shape"])
        layout.append((entry.name, {"dtype": row.safetensors_name, "shape": list(entry.facts["shape"]),
                                    "data_offsets": [offset, offset + size]}))
        sizes.append((entry, size))
        offset += size
    header = json.dumps(dict(([("__metadata__", metadata)] if metadata else []) + layout),
                        separators=(",", ":")).encode()
    header += b" " * (-len(header) % 8)

    def write(handle: Any) -> None:
        handle.write(struct.pack("<Q", len(header)) + header)
        for entry, size in sizes:
            array = value(entry)
            if DTYPES[array.dtype.name].unit_elements != 1:
                array = packed_units(array)  # F4 holds two elements to a byte
            data = array.reshape(-1).view(np.uint8)  # bfloat16 exports no buffer of its own
            if data.nbytes != size:
                raise ValueError(f"entry {entry.name!r} decodes to {data.nbytes} bytes where its header says {size}")
            handle.write(data)
            del array, data

    write_to_path(path, write, durable=durable)
