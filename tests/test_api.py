"""vakra.dumps / loads / dump / load / dump_into / info, as users call them (dump to a path: test_faults)."""

from __future__ import annotations

import gc
import gzip
import mmap
import re
import socket
import struct
import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse

import packet_builders as pb
import vakra
from samples import VALUES, assert_same

OPTIONS = {"defaults": {}, "compressed": {"compress": True},
           "all": {"check_integrity": True, "compress": True, "alignment": 128},
           "flags as ints": {"check_integrity": 1, "compress": 0}}
MIXED = VALUES["every kind"]


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
@pytest.mark.parametrize("value", VALUES.values(), ids=VALUES.keys())
def test_round_trip(value, options):
    packet = vakra.dumps(value, **options)
    assert b"".join(vakra.dumps_frames(value, **options)) == packet
    if isinstance(value, dict):  # a plain dict is the plain bundle of its values, never a tree's
        assert packet == pb.bundle([(key, vakra.dumps(item, **options)) for key, item in dict.items(value)])
    followed = packet + vakra.dumps(np.zeros(3)) + bytes(100)  # bytes after a packet belong to no one
    assert vakra.packet_length(followed) == vakra.info(followed)["size"] == len(packet)
    assert_same(value, vakra.loads(followed))


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "compressed"])
@pytest.mark.parametrize("shape", [(), (0,), (5,), (2, 0, 3), (2, 3, 1)], ids=str)
@pytest.mark.parametrize("dtype", pb.DTYPE_NAMES[:14] + ["bfloat16"])
def test_every_dtype_and_shape_round_trips(dtype, shape, compress):
    array = (np.arange(int(np.prod(shape))) % 5).astype(np.dtype(dtype)).reshape(shape)
    packet = vakra.dumps(array, compress=compress)
    assert compress or packet == pb.dense(array)  # each dtype's wire code
    loaded = vakra.loads(packet)
    assert (loaded.dtype, loaded.shape) == (array.dtype, shape) and np.array_equal(loaded, array)


ENCODE_ERRORS = {  # value, error, message, the start of each note
    "object": (object(), TypeError, "cannot encode a 'object'", []),
    # A tree's own refusals name the path; its tensors' refusals are the encoder's, at the tensor's key.
    "set in a tree": ({"a": {1: {2, 3}}}, TypeError, "cannot store a 'set' object (at a/1); a checkpoint tree holds", []),
    "object array in a tree": ({"a": {1: np.array([None])}}, ValueError, "Unsupported dtype: object",
                               ["vakra: the value at ['a/1'] cannot be encoded", "vakra: arrays of these element"]),
    "dok matrix beside strings": ({"m": scipy.sparse.dok_matrix(np.eye(2)), "s": ["x"]}, ValueError,
                                  "Unknown sparse format 'dok'", ["vakra: the value at ['m'] cannot be encoded"]),
    "masked": (np.ma.masked_array([1, 2], mask=[0, 1]), TypeError, "masked array", []),
    "object array": ({"a": np.array([None])}, ValueError, "Unsupported dtype: object",
                     ["vakra: the value at ['a'] cannot be encoded", "vakra: arrays of these element types encode: "]),
    "33 dimensions in a dict": ({"a": {"b": np.zeros((1,) * 33)}}, ValueError, "Packet exceeds maximum dimensions",
                                ["vakra: the value at ['a']['b'] is over a limit of the format: an array has at most 32"]),
    "float4, odd last dimension": (np.zeros((2, 3), "float4_e2m1fn"), ValueError,
                                   "float4_e2m1fn arrays are stored 2 elements to a byte along their last dimension, "
                                   "which must be a multiple of 2; this one has shape (2, 3)", []),
}


@pytest.mark.parametrize("value, error, message, notes", ENCODE_ERRORS.values(), ids=ENCODE_ERRORS.keys())
def test_encode_errors(value, error, message, notes):
    with pytest.raises(error, match=re.escape(message)) as raised:
        vakra.dumps(value)
    given = getattr(raised.value, "__notes__", [])
    assert len(given) == len(notes) and all(note.startswith(start) for note, start in zip(given, notes)), given


@pytest.mark.parametrize("alignment", [0, 3, 2**17, 2**63, 2**64, -1])
def test_every_encoder_takes_alignments_up_to_65536(alignment, tmp_path):
    # Checked first, also for values that hold no aligned body; 2^63 once wrapped the packet's size.
    sender, receiver = socket.socketpair()
    encoders = [vakra.dumps, vakra.dumps_frames, lambda value, **options: vakra.dump(value, tmp_path / "x", **options),
                lambda value, **options: vakra.dump_into(value, bytearray(1 << 20), **options),
                lambda value, **options: vakra.send(sender, value, **options)]
    with sender, receiver:
        for encode in encoders:
            with pytest.raises(ValueError, match="^Alignment must be a power of two no larger than 65536$"):
                encode({"s": ["x"]}, alignment=alignment)
    assert len(vakra.dumps(np.arange(3), alignment=2**16)) == 2**16 + 24


def test_load_errors_say_what_the_file_is(tmp_path):
    np.save(tmp_path / "x.npy", np.ones(3))
    vakra.save({"w": np.ones(3)}, tmp_path / "model.vkr")
    packet = vakra.dumps({"a": np.ones(3), "b": {"c": np.arange(4)}}, check_integrity=True)
    (tmp_path / "damaged.vkr").write_bytes(packet[:-3] + bytes([packet[-3] ^ 1]) + packet[-2:])  # a checksum byte
    for read, error, text in [
        (lambda: vakra.load(tmp_path / "x.npy"), ValueError, f"^{tmp_path}/x.npy is not a vakra file \\(Invalid vakra "
         f"packet\\); .* becomes one with `vakra convert {tmp_path}/x.npy x.vkr`$"),
        (lambda: vakra.load(tmp_path / "model.vkr"), ValueError, "model.vkr is a model file .* vakra.open"),
        *((lambda read=read: read(tmp_path), IsADirectoryError, f"Is a directory: '{tmp_path}'")
          for read in (vakra.load, vakra.info, lambda path: next(vakra.iter_load(path)))),
    ]:
        with pytest.raises(error, match=text):
            read()
    with pytest.raises(ValueError, match="^Integrity check failed: XXH3 mismatch") as raised:
        vakra.load(tmp_path / "damaged.vkr")
    assert raised.value.__notes__ == ["vakra: the damaged value is at ['b']['c']"]


# --- files and buffers -----------------------------------------------------------------------------------

def test_star_import_keeps_the_builtin_open():
    exec("from vakra import *", names := {})  # noqa: S102
    assert "open" not in names and set(names) - {"__builtins__"} == set(vakra.__all__)


# --- files and buffers -----------------------------------------------------------------------------------

def test_dump_to_a_file_object_keeps_the_order_of_buffered_writes(tmp_path):
    with open(tmp_path / "framed.bin", "w+b") as handle:
        handle.write(b"head")  # still in the file object's buffer when the packet goes to the descriptor
        vakra.dump(MIXED, handle, compress=True)
        handle.seek(0)
        assert handle.read(4) == b"head"
        assert_same(MIXED, vakra.load(handle))


def test_wrapping_file_objects_receive_the_packet_through_write(tmp_path):
    # GzipFile reports the descriptor of the file below it; writing there would bypass the compression.
    with gzip.open(tmp_path / "value.gz", "wb") as handle:
        vakra.dump(np.arange(100), handle)
    with gzip.open(tmp_path / "value.gz", "rb") as handle:
        assert handle.read() == vakra.dumps(np.arange(100))


def _mapped_paths():
    with open("/proc/self/maps") as maps:
        return maps.read()


@pytest.mark.parametrize("mapped", [False, True], ids=["small, read", "large, mapped"])
def test_load_maps_large_files_while_arrays_view_them_and_reads_small_ones(tmp_path, mapped):
    copied, viewed = tmp_path / "copied.vkr", tmp_path / "viewed.vkr"
    vakra.dump({"s": ["a", "b"], "q": VALUES["qint8"], "c": np.arange(100)}, copied, compress=True)
    count = (vakra._io.streams.READ_BELOW if mapped else 1 << 12) // 8
    vakra.dump({"w": np.arange(count, dtype=np.float64), "s": ["x"]}, viewed)
    assert_same(VALUES["qint8"], vakra.load(copied)["q"])
    weights = vakra.load(viewed)["w"]  # the dict goes; the array alone keeps the file mapped
    gc.collect()
    assert str(copied) not in _mapped_paths() and (str(viewed) in _mapped_paths()) == mapped
    # Read or mapped, arrays lie alike: read-only, at their file offset's place within a page.
    offset = viewed.read_bytes().find(np.arange(count, dtype=np.float64).tobytes())
    assert not weights.flags.writeable and weights.ctypes.data % 4096 == offset % 4096 and weights[-1] == count - 1
    with open(viewed, "rb") as handle:
        changed = vakra.load(handle, writable=True)["w"]
    changed[0] = 7  # copy-on-write: never reaches the file
    assert vakra.load(viewed)["w"][0] == 0
    del weights, changed
    gc.collect()
    assert str(viewed) not in _mapped_paths()
    (tmp_path / "cut.vkr").write_bytes(viewed.read_bytes()[:-1])
    with pytest.raises(ValueError, match=f"^Packet cut short: expected at least {viewed.stat().st_size} bytes, read "):
        vakra.load(tmp_path / "cut.vkr")


def test_thousands_of_live_loads_stay_within_a_low_descriptor_limit(tmp_path):
    # A mapping holds no descriptor: a data loader's cache of values from many files needs none.
    vakra.dump({"w": np.arange(1000)}, tmp_path / "one.vkr")
    vakra.save({"w": np.arange(1000)}, tmp_path / "model.vkr")
    script = ("import resource, sys, vakra, vakra._io.streams\n"
              "resource.setrlimit(resource.RLIMIT_NOFILE, (32, 32))\n"
              "vakra._io.streams.READ_BELOW = 0  # every file mapped, however small\n"
              "one, model, kept = sys.argv[1], sys.argv[2], []\n"
              "for _ in range(2000):\n"
              "    kept.append(vakra.load(one)['w'])\n"
              "    with open(one, 'rb') as handle:\n"
              "        kept.append(vakra.load(handle)['w'])\n"
              "    with vakra.open(model) as file:\n"
              "        kept.append(file['w'])\n"
              "print(len(kept), sum(int(array[-1]) for array in kept))\n")
    result = subprocess.run([sys.executable, "-c", script, str(tmp_path / "one.vkr"), str(tmp_path / "model.vkr")],
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr, result.stdout.split()) == (0, "", ["6000", str(6000 * 999)])


@pytest.mark.parametrize("target", [bytearray, lambda n: mmap.mmap(-1, n)], ids=["bytearray", "mmap"])
def test_dump_into_writes_the_packet_and_nothing_after_it(target):
    packet = vakra.dumps(MIXED, check_integrity=True)
    buffer = target(len(packet) + 32)
    memoryview(buffer)[:] = b"\xee" * len(buffer)
    assert vakra.dump_into(MIXED, buffer, check_integrity=True) == len(packet)
    assert bytes(memoryview(buffer)) == packet + b"\xee" * 32


@pytest.mark.parametrize("shape", [(6,), (2, 3)], ids=["1-d", "2-d"])
@pytest.mark.parametrize("source", [bytearray, lambda n: mmap.mmap(-1, n)], ids=["bytearray", "mmap"])
def test_arrays_viewing_a_buffer_keep_it_from_being_resized_or_closed(source, shape):
    packet = vakra.dumps(np.arange(6.0).reshape(shape))
    buffer = source(len(packet))
    buffer[:] = packet
    array = vakra.loads(buffer)
    with pytest.raises(BufferError):
        buffer.extend(bytes(1 << 20)) if isinstance(buffer, bytearray) else buffer.close()
    assert array.shape == shape and array[-1].sum() == (5.0 if len(shape) == 1 else 12.0)


# --- info ----------------------------------------------------------------------------------------------

def test_info_sizes_every_entry_without_reading_bodies():
    packet = vakra.dumps(MIXED, check_integrity=True, alignment=8)
    facts = vakra.info(packet)
    entries = facts["entries"]
    assert (facts["kind"], facts["size"], list(entries)) == ("bundle", len(packet), list(MIXED))
    assert facts["size"] == 10 + sum(8 + len(key.encode()) + entry["size"] for key, entry in entries.items())
    assert vakra.info(pb.offsets_body(pb.RAGGED | pb.ALIGNED, [b"a"]))["kind"] == "ragged"
    damaged = bytearray(vakra.dumps(np.arange(1000, dtype=np.int16), compress=True, check_integrity=True))
    damaged[100] ^= 1  # bodies and checksums are not looked at
    assert vakra.info(bytes(damaged))["body_size"] == len(damaged) - 64 - 8


def test_version_3_packets_are_read():
    # 8-byte header: magic, version 3, an 8-bit flags byte (aligned), dtype int16, one dimension.
    dense = b"VKRA\x03\x01\x0a\x01" + struct.pack("<I", 3) + bytes(52) + np.array([1, -2, 3], "<i2").tobytes()
    bundle = b"VKRA\x03\x10\x00\x01" + struct.pack("<I", 1) + b"v" + struct.pack("<I", len(dense)) + dense
    np.testing.assert_array_equal(vakra.loads(bundle)["v"], [1, -2, 3])
    facts = vakra.info(bundle)
    entry = facts["entries"]["v"]
    assert (facts["version"], facts["entry_count"]) == (3, 1)
    assert (entry["version"], entry["dtype"], entry["shape"], entry["body_size"], entry["size"]) == (3, "int16", (3,), 6, 70)

