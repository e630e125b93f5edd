"""vakra: a compact binary wire format for tensors."""

from . import vakra_rs

__all__ = ["vakra_rs"]
