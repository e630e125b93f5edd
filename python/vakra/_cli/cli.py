"""The ``vakra`` command: ``info [--verify] [--index N] FILE``, ``ls
[--collapse] FILE``, ``verify FILE``, ``convert SOURCE DESTINATION``,
``demo`` and ``--version``.

Bad input (a missing, unreadable or damaged file) ends with one line on
stderr and exit status 1, never a traceback; ``verify`` says 2 for a file
that is no vakra file at all, and 3 (``info --verify`` too) when nothing is
damaged but some value cannot be decoded without an optional library
(SciPy, ml_dtypes).
"""

from __future__ import annotations

import argparse
import contextlib
import mmap
import os
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from importlib.metadata import version
from typing import IO, Any

from .. import _native
from .._convert.converter import convert
from .._convert.formats import FORMATS
from .._io.progress import terminal_progress
from .._facts import DTYPES
from .._io import packets, streams
from .._model._model_record import is_record
from .._model.file_entries import Contents, NotVakra, read_contents
from .listing import entry_lines, printable
from .tree_text import render_tree

__all__ = ["main", "build_parser"]


# The status when nothing is damaged but decoding some value needs a library
# that is not installed.
CANNOT_DECODE = 3


class CommandError(Exception):
    """A failure to report as one line, without a traceback."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vakra", description="Inspect, verify and convert vakra files, and run the demonstration.")
    parser.add_argument("--version", action="version", version=f"vakra {version('vakra')}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser("info", help="print a packet file as a tree, without decoding its bodies",
                               description="Print each packet in FILE as an indented tree: kind, dtype, shape, "
                                           "flags and body size of every nested packet. Bodies are not read. "
                                           "A file of several packets (written by successive dumps) shows "
                                           "them all, labelled FILE[0], FILE[1], ... A model file (vakra.save) "
                                           "is named as one and its entries listed as `vakra ls` lists them.")
    info.add_argument("file", metavar="FILE", help="a file holding one or more packets, or a model file")
    info.add_argument("--index", type=int, metavar="N",
                      help="show only packet N (counting from 0), a model file's packets as stored included")
    info.add_argument("--verify", action="store_true",
                      help="also decode the packets shown and check every stored checksum")
    info.set_defaults(run=_run_info)

    listing = _file_command(commands, "ls", _run_ls, "list the entries of a vakra file, one line each, from "
                            "headers only", "One line per entry of FILE (a model file, one packet or several): name, "
                            "kind, dtype, shape, stored size and flags, read from headers without decoding a body; "
                            "then a total.")
    listing.add_argument("--collapse", action="store_true",
                         help="fold numbered names with equal columns into patterns such as layers.{0..23}.w")
    _file_command(commands, "verify", _run_verify, "decode every entry and check every checksum",
                  "Decode every entry of FILE, checking every checksum and sparse structure. Prints one line per "
                  "damaged entry; exit status 0 when all are sound, 1 when any is damaged, 2 when FILE is not a "
                  "vakra file, 3 when none is damaged but some cannot be decoded without an optional library "
                  "(SciPy for sparse matrices, ml_dtypes for bfloat16; a line names it and the extra to install): "
                  "their checksums are verified all the same. A tensor stored as a raw body (too large for a packet) "
                  "has no checksum: its dtype, shape, offset, length and alignment are checked against the file "
                  "by the record, which is checksummed; its bytes are not checked.")

    converting = commands.add_parser("convert", help="convert .npy, .npz, .safetensors and torch.save files to "
                                                     "vakra files and back",
                                     description="Convert SOURCE into DESTINATION, the formats told by the names: "
                                                 ".vkr (vakra), .npy, .npz, .safetensors (and "
                                                 "*.safetensors.index.json as a source), .pt/.pth/.bin "
                                                 "(torch.save, read with weights_only=True). A vakra file "
                                                 "converts to a vakra file with other options (re-packing). "
                                                 "DESTINATION is replaced atomically.")
    converting.add_argument("source", metavar="SOURCE")
    converting.add_argument("destination", metavar="DESTINATION")
    converting.add_argument("--check-integrity", action="store_true", help="checksum every body (vakra destination)")
    converting.add_argument("--compress", action="store_true", help="store bodies as LZ4 frames (vakra destination)")
    converting.add_argument("--alignment", type=int, default=64, metavar="N",
                            help="align bodies to N bytes, a power of two (vakra destination; default: 64)")
    converting.add_argument("--no-sync", dest="durable", action="store_false",
                            help="do not sync DESTINATION to disk before it replaces the old file (faster; a crash "
                                 "soon after may lose it)")
    converting.add_argument("--allow-expanded", action="store_true",
                            help="write out torch tensors that are expanded or overlapping views of a smaller "
                                 "storage (refused by default: they can make a small file a huge one)")
    converting.add_argument("--no-clobber", action="store_true",
                            help="refuse to replace DESTINATION when it exists (checked before anything is read)")
    converting.set_defaults(run=_run_convert)

    demo = commands.add_parser("demo", help="encode a realistic bundle, load it back and compare with "
                                            "pickle and numpy.savez",
                               description="Build a bundle (weights, a CSR adjacency matrix, labels, a qint8 "
                                           "copy of the weights), write it to a temporary file, load it back "
                                           "memory-mapped, print its tree and a timing table.")
    demo.add_argument("--repeat", type=int, default=5, metavar="N",
                      help="runs per timing; the best is reported (default: 5)")
    demo.set_defaults(run=_run_demo)
    return parser


def _file_command(commands: argparse._SubParsersAction, name: str, run: Callable[[argparse.Namespace], int],
                  summary: str, description: str) -> argparse.ArgumentParser:
    """A command that takes one vakra FILE."""
    parser = commands.add_parser(name, help=summary, description=description)
    parser.add_argument("file", metavar="FILE")
    parser.set_defaults(run=run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status = args.run(args)
        sys.stdout.flush()  # output still buffered meets a reader that went away here, not at exit
        return status
    except CommandError as error:
        print(f"vakra: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of our output went away (``vakra info FILE | head``):
        # stop quietly with status 1, as Python's own recipe does, and point
        # stdout at /dev/null so the interpreter's final flush cannot raise.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


@contextlib.contextmanager
def _reading(path: str) -> Iterator[None]:
    """Turns an OSError into the one-line "cannot read" failure, except a
    broken pipe, which is never a reading error: the reader of our output
    went away, and main stops quietly."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None


def _run_info(args: argparse.Namespace) -> int:
    path = args.file
    with _reading(path), _packets_of(path) as (data, failure), memoryview(data) as view:
        if args.index is None and _is_model_file(view):
            return _print_model_file(path, view, args.verify)
        return _print_packets(path, view, args.index, args.verify, failure)


def _is_model_file(view: memoryview) -> bool:
    try:
        return is_record(_native.walk(view))
    except ValueError:
        return False


def _print_model_file(path: str, view: memoryview, verify: bool) -> int:
    """A model file's entries as `ls` lists them, under a line saying what
    the file is; with `verify`, what `verify` says of them."""
    contents = read_contents(view, path)
    try:
        count = len(contents.entries) + len(contents.damaged)
        print(f"{path}: model file of {count} {'entry' if count == 1 else 'entries'} (vakra.save; "
              "`vakra info --index N` shows its packets as stored)")
        status = _print_listing(contents, False)
        if verify:
            lines, verified = _verified(path, contents)
            print("\n".join(lines))
            status = status or verified
        return status
    finally:
        contents.release()


def _print_packets(path: str, view: memoryview, index: int | None, verify: bool,
                   failure: CommandError | None) -> int:
    """Prints the trees of the packets in `view`, one after another, then
    raises `failure`, the error that ended reading them, if any. The status:
    3 when a packet verified cannot be decoded without an optional library."""
    status = 0
    number, offset = 0, 0
    while offset < len(view) or (number == 0 and failure is None):
        rest = view[offset:]
        try:
            tree = streams.info(rest)
        except ValueError as error:
            raise _unreadable(path, number, offset, error) from None
        finally:
            rest.release()  # the traceback must not keep the mapping exported
        size = tree["size"]
        if index is None or index == number:
            several = index is not None or number > 0 or offset + size < len(view) or failure is not None
            print("\n".join(render_tree(tree, f"{path}[{number}]" if several else path)))
            if verify:
                line, verified = _verify(f"{path}:{_where(number, offset)}", view[offset:offset + size], tree)
                status = status or verified
                print(line)
        number, offset = number + 1, offset + size
    if failure is not None:
        raise failure
    if index is not None and not 0 <= index < number:
        raise CommandError(f"{path}: no packet {index}; the file holds {number}")
    return status


def _unreadable(path: str, number: int, offset: int, error: Exception) -> CommandError:
    return CommandError(f"{path}:{_where(number, offset)} not a readable packet: {error}")


def _where(number: int, offset: int) -> str:
    return f" packet {number} at byte {offset}:" if number else ""


def _verify(where: str, packet: memoryview, tree: dict) -> tuple[str, int]:
    """The verify line of one packet and its status (CANNOT_DECODE or 0);
    CommandError for a damaged packet."""
    try:
        value = packets.loads(packet)
    except ImportError:
        packet.release()
        return f"verify: checks passed, but {_needs(tree)}", CANNOT_DECODE
    except (ValueError, TypeError) as error:
        packet.release()  # nothing views it after a failure; the traceback must not keep the mapping exported
        raise CommandError(f"{where} verification failed: {error}") from None
    loaded_none = value is None
    del value, packet  # decoded arrays view the mapping, which closes after the last packet
    checksums = _count_checksums(tree)
    summary = f"{checksums} {'checksum' if checksums == 1 else 'checksums'} matched" if checksums else \
        "no checksums stored"
    if loaded_none:
        return f"verify: ok, {summary}; holds ragged or inline packets, which load as None", 0
    return f"verify: ok, decoded fully, {summary}", 0


def _count_checksums(info: dict) -> int:
    own = 1 if info["integrity_protected"] and info["kind"] not in ("bundle", "sparse", "inline") else 0
    children = info.get("entries") or info.get("components") or {}
    return own + sum(_count_checksums(child) for child in children.values())


@contextlib.contextmanager
def _packets_of(path: str) -> Iterator[tuple[Any, CommandError | None]]:
    """The file's packets as one buffer, and the error that ended reading
    them early, if any. A regular file is mapped with random-access advice,
    so that reading the framing does not pull in the bodies around it (the
    mapping holds no descriptor); anything else (a pipe, a device) is read
    one packet at a time by the bounded stream reader, which stops at the
    first bytes that are no packet."""
    data = _native.open_file(path, False, 0, getattr(mmap, "MADV_RANDOM", -1))
    if type(data) is int:
        with streams.opened_stream(data, path) as handle:
            yield _read_stream(path, handle)
    else:
        yield data, None


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


@contextlib.contextmanager
def _contents_of(path: str) -> Iterator[Contents]:
    """The entries of the vakra file at `path` (NotVakra when it is none,
    CommandError when it cannot be read)."""
    with _reading(path), _packets_of(path) as (data, failure), memoryview(data) as view:
        contents = read_contents(view, path)
        if failure is not None and contents.failure is None:
            contents.failure = str(failure)  # a pipe's reader stopped at bytes that are no packet
        try:
            yield contents
        finally:
            contents.release()


def _run_ls(args: argparse.Namespace) -> int:
    described = _foreign_contents(args.file)
    if described is not None:
        print("\n".join(entry_lines(described, args.collapse)))
        return 0
    try:
        with _contents_of(args.file) as contents:
            return _print_listing(contents, args.collapse)
    except NotVakra as error:
        raise CommandError(str(error)) from None


def _foreign_contents(path: str) -> Contents | None:
    """What a file of a format the converter reads and describes (GGUF)
    holds, by its name; None for any other file."""
    name = os.path.basename(path).lower()
    for file_format in FORMATS:
        if file_format.describe is not None and name.endswith(file_format.suffixes):
            with _reading(path):
                try:
                    return file_format.describe(path)
                except (ValueError, ImportError) as error:
                    raise CommandError(str(error)) from None
    return None
def _print_listing(contents: Contents, collapse: bool) -> int:
    """Prints the entries, one line each; 1 when any is damaged."""
    if contents.entries or contents.damaged or contents.failure is None:
        print("\n".join(entry_lines(contents, collapse)))
    if contents.failure is not None:
        raise CommandError(contents.failure)
    return 1 if contents.damaged else 0


def _run_verify(args: argparse.Namespace) -> int:
    try:
        with _contents_of(args.file) as contents:
            lines, status = _verified(args.file, contents)
    except (NotVakra, CommandError) as error:
        print(f"vakra: {error}", file=sys.stderr)
        return 2
    print("\n".join(lines))
    return status


def _verified(path: str, contents: Contents) -> tuple[list[str], int]:
    """What verify prints of `contents`, the entries of `path`, and its status."""
    damaged = [f"{printable(name)}: {why}" for name, why in contents.damaged]
    undecodable: list[str] = []
    checksums = 0
    for entry in contents.entries:
        if entry.tied is None and not entry.facts.get("body"):  # a body's checks are the record's
            checksums += _count_checksums(entry.facts)
            more_damaged, more_undecodable = _problems(entry.name, entry.packet, entry.facts)
            damaged += more_damaged
            undecodable += more_undecodable
    if contents.failure is not None:
        damaged.append(contents.failure)
    if damaged:
        return damaged + undecodable + [f"{path}: {len(damaged)} damaged"], 1
    count = len(contents.entries) + len(contents.damaged)
    checks = f"{checksums} {'checksum' if checksums == 1 else 'checksums'} matched"
    if undecodable:
        return undecodable + [f"{path}: none of {count} {'entry' if count == 1 else 'entries'} damaged, {checks}; "
                              f"{len(undecodable)} not decoded: a library is missing"], CANNOT_DECODE
    return [f"{path}: {count} {'entry' if count == 1 else 'entries'} sound, {checks}"], 0


def _problems(name: str, packet: memoryview, facts: dict) -> tuple[list[str], list[str]]:
    """Lines for the damaged values in `packet` (the deepest dict entries
    that fail to decode, or the packet itself), and for the values that pass
    every check but cannot be decoded here for want of an optional library."""
    try:
        packets.loads(packet)
        return [], []
    except ImportError:
        failure = None
    except (ValueError, TypeError) as error:  # TypeError: SciPy refusing a damaged matrix
        failure = str(error)
    damaged: list[str] = []
    undecodable: list[str] = []
    for key, child in (facts.get("entries") or {}).items():
        start = child["offset"] - facts["offset"]  # offsets count from the packet first walked
        more_damaged, more_undecodable = _problems(f"{name}/{key}", packet[start:start + child["size"]], child)
        damaged += more_damaged
        undecodable += more_undecodable
    if failure is not None and not damaged:
        damaged = [f"{printable(name)}: {failure}"]
    elif failure is None and not damaged and not undecodable:
        undecodable = [f"{printable(name)}: {_needs(facts)}"]
    return damaged, undecodable


def _needs(facts: dict) -> str:
    """Why a packet whose checks pass did not decode: the libraries its kinds
    and element types need, and the extras that install them."""
    missing = []
    if _any_part(facts, lambda part: part["kind"] == "sparse"):
        missing.append("SciPy (pip install 'vakra[sparse]')")
    if _any_part(facts, lambda part: part["dtype"] in DTYPES and DTYPES[part["dtype"]].needs_ml_dtypes):
        missing.append("ml_dtypes (pip install 'vakra[bfloat16]')")
    return "cannot decode without " + (" or ".join(missing) or "a library that is not installed")


def _any_part(facts: dict, test: Callable[[dict], bool]) -> bool:
    children = facts.get("entries") or facts.get("components") or {}
    return test(facts) or any(_any_part(child, test) for child in children.values())


def _run_convert(args: argparse.Namespace) -> int:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            convert(args.source, args.destination, check_integrity=args.check_integrity, compress=args.compress,
                    alignment=args.alignment, durable=args.durable, allow_expanded=args.allow_expanded,
                    no_clobber=args.no_clobber, progress=terminal_progress(f"vakra: converting {args.source}"))
        except (ValueError, TypeError, ImportError) as error:
            raise CommandError(str(error)) from None
        except OSError as error:
            raise CommandError(f"{error.filename or args.source}: {error.strerror or error}") from None
    for warning in caught:
        print(f"vakra: warning: {warning.message}", file=sys.stderr)
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    from . import demo  # imports SciPy; only this command needs it

    if args.repeat < 1:
        raise CommandError("--repeat must be at least 1")
    try:
        demo.run(repeat=args.repeat)
    except ImportError as error:
        raise CommandError(f"the demo needs SciPy: {error}") from None
    return 0
