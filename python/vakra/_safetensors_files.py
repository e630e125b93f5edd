"""safetensors files for the converter, read with the ``safetensors``
package (the ``vakra[safetensors]`` extra), written tensor by tensor here.

Reading goes through ``safe_open`` with its ``pread`` backend: one tensor is
read into memory of its own at a time, nothing is mapped, so a conversion
holds one tensor at most. The package validates each header (its size, the
element types, offsets inside the file, no gaps or overlaps); one thing it
lets through is a name given twice, the later one silently winning, so the
header's JSON is read once more here to refuse repeated keys. A sharded
model's index is JSON too: its shard names must be plain file names beside
it, and the shards must hold exactly what the index says.
"""

from __future__ import annotations

import json
import os
import struct
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from typing import Any, Callable

import numpy as np

from .api import write_to_path

__all__ = ["read_safetensors", "write_safetensors", "unique_keys", "WRITABLE_TYPES"]

# safetensors' element types that vakra holds, by vakra's names.
_ELEMENT_TYPES = {"BOOL": "bool", "U8": "uint8", "I8": "int8", "U16": "uint16", "I16": "int16", "U32": "uint32",
                  "I32": "int32", "U64": "uint64", "I64": "int64", "F16": "float16", "BF16": "bfloat16",
                  "F32": "float32", "F64": "float64", "C64": "complex64"}
_CODES = {name: code for code, name in _ELEMENT_TYPES.items()}
WRITABLE_TYPES = frozenset(_CODES)
# NumPy's type of each, for its element size (NumPy needs ml_dtypes to name bfloat16).
_NUMPY_TYPES = {**{name: name for name in _CODES}, "bfloat16": "uint16"}
_HEADER_LIMIT = 100_000_000  # the safetensors package refuses longer headers too
_INDEX_LIMIT = 64 << 20


def _package() -> Any:
    try:
        import safetensors
    except ImportError:
        raise ImportError("converting .safetensors files needs the safetensors package: "
                          "pip install 'vakra[safetensors]'") from None
    if tuple(int(part) for part in safetensors.__version__.split(".")[:2] if part.isdigit()) < (0, 8):
        raise ImportError(f"converting .safetensors files needs safetensors 0.8 or later (this is "
                          f"{safetensors.__version__}): pip install 'vakra[safetensors]'")
    return safetensors


def unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    """A JSON object's pairs as a dict; ValueError when a key repeats."""
    result = dict(pairs)
    if len(result) != len(pairs):
        seen: set[str] = set()
        repeated = next(key for key, _ in pairs if key in seen or seen.add(key))
        raise ValueError(f"the name {repeated!r} is given more than once")
    return result


@contextmanager
def read_safetensors(path: str, sharded: bool) -> Iterator[tuple[list[str], dict[str, str], Iterator[Any]]]:
    """The tensor names (each shard's in file order), the metadata and a
    generator of the tensors, one at a time, of a .safetensors file or of
    the shards a ``*.safetensors.index.json`` names."""
    safetensors = _package()
    shards, metadata = _read_index(path) if sharded else ({path: None}, {})
    with ExitStack() as stack:
        names: list[str] = []
        sources: list[tuple[Any, str, str]] = []
        for shard, expected in shards.items():
            _check_header_keys(shard)
            try:
                handle = stack.enter_context(safetensors.safe_open(shard, framework="numpy", backend="pread"))
                keys = list(handle.offset_keys())
                _merge(metadata, handle.metadata() or {}, shard)
                types = [(key, handle.get_slice(key).get_dtype()) for key in keys]
            except safetensors.SafetensorError as error:
                raise ValueError(f"{shard}: not a readable safetensors file: {error}") from None
            if expected is not None and set(keys) != expected:
                raise ValueError(_mismatch(shard, set(keys), expected))
            for key, code in types:
                if code not in _ELEMENT_TYPES:
                    raise ValueError(f"entry {key!r} of {shard}: vakra has no {code} element type")
            if "BF16" in dict(types).values():
                _register_bfloat16()
            names += keys
            sources += [(handle, key, shard) for key in keys]
        yield names, metadata, _tensors(sources, safetensors.SafetensorError)


def _tensors(sources: list[tuple[Any, str, str]], failure: type) -> Iterator[Any]:
    for handle, key, shard in sources:
        try:
            tensor = handle.get_tensor(key)
        except (failure, OSError) as error:
            raise ValueError(f"entry {key!r} of {shard}: {error}") from None
        yield tensor
        del tensor  # gone before the next is read


def _check_header_keys(path: str) -> None:
    """Reads the header's JSON and refuses repeated names (and repeated
    metadata keys), which the safetensors package would let through."""
    try:
        with open(path, "rb") as handle:
            prefix = handle.read(8)
            size = os.fstat(handle.fileno()).st_size
            if len(prefix) < 8:
                raise ValueError("it is shorter than a header")
            (length,) = struct.unpack("<Q", prefix)
            if length > min(_HEADER_LIMIT, size - 8):
                raise ValueError(f"its header declares {length} bytes; the file has {size - 8} after the length")
            json.loads(handle.read(length), object_pairs_hook=unique_keys)
    except (ValueError, UnicodeDecodeError, RecursionError) as error:
        raise ValueError(f"{path}: not a readable safetensors file: {error}") from None


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


def _register_bfloat16() -> None:
    """NumPy names bfloat16 once ml_dtypes is imported, as the package's numpy reader needs."""
    try:
        import ml_dtypes  # noqa: F401
    except ImportError:
        raise ImportError("bfloat16 tensors need ml_dtypes: pip install 'vakra[safetensors]'") from None


def write_safetensors(path: str, entries: list, value: Callable[[Any], np.ndarray], metadata: dict[str, str]) -> None:
    """A .safetensors file of the entries' arrays, each decoded and written
    in turn. The package's own writer takes every tensor at once (a
    compressed vakra file would be decompressed whole) and creates files
    only its owner may read; this one writes what it would (the JSON header,
    padded with spaces to 8 bytes, then the tensors ordered by element size,
    largest first, so that each is aligned) through ``write_to_path``."""
    layout, sizes, offset = [], [], 0
    for entry in sorted(entries, key=lambda entry: -np.dtype(_NUMPY_TYPES[entry.facts["dtype"]]).itemsize):
        dtype = np.dtype(_NUMPY_TYPES[entry.facts["dtype"]])
        size = int(np.prod(entry.facts["shape"], dtype=object)) * dtype.itemsize
        layout.append((entry.name, {"dtype": _CODES[entry.facts["dtype"]], "shape": list(entry.facts["shape"]),
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
            data = array.reshape(-1).view(np.uint8)  # bfloat16 exports no buffer of its own
            if data.nbytes != size:
                raise ValueError(f"entry {entry.name!r} decodes to {data.nbytes} bytes where its header says {size}")
            handle.write(data)
            del array, data

    write_to_path(path, write)
