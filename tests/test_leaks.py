"""Every entry point, called many times on success and on error paths, must neither grow the process's
resident memory nor keep references to its arguments.

20,000 calls per case already show a leak of about 100 bytes per call (any leaked result, buffer copy or
exception); set VAKRA_LEAK_ITERATIONS=100000 for the full run. A smaller pass under tracemalloc catches
leaked Python objects as small as one int per call.
"""

import gc
import os
import resource
import sys
import tracemalloc
from types import SimpleNamespace

import numpy as np
import pytest

from vakra import vakra_rs

scipy_sparse = pytest.importorskip("scipy.sparse")

ITERATIONS = int(os.environ.get("VAKRA_LEAK_ITERATIONS", "20000"))
RSS_LIMIT = 2 * 1024 * 1024
TRACED_CALLS = 2000
TRACED_LIMIT = 16 * 1024  # a leaked int per call would be about 64 KiB
UNTRACED = [tracemalloc.Filter(False, tracemalloc.__file__)]  # the snapshots themselves are traced

ARRAY = np.arange(64, dtype=np.float32).reshape(8, 8)
MATRIX = scipy_sparse.csr_matrix(np.eye(4))
NESTED = {"a": ARRAY, "b": {"c": np.arange(3, dtype=np.int16), "m": MATRIX}}
PACKET = vakra_rs.dumps_rs(ARRAY)
COMPRESSED = vakra_rs.dumps_rs(ARRAY, compress=True, check_integrity=True)
BUNDLE = vakra_rs.dumps_rs(NESTED)
OFFSETS, PAYLOAD = np.array([0, 2, 5], "<u8").tobytes(), b"abcde"
STRING = vakra_rs.dumps_string_rs(OFFSETS, PAYLOAD, 2, check_integrity=True)
QUANTIZED = SimpleNamespace(dtype_code=16, quant_scheme=1, group_size=4, axis=0, shape=[2, 4],
                            data=np.arange(8, dtype=np.uint8), scales=np.ones(2, np.float32),
                            zero_points=np.zeros(2, np.float32))
BAD_CHECKSUM = COMPRESSED[:-1] + bytes([COMPRESSED[-1] ^ 1])
MUTEX_AREA = bytearray(128)
DEV_NULL = os.open(os.devnull, os.O_WRONLY)
_FD_LIMIT = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
INVALID_FD = (_FD_LIMIT if 0 < _FD_LIMIT < 2**30 else 2**30) + 7  # above the limit: never a file opened meanwhile


def shm_cycle(buffer, offset):
    vakra_rs.shm_mutex_init(buffer, offset)
    vakra_rs.shm_mutex_lock(buffer, offset, 1.0)
    vakra_rs.shm_mutex_unlock(buffer, offset)
    vakra_rs.shm_mutex_destroy(buffer, offset)


# name: function, arguments, keyword arguments, the exception expected (None: success)
CASES = {
    "dumps_rs array": (vakra_rs.dumps_rs, (ARRAY,), {}, None),
    "dumps_rs compressed": (vakra_rs.dumps_rs, (ARRAY,), {"compress": True, "check_integrity": True}, None),
    "dumps_rs dict": (vakra_rs.dumps_rs, (NESTED,), {}, None),
    "dumps_rs dict bad value": (vakra_rs.dumps_rs, ({"a": ARRAY, "b": [1, 2]},), {}, AttributeError),
    "dump_to_buffer_rs": (vakra_rs.dump_to_buffer_rs, (ARRAY, bytearray(len(PACKET) + 16)), {}, None),
    "dump_to_fd_rs": (vakra_rs.dump_to_fd_rs, (ARRAY, DEV_NULL), {"compress": True}, None),
    "dump_to_fd_rs bad fd": (vakra_rs.dump_to_fd_rs, (ARRAY, INVALID_FD), {}, OSError),
    "loads_rs compressed": (vakra_rs.loads_rs, (COMPRESSED,), {}, None),
    "loads_rs bundle": (vakra_rs.loads_rs, (BUNDLE,), {}, None),
    "loads_rs string": (vakra_rs.loads_rs, (STRING,), {}, None),
    "loads_rs quantized": (vakra_rs.loads_rs, (vakra_rs.dumps_quantized_rs(QUANTIZED),), {}, None),
    "loads_rs bad checksum": (vakra_rs.loads_rs, (BAD_CHECKSUM,), {}, ValueError),
    "get_packet_info_rs bundle": (vakra_rs.get_packet_info_rs, (BUNDLE,), {}, None),
    "dumps_string_rs": (vakra_rs.dumps_string_rs, (OFFSETS, PAYLOAD, 2), {"check_integrity": True}, None),
    "dumps_quantized_rs": (vakra_rs.dumps_quantized_rs, (QUANTIZED,), {"check_integrity": True}, None),
    "encode_bundle_rs": (vakra_rs.encode_bundle_rs, ([("x", PACKET), ("s", STRING)],), {}, None),
    "encode_bundle_rs byte 256": (vakra_rs.encode_bundle_rs, ([("k", [1, 256])],), {}, OverflowError),
    "shm_mutex cycle": (shm_cycle, (MUTEX_AREA, 64), {}, None),
    "shm_mutex_init no room": (vakra_rs.shm_mutex_init, (MUTEX_AREA, 65), {}, ValueError),
}


def repeat(function, args, kwargs, expected, times):
    for _ in range(times):
        try:
            function(*args, **kwargs)
        except expected or ():
            continue
        assert expected is None, "the call was expected to fail"


def resident_growth(*call):
    gc.collect()
    with open("/proc/self/statm") as statm:
        before = int(statm.read().split()[1])
    repeat(*call, ITERATIONS)
    gc.collect()
    with open("/proc/self/statm") as statm:
        return (int(statm.read().split()[1]) - before) * os.sysconf("SC_PAGE_SIZE")


def traced_growth(*call):
    tracemalloc.start()
    try:
        repeat(*call, 200)
        gc.collect()
        start = tracemalloc.take_snapshot().filter_traces(UNTRACED)
        repeat(*call, TRACED_CALLS)
        gc.collect()
        end = tracemalloc.take_snapshot().filter_traces(UNTRACED)
    finally:
        tracemalloc.stop()
    return sum(stat.size_diff for stat in end.compare_to(start, "filename"))


def steady_growth(measure, limit, call):
    # Some growth happens once and is kept: the interpreter's table of interned strings doubling (about
    # 2 MiB), an allocator taking a new region. A leak grows again over a second run; such a step does not.
    growth = measure(*call)
    return growth if growth < limit else min(growth, measure(*call))


@pytest.mark.parametrize("name", CASES)
def test_no_leak(name):
    function, args, kwargs, expected = call = CASES[name]
    # Small ints, bools and short strings are shared by the whole interpreter.
    watched = [value for value in list(args) + list(kwargs.values()) if not isinstance(value, (int, float, str))]
    references = [sys.getrefcount(value) for value in watched]
    repeat(*call, 2000)
    growth = steady_growth(resident_growth, RSS_LIMIT, call)
    assert growth < RSS_LIMIT, f"resident memory {growth:+d} bytes after {ITERATIONS} calls"
    traced = steady_growth(traced_growth, TRACED_LIMIT, call)
    assert traced < TRACED_LIMIT, f"{traced} bytes of Python objects kept after {TRACED_CALLS} calls"
    assert [sys.getrefcount(value) for value in watched] == references
