"""StringTensor as users hold it: items, slices, the raw wire parts, items that are not UTF-8."""

import numpy as np
import pytest

from vakra.ragged import StringTensor

ITEMS = ["a", "bb", "", "dd", "βeta"]


def test_items_offsets_and_wire_parts():
    t = StringTensor(["ab", "", "βeta", b"\x00z"])
    assert t.offsets.dtype == np.uint64 and t.offsets.tolist() == [0, 2, 2, 7, 9] and not t.offsets.flags.writeable
    assert list(t) == t.tolist() == ["ab", "", "βeta", "\x00z"]
    assert list(t.raw) == t.tolist(as_bytes=True) == [b"ab", b"", "βeta".encode(), b"\x00z"]
    assert t != StringTensor(["a", "b", "βeta", b"\x00z"]) and t == StringTensor(t.tolist())


@pytest.mark.parametrize(
    "key", [0, -1, -5, np.int64(3), 5, -6, slice(1, 4), slice(4, 1), slice(None, None, 2), slice(None, None, -1)]
)
def test_indexing_and_slicing_match_a_list(key):
    t = StringTensor(ITEMS)
    if isinstance(key, slice):
        assert t[key] == StringTensor(ITEMS[key]) and t[key].offsets[-1] == len(t[key].payload)
    elif -5 <= key < 5:
        assert t[key] == ITEMS[key] and t.raw[key] == ITEMS[key].encode()
    else:
        with pytest.raises(IndexError):
            t[key]


@pytest.mark.parametrize("read", [lambda t: t[1], list, StringTensor.tolist], ids=["index", "iterate", "tolist"])
def test_non_utf8_item_reads_as_bytes_and_fails_as_text(read):
    t = StringTensor([b"ok", b"\xff\xfe"])
    assert t[0] == "ok" and t.raw[1] == b"\xff\xfe" and t.tolist(as_bytes=True) == [b"ok", b"\xff\xfe"]
    with pytest.raises(UnicodeDecodeError) as info:
        read(t)
    assert "read it as bytes with .raw[1]" in info.value.__notes__[0]
