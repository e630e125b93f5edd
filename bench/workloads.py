"""The data every format is timed on, in a full and a quick (smoke-test) size.

Values are built once per workload, from a fixed seed, so every format sees the
same bytes and a rerun sees the same data.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

KiB = 1 << 10
MiB = 1 << 20


@dataclass(frozen=True)
class Scale:
    """How big each workload is. FULL is the published run; QUICK proves the
    harness works in a few seconds."""

    dense_sizes: tuple[int, ...]  # bytes of float32, powers of 4
    small_elements: int  # the "small array" of the pickle comparison
    dict_entries: int
    dict_entry_elements: int
    csr_nonzeros: int
    string_count: int
    compressed_sizes: tuple[int, ...]
    integrity_size: int
    info_size: int
    split_size: int  # one array of this size vs a dict of four quarters
    peak_memory_size: int
    rounds: int  # timed samples per case; the median is reported
    min_sample_ns: int  # a sample loops the call until it lasts this long


FULL = Scale(
    dense_sizes=tuple(64 * 4**k for k in range(12)),  # 64 B .. 256 MiB
    small_elements=16,
    dict_entries=255,
    dict_entry_elements=64,
    csr_nonzeros=10**6,
    string_count=10**5,
    compressed_sizes=(64 * KiB, 1 * MiB, 16 * MiB, 64 * MiB),
    integrity_size=64 * MiB,
    info_size=256 * MiB,
    split_size=64 * MiB,
    peak_memory_size=64 * MiB,
    rounds=15,
    min_sample_ns=10_000_000,
)

QUICK = Scale(
    dense_sizes=tuple(64 * 4**k for k in range(5)),  # 64 B .. 16 KiB
    small_elements=16,
    dict_entries=255,
    dict_entry_elements=64,
    csr_nonzeros=10**3,
    string_count=10**3,
    compressed_sizes=(64 * KiB,),
    integrity_size=1 * MiB,
    info_size=1 * MiB,
    split_size=1 * MiB,
    peak_memory_size=4 * MiB,
    rounds=3,
    min_sample_ns=1_000_000,
)


def _rng() -> np.random.Generator:
    return np.random.default_rng(20240607)


def dense(nbytes: int) -> np.ndarray:
    """Random float32 of exactly nbytes (a multiple of 4)."""
    return _rng().random(nbytes // 4, dtype=np.float32)


def small_dense(elements: int) -> np.ndarray:
    return _rng().random(elements, dtype=np.float32)


def compressible(nbytes: int) -> np.ndarray:
    """A smooth signal quantised to 1/100: long runs of equal values, like a
    sensor trace or a mask, that LZ4 shrinks several times over."""
    steps = np.arange(nbytes // 4, dtype=np.float64)
    return np.sin(steps * 1e-3).round(2).astype(np.float32)


def incompressible(nbytes: int) -> np.ndarray:
    """Uniform random float32: LZ4 finds nothing to shrink."""
    return dense(nbytes)


def dict_of_small(entries: int, elements: int) -> dict[str, np.ndarray]:
    rng = _rng()
    return {f"w{i:03d}": rng.random(elements, dtype=np.float32) for i in range(entries)}


def dict_of_quarters(nbytes: int) -> dict[str, np.ndarray]:
    whole = dense(nbytes)
    return {f"part{i}": part.copy() for i, part in enumerate(np.split(whole, 4))}


def csr(nonzeros: int):
    """A float32 CSR matrix with the given number of non-zeros, 10 per row."""
    import scipy.sparse as sp

    rng = _rng()
    rows = nonzeros // 10
    cols = max(rows, 1000)
    indptr = np.arange(0, nonzeros + 1, 10, dtype=np.int32)
    indices = np.sort(rng.integers(0, cols, size=(rows, 10), dtype=np.int32), axis=1).ravel()
    data = rng.random(nonzeros, dtype=np.float32)
    return sp.csr_matrix((data, indices, indptr), shape=(rows, cols))


def short_strings(count: int) -> list[str]:
    """Short ASCII labels of 4 to 24 characters, like tokens or ids."""
    rng = _rng()
    lengths = rng.integers(4, 25, size=count)
    letters = rng.integers(ord("a"), ord("z") + 1, size=int(lengths.sum()), dtype=np.uint8)
    text = letters.tobytes().decode("ascii")
    ends = np.cumsum(lengths)
    return [text[end - length : end] for end, length in zip(ends.tolist(), lengths.tolist())]


def payload_bytes(value) -> int:
    """Bytes of tensor data in a value, the base of every throughput figure."""
    if isinstance(value, np.ndarray):
        return value.nbytes
    if isinstance(value, dict):
        return sum(v.nbytes for v in value.values())
    if isinstance(value, list):
        return sum(len(s.encode()) for s in value)
    return value.data.nbytes + value.indices.nbytes + value.indptr.nbytes


def same(expected, actual) -> bool:
    """Whether a decoded value equals the value that was encoded."""
    if isinstance(expected, np.ndarray):
        return np.array_equal(np.asarray(actual), expected) and np.asarray(actual).dtype == expected.dtype
    if isinstance(expected, dict):
        return set(actual) == set(expected) and all(same(expected[k], actual[k]) for k in expected)
    if isinstance(expected, list):
        return [str(s) for s in _as_list(actual)] == expected
    return expected.shape == actual.shape and (expected != actual).nnz == 0


def _as_list(strings) -> list:
    if hasattr(strings, "to_pylist"):
        return strings.to_pylist()
    if hasattr(strings, "tolist"):
        return strings.tolist()
    return list(strings)
