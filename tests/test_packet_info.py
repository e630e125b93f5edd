"""get_packet_info_rs: header facts without decoding bodies."""

import struct

import numpy as np
import pytest

from vakra import vakra_rs


def v4_header(flags, dtype_code, ndim, *dims):
    return b"VKRA" + struct.pack("<BHBBB", 4, flags, dtype_code, ndim, 0) + struct.pack(f"<{len(dims)}I", *dims)


def test_dense_and_bundle_info_in_key_order():
    packet = bytearray(vakra_rs.dumps_rs(np.zeros((2, 3), np.float32), check_integrity=True))
    packet[70] ^= 0xFF  # the body and checksum are never examined
    packet[-1] ^= 0xFF
    info = vakra_rs.get_packet_info_rs(packet)
    assert list(info.items()) == [("version", 4), ("flags", 3), ("dtype_code", 1), ("ndim", 2), ("aligned", True),
                                  ("integrity_protected", True), ("total_elements", 6), ("shape", (2, 3))]
    info = vakra_rs.get_packet_info_rs(vakra_rs.dumps_rs({k: np.zeros(1, np.int8) for k in "abc"}))
    assert list(info) == ["version", "flags", "dtype_code", "ndim", "aligned", "integrity_protected",
                          "entry_count", "shape", "total_elements"]
    assert (info["entry_count"], info["ndim"], info["shape"], info["total_elements"]) == (3, 3, (), 0)


@pytest.mark.parametrize("packet, expected", [
    (v4_header(0x01, 1, 0), {"shape": (), "total_elements": 1}),
    (v4_header(0x01, 1, 3, 4, 0, 7), {"shape": (4, 0, 7), "total_elements": 0}),
    (v4_header(0x80, 200, 1, 5), {"aligned": False, "dtype_code": 200, "total_elements": 5}),
    # 2^32-1 cubed overflows u64: the product saturates instead of wrapping.
    (v4_header(0x01, 1, 3, *[0xFFFFFFFF] * 3), {"total_elements": 2**64 - 1}),
    (v4_header(0x01, 1, 40, *[1] * 40), {"ndim": 40, "shape": (1,) * 40}),
    (b"VKRA\x03\xef\x01\x01" + struct.pack("<I", 9), {"version": 3, "flags": 0xEF, "shape": (9,)}),
])
def test_header_fields(packet, expected):
    info = vakra_rs.get_packet_info_rs(packet)
    assert {key: info[key] for key in expected} == expected


@pytest.mark.parametrize("packet, message", [
    (b"VKRA\x04\x01\x00\x01\x02", "Packet too short"),
    (b"XKRA\x09\x00\x00\x00\x00\x00", "Invalid vakra packet"),
    (b"VKRA\x05\x00\x00\x00\x00\x00", "Unsupported protocol version: 5"),
    (b"VKRA\x00\x00\x00\x00", "Unsupported protocol version: 0"),
    (v4_header(0x01, 1, 2, 3)[:-1], "Packet too short to contain shape"),
])
def test_errors(packet, message):
    with pytest.raises(ValueError) as caught:
        vakra_rs.get_packet_info_rs(packet)
    assert str(caught.value) == message


def test_every_prefix_of_a_packet_is_handled():
    packet = vakra_rs.dumps_rs(np.zeros((2, 3, 4), np.float64))
    for end in range(len(packet) + 1):
        try:
            vakra_rs.get_packet_info_rs(packet[:end])
        except ValueError:
            assert end < 22
        else:
            assert end >= 22
