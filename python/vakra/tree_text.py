"""A packet tree as indented lines of text, for the command line."""

from __future__ import annotations

from .packet_tree import FLAG_ALIGNED, FLAG_COMPRESSED, FLAG_CUSTOM_ALIGN, FLAG_INTEGRITY, FLAG_NAMES, PacketNode

__all__ = ["render_tree", "human_size"]

_INDENT = "  "
# The kind bits are spelled out by the summary; these describe the body.
_BODY_FLAGS = (FLAG_ALIGNED, FLAG_CUSTOM_ALIGN, FLAG_INTEGRITY, FLAG_COMPRESSED)


def render_tree(node: PacketNode, label: str) -> list[str]:
    """One line per packet, children indented under their container."""
    lines: list[str] = []
    _render(node, label, 0, lines)
    return lines


def human_size(size: int) -> str:
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{size} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def _render(node: PacketNode, label: str, depth: int, lines: list[str]) -> None:
    flags = ", ".join(FLAG_NAMES[bit] for bit in _BODY_FLAGS if node.flags & bit)
    lines.append(f"{_INDENT * depth}{label}: {_summary(node)}" + (f"  [{flags}]" if flags else ""))
    for child_label, child in node.children:
        _render(child, repr(child_label) if node.kind == "bundle" else child_label, depth + 1, lines)


def _summary(node: PacketNode) -> str:
    details = node.details
    body = "" if node.body_size is None else f", body {human_size(node.body_size)}"
    if node.kind == "bundle":
        count = len(node.children)
        return f"bundle of {count} {'entry' if count == 1 else 'entries'}, {human_size(node.size)}"
    if node.kind == "sparse":
        return f"sparse {details['format']} {_shape(node.shape)}, {human_size(node.size)}"
    if node.kind in ("string", "ragged"):
        count = details["count"]
        return f"{node.kind} tensor of {count} {'string' if count == 1 else 'strings'}{body}"
    if node.kind == "quantized":
        return f"quantized {node.dtype} {_shape(node.shape)}, {_scheme(node)}{body}"
    if node.kind == "inline":
        return f"inline record{body}"
    dtype = node.dtype or f"unknown dtype code {node.dtype_code}"
    return f"dense {dtype} {_shape(node.shape)}{body}"


def _scheme(node: PacketNode) -> str:
    details = node.details
    scheme, axis, group_size = details["quant_scheme"], details["axis"], details["group_size"]
    count = details["scale_count"]
    scales = f"{count} {'scale' if count == 1 else 'scales'}"
    if scheme == 0:
        return f"per-tensor, {scales}"
    if scheme == 1:
        return f"per-axis along axis {axis}, {scales}"
    if scheme == 2:
        return f"per-group of {group_size} along axis {axis}, {scales}"
    return f"scheme {scheme}, axis {axis}, group size {group_size}, {scales}"


def _shape(shape: tuple[int, ...]) -> str:
    return "(" + ", ".join(str(dim) for dim in shape) + ("," if len(shape) == 1 else "") + ")"
