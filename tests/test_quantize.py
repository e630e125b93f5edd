"""quantize and QuantizedTensor: error bounds, code packing, the wire's axis byte, refusals."""

import numpy as np
import pytest

from vakra.quantize import QuantizedTensor, quantize

RANGES = {"qint8": (-128, 127), "quint8": (0, 255), "qint4": (-8, 7), "quint4": (0, 15)}
CODES = {"qint8": 16, "quint8": 17, "qint4": 18, "quint4": 19}


def tensor(**overrides):
    fields = dict(data=np.zeros(3, np.uint8), scales=[1.0, 1.0], zero_points=[0.0, 0.0], shape=(2, 3),
                  dtype_code=19, quant_scheme=1, group_size=0, axis=0)
    return QuantizedTensor(**{**fields, **overrides})


def element_steps(q, shape):
    """The scale of every element, worked out from the documented layouts."""
    if q.quant_scheme == 0:
        return np.full(shape, float(q.scales[0]))
    if q.quant_scheme == 1:
        view = [1] * len(shape)
        view[q.axis] = shape[q.axis]
        return np.broadcast_to(q.scales.reshape(view), shape)
    moved = np.moveaxis(np.empty(shape), q.axis, -1).shape
    groups = -(-moved[-1] // q.group_size)
    per_row = np.repeat(q.scales.reshape(-1, groups), q.group_size, axis=1)[:, : moved[-1]]
    return np.moveaxis(per_row.reshape(moved), -1, q.axis)


@pytest.mark.parametrize("dtype", list(RANGES))
@pytest.mark.parametrize("kwargs, scheme, axis", [({}, 0, -1), ({"axis": 0}, 1, 0), ({"axis": -1}, 1, 2),
                                                   ({"group_size": 4}, 2, 2), ({"axis": 1, "group_size": 3}, 2, 1)])
def test_round_trip_error_is_at_most_half_a_step(dtype, kwargs, scheme, axis):
    rng = np.random.default_rng(7)
    # Slices of very different magnitude, so a scale applied to the wrong elements shows.
    x = (rng.normal(size=(3, 7, 10)) * np.array([0.01, 1.0, 100.0])[:, None, None]).astype(np.float32)
    x[0, 0, :3] = 0.0
    q = quantize(x, dtype, **kwargs)
    assert (q.quant_scheme, q.axis, q.dtype_code) == (scheme, axis, CODES[dtype])
    codes, y = q.codes(), q.dequantize()
    assert codes.shape == y.shape == x.shape and y.dtype == np.float32
    assert RANGES[dtype][0] <= codes.min() and codes.max() <= RANGES[dtype][1]
    assert np.all(np.abs(y.astype(np.float64) - x) <= element_steps(q, x.shape) / 2 + 1e-6 * np.abs(x))
    assert np.all(y[0, 0, :3] == 0.0)  # zero is represented exactly


@pytest.mark.parametrize("dtype, codes, packed", [("quint4", [1, 2, 3, 4, 15], [0x21, 0x43, 0x0F]),
                                                  ("qint4", [-1, 7, -8, 0], [0x7F, 0x08]),
                                                  ("qint8", [-1, 127, -128], [0xFF, 0x7F, 0x80])])
def test_packing_order(dtype, codes, packed):
    q = tensor(data=np.array(packed, np.uint8), scales=[1.0], zero_points=[0.0], shape=(len(codes),),
               dtype_code=CODES[dtype], quant_scheme=0, axis=-1)
    assert q.codes().tolist() == codes and q.dequantize().tolist() == codes
    # These values span exactly the code range, so quantize picks step 1 and zero point 0.
    assert quantize(np.array(codes, np.float32), dtype).data.tolist() == packed


@pytest.mark.parametrize("call, message", [
    (lambda: tensor(dtype_code=9), "dtype_code must be 16 (qint8), 17 (quint8), 18 (qint4) or 19 (quint4), got 9"),
    (lambda: tensor(data=np.zeros(5, np.uint8)), "data holds 5 bytes; a quint4 tensor of shape (2, 3) needs 3"),
    (lambda: tensor(zero_points=[0.0]), "scales and zero_points must have the same length, got 2 and 1"),
    (lambda: tensor(axis=2).dequantize(), "axis -254 is out of range for a tensor of 2 dimensions"),
    (lambda: tensor(scales=[1.0] * 3, zero_points=[0.0] * 3).dequantize(),
     "per-axis tensor of shape (2, 3) needs 2 scales, got 3"),
    (lambda: quantize(np.ones(3), "int8"), "dtype must be one of 'qint8', 'quint8', 'qint4', 'quint4', got 'int8'"),
    (lambda: quantize(np.array([1.0, np.inf])), "cannot quantize NaN or infinite values"),
    (lambda: quantize(np.ones(3), axis=1), "axis 1 is out of range for a tensor of 1 dimensions"),
])
def test_inconsistent_parts_and_bad_arguments_are_refused(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("shape, kwargs", [((0, 3), {"axis": 0}), ((3, 0), {"group_size": 2}), ((), {}), ((1,), {})])
def test_empty_scalar_and_constant_tensors(shape, kwargs):
    x = np.full(shape, 2.5, dtype=np.float32)
    q = quantize(x, "qint4", **kwargs)
    assert q.dequantize().shape == shape
    assert np.allclose(q.dequantize(), x, atol=float(q.scales.max(initial=0)) / 2 + 1e-6)
