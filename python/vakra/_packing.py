"""Packed element types in NumPy. float4 is two elements to a byte on the
wire, in torch (``float4_e2m1fn_x2``, whose last dimension counts bytes) and
in safetensors (``F4``), the first element in the low nibble; NumPy
(ml_dtypes' ``float4_e2m1fn``) holds one element per byte, in its low bits.
"""

from __future__ import annotations

import numpy as np

__all__ = ["packed_units", "unpacked_elements"]


def packed_units(elements: np.ndarray) -> np.ndarray:
    """The uint8 units of an array of one element per byte, whose last
    dimension (even) is halved."""
    bits = elements.view(np.uint8)
    return (bits[..., 0::2] & 0x0F) | (bits[..., 1::2] << 4)


def unpacked_elements(units: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """The elements of uint8 units, one per byte, as ``dtype``; the last
    dimension doubles."""
    units = units.view(np.uint8)
    elements = np.empty(units.shape[:-1] + (2 * units.shape[-1],), np.uint8)
    elements[..., 0::2] = units & 0x0F
    elements[..., 1::2] = units >> 4
    return elements.view(dtype)
