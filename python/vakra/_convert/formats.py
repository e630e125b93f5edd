"""The foreign formats ``vakra.convert`` knows, one row each. A format is a
module that reads and writes it, and its row here:

- ``read(path)``: a context manager giving ``(names, values, metadata)``:
  names with an iterator of their values, taken one at a time; or no names
  and a mapping of names to values (saved as a mapping: nested mappings and
  tied tensors kept); or, for a format of ``one_array``, no names and the
  array. A reader of names may give a fourth: the ``(dtype, shape)`` of
  each name too large for a packet, read from the source's header, which
  the model file declares before any value (``save_stream``'s ``bodies``);
- ``write(path, entries, value, metadata, durable)``: the file of the
  entries of a vakra file, ``value(entry)`` decoding one, synced when
  ``durable`` (None for a format only read); a format that holds
  checkpoint trees also takes ``tree``, the skeleton of the file's tree;
- what a file of the format holds, checked before anything is written;
- for a source that is a directory, ``claims(path)``: whether it is one of
  the format's (its name says nothing).
"""

from __future__ import annotations

from collections.abc import Callable
from functools import partial
from typing import Any, NamedTuple

from .._facts import DtypeFacts
from .._io.packets import loads
from . import dcp_files, gguf_files, numpy_files, safetensors_files, torch_files

__all__ = ["FileFormat", "FORMATS", "VAKRA_SUFFIX"]

VAKRA_SUFFIX = ".vkr"


def _same(value: Any) -> Any:
    return value


class FileFormat(NamedTuple):
    shown: str  # how messages name the format
    suffixes: tuple[str, ...]  # the ends of the file names that say it, lower case
    read: Callable[[str], Any]
    write: Callable[..., None] | None  # None: converted from, never to
    kinds: frozenset[str]  # the kinds of value a file holds (vakra.info's "kind")
    holds: Callable[[DtypeFacts], bool]  # whether a file holds arrays of this element type
    one_array: bool = False  # a file is one array rather than named tensors
    metadata: bool = False  # a file keeps str to str metadata
    decode: Callable[[Any], Any] = loads  # an entry's packet to the value `write` takes
    decode_body: Callable[[Any], Any] = _same  # a body's array (a view of the mapping) to the value `write` takes
    views_source: bool = False  # the values viewing the vakra file stay in use until the file is written
    describe: Callable[[str], Any] | None = None  # what `vakra ls` shows of a file (a Contents), from headers
    reserved_names: frozenset[str] = frozenset()  # names a file of the format keeps for itself
    expands: bool = False  # a value may hold more bytes than the file stores; read takes allow_expanded
    claims: Callable[[str], bool] | None = None  # a directory source: whether it is of this format
    trees: bool = False  # a file holds a checkpoint tree's scalars, lists and int keys; write takes tree


_DENSE = frozenset({"dense"})


def _numpy_holds(row: DtypeFacts) -> bool:
    return not row.needs_ml_dtypes  # np.save writes what NumPy names only through ml_dtypes as raw bytes


FORMATS = (
    FileFormat(".npy", (".npy",), numpy_files.read_npy, numpy_files.write_npy, _DENSE, _numpy_holds, one_array=True),
    FileFormat(".npz", (".npz",), numpy_files.read_npz, numpy_files.write_npz, _DENSE, _numpy_holds),
    FileFormat(".safetensors", (".safetensors",), safetensors_files.read_safetensors,
               safetensors_files.write_safetensors, _DENSE, lambda row: row.safetensors_name is not None,
               metadata=True, reserved_names=frozenset({"__metadata__"})),
    FileFormat("sharded safetensors index", (".safetensors.index.json",),
               partial(safetensors_files.read_safetensors, sharded=True), None, _DENSE,
               lambda row: row.safetensors_name is not None),
    FileFormat("torch.save", (".pt", ".pth", ".bin"), torch_files.read_torch, torch_files.write_torch,
               frozenset({"dense", "sparse", "bundle"}), lambda row: row.torch_name is not None,
               decode=torch_files.decode, decode_body=torch_files.decode_body, views_source=True, expands=True,
               trees=True),
    FileFormat("GGUF", (".gguf",), gguf_files.read_gguf, None, frozenset({"dense", "quantized"}),
               lambda row: row.name in gguf_files.HELD, metadata=True, describe=gguf_files.describe_gguf),
    FileFormat("vakra.torch.dcp checkpoint", (), dcp_files.read_checkpoint, None, _DENSE,
               lambda row: row.torch_name is not None, claims=dcp_files.is_checkpoint),
)
