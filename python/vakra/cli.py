"""The ``vakra`` command: ``info [--verify] FILE`` and ``demo``.

Bad input (a missing, unreadable or damaged file) ends with one line on
stderr and exit status 1, never a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import mmap
import os
import stat
import sys
from collections.abc import Iterator, Sequence

from . import api
from .tree_text import render_tree

__all__ = ["main", "build_parser"]


class CommandError(Exception):
    """A failure to report as one line, without a traceback."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vakra", description="Inspect vakra packets and run the demonstration.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser("info", help="print a packet file as a tree, without decoding its bodies",
                               description="Print the packet in FILE as an indented tree: kind, dtype, shape, "
                                           "flags and body size of every nested packet. Bodies are not read.")
    info.add_argument("file", metavar="FILE", help="a file holding one packet")
    info.add_argument("--verify", action="store_true",
                      help="also decode the whole packet and check every stored checksum")
    info.set_defaults(run=_run_info)

    demo = commands.add_parser("demo", help="encode a realistic bundle, load it back and compare with "
                                            "pickle and numpy.savez",
                               description="Build a bundle (weights, a CSR adjacency matrix, labels, a qint8 "
                                           "copy of the weights), write it to a temporary file, load it back "
                                           "memory-mapped, print its tree and a timing table.")
    demo.add_argument("--repeat", type=int, default=5, metavar="N",
                      help="runs per timing; the best is reported (default: 5)")
    demo.set_defaults(run=_run_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except CommandError as error:
        print(f"vakra: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (``vakra info FILE | head``): stop quietly, and
        # keep the interpreter's final flush from raising again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _run_info(args: argparse.Namespace) -> int:
    path = args.file
    try:
        with _mapped(path) as data:
            tree = api.info(data)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None
    except ValueError as error:
        raise CommandError(f"{path}: not a readable packet: {error}") from None
    print("\n".join(render_tree(tree, path)))
    if args.verify:
        print(_verify(path, tree))
    return 0


def _verify(path: str, tree: dict) -> str:
    try:
        value = api.load(path)
    except (ValueError, TypeError, ImportError, OSError) as error:
        raise CommandError(f"{path}: verification failed: {error}") from None
    checksums = _count_checksums(tree)
    summary = f"{checksums} {'checksum' if checksums == 1 else 'checksums'} matched" if checksums else \
        "no checksums stored"
    if value is None:
        return f"verify: ok, {summary}; holds ragged or inline packets, which load as None"
    return f"verify: ok, decoded fully, {summary}"


def _count_checksums(info: dict) -> int:
    own = 1 if info["integrity_protected"] and info["kind"] not in ("bundle", "sparse", "inline") else 0
    children = info.get("entries") or info.get("components") or {}
    return own + sum(_count_checksums(child) for child in children.values())


@contextlib.contextmanager
def _mapped(path: str) -> Iterator[bytes | mmap.mmap]:
    """The file's bytes, mapped so that only the framing is ever read."""
    with open(path, "rb") as handle:
        status = os.fstat(handle.fileno())
        if not stat.S_ISREG(status.st_mode) or status.st_size == 0:
            yield handle.read()
            return
        with mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as mapping:
            yield mapping


def _run_demo(args: argparse.Namespace) -> int:
    from . import demo  # imports SciPy; only this command needs it

    if args.repeat < 1:
        raise CommandError("--repeat must be at least 1")
    try:
        demo.run(repeat=args.repeat)
    except ImportError as error:
        raise CommandError(f"the demo needs SciPy: {error}") from None
    return 0
