"""A Dask serialization family, "vakra", that moves tensors as vakra packets.

Importing this module registers the family with ``distributed`` (and the
sizes of string and quantized tensors with ``dask.sizeof``). It takes
exactly the values that come back with their type intact: NumPy arrays
(C-contiguous, native byte order, a dtype vakra stores; not NumPy scalars),
SciPy COO/CSR/CSC matrices and arrays, ``StringTensor``, ``QuantizedTensor``,
and dicts with ``str`` keys of these, and checkpoint trees holding such tensors
(``vakra._model.tree_packet``: int keys, tuples, Python and NumPy scalars,
any number of entries) whose containers and scalars are of the base types a
tree restores (a ``Bundle`` at the top excepted). For anything else it raises
``NotImplementedError``, and Dask tries its next family. Array bodies of
64 KiB or more travel as frames of their own, without copies (smaller pieces
ride in the header, or joined into frames when they add up to more than
64 KiB); arrays arrive writable, as views of what Dask received where it is
writable, the index arrays of sparse matrices included, which are checked
there.

Turn it on by naming it first, on the workers (worker to worker transfers
follow the serializers of the worker that fetches) and on the client::

    serializers = ["vakra", "dask", "pickle"]
    cluster = LocalCluster(serializers=serializers, deserializers=serializers, preload=["vakra.dask"])
    client = Client(cluster, serializers=serializers, deserializers=serializers)

Preloading this module on a worker that was started without ``serializers``
puts the family first for that worker, so the Dask config
``distributed.worker.preload: [vakra.dask]`` turns it on for a whole cluster.
Options come from the Dask config at each transfer: ``vakra.check-integrity``
(XXH3-64 checksums over every body, verified on arrival) and ``vakra.compress``
(LZ4 array bodies), both false by default. In a YAML config file the dots
are nesting (``vakra:`` then ``compress: true`` indented under it), as Dask
reads every file.

Dask takes apart a plain ``dict`` that is a task's result (or one value
scattered) and sends its values one by one. A :class:`Bundle`, a dict that
Dask leaves whole, travels as one packet and arrives as a ``Bundle``.
"""

from __future__ import annotations

import sys
from typing import Any

try:
    import dask.config
    from dask.sizeof import sizeof
    from distributed import Worker
except ImportError as error:
    raise ImportError("vakra.dask needs Dask's distributed: pip install 'vakra[dask]'") from error
import numpy as np
from distributed.protocol.serialize import register_serialization_family

from . import _native
from ._facts import MAX_NESTING_DEPTH, STANDARD_ALIGNMENT
from ._model import tree_packet
from .quantize import QuantizedTensor
from .ragged import StringTensor

__all__ = ["Bundle", "FAMILY", "SERIALIZERS", "serialize", "deserialize"]

_encode = _native.encode
_encode_segments = _native.encode_segments
_loads_frames = _native.loads_frames

#: The family's name, as Dask's ``serializers=`` and ``deserializers=`` take it.
FAMILY = "vakra"
#: The serializers to name on the client and the workers: this family first, then Dask's own.
SERIALIZERS = [FAMILY, "dask", "pickle"]

_SPARSE_CLASSES = ("coo_matrix", "csr_matrix", "csc_matrix", "coo_array", "csr_array", "csc_array")
# Dask handles every frame on its own (a split check, a compression check, a
# length in the prelude, a read on arrival), which costs more than copying a
# few KiB. So bodies of _JOIN_BELOW or more travel as frames, views of the
# arrays, and the runs of smaller pieces between them (framing, small bodies)
# in the header, as msgpack bytes; a packet whose runs add up to more than
# _IN_HEADER_UPTO sends them as frames instead, each run joined into one.
_JOIN_BELOW = 64 * 1024
_IN_HEADER_UPTO = 64 * 1024


class Bundle(dict):
    """A dict that Dask hands to the vakra family whole.

    Return one from a task to move a dict of arrays between workers as one
    packet; it arrives as a ``Bundle``. Scatter it inside a list
    (``client.scatter([bundle])``): ``scatter`` reads a dict as a mapping of
    names to values. It is made as a ``dict`` is.

    Examples
    --------
    >>> from vakra.dask import Bundle, deserialize, serialize
    >>> batch = Bundle(x=np.ones((2, 2), np.float32), labels=vakra.StringTensor(["a", "b"]))
    >>> back = deserialize(*serialize(batch))
    >>> type(back).__name__, back["x"].flags.writeable
    ('Bundle', True)
    """

    __slots__ = ()


class _Unsupported(NotImplementedError):
    pass


def serialize(value: Any) -> tuple[dict, list]:
    """The family's serializer: a value as Dask's header and frames.

    Array bodies of 64 KiB or more travel as frames of their own, views of the
    arrays; smaller pieces ride in the header, or are joined into frames when
    they add up to more than 64 KiB. The options ``vakra.check-integrity`` and
    ``vakra.compress`` are read from the Dask config at each call.

    Parameters
    ----------
    value : object
        A NumPy array (C-contiguous, native byte order, a dtype vakra stores),
        a SciPy COO/CSR/CSC matrix or array, a :class:`vakra.StringTensor`, a
        :class:`vakra.quantize.QuantizedTensor`, a :class:`Bundle`, or a dict with
        ``str`` keys of these.

    Returns
    -------
    header : dict
        msgpack-able facts and small pieces of the packet.
    frames : list of bytes-like
        The rest of the packet.

    Raises
    ------
    NotImplementedError
        For any other value (NumPy scalars and lists included), so that Dask
        tries its next family.

    Examples
    --------
    >>> from vakra.dask import serialize
    >>> header, frames = serialize(np.zeros(100_000, np.float32))
    >>> len(frames) >= 1
    True
    >>> try:
    ...     serialize(3.5)
    ... except NotImplementedError:
    ...     print("left to Dask's next family")
    left to Dask's next family
    """
    small_array = type(value) is np.ndarray and value.nbytes < _JOIN_BELOW
    retyped: list = []
    tree = False
    if not small_array:
        try:
            _check(value, [], retyped)
        except _Unsupported:
            if not tree_packet.is_tree(value):
                raise
            tree = "Bundle" if type(value) is Bundle else True
            retyped = []  # what the walk noted before it stopped is the tree's, not its bundle's
            value = _tree_bundle(value, retyped)
    check_integrity = compress = False
    if dask.config.config.get("vakra"):  # one dict lookup when the cluster sets no vakra option
        check_integrity = bool(dask.config.get("vakra.check-integrity", False))
        compress = bool(dask.config.get("vakra.compress", False))
    try:
        # No `convert`: the encoder takes the value as it is (C-contiguous native arrays of a stored dtype, and
        # the rest of what _check admits) or refuses it, rather than converting it to something else.
        if small_array:  # what _arranged makes of a packet that fits the header, made at once
            packet = _encode(value, check_integrity, compress, STANDARD_ALIGNMENT, None)
            if len(packet) <= _IN_HEADER_UPTO:
                return {"pieces": [packet]}, []
        frames = _encode_segments(value, check_integrity, compress, STANDARD_ALIGNMENT, None)
    except (TypeError, ValueError, OverflowError) as error:  # not as it is, or beyond the format's limits
        raise _Unsupported(str(error)) from error
    header: dict = {"retyped": retyped} if retyped else {}
    if tree:
        header["tree"] = tree
    return header, _arranged(frames, header)


def deserialize(header: dict, frames: list) -> Any:
    """The family's deserializer: the value of a header and its frames.

    Arrays arrive writable, as views of the frames where these are writable,
    the index arrays of sparse matrices included, which are checked there.
    Bundles and SciPy arrays get their own class back.

    Parameters
    ----------
    header : dict
        What :func:`serialize` returned, as Dask delivers it.
    frames : list of bytes-like
        The frames, as Dask delivers them.

    Returns
    -------
    object
        The value, with the type it was sent with.

    Raises
    ------
    ValueError
        For damaged frames, with the codec's message.

    Examples
    --------
    >>> import scipy.sparse
    >>> from vakra.dask import deserialize, serialize
    >>> matrix = scipy.sparse.random(50, 50, density=0.1, format="csr", dtype=np.float32)
    >>> back = deserialize(*serialize(matrix))
    >>> back.format, (back != matrix).nnz
    ('csr', 0)
    """
    pieces = header.get("pieces")
    if pieces is not None and not frames:  # the whole packet in the header
        frames = pieces
    elif pieces is not None:  # the packet is pieces[0], frames[0], pieces[1], frames[1], ... pieces[-1]
        ordered = [pieces[0]]
        for body, piece in zip(frames, pieces[1:]):
            ordered += (body, piece)
        frames = ordered
    # Dask hands the frames over with the value (its own deserializers view them too, and nothing writes them
    # again), so index arrays are checked and viewed where they arrived rather than copied.
    value = _loads_frames(frames if isinstance(frames, (list, tuple)) else list(frames), True, True)
    # Bundles and SciPy arrays decode as dicts and matrices: their own class
    # is put back, sharing the decoded arrays.
    for path, name in reversed(header.get("retyped", ())):
        value = _replace(value, path, name)
    if header.get("tree"):
        value = tree_packet.tree_of(value)
        return Bundle(value) if header["tree"] == "Bundle" else value
    return value


def dask_setup(worker: Any) -> None:
    """Preload hook: a worker started without serializers uses the family first."""
    if isinstance(worker, Worker) and worker.rpc.serializers is None:
        worker.rpc.serializers = list(SERIALIZERS)


def _arranged(frames: list, header: dict) -> list:
    """The frames to send for the packet ``frames``: bodies of _JOIN_BELOW or
    more as they are, each run of smaller pieces between them joined, the runs
    put in ``header["pieces"]`` when they are small enough (one per gap
    between bodies, and one before and after them: empty where there is none)."""
    bodies: list = []
    runs: list = []
    run: list = []
    for frame in frames:
        if memoryview(frame).nbytes < _JOIN_BELOW:
            run.append(frame)
        else:
            runs.append(b"".join(run))
            run = []
            bodies.append(frame)
    runs.append(b"".join(run))
    if sum(map(len, runs)) <= _IN_HEADER_UPTO:
        header["pieces"] = runs
        return bodies
    out: list = []
    for run_before, body in zip(runs, bodies):
        if run_before:
            out.append(run_before)
        out.append(body)
    if runs[-1]:
        out.append(runs[-1])
    return out


def _check(value: Any, path: list, retyped: list) -> None:
    """Raises _Unsupported unless decoding ``value`` gives back its type
    (whether the encoder takes it as it is, the encoder itself says); notes in
    ``retyped`` the values whose class decoding does not restore."""
    kind = type(value)
    if kind is dict or kind is Bundle:
        if len(path) >= MAX_NESTING_DEPTH:  # also stops a dict that holds itself
            raise _Unsupported("dicts nested too deep")
        if kind is Bundle:
            retyped.append([list(path), "Bundle"])
        for key, item in value.items():
            path.append(key)
            _check(item, path, retyped)
            path.pop()
    elif kind is not np.ndarray and kind is not StringTensor and kind is not QuantizedTensor:
        name = kind.__name__
        if name not in _SPARSE_CLASSES or kind.__module__.split(".")[:2] != ["scipy", "sparse"]:
            raise _Unsupported(f"{kind.__module__}.{name}")
        if value.ndim != 2:  # decoded as a matrix
            raise _Unsupported(f"sparse {name} of {value.ndim} dimensions")
        if name.endswith("_array"):
            retyped.append([list(path), name])


def _tree_bundle(value: Any, retyped: list) -> dict:
    """The bundle carrying the checkpoint tree ``value`` when it holds a
    tensor and every part of it comes back with its own type (a Bundle at
    the top comes back as one), else _Unsupported; notes in ``retyped`` the
    tensors to retype."""
    try:
        bundle = tree_packet.bundle(value)
    except (TypeError, ValueError) as error:
        raise _Unsupported(str(error)) from error
    if len(bundle) == 1:  # the skeleton alone: Dask's own families move plain Python values faster
        raise _Unsupported("a tree without tensors")
    _check_exact(dict(value) if type(value) is Bundle else value)
    _check(bundle, [], retyped)
    return bundle


_EXACT_SCALARS = (type(None), bool, int, float, complex, str, bytes)


def _check_exact(value: Any) -> None:
    """_Unsupported unless the tree's containers and scalars are of the very
    types a tree restores (no subclasses: a tree keeps only the base type).
    The tree was flattened already, so it is finite and holds no loop."""
    kind = type(value)
    if kind is dict:
        for item in value.values():
            _check_exact(item)
    elif kind is list or kind is tuple:
        for item in value:
            _check_exact(item)
    elif kind not in _EXACT_SCALARS and not isinstance(value, np.generic) and (
            isinstance(value, (dict, list, tuple, *_EXACT_SCALARS))):
        raise _Unsupported(f"a {kind.__module__}.{kind.__name__} in a tree comes back as its base type")


def _replace(value: Any, path: list, name: str) -> Any:
    if path:
        container = value
        for key in path[:-1]:
            container = container[key]
        container[path[-1]] = _replace(container[path[-1]], [], name)
        return value
    if name == "Bundle":
        return Bundle(value)
    return getattr(sys.modules["scipy.sparse"], name)(value)


register_serialization_family(FAMILY, serialize, deserialize)
# What Dask counts for memory limits and transfer batches: the buffers, not the wrapper objects.
sizeof.register(StringTensor)(lambda tensor: tensor.offsets.nbytes + len(tensor.payload))
sizeof.register(QuantizedTensor)(lambda tensor: tensor.data.nbytes + tensor.scales.nbytes + tensor.zero_points.nbytes)
