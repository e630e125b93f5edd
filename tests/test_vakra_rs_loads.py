"""What loads_rs (and vakra.loads, which shares its conversion) gives back for packets assembled independently:
views, owned copies, the Python types."""

import gc
import subprocess
import sys

import numpy as np
import pytest

import packet_builders as pb
import vakra.quantize
from vakra.vakra_rs import loads_rs


@pytest.mark.parametrize("make_source", [bytes, bytearray])
def test_bundles_are_dicts_in_wire_order_of_read_only_views_and_owned_decompressed_arrays(make_source):
    one, y, ints = pb.dense(np.array([1], np.int8)), np.arange(7, dtype=np.float32) / 3, pb.dense(np.zeros(2, np.int32))
    source = make_source(pb.bundle([("b", one), ("", one), ("a", pb.bundle([("y", pb.dense(y))])),
                                    ("b", pb.dense(np.array([4]))), ("z", pb.dense(y, pb.ALIGNED | pb.COMPRESSED)),
                                    ("m", pb.sparse(pb.COO, (2, 2), [pb.dense(np.ones(2)), ints, ints])),
                                    # Our encoder never compresses sparse components; other writers may.
                                    ("c", pb.sparse(pb.COO, (2, 2), [pb.dense(y[:2], pb.COMPRESSED | pb.INTEGRITY),
                                                                     ints, ints]))]))
    out = loads_rs(source)
    assert list(out) == ["b", "", "a", "z", "m", "c"] and out["b"].tolist() == [4]  # in wire order; the last "b" wins
    assert np.array_equal(out["a"]["y"], y)
    for array in (out["a"]["y"], out[""], out["m"].data):
        assert not array.flags.writeable and np.shares_memory(array, np.frombuffer(source, np.uint8))
    # Index arrays are copies of what was checked when the source is writable: it may be reused for the next
    # packet while SciPy's unchecked kernels still read them.
    assert np.shares_memory(out["m"].row, np.frombuffer(source, np.uint8)) == isinstance(source, bytes)
    for array, expected in ((out["z"], y), (out["c"].data, y[:2])):
        assert array.flags.writeable and array.flags.owndata and np.array_equal(array, expected)
    if isinstance(source, bytearray):  # a view: a later change shows through, and it keeps the source alive
        at = source.index(y.tobytes())
        source[at:at + 4] = np.float32(5).tobytes()
        del source
        gc.collect()
        assert out["a"]["y"][0] == 5 and np.array_equal(out["a"]["y"][1:], y[1:])


@pytest.mark.parametrize("packet", [
    pb.offsets_body(pb.RAGGED | pb.ALIGNED, [b"a", b"bc"]), pb.inline(),
    pb.bundle([("x", pb.dense(np.ones(2))), ("nested", pb.bundle([("r", pb.inline())]))]),
    pb.sparse(pb.CSR, (1, 1), [pb.dense(np.ones(1)), pb.inline(), pb.dense(np.zeros(2, np.int32))]),
], ids=["ragged", "inline", "nested inline", "sparse with inline"])
def test_unconverted_kinds_give_none(packet):
    assert loads_rs(packet) is None


def test_sparse_without_scipy(monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    ints = pb.dense(np.zeros(1, np.int32))
    with pytest.raises(ImportError, match="^scipy is required for sparse deserialization$"):
        loads_rs(pb.sparse(pb.COO, (2, 2), [pb.dense(np.ones(1)), ints, ints]))


def test_quantized_calls_the_class_with_the_eight_keywords(monkeypatch):
    monkeypatch.setattr(vakra.quantize, "QuantizedTensor", lambda **kwargs: kwargs)
    kw = loads_rs(pb.quantized(18, (3,), [0.5, 2.0], [1.0, 0.0], [0x21, 0x03], scheme=7, axis=255, group_size=9))
    assert list(kw) == ["data", "scales", "zero_points", "shape", "dtype_code", "quant_scheme", "group_size", "axis"]
    arrays = [kw.pop(k) for k in ("data", "scales", "zero_points")]  # owned, writable copies
    assert all(a.flags.writeable and a.flags.owndata for a in arrays)
    assert [(a.dtype, a.tolist()) for a in arrays] == [(np.uint8, [0x21, 3]), (np.float32, [0.5, 2]), (np.float32, [1, 0])]
    assert kw == {"shape": (3,), "dtype_code": 18, "quant_scheme": 7, "group_size": 9, "axis": 255}


def test_bfloat16_in_a_fresh_interpreter():
    # NumPy knows no "bfloat16" until ml_dtypes is imported: loads_rs reports a damaged frame before NumPy
    # refuses the dtype (and one damaged frame leaves the next readable), and vakra.loads imports it on demand,
    # naming the extra to install when it is missing.
    script = """
import struct, sys, lz4.frame, vakra
from vakra.vakra_rs import loads_rs
assert "ml_dtypes" not in sys.modules
prefix = b"VKRA" + struct.pack("<BHBBB", 4, 5, 15, 1, 0) + struct.pack("<I", 2) + bytes(50)
for body in (b"\\x04\\x22\\x4d\\x18garbage", lz4.frame.compress(b"abcdef"), lz4.frame.compress(b"abcd")):
    try:
        loads_rs(prefix + body)
    except Exception as exc:
        print(type(exc).__name__, exc)
packet = prefix[:5] + b"\\x01" + prefix[6:] + b"\\x80\\x3f\\x00\\x40"
sys.modules["ml_dtypes"] = None  # as if it were not installed
try:
    vakra.loads(packet)
except ImportError as exc:
    print(type(exc).__name__, exc)
del sys.modules["ml_dtypes"]
a = vakra.loads(packet)
print(a.dtype, a.tolist())
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["ValueError LZ4 frame decompression failed", "ValueError Malformed vakra packet",
                                          "TypeError data type 'bfloat16' not understood",
                                          "ImportError the packet holds bfloat16 data, which NumPy reads only with "
                                          "ml_dtypes installed (pip install 'vakra[bfloat16]')", "bfloat16 [1.0, 2.0]"]
