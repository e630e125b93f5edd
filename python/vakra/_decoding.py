"""Packets to Python values where the extension needs help.

``loads_rs`` decodes every packet this package writes in one native call,
with two exceptions handled here:

* a compressed array nested in a bundle (``dumps(..., compress=True)`` of a
  dict): the native decoder reads compressed bodies only at the top level, so
  the bundle is split along its framing and each entry decoded on its own;
* bfloat16 arrays, which NumPy knows by name only once ``ml_dtypes`` has been
  imported; it is imported on first need, keeping ``import vakra`` light.
"""

from __future__ import annotations

import sys
from typing import Any

from . import vakra_rs
from .packet_tree import FLAG_BUNDLE, FLAG_INLINE, FLAG_SPARSE_COO, FLAG_SPARSE_CSC, FLAG_SPARSE_CSR, PacketNode, walk

_loads_rs = vakra_rs.loads_rs
_CONTAINER_FLAGS = FLAG_BUNDLE | FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC


def loads_with_fallbacks(data: Any) -> Any:
    """``loads_rs`` once more, with the two fallbacks; raises genuine errors."""
    try:
        return _decode(data)
    except TypeError as error:
        if not enable_bfloat16(error):
            raise
    return _decode(data)


def _decode(data: Any) -> Any:
    try:
        return _loads_rs(data)
    except ValueError:
        if not _is_container(data):
            raise
    return decode_by_parts(data)


def _is_container(data: Any) -> bool:
    try:
        flags = vakra_rs.get_packet_info_rs(data)["flags"]
    except ValueError:
        return False
    return bool(flags & _CONTAINER_FLAGS) and not flags & FLAG_INLINE


def decode_by_parts(data: Any) -> Any:
    """Decode a bundle or sparse packet entry by entry.

    Entries that are arrays still view ``data`` without a copy. Raises the
    error of the first entry that fails, as the native decoder would.
    """
    view = memoryview(data)
    if view.format != "B" or view.ndim != 1:
        view = view.cast("B")
    return _decode_node(view, walk(view))


def _decode_node(view: memoryview, node: PacketNode) -> Any:
    if node.kind == "bundle":
        result = {}
        for key, child in node.children:
            value = _decode_child(view, child)
            if value is None:  # an entry of a kind Python does not convert
                return None
            result[key] = value
        return result
    if node.kind == "sparse":
        return _decode_sparse(view, node)
    return _loads_rs(view[node.offset:node.offset + node.size])


def _decode_child(view: memoryview, node: PacketNode) -> Any:
    packet = view[node.offset:node.offset + node.size]
    try:
        return _loads_rs(packet)
    except ValueError:
        if node.kind not in ("bundle", "sparse"):
            raise
    return _decode_node(view, node)


def _decode_sparse(view: memoryview, node: PacketNode) -> Any:
    try:
        import scipy.sparse
    except ImportError:
        raise ImportError("scipy is required for sparse deserialization") from None
    components = [_decode_child(view, child) for _, child in node.children]
    if any(component is None for component in components):
        return None
    values, first, second = components
    shape = node.shape
    if node.details["format"] == "coo":
        return scipy.sparse.coo_matrix((values, (first, second)), shape)
    constructor = scipy.sparse.csr_matrix if node.details["format"] == "csr" else scipy.sparse.csc_matrix
    return constructor((values, first, second), shape)


def enable_bfloat16(error: TypeError) -> bool:
    """Import ml_dtypes after NumPy refused the dtype name "bfloat16".

    True when the import happened and decoding is worth retrying; False when
    the error has another cause.
    """
    if "bfloat16" not in str(error) or "ml_dtypes" in sys.modules:
        return False
    try:
        import ml_dtypes  # noqa: F401  (registers bfloat16 with NumPy)
    except ImportError:
        raise TypeError("the packet holds bfloat16 data, which NumPy reads only with ml_dtypes installed "
                        "(pip install 'vakra[bfloat16]')") from error
    return True
