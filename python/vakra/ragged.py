"""String tensors: a one-dimensional sequence of variable-length strings.

A :class:`StringTensor` stores its items the way they travel on the wire:
one ``payload`` holding every item back to back and an ``offsets`` table of
``len + 1`` byte positions, item ``i`` being ``payload[offsets[i]:offsets[i + 1]]``.
"""

from __future__ import annotations

import pickle
from collections.abc import Iterable, Iterator, Sequence

import numpy as np

from ._native import string_items as _string_items

__all__ = ["StringTensor"]


class StringTensor(Sequence):
    """An immutable sequence of strings stored as offsets plus one payload.

    Items come back as ``str``: ``t[i]``, iteration and :meth:`tolist` decode
    each item as UTF-8 and raise ``UnicodeDecodeError`` for one that is not
    UTF-8 text. The same items as ``bytes``, whatever they hold, are reached
    through :attr:`raw` (``t.raw[i]``, ``list(t.raw)``) or
    ``t.tolist(as_bytes=True)``. Slicing gives a new ``StringTensor``. Two
    tensors are equal when they hold the same items in the same order.

    Parameters
    ----------
    items : iterable of str or bytes-like, optional
        ``str`` items are stored as UTF-8, bytes-like ones as they are.

    Raises
    ------
    TypeError
        For an item that is neither ``str`` nor bytes-like, naming its index.

    Examples
    --------
    >>> t = vakra.StringTensor(["alpha", "βeta", b"\\x00raw"])
    >>> len(t), t[1], t.raw[2]
    (3, 'βeta', b'\\x00raw')
    >>> t[:2]
    StringTensor(['alpha', 'βeta'])
    >>> vakra.loads(vakra.dumps(t)) == t
    True
    """

    __slots__ = ("_offsets", "_payload")

    def __init__(self, items: Iterable[str | bytes] = ()):
        items = items if isinstance(items, (list, tuple)) else list(items)
        try:
            encoded = list(map(str.encode, items))  # the common all-str case, at C speed
        except TypeError:
            encoded = [_item_bytes(item, index) for index, item in enumerate(items)]
        offsets = np.zeros(len(encoded) + 1, dtype=np.uint64)
        lengths = np.fromiter(map(len, encoded), dtype=np.uint64, count=len(encoded))
        np.cumsum(lengths, out=offsets[1:])
        offsets.setflags(write=False)
        self._offsets = offsets
        self._payload = b"".join(encoded)

    @classmethod
    def _from_raw(cls, offsets, payload: bytes, count: int) -> StringTensor:
        """Wraps a decoded offsets table and payload without copying the payload.

        ``offsets`` must hold ``count + 1`` unsigned byte positions starting at
        0, never decreasing and ending at ``len(payload)``; anything else is a
        ValueError. A uint64 ndarray is adopted as it is and made read-only.
        """
        if isinstance(payload, (bytearray, memoryview)):
            payload = bytes(payload)
        if not isinstance(payload, bytes):
            raise TypeError(f"StringTensor payload must be bytes, not {type(payload).__name__}")
        count = _index(count, "count")
        if count < 0:
            raise ValueError(f"StringTensor count must not be negative, got {count}")
        table = offsets if isinstance(offsets, np.ndarray) and offsets.dtype == np.uint64 else None
        if table is None:
            try:
                table = np.asarray(offsets, dtype=np.uint64)
            except (TypeError, ValueError, OverflowError) as exc:
                raise ValueError(f"StringTensor offsets must be unsigned integers: {exc}") from exc
        if table.ndim != 1:
            raise ValueError(f"StringTensor offsets must be one-dimensional, got shape {table.shape}")
        table = np.ascontiguousarray(table)  # items are read from it as one run
        if len(table) != count + 1:
            raise ValueError(f"StringTensor of {count} items needs {count + 1} offsets, got {len(table)}")
        if table[0] != 0:
            raise ValueError(f"StringTensor offsets must start at 0, got {int(table[0])}")
        if count and bool(np.any(table[1:] < table[:-1])):
            raise ValueError("StringTensor offsets must never decrease")
        if table[-1] != len(payload):
            raise ValueError(
                f"StringTensor offsets end at {int(table[-1])} but the payload holds {len(payload)} bytes"
            )
        if table.flags.writeable:
            table.setflags(write=False)
        self = cls.__new__(cls)
        self._offsets = table
        self._payload = payload
        return self

    @property
    def offsets(self) -> np.ndarray:
        """The ``len + 1`` byte positions into :attr:`payload`.

        Returns
        -------
        numpy.ndarray
            A read-only uint64 array: item ``i`` is ``payload[offsets[i]:offsets[i + 1]]``.

        Examples
        --------
        >>> vakra.StringTensor(["ab", "", "c"]).offsets
        array([0, 2, 2, 3], dtype=uint64)
        """
        return self._offsets

    @property
    def payload(self) -> bytes:
        """Every item's bytes, back to back.

        Returns
        -------
        bytes
            The payload.

        Examples
        --------
        >>> vakra.StringTensor(["ab", "", "c"]).payload
        b'abc'
        """
        return self._payload

    @property
    def raw(self) -> _RawItems:
        """The items as ``bytes``: a sequence indexed like the tensor itself.

        Returns
        -------
        Sequence of bytes
            A view of the tensor's items, not decoded.

        Examples
        --------
        >>> list(vakra.StringTensor(["é", b"\\xff"]).raw)
        [b'\\xc3\\xa9', b'\\xff']
        """
        return _RawItems(self)

    def to_raw(self) -> tuple[bytes, bytes, int]:
        """The wire parts of the tensor.

        Returns
        -------
        offsets : bytes
            The offsets as little-endian u64 values.
        payload : bytes
            Every item's bytes, back to back.
        count : int
            The number of items.

        Examples
        --------
        >>> offsets, payload, count = vakra.StringTensor(["ab", "c"]).to_raw()
        >>> len(offsets), payload, count
        (24, b'abc', 2)
        """
        return self._offsets.astype("<u8", copy=False).tobytes(), self._payload, len(self)

    def tolist(self, as_bytes: bool = False) -> list:
        """The items as a list.

        Parameters
        ----------
        as_bytes : bool, default False
            Give ``bytes`` items, not decoded.

        Returns
        -------
        list of str or bytes
            Every item, in order.

        Raises
        ------
        UnicodeDecodeError
            Without ``as_bytes``, for an item that is not UTF-8 text, naming it.

        Examples
        --------
        >>> t = vakra.StringTensor(["cat", "émeu"])
        >>> t.tolist(), t.tolist(as_bytes=True)
        (['cat', 'émeu'], [b'cat', b'\\xc3\\xa9meu'])
        """
        if as_bytes:
            return self._item_bytes_list()
        try:
            return _string_items(self._offsets, self._payload, True)
        except UnicodeDecodeError:
            return list(self._decoded_items())  # raises again, naming the item

    def __len__(self) -> int:
        return len(self._offsets) - 1

    def __getitem__(self, index):
        if isinstance(index, slice):
            return self._slice(index)
        return _decode(self._bytes_at(index), index)

    def __iter__(self) -> Iterator[str]:
        try:
            return iter(_string_items(self._offsets, self._payload, True))
        except UnicodeDecodeError:
            return self._decoded_items()  # raises when it reaches the item that is not UTF-8

    def __eq__(self, other):
        if not isinstance(other, StringTensor):
            return NotImplemented
        return self._payload == other._payload and np.array_equal(self._offsets, other._offsets)

    def __hash__(self):
        return hash((self._payload, self._offsets.tobytes()))

    def __reduce_ex__(self, protocol):
        offsets = np.ascontiguousarray(self._offsets, dtype="<u8")
        if protocol >= 5:  # both parts as buffers, which a buffer_callback may carry out of band
            return _from_buffers, (pickle.PickleBuffer(offsets), pickle.PickleBuffer(self._payload), len(self))
        return _from_buffers, (offsets.tobytes(), self._payload, len(self))

    def __repr__(self) -> str:
        shown = 6
        items = self.raw[:shown]
        texts = [_repr_item(item) for item in items]
        if len(self) > shown:
            texts.append(f"... ({len(self)} items)")
        return f"StringTensor([{', '.join(texts)}])"

    def _item_bytes_list(self) -> list[bytes]:
        return _string_items(self._offsets, self._payload, False)

    def _decoded_items(self) -> Iterator[str]:
        for index, item in enumerate(self._item_bytes_list()):
            yield _decode(item, index)

    def _bytes_at(self, index) -> bytes:
        position = _index(index, "index")
        length = len(self)
        if position < 0:
            position += length
        if not 0 <= position < length:
            raise IndexError(f"StringTensor index {index} out of range for {length} items")
        start, end = int(self._offsets[position]), int(self._offsets[position + 1])
        return self._payload[start:end]

    def _slice(self, index: slice) -> StringTensor:
        start, stop, step = index.indices(len(self))
        if step != 1:
            return StringTensor(self._bytes_at(i) for i in range(start, stop, step))
        stop = max(start, stop)
        base = self._offsets[start]
        offsets = self._offsets[start : stop + 1] - base
        payload = self._payload[int(base) : int(self._offsets[stop])]
        return StringTensor._from_raw(offsets, payload, stop - start)


class _RawItems(Sequence):
    """The items of a StringTensor as ``bytes``."""

    __slots__ = ("_tensor",)

    def __init__(self, tensor: StringTensor):
        self._tensor = tensor

    def __len__(self) -> int:
        return len(self._tensor)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return self._tensor._slice(index).tolist(as_bytes=True)
        return self._tensor._bytes_at(index)

    def __iter__(self) -> Iterator[bytes]:
        return iter(self._tensor._item_bytes_list())

    def __repr__(self) -> str:
        return f"{self._tensor!r}.raw"


def _from_buffers(offsets, payload, count: int) -> StringTensor:
    """Unpickles a StringTensor: the offsets are viewed in place, the payload
    is adopted when it is a whole bytes object and copied into one otherwise."""
    view = payload.raw() if isinstance(payload, pickle.PickleBuffer) else memoryview(payload)
    if type(view.obj) is not bytes or view.nbytes != len(view.obj):
        return StringTensor._from_raw(np.frombuffer(offsets, dtype="<u8"), view.tobytes(), count)
    return StringTensor._from_raw(np.frombuffer(offsets, dtype="<u8"), view.obj, count)


def _item_bytes(item, index: int) -> bytes:
    if isinstance(item, str):
        return item.encode("utf-8")
    if isinstance(item, (bytes, bytearray, memoryview)):
        return bytes(item)
    raise TypeError(f"StringTensor items must be str or bytes, got {type(item).__name__} at index {index}")


def _decode(item: bytes, index) -> str:
    try:
        return item.decode("utf-8")
    except UnicodeDecodeError as exc:
        exc.add_note(f"item {index} is not UTF-8 text; read it as bytes with .raw[{index}]")
        raise


def _repr_item(item: bytes) -> str:
    try:
        return repr(item.decode("utf-8"))
    except UnicodeDecodeError:
        return repr(item)


def _index(value, what: str) -> int:
    try:
        return value.__index__()
    except AttributeError:
        raise TypeError(f"StringTensor {what} must be an integer, not {type(value).__name__}") from None
