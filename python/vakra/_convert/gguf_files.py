"""GGUF files for the converter, read with the ``gguf`` package (the
``vakra[gguf]`` extra); vakra reads them and does not write them.

F32, F16, BF16, F64 and integer tensors become arrays, Q8_0 and Q4_0 blocks
``QuantizedTensor``s in groups of 32 along the last axis that dequantize to
exactly what ``gguf.quants.dequantize`` gives: Q8_0 (an f16 scale and 32
int8 codes) as qint8 with zero point 0, Q4_0 (an f16 scale and 32 4-bit
codes, value = scale * (code - 8)) as quint4 with zero point 8; the f16
scales become float32 ones, exactly. Q4_0 holds a block's codes 0 to 15 in
the low nibbles and 16 to 31 in the high ones, vakra element 2k in the low
nibble of byte k: the codes are reordered, not changed. GGUF lists
dimensions innermost first; shapes here are in NumPy's order, as gguf's
reader presents its arrays. Metadata is kept as text: strings as they
are, everything else as JSON.

Every tensor's type and size is checked from the tensor infos (the reader
maps the file and reads no tensor bytes) before the first tensor is read.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np

from .._facts import DTYPES
from .._model.file_entries import Contents, Entry
from ..quantize import QuantizedTensor
from .entry_limits import check_entry

__all__ = ["read_gguf", "describe_gguf", "HELD"]

_ARRAYS = {"F32": "float32", "F16": "float16", "BF16": "bfloat16", "F64": "float64", "I8": "int8", "I16": "int16",
           "I32": "int32", "I64": "int64"}
_BLOCKS = {"Q8_0": ("qint8", 34), "Q4_0": ("quint4", 18)}  # type, bytes of a block of 32: an f16 scale, the codes
_BLOCK = 32
HELD = frozenset([*_ARRAYS.values(), *(name for name, _ in _BLOCKS.values())])  # the types it gives
_LONG_TEXT = 60  # `vakra ls` shows longer metadata values by their length


def _package() -> Any:
    try:
        import gguf
    except ImportError:
        raise ImportError("converting GGUF files needs the gguf package: pip install 'vakra[gguf]'") from None
    return gguf


def _reader(path: str) -> Any:
    gguf = _package()
    try:
        return gguf.GGUFReader(path)
    except (ValueError, IndexError, KeyError, UnicodeDecodeError) as error:  # what the reader raises on damage
        raise ValueError(f"{path}: not a readable GGUF file: {error}") from None


def _shape(tensor: Any) -> tuple[int, ...]:
    return tuple(int(dim) for dim in reversed(tensor.shape.tolist()))


def _check(tensor: Any, path: str) -> bool:
    """Whether the tensor is too large for a packet (a body in the model
    file); ValueError naming it when vakra cannot hold it."""
    kind, shape = tensor.tensor_type.name, _shape(tensor)
    if kind not in _ARRAYS and kind not in _BLOCKS:
        held = ", ".join([*_ARRAYS, *_BLOCKS])
        raise ValueError(f"entry {tensor.name!r} of {path} is {kind} blocks, which vakra does not convert (it "
                         f"converts {held})")
    if kind in _BLOCKS and (not shape or shape[-1] % _BLOCK):
        raise ValueError(f"entry {tensor.name!r} of {path}: {kind} blocks of {_BLOCK} do not fill shape {list(shape)}")
    return check_entry(tensor.name, DTYPES[_ARRAYS.get(kind) or _BLOCKS[kind][0]], shape, path, body=kind in _ARRAYS)


@contextmanager
def read_gguf(path: str) -> Iterator[tuple[list[str], Iterator[Any], dict[str, str], dict[str, Any]]]:
    """The tensor names in file order, a generator of their values (arrays
    viewing the file's mapping, or QuantizedTensors), one at a time, the
    metadata as text, and the dtype and shape of each array too large for a
    packet."""
    reader = _reader(path)
    bodies = {tensor.name: (_ARRAYS[tensor.tensor_type.name], _shape(tensor)) for tensor in reader.tensors
              if _check(tensor, path)}
    if any(tensor.tensor_type.name == "BF16" for tensor in reader.tensors):
        _import_ml_dtypes()
    yield ([tensor.name for tensor in reader.tensors], (_value(tensor) for tensor in reader.tensors),
           _metadata(reader), bodies)


def _value(tensor: Any) -> Any:
    kind, shape = tensor.tensor_type.name, _shape(tensor)
    if kind == "BF16":
        return tensor.data.view(DTYPES["bfloat16"].ml_dtypes_name).reshape(shape)
    if kind in _ARRAYS:
        return tensor.data.reshape(shape)
    name, block_bytes = _BLOCKS[kind]
    blocks = np.asarray(tensor.data).reshape(-1, block_bytes)
    scales = blocks[:, :2].copy().view(np.float16).astype(np.float32).reshape(-1)  # exact
    codes = blocks[:, 2:]
    zero_point = 0.0
    if kind == "Q4_0":
        nibbles = np.concatenate([codes & 0x0F, codes >> 4], axis=1)  # a block's codes in order
        codes, zero_point = nibbles[:, 0::2] | (nibbles[:, 1::2] << 4), 8.0
    return QuantizedTensor(data=codes.reshape(-1), scales=scales, zero_points=np.full_like(scales, zero_point),
                           shape=shape, dtype_code=DTYPES[name].code, quant_scheme=QuantizedTensor.PER_GROUP,
                           group_size=_BLOCK, axis=len(shape) - 1)


def _metadata(reader: Any) -> dict[str, str]:
    metadata = {}
    for name, field in reader.fields.items():
        if name.startswith("GGUF."):  # the header's own counts, not metadata
            continue
        value = field.contents()
        metadata[name] = value if isinstance(value, str) else json.dumps(value)
    return metadata


def _import_ml_dtypes() -> None:
    try:
        import ml_dtypes  # noqa: F401
    except ImportError:
        raise ImportError("bfloat16 tensors need ml_dtypes: pip install 'vakra[gguf]'") from None


def describe_gguf(path: str) -> Contents:
    """What ``vakra ls`` shows of a GGUF file, from its tensor infos: each
    tensor as the converter makes it (block types it refuses by their GGUF
    name), and the metadata, long values by their length."""
    reader = _reader(path)
    contents = Contents(True)
    for tensor in reader.tensors:
        kind = tensor.tensor_type.name
        facts = {"kind": "quantized" if kind in _BLOCKS else "dense", "size": int(tensor.n_bytes),
                 "dtype": _ARRAYS.get(kind) or _BLOCKS.get(kind, (f"{kind} (not converted)",))[0],
                 "shape": list(_shape(tensor))}
        contents.entries.append(Entry(tensor.name, facts, memoryview(b""), int(tensor.data_offset)))
    contents.metadata = {key: value if len(value) <= _LONG_TEXT else f"<{len(value)} characters>"
                         for key, value in _metadata(reader).items()}
    return contents
