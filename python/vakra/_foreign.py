"""Arrays that are not NumPy's: torch tensors, DLPack producers and objects
with the array interface, seen as NumPy arrays over the same CPU memory.

Nothing here imports torch: a value can only be a torch tensor once the
caller has imported torch, so ``sys.modules`` tells whether to look.
"""

from __future__ import annotations

import sys
from types import SimpleNamespace
from typing import Any

import numpy as np

from ._facts import BY_TORCH_NAME, DtypeFacts

# DLPack device types whose memory the CPU reads directly.
_CPU_DEVICES = {1: "cpu", 3: "cuda_host", 11: "rocm_host"}
_DEVICE_NAMES = {2: "cuda", 4: "opencl", 7: "vulkan", 8: "metal", 9: "vpi", 10: "rocm", 12: "ext_dev",
                 13: "cuda_managed", 14: "oneapi", 15: "webgpu", 16: "hexagon", 17: "maia"}


def as_array(value: Any) -> Any:
    """A NumPy view of a foreign array's CPU memory, or None for other values.

    The view keeps the source's strides and byte order (the encoder C-orders
    it if need be); a source of a type NumPy names only with ml_dtypes
    (bfloat16), without ml_dtypes imported, gives ``(integer_view, wire
    code)``, as does torch's packed ``float4_e2m1fn_x2`` (its bytes, whose
    last dimension counts pairs); a torch sparse tensor gives an object
    with the attributes of a SciPy sparse matrix. NumPy's own arrays and
    scalars give None: they are the encoder's business.

    Raises ValueError for memory the CPU cannot read (naming the device) and
    TypeError for element types with no wire twin.
    """
    if isinstance(value, (np.ndarray, np.generic)):
        return None
    torch = sys.modules.get("torch")
    if torch is not None and isinstance(value, torch.Tensor):
        return _from_torch(value, torch)
    if hasattr(value, "__dlpack__") and hasattr(value, "__dlpack_device__"):
        return _from_dlpack(value)
    if hasattr(value, "__array_interface__") or hasattr(value, "__array_struct__"):
        return np.asarray(value)
    return None


def _from_torch(tensor: Any, torch: Any) -> Any:
    if tensor.device.type != "cpu":
        raise ValueError(f"vakra encodes tensors in CPU memory; this tensor is on device '{tensor.device}' "
                         "(move it with .cpu() first)")
    tensor = tensor.detach()  # a tensor that requires grad is encoded from its data
    if tensor.layout != torch.strided:
        return _torch_sparse(tensor, torch)
    tensor = tensor.resolve_conj().resolve_neg()  # lazy conjugate/negative views hold other values
    row = BY_TORCH_NAME.get(str(tensor.dtype).removeprefix("torch."))
    if row is not None and row.needs_ml_dtypes:
        bits = tensor.view(getattr(torch, f"int{8 * row.element_size}")).numpy()
        if row.unit_elements != 1:  # float4_e2m1fn_x2: the bytes are the wire's already
            return bits, row.code
        return _ml_dtypes_array(bits, row)
    try:
        return tensor.numpy()
    except TypeError:
        raise TypeError(f"vakra cannot encode {tensor.dtype} tensors: the format has no such element type") from None


def _from_dlpack(value: Any) -> Any:
    device_type, device_id = value.__dlpack_device__()
    if device_type not in _CPU_DEVICES:
        device = _DEVICE_NAMES.get(device_type, f"DLPack device type {device_type}")
        raise ValueError(f"vakra encodes arrays in CPU memory; this {type(value).__name__!r} is on device "
                         f"'{device}:{device_id}' (copy it to the CPU first)")
    try:
        return np.from_dlpack(value)
    except (RuntimeError, BufferError, TypeError) as error:
        torch = sys.modules.get("torch")
        if torch is None:  # NumPy takes no bfloat16 through DLPack; torch does
            raise TypeError(f"NumPy cannot read this {type(value).__name__!r} through DLPack: {error}") from None
    return _from_torch(torch.from_dlpack(value), torch)


def _ml_dtypes_array(bits: np.ndarray, row: DtypeFacts) -> Any:
    ml_dtypes = sys.modules.get("ml_dtypes")
    if ml_dtypes is not None:
        return bits.view(getattr(ml_dtypes, row.ml_dtypes_name))
    return bits, row.code


def _torch_sparse(tensor: Any, torch: Any) -> SimpleNamespace:
    """The component arrays of a 2-D sparse tensor, named as SciPy names them."""
    if tensor.dim() != 2 or tensor.dense_dim() != 0:
        raise ValueError(f"vakra stores sparse matrices; this sparse tensor has {tensor.sparse_dim()} sparse and "
                         f"{tensor.dense_dim()} dense dimensions (use .to_dense() or reshape to 2-D)")
    layout = tensor.layout
    if layout == torch.sparse_coo:
        tensor = tensor.coalesce()
        row, col = tensor.indices()
        sparse_format, indexes = "coo", {"row": row, "col": col}
    elif layout == torch.sparse_csr:
        sparse_format, indexes = "csr", {"indices": tensor.col_indices(), "indptr": tensor.crow_indices()}
    elif layout == torch.sparse_csc:
        sparse_format, indexes = "csc", {"indices": tensor.row_indices(), "indptr": tensor.ccol_indices()}
    else:
        raise ValueError(f"vakra stores sparse tensors in COO, CSR or CSC layout, not {layout}; convert with "
                         ".to_sparse_csr() or .to_sparse_coo()")
    data = _from_torch(tensor.values(), torch)
    if isinstance(data, tuple):
        name = str(tensor.dtype).removeprefix("torch.")
        raise TypeError(f"{name} sparse tensors need ml_dtypes imported (pip install 'vakra[bfloat16]')")
    arrays = {role: index.numpy() for role, index in indexes.items()}
    return SimpleNamespace(format=sparse_format, shape=tuple(tensor.shape), data=data, **arrays)
