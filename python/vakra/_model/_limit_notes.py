"""Notes that say which entry a value failed to encode at, and where it broke
a limit of the format which one, for the values ``vakra.save`` walks itself
(the extension adds the same notes for dicts it encodes). The exception
keeps the codec's text; the note (PEP 678) names the entry's path, first
among the exception's notes, and the limit."""

from __future__ import annotations

__all__ = ["note_failed_entry", "child_length_limit", "too_many_entries", "too_deep"]

_LIMITS = {
    "Packet exceeds maximum elements": "an array holds at most 1,000,000,000 elements",
    "Packet exceeds maximum dimensions": "an array has at most 32 dimensions",
}
_ENTRIES_LIMIT = "a dict holds at most 255 entries"
_DEPTH_LIMIT = "values nest at most 64 levels deep"


def note_failed_entry(error: BaseException, path: tuple, limit: str | None = None) -> None:
    """Adds the note naming `path` to `error`: the limit it broke (`limit`,
    or the one its text stands for), or else that the value there cannot be
    encoded."""
    limit = limit or _LIMITS.get(str(error))
    where = "".join(f"[{key!r}]" for key in path)
    note = f"vakra: the value at {where} " + (f"is over a limit of the format: {limit}" if limit else
                                              "cannot be encoded")
    error.__notes__ = [note, *getattr(error, "__notes__", ())]


def child_length_limit(length: int) -> str:
    return f"a packet inside a dict is shorter than 4 GiB (its length travels as a u32); this one is {length} bytes"


def too_many_entries(count: int, path: tuple) -> ValueError:
    error = ValueError(f"Bundle has {count} entries; the wire format encodes the entry count in a single byte, so at "
                       "most 255 entries are supported")
    note_failed_entry(error, path, _ENTRIES_LIMIT)
    return error


def too_deep(path: tuple, depth: int) -> ValueError:
    error = ValueError(f"Nesting too deep: values may be nested at most {depth} levels below the top-level value")
    note_failed_entry(error, path, _DEPTH_LIMIT)
    return error
