"""The C++ API page, read from the codec's public headers.

The headers document themselves in plain ``//`` comments, which Doxygen does
not read, so this directive renders them itself: for each header its opening
comment, then each group of declarations (a blank line ends a group) with
the comment above it. Inline function bodies are left out; struct, class and
enum bodies are shown whole, member comments included.

    .. cpp-headers:: ../codec/include/vakra
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

from docutils import nodes
from sphinx.util.docutils import SphinxDirective

_SKIPPED = re.compile(r"#pragma|#include|#if|#else|#endif|#error|namespace \w+ \{|\}\s*// namespace")


@dataclass
class Declaration:
    comment: str
    code: str


def header_declarations(text: str) -> tuple[str, list[Declaration]]:
    """The header's opening comment and its commented groups of declarations."""
    lines = text.splitlines()
    opening = []
    while lines and lines[0].startswith("//"):
        opening.append(_comment_text(lines.pop(0)))
    groups, group, depth = [], [], 0
    for line in lines:
        if _SKIPPED.match(line.strip()) and depth == 0:
            continue
        if not line.strip() and depth == 0 and not _continues(group):
            groups.append(group)
            group = []
            continue
        group.append(line)
        depth += _braces(line)
    groups.append(group)
    return " ".join(opening), [d for d in map(_declaration, groups) if d]


def _declaration(group: list[str]) -> Declaration | None:
    comment = []
    while group and group[0].lstrip().startswith("//"):
        comment.append(_comment_text(group.pop(0)))
    code = _without_function_bodies(group)
    if not code.strip() or (not comment and code.lstrip().startswith("#define")):
        return None  # helper macros without a comment are not part of the interface
    return Declaration(" ".join(comment), code)


def _without_function_bodies(group: list[str]) -> str:
    """The group's code with each top-level inline function body replaced by ``;``."""
    out, depth, skipping = [], 0, False
    for line in group:
        opens_function = depth == 0 and "{" in line and "(" in line.split("{")[0] and not re.match(
            r"\s*(struct|class|enum|union|template)\b", line) and not line.rstrip().endswith("\\")
        if opens_function:
            out.append(line.split("{")[0].rstrip() + ";")
            skipping = True
        elif not skipping:
            out.append(line)
        depth += _braces(line)
        if skipping and depth == 0:
            skipping = False
    return "\n".join(out).strip("\n")


def _continues(group: list[str]) -> bool:
    # A macro definition or a statement still open before the blank line.
    return bool(group) and group[-1].rstrip().endswith(("\\", ",", "("))


def _braces(line: str) -> int:
    code = line.split("//")[0]
    return code.count("{") - code.count("}")


def _comment_text(line: str) -> str:
    return line.strip().removeprefix("//").strip()


class CppHeaders(SphinxDirective):
    required_arguments = 1  # the include directory, relative to this document

    def run(self) -> list[nodes.Node]:
        source_dir = Path(self.env.doc2path(self.env.docname)).parent
        include_dir = (source_dir / self.arguments[0]).resolve()
        headers = sorted(include_dir.glob("*.hpp"))
        if not headers:
            raise self.error(f"no headers in {include_dir}")
        sections = []
        for header in headers:
            self.env.note_dependency(str(header))
            name = f"{include_dir.name}/{header.name}"
            opening, declarations = header_declarations(header.read_text(encoding="utf-8"))
            section = nodes.section(ids=[nodes.make_id(f"header-{name}")])
            section += nodes.title(text=name)
            section += nodes.paragraph(text=opening)
            for declaration in declarations:
                if declaration.comment:
                    section += nodes.paragraph(text=declaration.comment)
                block = nodes.literal_block(declaration.code, declaration.code)
                block["language"] = "cpp"
                section += block
            sections.append(section)
        return sections


def setup(app):
    app.add_directive("cpp-headers", CppHeaders)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
