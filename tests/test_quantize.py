import numpy as np
import pytest

from vakra.quantize import QuantizedTensor, quantize

RANGES = {"qint8": (-128, 127), "quint8": (0, 255), "qint4": (-8, 7), "quint4": (0, 15)}
DTYPE_CODES = {"qint8": 16, "quint8": 17, "qint4": 18, "quint4": 19}


def element_steps(q, shape):
    """The scale that applies to each element, worked out from the documented layouts."""
    scales = q.scales.astype(np.float64)
    if q.quant_scheme == 0:
        return np.full(shape, scales[0])
    axis = q.axis
    if q.quant_scheme == 1:
        view = [1] * len(shape)
        view[axis] = shape[axis]
        return np.broadcast_to(scales.reshape(view), shape)
    moved = np.moveaxis(np.empty(shape), axis, -1).shape
    groups = -(-moved[-1] // q.group_size)
    per_row = np.repeat(scales.reshape(-1, groups), q.group_size, axis=1)[:, : moved[-1]]
    return np.moveaxis(per_row.reshape(moved), -1, axis)


SCHEMES = [
    ({}, 0),
    ({"axis": 0}, 1),
    ({"axis": -1}, 1),
    ({"group_size": 4}, 2),
    ({"axis": 1, "group_size": 3}, 2),
]


@pytest.mark.parametrize("dtype", list(RANGES))
@pytest.mark.parametrize("kwargs, scheme", SCHEMES)
def test_round_trip_error_is_at_most_half_a_step(dtype, kwargs, scheme):
    rng = np.random.default_rng(7)
    # Rows of very different magnitude, so a scale applied to the wrong elements shows.
    x = (rng.normal(size=(3, 7, 10)) * np.array([0.01, 1.0, 100.0])[:, None, None]).astype(np.float32)
    q = quantize(x, dtype, **kwargs)
    assert q.quant_scheme == scheme and q.dtype == dtype and q.dtype_code == DTYPE_CODES[dtype]
    codes = q.codes()
    assert codes.shape == x.shape
    assert RANGES[dtype][0] <= codes.min() and codes.max() <= RANGES[dtype][1]
    y = q.dequantize()
    assert y.dtype == np.float32 and y.shape == x.shape
    steps = element_steps(q, x.shape)
    error = np.abs(y.astype(np.float64) - x)
    assert np.all(error <= steps / 2 + 1e-6 * np.abs(x))


@pytest.mark.parametrize("dtype", list(RANGES))
def test_zero_and_extremes_are_exact(dtype):
    x = np.array([-3.0, 0.0, 5.0, 0.0], dtype=np.float32)
    y = quantize(x, dtype).dequantize()
    assert y[1] == 0.0 and y[3] == 0.0
    step = (5.0 + 3.0) / (RANGES[dtype][1] - RANGES[dtype][0])
    assert abs(y[0] + 3.0) <= step / 2 and abs(y[2] - 5.0) <= step / 2


@pytest.mark.parametrize(
    "kwargs, scales, axis, group_size",
    [({}, 1, -1, 0), ({"axis": 1}, 5, 1, 0), ({"axis": -2}, 4, 0, 0), ({"group_size": 2}, 12, 1, 2)],
)
def test_parameter_layout(kwargs, scales, axis, group_size):
    q = quantize(np.ones((4, 5)), "quint8", **kwargs)
    assert (q.scales.size, q.zero_points.size, q.axis, q.group_size) == (scales, scales, axis, group_size)
    assert q.scales.dtype == np.float32 and q.zero_points.dtype == np.float32


@pytest.mark.parametrize(
    "dtype, codes, packed",
    [
        ("quint4", [1, 2, 3, 4, 15], [0x21, 0x43, 0x0F]),
        ("qint4", [-1, 7, -8, 0], [0x7F, 0x08]),
        ("qint8", [-1, 127, -128], [0xFF, 0x7F, 0x80]),
    ],
)
def test_packing_order(dtype, codes, packed):
    n = len(codes)
    q = QuantizedTensor(
        data=np.array(packed, dtype=np.uint8), scales=[1.0], zero_points=[0.0], shape=(n,),
        dtype_code=DTYPE_CODES[dtype], quant_scheme=0, group_size=0, axis=-1,
    )
    assert q.codes().tolist() == codes
    assert q.dequantize().tolist() == [float(c) for c in codes]
    # These values span exactly the code range, so quantize picks step 1 and zero point 0.
    assert quantize(np.array(codes, dtype=np.float32), dtype).data.tolist() == packed


def test_constructor_keeps_attributes_and_reads_wire_axis():
    q = QuantizedTensor(
        data=np.arange(6, dtype=np.int8).reshape(2, 3), scales=np.ones(3, np.float32),
        zero_points=np.array([0, 1, 2], np.float32), shape=[2, 3], dtype_code=17, quant_scheme=1, group_size=0, axis=255,
    )
    assert q.shape == (2, 3) and q.axis == -1
    assert q.data.dtype == np.uint8 and q.data.tolist() == [0, 1, 2, 3, 4, 5]
    assert q.dequantize().tolist() == [[0, 0, 0], [3, 3, 3]]  # axis -1: zero point per column


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        ({"dtype_code": 9}, ValueError, "dtype_code must be 16 (qint8), 17 (quint8), 18 (qint4) or 19 (quint4), got 9"),
        ({"data": np.zeros(5, np.uint8)}, ValueError, "data holds 5 bytes; a quint4 tensor of shape (2, 3) needs 3"),
        ({"zero_points": [0.0]}, ValueError, "scales and zero_points must have the same length, got 2 and 1"),
        ({"shape": (2, -3)}, ValueError, "shape must not hold negative dimensions, got (2, -3)"),
        ({"shape": "ab"}, TypeError, "shape must be a sequence of ints, not str"),
        ({"data": np.zeros(3, np.float32)}, TypeError, "data must hold one-byte codes (uint8 or int8), got dtype float32"),
        ({"axis": 1.0}, TypeError, "axis must be an integer, not float"),
    ],
)
def test_constructor_refuses_inconsistent_parts(overrides, error, message):
    kwargs = dict(
        data=np.zeros(3, np.uint8), scales=[1.0, 1.0], zero_points=[0.0, 0.0], shape=(2, 3),
        dtype_code=19, quant_scheme=1, group_size=0, axis=0,
    )
    kwargs.update(overrides)
    with pytest.raises(error) as info:
        QuantizedTensor(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"quant_scheme": 7}, "unknown quant_scheme 7; known: 0 per-tensor, 1 per-axis, 2 per-group"),
        ({"axis": 2}, "axis -254 is out of range for a tensor of 2 dimensions"),
        ({"scales": [1.0] * 3, "zero_points": [0.0] * 3}, "per-axis tensor of shape (2, 3) needs 2 scales, got 3"),
        ({"quant_scheme": 2, "group_size": 0}, "per-group tensor needs a group_size of at least 1, got 0"),
    ],
)
def test_dequantize_refuses_parameters_that_do_not_fit(overrides, message):
    kwargs = dict(
        data=np.zeros(6, np.uint8), scales=[1.0, 1.0], zero_points=[0.0, 0.0], shape=(2, 3),
        dtype_code=17, quant_scheme=1, group_size=0, axis=0,
    )
    kwargs.update(overrides)
    with pytest.raises(ValueError) as info:
        QuantizedTensor(**kwargs).dequantize()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((np.ones(3), "int8"), {}, ValueError, "dtype must be one of 'qint8', 'quint8', 'qint4', 'quint4', got 'int8'"),
        ((np.array([1.0, np.nan]),), {}, ValueError, "cannot quantize NaN or infinite values"),
        ((np.ones(3),), {"axis": 1}, ValueError, "axis 1 is out of range for a tensor of 1 dimensions"),
        ((np.ones(3),), {"group_size": 0}, ValueError, "group_size must be at least 1, got 0"),
        ((np.array(["a"]),), {}, TypeError, "cannot quantize an array of dtype <U1"),
    ],
)
def test_quantize_refuses_bad_arguments(args, kwargs, error, message):
    with pytest.raises(error) as info:
        quantize(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("shape, kwargs", [((0, 3), {"axis": 0}), ((3, 0), {"group_size": 2}), ((), {}), ((0,), {})])
def test_empty_and_scalar_tensors(shape, kwargs):
    x = np.full(shape, 2.5, dtype=np.float32)
    q = quantize(x, "qint4", **kwargs)
    y = q.dequantize()
    assert y.shape == shape
    assert np.allclose(y, x, atol=float(q.scales.max(initial=0)) / 2 + 1e-6)


def test_equality_compares_every_part():
    x = np.linspace(-1, 1, 12, dtype=np.float32).reshape(3, 4)
    a, b = quantize(x, "qint8", axis=0), quantize(x, "qint8", axis=0)
    assert a == b
    b.scales[0] *= 2
    assert a != b
    assert a != quantize(x, "qint8", axis=1)
    assert a != quantize(x, "quint8", axis=0)
    assert "per-axis" in repr(a) and "qint8" in repr(a)
