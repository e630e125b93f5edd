"""The module frame: function table, argument matching, conversion kinds and buffer requests."""

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
    ("encode_bundle_rs", "(entries)", None),
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


def test_all_lists_the_functions_in_table_order():
    assert vakra_rs.__all__ == [name for name, _, _ in FUNCTION_TABLE]
    assert importlib.import_module("vakra.vakra_rs") is vakra_rs


@pytest.mark.parametrize("name, signature, doc", FUNCTION_TABLE)
def test_signatures_and_docstrings(name, signature, doc):
    function = getattr(vakra_rs, name)
    assert function.__text_signature__ == signature
    assert function.__module__ == vakra_rs.__name__
    if name == "encode_bundle_rs":
        assert function.__doc__.splitlines()[0] == (
            "Frame already-encoded `(key, value_packet)` entries into a bundle packet,")
        assert len(function.__doc__.splitlines()) == 2
    else:
        assert function.__doc__ == doc


ARRAY = np.zeros(3, dtype=np.float32)

MATCHING_ERRORS = [
    (lambda: vakra_rs.dumps_rs(), "dumps_rs() missing 1 required positional argument: 'array'"),
    (lambda: vakra_rs.dumps_rs(ARRAY, False, False, 64, 1),
     "dumps_rs() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: vakra_rs.dumps_rs(ARRAY, array=ARRAY), "dumps_rs() got multiple values for argument 'array'"),
    (lambda: vakra_rs.dumps_rs(ARRAY, level=3), "dumps_rs() got an unexpected keyword argument 'level'"),
    (lambda: vakra_rs.loads_rs(b"", b""), "loads_rs() takes 1 positional arguments but 2 were given"),
    (lambda: vakra_rs.get_packet_info_rs(b"", b""),
     "get_packet_info_rs() takes 1 positional arguments but 2 were given"),
    (lambda: vakra_rs.dumps_string_rs(),
     "dumps_string_rs() missing 3 required positional arguments: 'offsets', 'payload', and 'count'"),
    (lambda: vakra_rs.dump_to_buffer_rs(),
     "dump_to_buffer_rs() missing 2 required positional arguments: 'array' and 'buffer'"),
    (lambda: vakra_rs.dump_to_fd_rs(ARRAY, fd=1, array=ARRAY),
     "dump_to_fd_rs() got multiple values for argument 'array'"),
    (lambda: vakra_rs.shm_mutex_init(bytearray(64), 0, 1),
     "shm_mutex_init() takes 2 positional arguments but 3 were given"),
]


@pytest.mark.parametrize("call, message", MATCHING_ERRORS)
def test_argument_matching_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize("value", [True, False, np.True_, np.False_])
def test_bool_conversion_accepts_python_and_numpy_bools(value):
    packet = vakra_rs.dumps_rs(ARRAY, check_integrity=value)
    assert bool(vakra_rs.get_packet_info_rs(packet)["integrity_protected"]) == bool(value)


CONVERSION_ERRORS = [
    # (call, exception type, exact message or None for interpreter texts, required prefix)
    (lambda: vakra_rs.dumps_rs(ARRAY, check_integrity=1), TypeError,
     "argument 'check_integrity': 'int' object cannot be converted to 'PyBool'", None),
    (lambda: vakra_rs.dumps_rs(ARRAY, compress=None), TypeError,
     "argument 'compress': 'NoneType' object cannot be converted to 'PyBool'", None),
    (lambda: vakra_rs.dumps_rs(ARRAY, alignment=-1), OverflowError, None, None),
    (lambda: vakra_rs.dumps_rs(ARRAY, alignment=2**64), OverflowError, None, None),
    (lambda: vakra_rs.dumps_rs(ARRAY, alignment=64.0), TypeError, None, "argument 'alignment': "),
    (lambda: vakra_rs.dump_to_fd_rs(ARRAY, 2**31), OverflowError,
     "out of range integral type conversion attempted", None),
    (lambda: vakra_rs.dump_to_fd_rs(ARRAY, "1"), TypeError, None, "argument 'fd': "),
    (lambda: vakra_rs.dumps_string_rs(b"", b"", -1), OverflowError,
     "out of range integral type conversion attempted", None),
    (lambda: vakra_rs.dumps_string_rs(b"", b"", 2**32), OverflowError,
     "out of range integral type conversion attempted", None),
    (lambda: vakra_rs.dumps_string_rs(bytearray(8), b"", 0), TypeError,
     "argument 'offsets': 'bytearray' object cannot be converted to 'PyBytes'", None),
    (lambda: vakra_rs.dumps_string_rs(b"\0" * 8, memoryview(b""), 0), TypeError,
     "argument 'payload': 'memoryview' object cannot be converted to 'PyBytes'", None),
]


@pytest.mark.parametrize("call, kind, message, prefix", CONVERSION_ERRORS)
def test_conversion_errors(call, kind, message, prefix):
    with pytest.raises(kind) as caught:
        call()
    assert type(caught.value) is kind
    text = str(caught.value)
    if message is not None:
        assert text == message
    if prefix is not None:
        assert text.startswith(prefix)
    if kind is not TypeError:
        assert not text.startswith("argument")


def test_index_like_integers_convert():
    assert vakra_rs.dumps_rs(ARRAY, alignment=np.int64(64)) == vakra_rs.dumps_rs(ARRAY)


def test_argument_prefix_keeps_the_original_cause():
    class Weird:
        def __index__(self):
            raise TypeError("inner") from KeyError("root")

    with pytest.raises(TypeError) as caught:
        vakra_rs.dumps_rs(ARRAY, alignment=Weird())
    assert str(caught.value) == "argument 'alignment': inner"
    assert isinstance(caught.value.__cause__, KeyError)


BUFFER_ERRORS = [
    ("not a buffer", TypeError, None),
    (memoryview(bytearray(16)).cast("b"), BufferError, "buffer contents are not compatible with u8"),
    (np.zeros(4, dtype=np.float32), BufferError, "buffer contents are not compatible with u8"),
    (memoryview(bytearray(32))[::2], BufferError, None),
    (memoryview(bytearray(32))[::-1], BufferError, None),
]


@pytest.mark.parametrize("function", [vakra_rs.loads_rs, vakra_rs.get_packet_info_rs])
@pytest.mark.parametrize("data, kind, message", BUFFER_ERRORS)
def test_buffer_request_errors(function, data, kind, message):
    with pytest.raises(kind) as caught:
        function(data)
    if message is not None:
        assert str(caught.value) == message


@pytest.mark.parametrize("fmt", ["B", "c"])
def test_unsigned_byte_formats_are_accepted(fmt):
    view = memoryview(bytearray(vakra_rs.dumps_rs(ARRAY))).cast(fmt)
    assert vakra_rs.get_packet_info_rs(view)["shape"] == (3,)


def test_exports_without_strides_are_refused():
    import ctypes

    packet = vakra_rs.dumps_rs(ARRAY)
    raw = (ctypes.c_ubyte * len(packet)).from_buffer_copy(packet)
    with pytest.raises(BufferError) as caught:
        vakra_rs.get_packet_info_rs(raw)
    assert str(caught.value) == "strides is null"
