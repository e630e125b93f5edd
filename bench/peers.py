"""One small adapter per format: how it encodes and decodes each kind of value.

Kinds: "dense" (one ndarray), "dict" (str -> ndarray), "sparse" (scipy CSR),
"strings" (list of str). A format that has no natural form for a kind simply
leaves it out. Each adapter is what a user of that format would write; the
output is whatever the format hands back (bytes, a pyarrow Buffer, ...).
"""

from __future__ import annotations

import io
import pickle
from dataclasses import dataclass, field
from functools import partial
from typing import Callable

import numpy as np


@dataclass
class Peer:
    name: str
    dumps: dict[str, Callable] = field(default_factory=dict)
    loads: dict[str, Callable] = field(default_factory=dict)
    note: str = ""


@dataclass(frozen=True)
class VakraApi:
    """The vakra calls the bench times: the package's dumps / loads /
    dump_into where that layer exists, else the extension's own entry points."""

    layer: str
    dumps: Callable  # (value, check_integrity=, compress=) -> bytes
    loads: Callable
    dump_into: Callable  # (value, buffer) -> int


def vakra_api() -> VakraApi:
    import vakra

    if all(hasattr(vakra, name) for name in ("dumps", "loads", "dump_into")):
        return VakraApi("vakra.dumps / vakra.loads / vakra.dump_into", vakra.dumps, vakra.loads, vakra.dump_into)
    rs = vakra.vakra_rs
    return VakraApi("vakra.vakra_rs", rs.dumps_rs, rs.loads_rs, rs.dump_to_buffer_rs)


def _vakra() -> Peer:
    api = vakra_api()
    import vakra

    if hasattr(vakra, "dumps"):
        dumps_strings = api.dumps  # the package takes a list of str as a string tensor
    else:
        def dumps_strings(strings: list[str]) -> bytes:
            return vakra.vakra_rs.dumps_string_rs(*string_parts(strings))

    kinds = ("dense", "dict", "sparse")
    return Peer(
        "vakra",
        dumps={**{k: api.dumps for k in kinds}, "strings": dumps_strings},
        loads={k: api.loads for k in (*kinds, "strings")},
        note=f"timed through {api.layer}",
    )


def string_parts(strings: list[str]) -> tuple[bytes, bytes, int]:
    """The raw string entry point's inputs: the offsets table as little-endian
    u64 bytes, the UTF-8 payload, and the count."""
    encoded = [s.encode() for s in strings]
    offsets = np.zeros(len(encoded) + 1, dtype="<u8")
    np.cumsum(np.fromiter(map(len, encoded), dtype=np.uint64, count=len(encoded)), out=offsets[1:])
    return offsets.tobytes(), b"".join(encoded), len(encoded)


def _pickle_inband() -> Peer:
    kinds = ("dense", "dict", "sparse", "strings")
    return Peer(
        "pickle5",
        dumps={k: partial(pickle.dumps, protocol=5) for k in kinds},
        loads={k: pickle.loads for k in kinds},
        note="protocol 5, data in-band",
    )


def _pickle_out_of_band() -> Peer:
    def dumps(value):
        buffers: list[pickle.PickleBuffer] = []
        head = pickle.dumps(value, protocol=5, buffer_callback=buffers.append)
        return head, buffers

    def loads(blob):
        head, buffers = blob
        return pickle.loads(head, buffers=buffers)

    kinds = ("dense", "dict", "sparse")
    return Peer(
        "pickle5-oob",
        dumps={k: dumps for k in kinds},
        loads={k: loads for k in kinds},
        note="protocol 5 with buffer_callback: a small pickle plus views of the source "
        "memory, no copy and not one self-contained byte string",
    )


def _numpy_save() -> Peer:
    def dumps_dense(array):
        sink = io.BytesIO()
        np.save(sink, array, allow_pickle=False)
        return sink.getvalue()

    def loads_dense(data):
        return np.load(io.BytesIO(data), allow_pickle=False)

    def dumps_dict(arrays):
        sink = io.BytesIO()
        np.savez(sink, **arrays)
        return sink.getvalue()

    def loads_dict(data):
        with np.load(io.BytesIO(data), allow_pickle=False) as archive:
            return {name: archive[name] for name in archive.files}

    return Peer(
        "numpy.save",
        dumps={"dense": dumps_dense, "dict": dumps_dict, "strings": lambda s: dumps_dense(np.array(s))},
        loads={"dense": loads_dense, "dict": loads_dict, "strings": loads_dense},
        note="np.save / np.load over io.BytesIO (np.savez for dicts; fixed-width str array for strings)",
    )


def _safetensors() -> Peer:
    from safetensors.numpy import load, save

    return Peer(
        "safetensors",
        dumps={"dense": lambda array: save({"x": array}), "dict": save},
        loads={"dense": lambda data: load(data)["x"], "dict": load},
        note="safetensors.numpy.save / load",
    )


def _pyarrow() -> Peer:
    import pyarrow as pa

    def dumps_dense(array):
        sink = pa.BufferOutputStream()
        pa.ipc.write_tensor(pa.Tensor.from_numpy(array), sink)
        return sink.getvalue()

    def loads_dense(buffer):
        return pa.ipc.read_tensor(pa.BufferReader(buffer)).to_numpy()

    def dumps_strings(strings):
        batch = pa.record_batch([pa.array(strings, pa.string())], names=["s"])
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, batch.schema) as writer:
            writer.write_batch(batch)
        return sink.getvalue()

    def loads_strings(buffer):
        return pa.ipc.open_stream(buffer).read_next_batch().column(0)

    return Peer(
        "pyarrow",
        dumps={"dense": dumps_dense, "strings": dumps_strings},
        loads={"dense": loads_dense, "strings": loads_strings},
        note=f"tensor IPC (write_tensor / read_tensor, zero-copy read); a record batch stream for strings. "
        f"Writes into pyarrow's {pa.default_memory_pool().backend_name} memory pool, which keeps freed "
        "memory for the next call",
    )


def _msgpack_numpy() -> Peer:
    import msgpack
    import msgpack_numpy

    dumps = partial(msgpack.packb, default=msgpack_numpy.encode)
    loads = partial(msgpack.unpackb, object_hook=msgpack_numpy.decode)
    kinds = ("dense", "dict", "strings")
    return Peer(
        "msgpack-numpy",
        dumps={k: dumps for k in kinds},
        loads={k: loads for k in kinds},
        note="msgpack.packb / unpackb with msgpack_numpy hooks",
    )


def _scipy_npz() -> Peer:
    import scipy.sparse as sp

    def dumps(matrix):
        sink = io.BytesIO()
        sp.save_npz(sink, matrix, compressed=False)
        return sink.getvalue()

    return Peer(
        "scipy.npz",
        dumps={"sparse": dumps},
        loads={"sparse": lambda data: sp.load_npz(io.BytesIO(data))},
        note="scipy.sparse.save_npz(compressed=False) / load_npz over io.BytesIO",
    )


PEER_FACTORIES = (
    ("vakra", _vakra),
    ("pickle5", _pickle_inband),
    ("pickle5-oob", _pickle_out_of_band),
    ("numpy.save", _numpy_save),
    ("safetensors", _safetensors),
    ("pyarrow", _pyarrow),
    ("msgpack-numpy", _msgpack_numpy),
    ("scipy.npz", _scipy_npz),
)


def available() -> tuple[list[Peer], list[tuple[str, str]]]:
    """The peers that import here, and (name, reason) for those that do not."""
    peers, skipped = [], []
    for name, factory in PEER_FACTORIES:
        try:
            peers.append(factory())
        except ImportError as error:
            skipped.append((name, f"cannot be imported: {error}"))
    return peers, skipped


def lz4_frame_codec(body_size: int, store_size: bool = False):
    """lz4.frame compress/decompress with the frame settings vakra writes:
    independent blocks, no checksums, no content size, block size by body size.
    store_size=True adds the content size, which lets the decompressor
    allocate its output once."""
    import lz4.frame as frame

    if body_size <= 64 * 1024:
        block_size = frame.BLOCKSIZE_MAX64KB
    elif body_size <= 256 * 1024:
        block_size = frame.BLOCKSIZE_MAX256KB
    else:
        block_size = frame.BLOCKSIZE_MAX4MB
    compress = partial(
        frame.compress,
        block_size=block_size,
        block_linked=False,
        content_checksum=False,
        store_size=store_size,
    )
    return compress, frame.decompress
