import numpy as np
import pytest

from vakra.ragged import StringTensor


def test_items_offsets_and_payload():
    t = StringTensor(["ab", "", "βeta", b"\x00z"])
    assert len(t) == 4
    assert t.offsets.dtype == np.uint64
    assert t.offsets.tolist() == [0, 2, 2, 7, 9]
    assert t.payload == b"ab" + "βeta".encode() + b"\x00z"
    assert t.tolist() == ["ab", "", "βeta", "\x00z"]
    assert list(t) == t.tolist()
    assert t.tolist(as_bytes=True) == [b"ab", b"", "βeta".encode(), b"\x00z"]
    assert list(t.raw) == t.tolist(as_bytes=True)


@pytest.mark.parametrize(
    "index, expected",
    [(0, "a"), (3, "dd"), (-1, "eee"), (-5, "a"), (np.int64(2), "")],
)
def test_indexing(index, expected):
    assert StringTensor(["a", "bb", "", "dd", "eee"])[index] == expected


@pytest.mark.parametrize("index", [5, -6, 2**70])
def test_index_out_of_range(index):
    with pytest.raises(IndexError):
        StringTensor(["a", "bb", "", "dd", "eee"])[index]


@pytest.mark.parametrize(
    "key",
    [slice(1, 4), slice(None, 2), slice(-2, None), slice(4, 1), slice(None, None, 2), slice(None, None, -1), slice(9, 20)],
)
def test_slices_match_list_slices(key):
    items = ["a", "bb", "", "dd", "eee"]
    part = StringTensor(items)[key]
    assert isinstance(part, StringTensor)
    assert part.tolist() == items[key]
    assert part == StringTensor(items[key])
    assert part.offsets[0] == 0 and part.offsets[-1] == len(part.payload)


def test_non_utf8_item_reads_as_bytes_and_fails_as_text():
    t = StringTensor([b"ok", b"\xff\xfe"])
    assert t.raw[1] == b"\xff\xfe"
    assert t[0] == "ok"
    with pytest.raises(UnicodeDecodeError) as info:
        t[1]
    assert "read it as bytes with .raw[1]" in info.value.__notes__[0]


def test_equality_and_hash():
    a = StringTensor(["x", "yz"])
    assert a == StringTensor([b"x", b"yz"])
    assert hash(a) == hash(StringTensor(["x", "yz"]))
    assert a != StringTensor(["xy", "z"])  # same payload, other offsets
    assert a != StringTensor(["x", "yz", ""])
    assert a != ["x", "yz"]
    assert StringTensor() == StringTensor([])


def test_offsets_are_read_only():
    t = StringTensor(["x"])
    with pytest.raises(ValueError):
        t.offsets[1] = 0


@pytest.mark.parametrize("item", [1, None, ["a"]])
def test_constructor_refuses_other_items(item):
    with pytest.raises(TypeError) as info:
        StringTensor(["a", item])
    assert str(info.value) == f"StringTensor items must be str or bytes, got {type(item).__name__} at index 1"


def test_to_raw_gives_little_endian_wire_parts():
    offsets, payload, count = StringTensor(["ab", "c"]).to_raw()
    assert offsets == b"".join(v.to_bytes(8, "little") for v in (0, 2, 3))
    assert (payload, count) == (b"abc", 2)


def test_from_raw_round_trip():
    t = StringTensor._from_raw(np.array([0, 1, 1, 4], dtype=np.uint64), b"abcd", 3)
    assert t.tolist() == ["a", "", "bcd"]
    assert not t.offsets.flags.writeable


@pytest.mark.parametrize(
    "offsets, payload, count, message",
    [
        ([0, 2], b"ab", 2, "StringTensor of 2 items needs 3 offsets, got 2"),
        ([1, 2], b"ab", 1, "StringTensor offsets must start at 0, got 1"),
        ([0, 3, 2], b"ab", 2, "StringTensor offsets must never decrease"),
        ([0, 2, 5], b"ab", 2, "StringTensor offsets end at 5 but the payload holds 2 bytes"),
        ([0, 1], b"ab", 1, "StringTensor offsets end at 1 but the payload holds 2 bytes"),
        ([[0, 2]], b"ab", 1, "StringTensor offsets must be one-dimensional, got shape (1, 2)"),
        ([0], b"", -1, "StringTensor count must not be negative, got -1"),
    ],
)
def test_from_raw_refuses_inconsistent_parts(offsets, payload, count, message):
    with pytest.raises(ValueError) as info:
        StringTensor._from_raw(np.array(offsets, dtype=np.uint64), payload, count)
    assert str(info.value) == message


def test_repr_shows_items_and_truncates():
    assert repr(StringTensor(["a", b"\xff"])) == "StringTensor(['a', b'\\xff'])"
    assert repr(StringTensor(map(str, range(10)))).endswith("'5', ... (10 items)])")
