"""The ``vakra`` command: ``info [--verify] [--index N] FILE``, ``demo`` and
``--version``.

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
from typing import IO

from . import __version__, api, streams
from .tree_text import render_tree

__all__ = ["main", "build_parser"]


class CommandError(Exception):
    """A failure to report as one line, without a traceback."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vakra", description="Inspect vakra packets and run the demonstration.")
    parser.add_argument("--version", action="version", version=f"vakra {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser("info", help="print a packet file as a tree, without decoding its bodies",
                               description="Print each packet in FILE as an indented tree: kind, dtype, shape, "
                                           "flags and body size of every nested packet. Bodies are not read. "
                                           "A file of several packets (written by successive dumps) shows "
                                           "them all, labelled FILE[0], FILE[1], ...")
    info.add_argument("file", metavar="FILE", help="a file holding one or more packets")
    info.add_argument("--index", type=int, metavar="N", help="show only packet N (counting from 0)")
    info.add_argument("--verify", action="store_true",
                      help="also decode the packets shown and check every stored checksum")
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
        with _packets_of(path) as (data, failure):
            _print_packets(path, data, args.index, args.verify, failure)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None
    return 0


def _print_packets(path: str, data: bytes | mmap.mmap, index: int | None, verify: bool,
                   failure: CommandError | None) -> None:
    """Prints the trees of the packets in `data`, one after another, then
    raises `failure`, the error that ended reading them, if any."""
    with memoryview(data) as view:
        number, offset = 0, 0
        while offset < len(view) or (number == 0 and failure is None):
            rest = view[offset:]
            try:
                tree = api.info(rest)
            except ValueError as error:
                raise _unreadable(path, number, offset, error) from None
            finally:
                rest.release()  # the traceback must not keep the mapping exported
            size = tree["size"]
            if index is None or index == number:
                several = index is not None or number > 0 or offset + size < len(view) or failure is not None
                print("\n".join(render_tree(tree, f"{path}[{number}]" if several else path)))
                if verify:
                    print(_verify(f"{path}:{_where(number, offset)}", view[offset:offset + size], tree))
            number, offset = number + 1, offset + size
    if failure is not None:
        raise failure
    if index is not None and not 0 <= index < number:
        raise CommandError(f"{path}: no packet {index}; the file holds {number}")


def _unreadable(path: str, number: int, offset: int, error: Exception) -> CommandError:
    return CommandError(f"{path}:{_where(number, offset)} not a readable packet: {error}")


def _where(number: int, offset: int) -> str:
    return f" packet {number} at byte {offset}:" if number else ""


def _verify(where: str, packet: memoryview, tree: dict) -> str:
    try:
        value = api.loads(packet)
    except (ValueError, TypeError, ImportError) as error:
        packet.release()  # nothing views it after a failure; the traceback must not keep the mapping exported
        raise CommandError(f"{where} verification failed: {error}") from None
    loaded_none = value is None
    del value, packet  # decoded arrays view the mapping, which closes after the last packet
    checksums = _count_checksums(tree)
    summary = f"{checksums} {'checksum' if checksums == 1 else 'checksums'} matched" if checksums else \
        "no checksums stored"
    if loaded_none:
        return f"verify: ok, {summary}; holds ragged or inline packets, which load as None"
    return f"verify: ok, decoded fully, {summary}"


def _count_checksums(info: dict) -> int:
    own = 1 if info["integrity_protected"] and info["kind"] not in ("bundle", "sparse", "inline") else 0
    children = info.get("entries") or info.get("components") or {}
    return own + sum(_count_checksums(child) for child in children.values())


@contextlib.contextmanager
def _packets_of(path: str) -> Iterator[tuple[bytes | mmap.mmap, CommandError | None]]:
    """The file's packets as one buffer, and the error that ended reading
    them early, if any. A regular file is mapped with random-access advice,
    so that reading the framing does not pull in the bodies around it;
    anything else (a pipe, a device) is read one packet at a time by the
    bounded stream reader, which stops at the first bytes that are no packet."""
    with open(path, "rb") as handle:
        status = os.fstat(handle.fileno())
        if not stat.S_ISREG(status.st_mode):
            yield _read_stream(path, handle)
        elif status.st_size == 0:
            yield b"", None
        else:
            with mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as mapping:
                if hasattr(mapping, "madvise") and hasattr(mmap, "MADV_RANDOM"):
                    mapping.madvise(mmap.MADV_RANDOM)
                yield mapping, None


def _read_stream(path: str, handle: IO[bytes]) -> tuple[bytes, CommandError | None]:
    packets: list = []
    offset = 0
    while True:
        try:
            packet = streams.read_packet(handle)
        except EOFError:
            return b"".join(packets), None
        except ValueError as error:
            return b"".join(packets), _unreadable(path, len(packets), offset, error)
        packets.append(packet)
        offset += len(packet)


def _run_demo(args: argparse.Namespace) -> int:
    from . import demo  # imports SciPy; only this command needs it

    if args.repeat < 1:
        raise CommandError("--repeat must be at least 1")
    try:
        demo.run(repeat=args.repeat)
    except ImportError as error:
        raise CommandError(f"the demo needs SciPy: {error}") from None
    return 0
