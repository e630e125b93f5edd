"""Values of every kind the package encodes, and how to compare what comes back."""

import ml_dtypes
import numpy as np
import scipy.sparse

import vakra
import vakra._model.tree
import vakra._model.model_save
import vakra._model.tree_packet
from vakra import QuantizedTensor, StringTensor
from vakra.quantize import quantize

RNG = np.random.default_rng(3)
CSR = scipy.sparse.random(6, 5, density=0.4, format="csr", random_state=4, dtype=np.float64)
WEIGHTS = RNG.standard_normal((40, 30)).astype(np.float32)


class Quirky(dict):
    def items(self):
        raise AssertionError("the dict's storage is walked, not its overrides")


def deep_dict(levels, leaf):
    for _ in range(levels):
        leaf = {"d": leaf}
    return leaf


VALUES = {
    "float32 matrix": WEIGHTS[:3, :4], "int64 scalar": np.array(7, dtype=np.int64),
    "empty uint8": np.zeros((0, 3), dtype=np.uint8), "complex128": RNG.standard_normal(5) + 1j,
    "bfloat16": np.arange(6, dtype=ml_dtypes.bfloat16), "coo": CSR.tocoo(), "csr": CSR, "csc": CSR.tocsc(),
    "csr_array": scipy.sparse.csr_array(CSR), "string tensor": StringTensor(["alpha", "βeta", ""]),
    "list of str": ["a", "bb", "ccc"], "mixed list": ["a", b"b", bytearray(b"\xff")],
    "qint8": quantize(WEIGHTS[:4, :6], "qint8", axis=1), "grouped qint4": quantize(WEIGHTS[:3, :7], "qint4", group_size=3),
    "big-endian": np.arange(5, dtype=">i4"), "numpy scalar": np.float32(2.5),  # come back native, as 0-d arrays
    "transposed": np.arange(12, dtype=np.int16).reshape(3, 4).T, "weights": WEIGHTS,
    "big-endian csc": scipy.sparse.csc_matrix((CSR.data.astype(">f8"), CSR.indices, CSR.indptr), CSR.shape[::-1]),
}
VALUES["every kind"] = dict(VALUES)
VALUES["dict subclass"] = Quirky(a=np.ones(2), s=["x"])
VALUES["64 levels to strings"] = deep_dict(64, ["x"])
VALUES["64 levels to an array"] = deep_dict(64, np.arange(2))


def assert_same(expected, actual):
    """Equal in content; lists of strings come back as StringTensor, NumPy scalars as 0-d arrays, arrays in
    native byte order. Classes that decoding does not restore (dict and SciPy subclasses) are not compared.
    A checkpoint tree is compared as one (assert_same_tree); a mapping of str names to plain values is not
    one, whatever its size (a model file keeps it as named values)."""
    if (isinstance(expected, (dict, list, tuple)) and vakra._model.tree_packet.is_tree(expected)
            and vakra._model.model_save.needs_tree(expected)):
        assert_same_tree(expected, actual)
    elif isinstance(expected, dict):
        assert isinstance(actual, dict) and list(actual) == list(expected)
        for key in expected:
            assert_same(expected[key], actual[key])
    elif isinstance(expected, list):
        assert actual == StringTensor(expected)
    elif scipy.sparse.issparse(expected):
        assert actual.format == expected.format and actual.shape == expected.shape and (actual != expected).nnz == 0
    elif isinstance(expected, (np.ndarray, np.generic)):
        assert actual.dtype == expected.dtype.newbyteorder("=") and actual.shape == expected.shape
        np.testing.assert_array_equal(actual, expected)
    elif isinstance(expected, (float, complex)):  # a bare scalar is a tree: bit-exact
        assert type(actual) is type(expected) and np.asarray(actual).tobytes() == np.asarray(expected).tobytes()
    else:
        assert type(actual) is type(expected) and actual == expected


def arrays_in(value):
    """Every ndarray a decoded value holds: in dicts, a sparse matrix's components, a quantized tensor's parts."""
    if isinstance(value, np.ndarray):
        yield value
    elif isinstance(value, dict):
        for item in value.values():
            yield from arrays_in(item)
    elif scipy.sparse.issparse(value):
        yield from (getattr(value, part) for part in ("data", "indices", "indptr", "row", "col") if hasattr(value, part))
    elif isinstance(value, QuantizedTensor):
        yield from (value.data, value.scales, value.zero_points)


def torch_equal(expected, actual):
    """Tensors (or dicts of them, keys in the same order) of the same dtype, layout and values."""
    import torch

    if isinstance(expected, dict):
        assert isinstance(actual, dict) and list(actual) == list(expected)
        for key in expected:
            torch_equal(expected[key], actual[key])
    else:
        assert (actual.dtype, actual.layout) == (expected.dtype, expected.layout)
        assert torch.equal(actual.to_dense(), expected.detach().to_dense())


def with_record(data, **fields):
    """A model file's bytes with fields of its record replaced, checksums sound; the ranges (of the file as it
    was) move with the record's new length."""
    length = vakra.packet_length(data)
    record = {**vakra.loads(data), **fields}
    shift = len(vakra.dumps(record, check_integrity=True)) - length
    record["ranges"] = (record["ranges"].astype(np.int64) + [shift, 0]).astype(np.uint64)
    record["file_size"] = np.uint64(len(data) + shift)
    return vakra.dumps(record, check_integrity=True) + data[length:]


def checkpoint_tree():
    """A training state of every kind a checkpoint tree holds: int keys next to their str twins, scalars
    bit-exact (a NaN payload, -0.0, a 128-bit int), NumPy scalars, a tensor reached twice, more tensors
    under one dict than a bundle holds, one too wide for a packet (a raw body in a model file)."""
    nan = np.frombuffer(np.uint64(0x7FF8_0000_DEAD_BEEF).tobytes(), np.float64)[0].item()
    shared = np.arange(6.0)
    return {
        "model": {f"layer.{i}.weight": np.full((2, 2), i, np.float32) for i in range(300)},
        "optimizer": {"state": {0: {"step": 3, "exp_avg": shared}, "0": None},
                      "param_groups": [{"lr": 1e-3, "betas": (0.9, 0.999), "params": [0, 1], "amsgrad": False}]},
        "scalars": [nan, -0.0, float("inf"), 1 + 2j, 2**127 + 1, -5, "ünï", b"\x00\xff", (), [], {}],
        "numpy": [np.float32(1.5), np.int8(-3), ml_dtypes.bfloat16(2.5), ml_dtypes.float8_e4m3fn(0.5), np.bool_(True)],
        "tied": shared, "sparse": CSR, "strings": StringTensor(["a", "b"]), "codes": quantize(WEIGHTS[:2], "qint8"),
        "wide": np.zeros((0, 2**32), np.float32),
    }


def packet_tree():
    """checkpoint_tree() as packets carry it: without the tensor too wide for a packet."""
    value = checkpoint_tree()
    del value["wide"]
    return value


def assert_same_tree(expected, actual):
    """The same tree: container and scalar types, key types and order, float bits; tensors as assert_same
    (torch's as torch_equal)."""
    if not vakra._model.tree.is_tensor(expected):
        # A dict subclass comes back a dict (vakra.dask's Bundle comes back a Bundle).
        assert type(actual) in ({dict, type(expected)} if isinstance(expected, dict) else {type(expected)})
    if isinstance(expected, dict):
        assert [(type(key), key) for key in actual] == [(type(key), key) for key in expected]
        for key in expected:
            assert_same_tree(expected[key], actual[key])
    elif isinstance(expected, (list, tuple)):
        assert len(actual) == len(expected)
        for want, got in zip(expected, actual):
            assert_same_tree(want, got)
    elif isinstance(expected, (float, complex, np.generic)):
        assert np.asarray(actual).tobytes() == np.asarray(expected).tobytes()
    elif type(expected).__module__.startswith("torch"):
        torch_equal(expected, actual)
    else:
        assert_same(expected, actual)
