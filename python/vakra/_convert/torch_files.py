"""torch.save files (``.pt``, ``.pth``, ``.bin``) for the converter, read
with ``torch.load(weights_only=True)`` alone: a pickle that needs any other
object is refused by torch's restricted unpickler before anything in it
runs. PyTorch is the ``vakra[torch]`` extra.

Files in torch's zip layout are mapped (``mmap=True``): the tensors view the
file, and the model file is written from them, so the model is never held
in memory twice. A tensor may be a view that holds more elements than its
storage has bytes for (``expand``, overlapping strides): written out whole,
a file of kilobytes would become one of gigabytes, so such tensors are
refused unless the caller allows them.
"""

from __future__ import annotations

import zipfile
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from typing import Any

from .._facts import torch_dtypes
from .._io.atomic_write import write_to_path
from .._io.packets import dumps, loads
from .entry_limits import check_entry

__all__ = ["read_torch", "write_torch", "decode", "decode_body"]


def _torch() -> Any:
    try:
        import torch
    except ImportError:
        raise ImportError("converting torch.save files needs PyTorch: pip install 'vakra[torch]'") from None
    return torch


# The components of torch's sparse layouts, by layout name.
_COMPONENTS = {"sparse_coo": ("_indices", "_values"), "sparse_csr": ("crow_indices", "col_indices", "values"),
               "sparse_csc": ("ccol_indices", "row_indices", "values")}


@contextmanager
def read_torch(path: str, allow_expanded: bool = False) -> Iterator[tuple[None, dict[str, Any], dict[str, str]]]:
    """The mapping of names to tensors a torch.save file holds (nested
    mappings kept), checked to hold tensors vakra stores and nothing else
    (no expanded views, unless `allow_expanded`), saved as a mapping (no
    names of their own, no metadata)."""
    torch = _torch()
    try:
        mapped = zipfile.is_zipfile(path)  # the legacy layout cannot be mapped
    except zipfile.BadZipFile as error:  # an end record it refuses rather than ignores (several disks)
        raise ValueError(f"{path}: a damaged zip archive: {error}") from None
    try:
        loaded = torch.load(path, map_location="cpu", weights_only=True, mmap=mapped)
    except ImportError:
        raise
    except OSError as error:
        if error.filename is not None:  # the file system's, opening the file
            raise
        raise ValueError(f"{path}: torch.load cannot read it: {error}") from None  # torch's zip reader's EINVAL
    except Exception as error:  # the unpickler's refusal, or whatever a damaged file makes torch raise
        raise ValueError(f"{path}: torch.load(weights_only=True) refused it, and vakra runs nothing else: "
                         f"{_reason(error)}") from None
    if not isinstance(loaded, Mapping):
        raise ValueError(f"{path} holds an object of type {type(loaded).__name__}, not a mapping of names to tensors")
    yield None, _checked(loaded, (), path, torch, (torch_dtypes(torch), allow_expanded)), {}


def _reason(error: Exception) -> str:
    """The line of torch's message that says what it refused (not its advice to load unsafely)."""
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    telling = [line for line in lines if not line.startswith(("Weights only load failed", "Check the documentation"))]
    return (telling or lines or [type(error).__name__])[0]


def _checked(mapping: Mapping, path: tuple, where: str, torch: Any, rules: tuple[dict, bool]) -> dict[str, Any]:
    storable, allow_expanded = rules
    result = {}
    for key, value in mapping.items():
        inner = path + (key,)
        name = "/".join(map(str, inner))
        if not isinstance(key, str):
            raise ValueError(f"{where}: the name {name!r} is of type {type(key).__name__}, not str")
        if isinstance(value, Mapping):
            result[key] = _checked(value, inner, where, torch, rules)
            continue
        if not isinstance(value, torch.Tensor):
            raise ValueError(f"entry {name!r} of {where} is of type {type(value).__name__}, not a tensor")
        if value.is_quantized or value.dtype not in storable:
            raise ValueError(f"entry {name!r} of {where}: vakra has no {value.dtype} element type")
        if value.layout != torch.strided:
            _check_sparse(value, name, where)
        # Mapped tensors are not read here: the shape comes from the pickle.
        row = storable[value.dtype]
        shape = tuple(value.shape)
        if row.unit_elements != 1 and shape:  # float4_e2m1fn_x2 counts pairs
            shape = shape[:-1] + (shape[-1] * row.unit_elements,)
        check_entry(name, row, shape if value.layout == torch.strided else (value._nnz(),), where)
        if not allow_expanded:
            _check_not_expanded(value, name, where)
        result[key] = value
    return result


def _check_sparse(tensor: Any, name: str, where: str) -> None:
    """ValueError naming the entry when a sparse tensor is of a layout vakra
    does not store or has a structure vakra would not read back (torch.load
    checks none of it): its packet goes through vakra's own decoder, which
    checks every index."""
    try:
        loads(dumps(tensor))
    except (ValueError, TypeError) as error:
        raise ValueError(f"entry {name!r} of {where} is a sparse tensor vakra cannot store: {error}") from None


def _check_not_expanded(tensor: Any, name: str, where: str) -> None:
    """ValueError naming the entry when `tensor` (or a sparse tensor's
    component) holds more bytes than its storage."""
    layout = str(tensor.layout).removeprefix("torch.")
    for part in [getattr(tensor, component)() for component in _COMPONENTS.get(layout, ())] or [tensor]:
        held, stored = part.numel() * part.element_size(), part.untyped_storage().nbytes()
        if held > stored:
            raise ValueError(f"entry {name!r} of {where} holds {held} bytes in a view of {stored} bytes of storage "
                             "(an expanded or overlapping view); allow_expanded=True (--allow-expanded) writes it "
                             "out whole")


def decode(packet: Any) -> Any:
    """An entry's value as tensors that view the vakra file's copy-on-write mapping."""
    from .. import torch as vakra_torch  # imported here: torch is an extra

    return vakra_torch.loads(packet, writable=True)


def decode_body(array: Any) -> Any:
    """A model file's body (an array viewing the copy-on-write mapping) as a tensor viewing the same memory."""
    from .. import torch as vakra_torch

    return vakra_torch.as_tensor(array)


def write_torch(path: str, entries: list, value: Callable[[Any], Any], metadata: dict[str, str],
                durable: bool) -> None:
    """A torch.save file of the entries' tensors (views of the vakra file
    where uncompressed); tied names share one tensor, stored once."""
    torch = _torch()
    tensors: dict[str, Any] = {}
    for entry in entries:
        tensors[entry.name] = tensors[entry.tied] if entry.tied is not None else value(entry)
    write_to_path(path, lambda handle: torch.save(tensors, handle), durable=durable)
