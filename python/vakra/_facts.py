"""The format's facts, as the codec states them: header flags, limits, kind
names, sparse component roles, and one row per element type. Every other
module asks here rather than writing a flag, a dtype code or a limit of its
own, so a new element type is a row of the codec's table and nothing more.
"""

from __future__ import annotations

from typing import NamedTuple

from . import _native

__all__ = ["DtypeFacts", "DTYPES", "DENSE", "BY_TORCH_NAME", "FLAGS", "KINDS", "SPARSE_COMPONENTS", "MAX_NDIM",
           "MAX_ELEMENTS", "MAX_BUNDLE_ENTRIES", "MAX_NESTING_DEPTH", "STANDARD_ALIGNMENT", "MAX_ALIGNMENT",
           "MAX_PART_LENGTH", "torch_dtypes"]


class DtypeFacts(NamedTuple):
    """One element type."""

    name: str  # NumPy's name ("float32", "bfloat16", "qint8", "string", ...)
    code: int  # the wire code
    element_size: int  # bytes per element in a body (per unit of packed types); 0 for 4-bit codes and string items
    unit_elements: int  # elements packed in one unit: 2 for float4 (one per byte in NumPy), else 1
    dense: bool  # the elements of a dense array
    quantized: bool  # the codes of a quantized tensor
    torch_name: str | None  # the torch dtype attribute
    safetensors_name: str | None  # the dtype in a safetensors header
    ml_dtypes_name: str | None  # the ml_dtypes type
    needs_ml_dtypes: bool  # NumPy names it only once ml_dtypes is imported


    def body_size(self, shape: tuple[int, ...]) -> int:
        """Bytes of a body of ``shape`` on the wire (and in torch and safetensors)."""
        count = 1
        for dim in shape:
            count *= dim
        return count // self.unit_elements * self.element_size


DTYPES: dict[str, DtypeFacts] = {row["name"]: DtypeFacts(**row) for row in _native.dtype_table()}
DENSE: dict[str, DtypeFacts] = {name: row for name, row in DTYPES.items() if row.dense}
BY_TORCH_NAME: dict[str, DtypeFacts] = {row.torch_name: row for row in DENSE.values() if row.torch_name is not None}

_FORMAT = _native.format_facts()
FLAGS: dict[str, int] = _FORMAT["flags"]  # "aligned", "integrity", "compressed", "bundle", "string", ...
KINDS: tuple[str, ...] = _FORMAT["kinds"]  # what vakra.info's "kind" may say
SPARSE_COMPONENTS: dict[str, tuple[str, ...]] = _FORMAT["sparse_components"]  # format -> roles in wire order
_LIMITS = _FORMAT["limits"]
MAX_NDIM: int = _LIMITS["max_ndim"]
MAX_ELEMENTS: int = _LIMITS["max_elements"]
MAX_BUNDLE_ENTRIES: int = _LIMITS["max_bundle_entries"]
MAX_NESTING_DEPTH: int = _LIMITS["max_nesting_depth"]
STANDARD_ALIGNMENT: int = _LIMITS["standard_alignment"]
MAX_ALIGNMENT: int = _LIMITS["max_alignment"]  # the largest alignment the package writes
MAX_PART_LENGTH: int = _LIMITS["max_part_length"]  # every length prefix is a u32


def torch_dtypes(torch: object) -> dict[object, DtypeFacts]:
    """The dense types torch has, by torch dtype (torch is imported by the caller)."""
    return {getattr(torch, name): row for name, row in BY_TORCH_NAME.items() if hasattr(torch, name)}
