"""Packets as lists of frames, for transports that send buffers one by one.

``dumps_frames`` returns a packet as a list of buffers whose concatenation is
``dumps`` of the same value; ``loads_frames`` decodes such a list without
joining it, however a transport split or merged the frames on the way.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .. import _native
from .._encoding import convert
from .._model.tree_packet import encoded, tree_of

if TYPE_CHECKING:
    from collections.abc import Iterable

    from _typeshed import ReadableBuffer

__all__ = ["dumps_frames", "loads_frames", "decode_frames"]

_encode_segments = _native.encode_segments
_loads_frames = _native.loads_frames


def dumps_frames(obj: Any, *, check_integrity: bool = False, compress: bool = False, alignment: int = 64) -> list:
    """Encode ``obj`` as one packet given as a list of buffers.

    ``b"".join(dumps_frames(obj, **options)) == dumps(obj, **options)``, byte for
    byte. Uncompressed array bodies are read-only ``memoryview`` objects of the
    arrays' own memory (not copied; they keep the arrays alive), the framing
    between them ``bytes``: an array written before the frames are sent goes out
    as it is then, and may tear. Bodies under ``check_integrity`` are copies
    instead, hashed as copied, so a packet always matches its checksums.

    Parameters
    ----------
    obj : object
        Any value :func:`dumps` takes.
    check_integrity, compress, alignment
        As for :func:`dumps`.

    Returns
    -------
    list of bytes or memoryview
        The packet's bytes, in order.

    Raises
    ------
    TypeError, ValueError
        As :func:`dumps` raises them.

    Examples
    --------
    >>> value = {"x": np.arange(100_000.0)}
    >>> frames = vakra.dumps_frames(value)
    >>> b"".join(frames) == vakra.dumps(value)
    True
    >>> vakra.loads_frames(frames)["x"][-1]
    np.float64(99999.0)
    """
    return encoded(_encode_segments, obj, bool(check_integrity), bool(compress), alignment, convert)


def loads_frames(frames: Iterable[ReadableBuffer], *, writable: bool = False) -> Any:
    """Decode the packet whose bytes are the concatenation of ``frames``.

    The frames are not joined: an uncompressed array whose bytes lie whole
    inside one frame is a view of that frame (which it keeps alive); only
    arrays that straddle a frame boundary are copied, together with the
    packet's small framing bytes. Frames may be split or merged at any point.

    Parameters
    ----------
    frames : iterable of bytes-like
        The packet's bytes in order, however they were cut.
    writable : bool, default False
        Return writable arrays, a quantized tensor's arrays included: views
        where the frame's memory is writable (a ``bytearray``, a writable
        ``memoryview``, shared memory; writes go through to it), copies where it
        is read-only (``bytes``). With ``False`` arrays are read-only, as from
        :func:`loads`.

    Returns
    -------
    object
        The packet's value.

    Raises
    ------
    ValueError, ImportError
        As :func:`loads` raises them.
    TypeError
        When ``frames`` is not an iterable of buffers (one buffer alone goes to
        :func:`loads`).

    Examples
    --------
    >>> packet = vakra.dumps(np.arange(6, dtype=np.int16))
    >>> vakra.loads_frames([packet[:30], packet[30:70], packet[70:]])
    array([0, 1, 2, 3, 4, 5], dtype=int16)
    """
    return tree_of(decode_frames(frames, writable))


def decode_frames(frames: Iterable[ReadableBuffer], writable: bool = False) -> Any:
    """:func:`loads_frames` without rebuilding trees: a tree's bundle comes back as the bundle it is."""
    if isinstance(frames, (bytes, bytearray, memoryview, str)):
        raise TypeError(f"frames must be a list of buffers, not {type(frames).__name__}; "
                        "use vakra.loads for one buffer")
    if not isinstance(frames, (list, tuple)):
        frames = list(frames)
    return _loads_frames(frames, writable)
