"""Dicts become bundles and SciPy sparse matrices become sparse packets."""

import struct

import numpy as np
import pytest

from vakra import vakra_rs

scipy_sparse = pytest.importorskip("scipy.sparse")


def bundle_entries(packet):
    """(key, entry packet) pairs of a bundle, read straight off the wire."""
    position, entries = 10, []
    for _ in range(packet[8]):
        (key_len,) = struct.unpack_from("<I", packet, position)
        key = packet[position + 4:position + 4 + key_len].decode()
        (packet_len,) = struct.unpack_from("<I", packet, position + 4 + key_len)
        position += 8 + key_len
        entries.append((key, packet[position:position + packet_len]))
        position += packet_len
    assert position == len(packet)
    return entries


def test_entries_are_framed_in_dict_order_with_their_own_packets():
    assert vakra_rs.dumps_rs({}) == b"VKRA\x04\x10\x00\x00\x00\x00"
    values = {"z": np.arange(3, dtype=np.int8), "": np.zeros((2, 2)), "ключ": np.ones(1, np.float16)}
    entries = bundle_entries(vakra_rs.dumps_rs(values, check_integrity=True))
    assert entries == [(key, vakra_rs.dumps_rs(value, check_integrity=True)) for key, value in values.items()]


def test_options_reach_the_bottom_of_nested_dicts():
    array = np.arange(1000, dtype=np.int32) // 10
    packet = vakra_rs.dumps_rs({"a": {"b": array}}, compress=True, check_integrity=True, alignment=16)
    (_, inner), = bundle_entries(packet)
    (_, leaf), = bundle_entries(inner)
    assert leaf == vakra_rs.dumps_rs(array, compress=True, check_integrity=True, alignment=16)


def test_dict_subclass_is_walked_on_its_storage():
    class Odd(dict):
        def items(self):
            raise AssertionError("not used")

        __iter__ = items

    assert [key for key, _ in bundle_entries(vakra_rs.dumps_rs(Odd(a=np.zeros(1))))] == ["a"]


def test_255_entries_encode_and_256_are_refused_before_encoding():
    assert vakra_rs.dumps_rs({str(i): np.zeros(1, np.int8) for i in range(255)})[8] == 255
    poisoned = {str(i): np.zeros(1, np.int8) for i in range(255)}
    poisoned["bad"] = [1]  # would raise AttributeError if anything were encoded
    with pytest.raises(ValueError) as caught:
        vakra_rs.dumps_rs(poisoned)
    assert str(caught.value) == ("Bundle has 256 entries; the wire format encodes the entry count in a single byte, "
                                 "so at most 255 entries are supported")


class Meddler(np.ndarray):
    """An array whose sparse-format probe changes the dict being encoded."""

    @property
    def format(self):
        self.change(self.target)
        raise AttributeError("format")


def meddling(change):
    target = {"a": np.zeros(1)}
    target["b"] = meddler = np.zeros(2).view(Meddler)
    meddler.target, meddler.change = target, change
    return target


def self_containing():
    loop = {"a": np.zeros(1)}
    loop["self"] = loop
    return loop


def nested(depth, leaf):
    return leaf if depth == 0 else {"n": nested(depth - 1, leaf)}


@pytest.mark.parametrize("value, kind, message", [
    ({1: np.zeros(1)}, TypeError, "^'int' object cannot be converted to 'PyString'$"),
    ({"a": [1, 2]}, AttributeError, None),
    ({"a": np.zeros(1), "b": np.zeros(2, dtype=object)}, ValueError, "^Unsupported dtype: object$"),
    ({"\ud800": np.zeros(1)}, UnicodeEncodeError, None),
    (meddling(lambda d: d.__setitem__("new", np.zeros(1))), RuntimeError, "^dictionary changed size during iteration$"),
    (meddling(lambda d: (d.pop("a"), d.__setitem__("c", np.zeros(1)))), RuntimeError,
     "^dictionary keys changed during iteration$"),
    (self_containing(), ValueError, "contains itself"),
    (nested(65, {}), ValueError, "Nesting too deep"),
    (nested(65, np.zeros(1)), ValueError, "Nesting too deep"),
    (nested(64, scipy_sparse.eye(2, format="csr")), ValueError, "Nesting too deep"),
])
def test_dicts_that_cannot_be_encoded(value, kind, message):
    with pytest.raises(kind, match=message):
        vakra_rs.dumps_rs(value)


def test_nesting_limit_keeps_every_packet_decodable():
    assert vakra_rs.loads_rs(vakra_rs.dumps_rs(nested(64, {}))) == nested(64, {})
    deepest_array = vakra_rs.loads_rs(vakra_rs.dumps_rs(nested(64, np.arange(2))))
    for _ in range(64):
        deepest_array = deepest_array["n"]
    np.testing.assert_array_equal(deepest_array, np.arange(2))


def test_csr_worked_example():
    matrix = scipy_sparse.csr_matrix((np.array([1.0, 2.0]), np.array([0, 2], np.int32),
                                      np.array([0, 1, 2], np.int32)), shape=(2, 3))
    packet = vakra_rs.dumps_rs(matrix)
    assert len(packet) == 258 and packet[:18] == b"VKRA\x04\x20\x00\x00\x02\x00" + struct.pack("<II", 2, 3)
    position = 18
    for component in (matrix.data, matrix.indices, matrix.indptr):
        (length,) = struct.unpack_from("<I", packet, position)
        assert packet[position + 4:position + 4 + length] == vakra_rs.dumps_rs(component)
        position += 4 + length
    assert position == 258


@pytest.mark.parametrize("make", [scipy_sparse.coo_matrix, scipy_sparse.csr_matrix, scipy_sparse.csc_matrix,
                                  scipy_sparse.coo_array, scipy_sparse.csr_array, scipy_sparse.csc_array])
def test_sparse_round_trip_ignores_the_options(make):
    dense = np.array([[0, 1.5, 0, 0], [2.5, 0, 0, -1], [0, 0, 0, 3]])
    matrix = make(dense)
    packet = vakra_rs.dumps_rs(matrix)
    assert vakra_rs.dumps_rs(matrix, check_integrity=True, compress=True, alignment=8) == packet
    decoded = vakra_rs.loads_rs(packet)
    assert decoded.format == matrix.format and decoded.shape == (3, 4)
    np.testing.assert_array_equal(decoded.toarray(), dense)


def test_non_contiguous_coo_row_is_made_contiguous():
    base = scipy_sparse.coo_matrix(np.eye(4))
    strided = scipy_sparse.coo_matrix((base.data, (np.repeat(base.row, 2)[::2], base.col)), shape=(4, 4))
    assert not strided.row.flags.c_contiguous
    assert vakra_rs.dumps_rs(strided) == vakra_rs.dumps_rs(base)


class NotSparse:
    format = 3


@pytest.mark.parametrize("value, kind, message", [
    *[(scipy_sparse.eye(3, format=fmt), ValueError, "^Unknown sparse format$") for fmt in ["bsr", "dia", "dok", "lil"]],
    (NotSparse(), AttributeError, "dtype"),  # a format that is not a str means dense
])
def test_other_scipy_formats_are_unknown(value, kind, message):
    with pytest.raises(kind, match=message):
        vakra_rs.dumps_rs(value)


def test_dump_to_buffer_for_containers_matches_dumps():
    value = {"m": scipy_sparse.csr_matrix(np.eye(3)), "a": np.arange(4)}
    expected = vakra_rs.dumps_rs(value)
    buffer = bytearray(len(expected))
    assert vakra_rs.dump_to_buffer_rs(value, buffer) == len(expected) and buffer == expected
    short = bytearray(b"\xAA" * (len(expected) - 1))
    with pytest.raises(ValueError, match="^Buffer too small$"):
        vakra_rs.dump_to_buffer_rs(value, short)
    assert short == b"\xAA" * (len(expected) - 1)


@pytest.mark.parametrize("options", [{"compress": True}, {"compress": True, "check_integrity": True}])
def test_compressed_arrays_nested_in_dicts_read_back(options):
    array = np.arange(10_000, dtype=np.float64) % 13
    decoded = vakra_rs.loads_rs(vakra_rs.dumps_rs({"x": array, "y": {"z": array}}, **options))
    np.testing.assert_array_equal(decoded["x"], array)
    np.testing.assert_array_equal(decoded["y"]["z"], array)
    assert decoded["x"].flags.writeable
