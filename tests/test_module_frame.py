"""The module frame: function table, argument matching, conversion kinds and buffer requests."""

import ctypes
import importlib

import numpy as np
import pytest

from vakra import vakra_rs

FUNCTION_TABLE = [
    ("get_packet_info_rs", "(data)", None),
    ("dumps_rs", "(array, check_integrity=False, compress=False, alignment=64)", None),
    ("dumps_quantized_rs", "(qt, check_integrity=False, alignment=64)",
     "Encode a `QuantizedTensor` (extracted field-by-field) via `vakra`."),
    ("dumps_string_rs", "(offsets, payload, count, check_integrity=False)",
     "Encode a `StringTensor` from raw `offsets` ((count+1) u64 LE) + `payload`."),
    ("encode_bundle_rs", "(entries)",
     "Frame already-encoded `(key, value_packet)` entries into a bundle packet,"),  # first of two lines
    ("dump_to_buffer_rs", "(array, buffer, check_integrity=False, compress=False, alignment=64)", None),
    ("dump_to_fd_rs", "(array, fd, check_integrity=False, compress=False, alignment=64)", None),
    ("loads_rs", "(data)", None),
    ("shm_mutex_init", "(buffer, offset)",
     "Init a POSIX process-shared mutex at `offset` in a shm-backed buffer\n(needs >= 64 bytes there)."),
    ("shm_mutex_lock", "(buffer, offset, timeout_secs=5.0)",
     "Lock a POSIX process-shared mutex. True if recovered from a dead owner."),
    ("shm_mutex_unlock", "(buffer, offset)", "Unlock a POSIX process-shared mutex."),
    ("shm_mutex_destroy", "(buffer, offset)", "Destroy a POSIX process-shared mutex."),
    ("shm_mutex_size", "()", "Return the size in bytes needed for one POSIX process-shared mutex."),
]


def test_function_table():
    assert vakra_rs.__all__ == [name for name, _, _ in FUNCTION_TABLE]
    assert importlib.import_module("vakra.vakra_rs") is vakra_rs
    for name, signature, doc in FUNCTION_TABLE:
        function = getattr(vakra_rs, name)
        assert (function.__text_signature__, function.__module__) == (signature, vakra_rs.__name__)
        assert (function.__doc__ and function.__doc__.splitlines()[0]) == (doc and doc.splitlines()[0])
        assert name == "encode_bundle_rs" or function.__doc__ == doc


ARRAY = np.zeros(3, dtype=np.float32)


@pytest.mark.parametrize("call, message", [
    (lambda: vakra_rs.dumps_rs(), "dumps_rs() missing 1 required positional argument: 'array'"),
    (lambda: vakra_rs.dumps_rs(ARRAY, False, False, 64, 1),
     "dumps_rs() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: vakra_rs.dumps_rs(ARRAY, array=ARRAY), "dumps_rs() got multiple values for argument 'array'"),
    (lambda: vakra_rs.dumps_rs(ARRAY, level=3), "dumps_rs() got an unexpected keyword argument 'level'"),
    (lambda: vakra_rs.loads_rs(b"", b""), "loads_rs() takes 1 positional arguments but 2 were given"),
    (lambda: vakra_rs.dumps_string_rs(),
     "dumps_string_rs() missing 3 required positional arguments: 'offsets', 'payload', and 'count'"),
    (lambda: vakra_rs.dump_to_buffer_rs(),
     "dump_to_buffer_rs() missing 2 required positional arguments: 'array' and 'buffer'"),
    (lambda: vakra_rs.dump_to_fd_rs(ARRAY, fd=1, array=ARRAY), "dump_to_fd_rs() got multiple values for argument 'array'"),
    (lambda: vakra_rs.shm_mutex_init(bytearray(64), 0, 1), "shm_mutex_init() takes 2 positional arguments but 3 were given"),
])
def test_argument_matching_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize("value", [True, False, np.True_, np.False_])
def test_bool_conversion_accepts_python_and_numpy_bools(value):
    packet = vakra_rs.dumps_rs(ARRAY, check_integrity=value)
    assert bool(vakra_rs.get_packet_info_rs(packet)["integrity_protected"]) == bool(value)
    assert vakra_rs.dumps_rs(ARRAY, alignment=np.int64(64)) == vakra_rs.dumps_rs(ARRAY)  # index-like ints convert


OUT_OF_RANGE = "^out of range integral type conversion attempted$"


@pytest.mark.parametrize("call, kind, pattern", [  # pattern None: the interpreter's own text
    (lambda: vakra_rs.dumps_rs(ARRAY, check_integrity=1), TypeError,
     "^argument 'check_integrity': 'int' object cannot be converted to 'PyBool'$"),
    (lambda: vakra_rs.dumps_rs(ARRAY, compress=None), TypeError,
     "^argument 'compress': 'NoneType' object cannot be converted to 'PyBool'$"),
    (lambda: vakra_rs.dumps_rs(ARRAY, alignment=-1), OverflowError, None),
    (lambda: vakra_rs.dumps_rs(ARRAY, alignment=2**64), OverflowError, None),
    (lambda: vakra_rs.dumps_rs(ARRAY, alignment=64.0), TypeError, "^argument 'alignment': "),
    (lambda: vakra_rs.dump_to_fd_rs(ARRAY, 2**31), OverflowError, OUT_OF_RANGE),
    (lambda: vakra_rs.dump_to_fd_rs(ARRAY, "1"), TypeError, "^argument 'fd': "),
    (lambda: vakra_rs.dumps_string_rs(b"", b"", -1), OverflowError, OUT_OF_RANGE),
    (lambda: vakra_rs.dumps_string_rs(b"", b"", 2**32), OverflowError, OUT_OF_RANGE),
    (lambda: vakra_rs.dumps_string_rs(bytearray(8), b"", 0), TypeError,
     "^argument 'offsets': 'bytearray' object cannot be converted to 'PyBytes'$"),
    (lambda: vakra_rs.dumps_string_rs(b"\0" * 8, memoryview(b""), 0), TypeError,
     "^argument 'payload': 'memoryview' object cannot be converted to 'PyBytes'$"),
])
def test_conversion_errors(call, kind, pattern):
    with pytest.raises(kind, match=pattern) as caught:
        call()
    assert type(caught.value) is kind
    assert kind is TypeError or not str(caught.value).startswith("argument")


def test_argument_prefix_keeps_the_original_cause():
    class Weird:
        def __index__(self):
            raise TypeError("inner") from KeyError("root")

    with pytest.raises(TypeError, match="^argument 'alignment': inner$") as caught:
        vakra_rs.dumps_rs(ARRAY, alignment=Weird())
    assert isinstance(caught.value.__cause__, KeyError)


@pytest.mark.parametrize("function", [vakra_rs.loads_rs, vakra_rs.get_packet_info_rs])
@pytest.mark.parametrize("data, kind, pattern", [
    ("not a buffer", TypeError, None),
    (memoryview(bytearray(16)).cast("b"), BufferError, "^buffer contents are not compatible with u8$"),
    (np.zeros(4, dtype=np.float32), BufferError, "^buffer contents are not compatible with u8$"),
    (memoryview(bytearray(32))[::2], BufferError, None),
    (memoryview(bytearray(32))[::-1], BufferError, None),
    ((ctypes.c_ubyte * 64)(), BufferError, "^strides is null$"),  # an export without strides
])
def test_buffer_request_errors(function, data, kind, pattern):
    with pytest.raises(kind, match=pattern):
        function(data)


@pytest.mark.parametrize("fmt", ["B", "c"])
def test_unsigned_byte_formats_are_accepted(fmt):
    view = memoryview(bytearray(vakra_rs.dumps_rs(ARRAY))).cast(fmt)
    assert vakra_rs.get_packet_info_rs(view)["shape"] == (3,)
