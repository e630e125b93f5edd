"""A packet's description (``vakra.info``) as indented lines of text, for the command line."""

from __future__ import annotations

from typing import Any

from .._facts import FLAGS

__all__ = ["render_tree", "human_size", "shape_text"]

_INDENT = "  "
# The kind bits are spelled out by the summary; these describe the body.
_BODY_FLAGS = tuple((FLAGS[flag], flag.replace("_", "-"))
                    for flag in ("aligned", "custom_align", "integrity", "compressed"))


def render_tree(info: dict[str, Any], label: str) -> list[str]:
    """One line per packet, children indented under their container."""
    lines: list[str] = []
    _render(info, label, 0, lines)
    return lines


def human_size(size: int) -> str:
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{size} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def _render(info: dict[str, Any], label: str, depth: int, lines: list[str]) -> None:
    flags = ", ".join(name for bit, name in _BODY_FLAGS if info["flags"] & bit)
    lines.append(f"{_INDENT * depth}{label}: {_summary(info)}" + (f"  [{flags}]" if flags else ""))
    children = info.get("entries") or info.get("components") or {}
    for child_label, child in children.items():
        _render(child, repr(child_label) if info["kind"] == "bundle" else child_label, depth + 1, lines)


def _summary(info: dict[str, Any]) -> str:
    kind = info["kind"]
    body = "" if info["body_size"] is None else f", body {human_size(info['body_size'])}"
    if kind == "bundle":
        count = info["entry_count"]
        return f"bundle of {count} {'entry' if count == 1 else 'entries'}, {human_size(info['size'])}"
    if kind == "sparse":
        return f"sparse {info['format']} {shape_text(info['shape'])}, {human_size(info['size'])}"
    if kind in ("string", "ragged"):
        count = info["count"]
        return f"{kind} tensor of {count} {'string' if count == 1 else 'strings'}{body}"
    if kind == "quantized":
        return f"quantized {info['dtype']} {shape_text(info['shape'])}, {_scheme(info)}{body}"
    if kind == "inline":
        return f"inline record{body}"
    return f"dense {info['dtype']} {shape_text(info['shape'])}{body}"


def _scheme(info: dict[str, Any]) -> str:
    scheme, axis, group_size = info["quant_scheme"], info["axis"], info["group_size"]
    count = info["scale_count"]
    scales = f"{count} {'scale' if count == 1 else 'scales'}"
    if scheme == 0:
        return f"per-tensor, {scales}"
    if scheme == 1:
        return f"per-axis along axis {axis}, {scales}"
    if scheme == 2:
        return f"per-group of {group_size} along axis {axis}, {scales}"
    return f"scheme {scheme}, axis {axis}, group size {group_size}, {scales}"


def shape_text(shape: tuple[int, ...]) -> str:
    """A shape as Python writes a tuple: (2, 3), (5,), ()."""
    return "(" + ", ".join(str(dim) for dim in shape) + ("," if len(shape) == 1 else "") + ")"
