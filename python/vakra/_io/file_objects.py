"""Paths and file objects: what a path may be, and which file objects are
plain files, whose bytes go to a descriptor as they are."""

from __future__ import annotations

import io
import os
from typing import IO, Union

__all__ = ["PathLike", "file_descriptor"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def file_descriptor(handle: IO[bytes]) -> int | None:
    """The descriptor behind a plain binary file, or None.

    Only objects whose bytes go to the descriptor unchanged qualify: wrappers
    such as ``gzip.GzipFile`` also report a descriptor, but transform what is
    written through them.
    """
    buffered = (io.BufferedReader, io.BufferedWriter, io.BufferedRandom)
    raw = handle.raw if isinstance(handle, buffered) else handle
    if not isinstance(raw, io.FileIO):
        return None
    return handle.fileno()
