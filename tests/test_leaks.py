"""Entry points called many times on success and on error paths neither grow the process's resident memory nor
keep references to their arguments.

20,000 calls per case show a leak of about 100 bytes per call (any leaked result, buffer copy or exception);
set VAKRA_LEAK_ITERATIONS=100000 for the full run. A smaller pass under tracemalloc catches leaked Python
objects as small as one int per call."""

import gc
import importlib.util
import io
import os
import resource
import socket
import sys
import tracemalloc

import numpy as np
import pytest
import scipy.sparse

import vakra
from samples import VALUES
from vakra import vakra_rs

ITERATIONS = int(os.environ.get("VAKRA_LEAK_ITERATIONS", "20000"))
RSS_LIMIT, TRACED_CALLS, TRACED_LIMIT = 2 << 20, 2000, 16 << 10  # a leaked int per call would be about 64 KiB
UNTRACED = [tracemalloc.Filter(False, tracemalloc.__file__)]  # the snapshots themselves are traced

ARRAY = np.arange(64, dtype=np.float32).reshape(8, 8)
NESTED = {"a": ARRAY, "b": {"c": np.arange(3, dtype=np.int16), "m": scipy.sparse.csr_matrix(np.eye(4))}}
MIXED = {**NESTED, "s": ["ab", "c"], "q": VALUES["qint8"], "t": VALUES["transposed"]}  # one of each kind
COMPRESSED = vakra_rs.dumps_rs(ARRAY, compress=True, check_integrity=True)
MUTEX_AREA = bytearray(128)
DEV_NULL = os.open(os.devnull, os.O_WRONLY)
_FD_LIMIT = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
INVALID_FD = (_FD_LIMIT if 0 < _FD_LIMIT < 2**30 else 2**30) + 7  # above the limit: never a file opened meanwhile


PACKET = vakra.dumps(MIXED, compress=True, check_integrity=True)
SOCKETS = socket.socketpair()
DEV_NULL_FILE = open(os.devnull, "wb")  # noqa: SIM115 - kept for the module's life


def shm_cycle(buffer, offset):
    vakra_rs.shm_mutex_init(buffer, offset)
    vakra_rs.shm_mutex_lock(buffer, offset, 1.0)
    vakra_rs.shm_mutex_unlock(buffer, offset)
    vakra_rs.shm_mutex_destroy(buffer, offset)


# One success and one error path per family of entry points.
# name: function, arguments, keyword arguments, the exception expected (None: success)
CASES = {
    "dumps every kind": (vakra.dumps, (MIXED,), {"check_integrity": True}, None),
    "dumps refused value": (vakra.dumps, ({"a": ARRAY, "b": [1, {2}]},), {}, TypeError),  # refused as a tree
    "loads every kind": (vakra.loads, (vakra.dumps(MIXED, compress=True),), {}, None),
    "info every kind": (vakra.info, (vakra.dumps(MIXED),), {}, None),
    "dump to a file object (writev)": (vakra.dump, (MIXED, DEV_NULL_FILE), {"compress": True}, None),
    "frames, split anywhere": (  # cut at arbitrary points, as a transport may
        lambda v: vakra.loads_frames([(j := b"".join(vakra.dumps_frames(v)))[:100], j[100:5000], j[5000:]], writable=True),
        (MIXED,), {}, None),
    "frames, damaged": (vakra.loads_frames, ([PACKET[:50], PACKET[51:]],), {}, ValueError),
    "load two from a stream": (lambda p: [vakra.load(s := io.BytesIO(p + p)), vakra.load(s, writable=True)], (PACKET,), {}, None),
    "load cut short": (vakra.load, (io.BytesIO(PACKET[:-1]),), {}, ValueError),
    "send and recv": (lambda v: [vakra.send(SOCKETS[0], v), vakra.recv(SOCKETS[1])], (MIXED,), {}, None),
    "packet_length of a prefix": (vakra.packet_length, (PACKET[:30],), {}, None),
    "dump_to_buffer_rs": (vakra_rs.dump_to_buffer_rs, (NESTED, bytearray(4096)), {}, None),
    "dump_to_fd_rs": (vakra_rs.dump_to_fd_rs, (ARRAY, DEV_NULL), {"compress": True}, None),
    "dump_to_fd_rs bad fd": (vakra_rs.dump_to_fd_rs, (ARRAY, INVALID_FD), {}, OSError),
    "loads_rs bad checksum": (vakra_rs.loads_rs, (COMPRESSED[:-1] + bytes([COMPRESSED[-1] ^ 1]),), {}, ValueError),
    "dumps_quantized_rs": (vakra_rs.dumps_quantized_rs, (VALUES["grouped qint4"],), {"check_integrity": True}, None),
    "encode_bundle_rs byte 256": (vakra_rs.encode_bundle_rs, ([("k", [1, 256])],), {}, OverflowError),
    "shm_mutex cycle": (shm_cycle, (MUTEX_AREA, 64), {}, None),
    "shm_mutex_init no room": (vakra_rs.shm_mutex_init, (MUTEX_AREA, 65), {}, ValueError),
}


if importlib.util.find_spec("torch") is not None:
    import vakra.torch
    CASES["torch loads, writable"] = (vakra.torch.loads, (bytearray(PACKET),), {"writable": True}, None)
if importlib.util.find_spec("distributed") is not None:
    import vakra.dask
    CASES["dask family"] = (lambda v: vakra.dask.deserialize(*vakra.dask.serialize(v)), (vakra.dask.Bundle(NESTED, s=vakra.StringTensor(["ab"]), q=VALUES["qint8"]),),
                            {}, None)


def repeat(function, args, kwargs, expected, times):
    for _ in range(times):
        try:
            function(*args, **kwargs)
        except expected or ():
            continue
        assert expected is None, "the call was expected to fail"


def resident_growth(call):
    def resident():
        gc.collect()
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    before = resident()
    repeat(*call, ITERATIONS)
    return resident() - before


def traced_growth(call):
    tracemalloc.start()
    try:
        # Warm up while tracing: objects a cache replaces then count as freed, not only their successors as new.
        repeat(*call, TRACED_CALLS)
        gc.collect()
        start = tracemalloc.take_snapshot().filter_traces(UNTRACED)
        repeat(*call, TRACED_CALLS)
        gc.collect()
        end = tracemalloc.take_snapshot().filter_traces(UNTRACED)
    finally:
        tracemalloc.stop()
    return sum(stat.size_diff for stat in end.compare_to(start, "filename"))


@pytest.mark.parametrize("name", CASES)
def test_no_leak(name):
    function, args, kwargs, expected = call = CASES[name]
    # Small ints, bools and short strings are shared by the whole interpreter.
    watched = [value for value in list(args) + list(kwargs.values()) if not isinstance(value, (int, float, str))]
    references = [sys.getrefcount(value) for value in watched]
    repeat(*call, 2000)
    # Some growth happens once and is kept: the interpreter's table of interned strings doubling (about
    # 2 MiB), an allocator taking a new region. A leak grows again over a second run; such a step does not.
    for measure, limit in ((resident_growth, RSS_LIMIT), (traced_growth, TRACED_LIMIT)):
        growth = measure(call)
        growth = growth if growth < limit else min(growth, measure(call))
        assert growth < limit, f"{measure.__name__}: {growth:+d} bytes"
    gc.collect()  # results caught in reference cycles hold their arguments until a collection
    assert [sys.getrefcount(value) for value in watched] == references
