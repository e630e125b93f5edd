"""The package's half of encoding: values the native encoder does not take as
they are, turned into values it does.

``vakra._native`` walks every value natively (C-contiguous arrays in native
byte order, dicts, SciPy sparse matrices, StringTensor, QuantizedTensor,
lists of str or bytes) and calls :func:`convert` once for anything else.
"""

from __future__ import annotations

import importlib
import sys
from typing import Any

import numpy as np

from .ragged import StringTensor

_UNKNOWN_FOREIGN = object()
_foreign: Any = _UNKNOWN_FOREIGN  # the vakra._foreign module, None when absent, imported on first need


def convert(value: Any) -> Any:
    """A value the native encoder takes in place of ``value``, or an error.

    NumPy scalars become 0-d arrays; arrays (subclasses too, masked arrays
    excepted) become C-contiguous base-class arrays in native byte order; a
    list holding items other than str and bytes becomes a StringTensor (so
    bytearray and memoryview items are accepted); foreign arrays (DLPack,
    ``__array_interface__``, torch) are taken through ``vakra._foreign``.
    Raises TypeError for anything else.
    """
    if isinstance(value, (np.ndarray, np.generic)):
        return _plain_array(np.asarray(value) if isinstance(value, np.generic) else value)
    if isinstance(value, list):
        return _string_tensor(value)
    foreign = _foreign_module()
    if foreign is not None:
        array = foreign.as_array(value)
        if isinstance(array, tuple):  # (array, wire dtype code): bytes of an element type NumPy cannot name
            return _c_order(array[0]), array[1]
        if isinstance(array, np.ndarray):
            return _plain_array(array)
        if array is not None:  # a sparse tensor's components, named as SciPy names them
            return array
    raise TypeError(f"vakra cannot encode a {type(value).__name__!r} object; it encodes NumPy arrays, SciPy "
                    "sparse matrices, StringTensor, QuantizedTensor, lists of str or bytes and dicts of these")


def _plain_array(array: np.ndarray) -> np.ndarray:
    # A masked array exists only once numpy.ma has been imported; the test
    # does not import it.
    masked = sys.modules.get("numpy.ma")
    if masked is not None and isinstance(array, masked.MaskedArray):
        raise TypeError("vakra cannot encode a masked array's mask; encode .data and .mask separately")
    if type(array) is not np.ndarray:
        array = array.view(np.ndarray)
    # The wire is little-endian and bodies are copied as they lie, so a
    # byte-swapped array is converted first (one copy).
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="), order="C")  # one copy, also for strided input
    return _c_order(array)


def _c_order(array: np.ndarray) -> np.ndarray:
    # Not np.ascontiguousarray alone: it would turn a 0-d array into a 1-d one.
    return array if array.flags.c_contiguous else np.ascontiguousarray(array)


def _string_tensor(strings: list) -> StringTensor:
    try:
        return StringTensor(strings)
    except TypeError as error:
        raise TypeError(f"a list is encoded as a string tensor: {error}; wrap numbers in numpy.asarray()") from None


def _foreign_module() -> Any:
    global _foreign
    if _foreign is _UNKNOWN_FOREIGN:
        try:
            _foreign = importlib.import_module("vakra._foreign")
        except ModuleNotFoundError as error:
            if error.name != "vakra._foreign":
                raise
            _foreign = None
    return _foreign
