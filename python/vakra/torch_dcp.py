"""``vakra.torch.dcp``: ``torch.distributed.checkpoint`` storage in vakra
model files, with no pickle anywhere.

    >>> import torch.distributed.checkpoint as dcp
    >>> from vakra.torch import dcp as vdcp
    >>> dcp.save(state_dict, storage_writer=vdcp.Writer("ckpt"))       # doctest: +SKIP
    >>> dcp.load(state_dict, storage_reader=vdcp.Reader("ckpt"))       # doctest: +SKIP

Each rank writes its chunks into model files of its own in the checkpoint's
directory (``__<rank>_<k>.vkr``, one per writer thread), each chunk an entry
named after its tensor and offsets, straight from the tensor's memory and one
at a time: nothing the planner hands over is kept once its bytes are written.
The coordinator's ``finish`` writes the checkpoint's metadata as a model file
(``.metadata.vkr``, see ``vakra._dcp.checkpoint_metadata``): no pickle
anywhere.

Non-tensor values (optimizer ``param_groups``, steps, RNG states) are
stored as typed trees (``vakra._model.tree``) in place of torch's pickles, and
read back without unpickling: the reader sets each value where torch's
default load planner would after its ``torch.load``, or hands it to a
planner's ``load_value(read_item, value)``. A planner that makes its own
bytes for such values gets them back in its ``load_bytes``.

Loading reads, for each chunk of a destination, only the bytes of the stored
chunks that overlap it (``Reader.bytes_read`` counts them), with ``pread``
into the destination's memory. Chunks written with ``check_integrity`` are
read whole instead, so that their checksums are verified.
"""

from __future__ import annotations

import dataclasses
import io
import os
import uuid
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor, wait
from typing import Any

import numpy as np
import torch
from torch.distributed.checkpoint.default_planner import DefaultLoadPlanner, DefaultSavePlanner
from torch.distributed.checkpoint.metadata import Metadata, MetadataIndex, StorageMeta
from torch.distributed.checkpoint.planner import (LoadItemType, LoadPlan, LoadPlanner, ReadItem, SavePlan,
                                                  SavePlanner, WriteItem, WriteItemType)
from torch.distributed.checkpoint._traverse import set_element
from torch.distributed.checkpoint.storage import StorageReader, StorageWriter, WriteResult
from torch.futures import Future

from ._dcp.checkpoint_metadata import METADATA_NAME, StoredValue
from ._dcp.torch_metadata import read_metadata, write_metadata
from ._dcp.chunk_reads import ByteCount, read_box
from ._facts import DENSE
from ._io.packets import loads
from ._model.model_file import File
from ._model.model_save import save_stream
from ._model.tree import flatten, unflatten
from .ragged import StringTensor
from .torch import as_tensor

__all__ = ["Writer", "Reader"]

_DCP_VERSION = "1.0.0"  # the DCP metadata version torch's own writer records


class Writer(StorageWriter):
    """A ``torch.distributed.checkpoint`` storage writer into vakra model files.

    Pass it as ``storage_writer=`` to ``torch.distributed.checkpoint.save``.
    Each rank writes its chunks into model files of its own in the directory
    ``path`` (made if missing), straight from the tensors' memory, and keeps
    no chunk once its bytes are written; non-tensor values are stored as
    typed trees and the checkpoint's metadata as a model file, so nothing is
    pickled.

    Parameters
    ----------
    path : str or os.PathLike
        The checkpoint's directory.
    thread_count : int, default 1
        Model files per rank, written by as many threads.
    check_integrity : bool, default False
        An XXH3-64 checksum on every chunk, verified when it is loaded.
    durable : bool, default True
        Sync the files; ``False`` skips it.

    Raises
    ------
    ValueError
        For a ``thread_count`` that is not a positive int.

    See Also
    --------
    Reader : reads the checkpoint back.

    Examples
    --------
    >>> import torch, torch.distributed.checkpoint as dcp
    >>> from vakra.torch import dcp as vdcp
    >>> model = torch.nn.Linear(4, 2)
    >>> _ = dcp.save({"model": model.state_dict()}, storage_writer=vdcp.Writer("ckpt", thread_count=2))
    >>> sorted(name for name in os.listdir("ckpt") if name.endswith(".vkr"))
    ['.metadata.vkr', '__0_0.vkr', '__0_1.vkr']
    """

    def __init__(self, path: str | os.PathLike, *, thread_count: int = 1, check_integrity: bool = False,
                 durable: bool = True) -> None:
        super().__init__()
        if isinstance(thread_count, bool) or not isinstance(thread_count, int) or thread_count < 1:
            raise ValueError(f"thread_count must be a positive int, not {thread_count!r}")
        self.path = os.fsdecode(path)
        self.thread_count = thread_count
        self.check_integrity = bool(check_integrity)
        self.durable = bool(durable)
        self.save_id = uuid.uuid4().hex

    def reset(self, checkpoint_id: str | os.PathLike | None = None) -> None:
        if checkpoint_id:
            self.path = os.fsdecode(checkpoint_id)
        self.save_id = uuid.uuid4().hex

    def set_up_storage_writer(self, is_coordinator: bool, *args: Any, **kwargs: Any) -> None:
        self.rank = kwargs.get("rank")

    def prepare_local_plan(self, plan: SavePlan) -> SavePlan:
        os.makedirs(self.path, exist_ok=True)
        return plan

    def prepare_global_plan(self, plans: list[SavePlan]) -> list[SavePlan]:
        return [dataclasses.replace(plan, storage_data=f"__{rank}_") for rank, plan in enumerate(plans)]

    def write_data(self, plan: SavePlan, planner: SavePlanner) -> Future[list[WriteResult]]:
        prefix = plan.storage_data if plan.storage_data is not None else f"__{self.rank or 0}_"
        jobs = [(f"{prefix}{number}.vkr", bucket)
                for number, bucket in enumerate(_buckets(plan.items, self.thread_count)) if bucket]
        if len(jobs) > 1:
            with ThreadPoolExecutor(len(jobs)) as pool:  # the native writer lets go of the GIL while it writes
                written = list(pool.map(lambda job: self._write_file(*job, planner), jobs))
        else:
            written = [self._write_file(*job, planner) for job in jobs]
        future: Future[list[WriteResult]] = Future()
        future.set_result([result for results in written for result in results])
        return future

    def _write_file(self, file_name: str, items: list[WriteItem], planner: SavePlanner) -> list[WriteResult]:
        names = [_entry_name(item.index) for item in items]
        path = os.path.join(self.path, file_name)
        save_stream(names, _values(items, planner), path, check_integrity=self.check_integrity,
                    durable=self.durable)
        with File(path) as file:
            return [WriteResult(index=item.index, size_in_bytes=file.byte_range(name)[1],
                                storage_data=StoredValue(file_name, name)) for item, name in zip(items, names)]

    def finish(self, metadata: Metadata, results: list[list[WriteResult]]) -> None:
        stored = {result.index: result.storage_data for rank_results in results for result in rank_results}
        metadata.version = _DCP_VERSION
        metadata.storage_data = stored
        metadata.storage_meta = self.storage_meta()
        write_metadata(self.path, metadata, stored, self.durable)

    def storage_meta(self) -> StorageMeta | None:
        return StorageMeta(checkpoint_id=self.path, save_id=self.save_id)

    @classmethod
    def validate_checkpoint_id(cls, checkpoint_id: str | os.PathLike) -> bool:
        return isinstance(checkpoint_id, (str, os.PathLike))


class Reader(StorageReader):
    """A ``torch.distributed.checkpoint`` storage reader of what :class:`Writer` wrote.

    Pass it as ``storage_reader=`` to ``torch.distributed.checkpoint.load``.
    Each destination chunk is read from only the byte ranges of the stored
    chunks that overlap it, so a load on another sharding reads what it
    needs; non-tensor values are rebuilt from their typed trees, with no
    unpickling.

    Parameters
    ----------
    path : str or os.PathLike
        The checkpoint's directory.

    Attributes
    ----------
    bytes_read : int
        The bytes this reader's loads read from the chunk files.
    bytes_needed : int
        The bytes the destination chunks of those loads hold.

    See Also
    --------
    Writer : writes the checkpoint.

    Examples
    --------
    >>> import torch, torch.distributed.checkpoint as dcp
    >>> from vakra.torch import dcp as vdcp
    >>> model = torch.nn.Linear(4, 2)
    >>> _ = dcp.save({"model": model.state_dict()}, storage_writer=vdcp.Writer("ckpt"))
    >>> state = {"model": torch.nn.Linear(4, 2).state_dict()}
    >>> reader = vdcp.Reader("ckpt")
    >>> dcp.load(state, storage_reader=reader)
    >>> torch.equal(state["model"]["weight"], model.weight), reader.bytes_read == reader.bytes_needed
    (True, True)
    """

    def __init__(self, path: str | os.PathLike) -> None:
        super().__init__()
        self.path = os.fsdecode(path)
        self._count = ByteCount()
        self._stored: dict[MetadataIndex, StoredValue] = {}

    @property
    def bytes_read(self) -> int:
        return self._count.read

    @property
    def bytes_needed(self) -> int:
        return self._count.needed

    def reset(self, checkpoint_id: str | os.PathLike | None = None) -> None:
        if checkpoint_id:
            self.path = os.fsdecode(checkpoint_id)
        self._stored = {}

    def read_metadata(self, *args: Any, **kwargs: Any) -> Metadata:
        metadata, stored = read_metadata(self.path)
        metadata.storage_data = stored
        metadata.storage_meta.load_id = uuid.uuid4().hex
        return metadata

    def set_up_storage_reader(self, metadata: Metadata, is_coordinator: bool, *args: Any, **kwargs: Any) -> None:
        self._stored = metadata.storage_data
        self._metadata = metadata.state_dict_metadata

    def prepare_local_plan(self, plan: LoadPlan) -> LoadPlan:
        return plan

    def prepare_global_plan(self, plans: list[LoadPlan]) -> list[LoadPlan]:
        return plans

    def read_data(self, plan: LoadPlan, planner: LoadPlanner) -> Future[None]:
        by_file: dict[str, list[ReadItem]] = {}
        for item in plan.items:
            by_file.setdefault(self._stored[item.storage_index].file, []).append(item)
        with ThreadPoolExecutor(_READ_THREADS) as pool:
            for file_name, items in by_file.items():
                path = os.path.join(self.path, file_name)
                with File(path) as file:
                    descriptor = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
                    try:
                        self._read_file(file, descriptor, items, planner, pool)
                    finally:
                        os.close(descriptor)
        future: Future[None] = Future()
        future.set_result(None)
        return future

    def _read_file(self, file: File, descriptor: int, items: list[ReadItem], planner: LoadPlanner,
                   pool: ThreadPoolExecutor) -> None:
        """Each item read from one file and committed in plan order; the
        positioned reads of plain bodies run on `pool` (os.preadv lets go of
        the GIL), the rest here. Every read has ended when this returns or
        raises: the caller closes `descriptor` then."""
        reads: list[tuple[ReadItem, _BoxRead, Any]] = []
        try:
            for item in items:
                read = self._read_item(file, descriptor, item, planner)
                if read is not None:
                    reads.append((item, read, pool.submit(read)))
            for item, read, done in reads:
                done.result()
                self._count.add(read.count)
                planner.commit_tensor(item, read.target)
        finally:
            wait([done for _, _, done in reads])

    def _read_item(self, file: File, descriptor: int, item: ReadItem, planner: LoadPlanner) -> _BoxRead | None:
        """Reads (and commits) `item`, or returns the positioned read that
        fills its destination, for the caller to run and commit."""
        entry = self._stored[item.storage_index].entry
        if item.type == LoadItemType.BYTE_IO:
            try:
                _load_value(file[entry], item, planner)
            except (ValueError, TypeError) as error:
                raise ValueError(f"{file.path}: entry {entry!r}: {error}") from None
            return None
        described = self._metadata[item.storage_index.fqn]
        chunk = described.chunks[_chunk_index(described.chunks, item.storage_index)]
        facts = file.info(entry)
        row = DENSE.get(facts["dtype"]) if facts["kind"] == "dense" else None
        dtype = described.properties.dtype
        if row is None or row.torch_name != str(dtype).removeprefix("torch.") or facts["shape"] != tuple(chunk.sizes):
            raise ValueError(f"{file.path}: entry {entry!r} holds {facts['kind']} {facts.get('dtype')} "
                             f"{facts.get('shape')}, where the checkpoint's metadata says {dtype} {tuple(chunk.sizes)}")
        box = tuple(item.storage_offsets), tuple(item.lengths)
        if any(start + length > size for start, length, size in zip(*box, chunk.sizes)) or len(box[0]) != len(chunk.sizes):
            raise ValueError(f"{file.path}: the load plan reads outside entry {entry!r}")
        target = planner.resolve_tensor(item).detach()
        if tuple(target.shape) != box[1]:
            raise ValueError(f"the destination of {item.dest_index.fqn!r} is {tuple(target.shape)}, the chunk read "
                             f"into it {box[1]}")
        if facts["compressed"] or facts["integrity_protected"]:
            self._read_decoded(file, entry, box, target)
        else:
            offset, _ = file.byte_range(entry)
            direct = target.device.type == "cpu" and target.is_contiguous()
            read = _BoxRead(descriptor, offset + facts["size"] - facts["body_size"], tuple(chunk.sizes),
                            row.element_size, box, target if direct else torch.empty(box[1], dtype=dtype))
            if direct:
                return read
            read()
            self._count.add(read.count)
            target.copy_(read.target)
        planner.commit_tensor(item, target)
        return None

    def _read_decoded(self, file: File, entry: str, box: tuple, target: torch.Tensor) -> None:
        """The whole packet decoded (its checksums verified), then the box copied out."""
        packet = file.packet(entry)
        try:
            stored = loads(packet)
        except ValueError as error:
            raise ValueError(f"{error} (entry {entry!r} of {file.path})") from None
        finally:
            packet.release()
        self._count.read += file.byte_range(entry)[1]
        self._count.needed += target.numel() * target.element_size()
        # The box copied out of the read-only view: torch takes writable arrays only.
        target.copy_(as_tensor(stored[tuple(slice(start, start + length) for start, length in zip(*box))].copy()))

    @classmethod
    def validate_checkpoint_id(cls, checkpoint_id: str | os.PathLike) -> bool:
        return os.path.isfile(os.path.join(os.fsdecode(checkpoint_id), METADATA_NAME))


def _values(items: list[WriteItem], planner: SavePlanner) -> Iterator[Any]:
    """What each item stores, resolved when the writer asks for it and let
    go once it is written."""
    for item in items:
        if item.type == WriteItemType.BYTE_IO:
            yield _stored_value(item, planner)
            continue
        value = planner.resolve_data(item).detach()
        if value.device.type != "cpu":
            value = value.cpu()
        yield value
        del value


def _stored_value(item: WriteItem, planner: SavePlanner) -> dict[str, Any]:
    """A non-tensor value as a typed tree (its skeleton and its tensors), or,
    when the planner serializes such values its own way, the planner's bytes,
    handed back to its ``load_bytes``."""
    if type(planner).transform_object is DefaultSavePlanner.transform_object:  # torch.save's, not the planner's
        skeleton, tensors = flatten(planner.lookup_object(item.index))
        return {"skeleton": StringTensor([skeleton]), "tensors": {str(number): value
                                                                 for number, (_, value) in enumerate(tensors)}}
    return {"bytes": np.frombuffer(planner.resolve_data(item).getvalue(), dtype=np.uint8)}


def _load_value(stored: Any, item: ReadItem, planner: LoadPlanner) -> None:
    """Gives the planner a non-tensor value: a tree rebuilt (nothing in it is
    unpickled or called), set where DefaultLoadPlanner would set it or handed
    to the planner's ``load_value(read_item, value)``; a planner's own bytes
    to its ``load_bytes``."""
    if isinstance(stored, dict) and stored.keys() == {"bytes"} and isinstance(stored["bytes"], np.ndarray):
        planner.load_bytes(item, io.BytesIO(stored["bytes"].tobytes()))
        return
    if not (isinstance(stored, dict) and stored.keys() == {"skeleton", "tensors"}
            and isinstance(stored["skeleton"], StringTensor) and len(stored["skeleton"]) == 1
            and isinstance(stored["tensors"], dict)):
        raise ValueError("it is not a non-tensor value as vakra.torch.dcp stores one")
    tensors = stored["tensors"]
    if list(tensors) != [str(number) for number in range(len(tensors))]:
        raise ValueError("its tensors are not numbered in order")
    # Copies: the values are the caller's to change, and not views of a file being closed.
    value = unflatten(stored["skeleton"][0], [_owned(tensor) for tensor in tensors.values()], size=torch.Size)
    if hasattr(planner, "load_value"):
        planner.load_value(item, value)
    elif type(planner).load_bytes is DefaultLoadPlanner.load_bytes:  # what it does once it has unpickled
        if planner.flatten_state_dict:
            set_element(planner.original_state_dict, planner.mappings[item.dest_index.fqn], value)
        else:
            planner.state_dict[item.dest_index.fqn] = value
    else:
        raise TypeError(f"{type(planner).__name__} overrides load_bytes, which takes pickled bytes: give it a "
                        "load_value(read_item, value) method to take the value itself")


def _owned(tensor: Any) -> Any:
    return tensor.copy() if isinstance(tensor, np.ndarray) else tensor


def _entry_name(index: MetadataIndex) -> str:
    """A chunk's name in its model file: the tensor's name and the chunk's offsets."""
    if index.offset is None:
        return index.fqn
    return f"{index.fqn}@{','.join(map(str, index.offset))}"


def _chunk_index(chunks: list, index: MetadataIndex) -> int:
    if index.index is not None and index.index < len(chunks) and chunks[index.index].offsets == index.offset:
        return index.index
    for position, chunk in enumerate(chunks):
        if chunk.offsets == index.offset:
            return position
    raise ValueError(f"the checkpoint has no chunk of {index.fqn!r} at {tuple(index.offset)}")


# Threads of positioned reads per load: a few requests in flight keep the
# disk busy, and copies out of the page cache run on each core.
_READ_THREADS = min(4, os.cpu_count() or 1)


class _BoxRead:
    """The read of a box of a stored chunk straight into `target`, a
    contiguous CPU tensor of the box's shape, counting its own bytes."""

    __slots__ = ("descriptor", "body_offset", "chunk_shape", "element_size", "box", "target", "count")

    def __init__(self, descriptor: int, body_offset: int, chunk_shape: tuple[int, ...], element_size: int,
                 box: tuple, target: torch.Tensor) -> None:
        self.descriptor, self.body_offset, self.chunk_shape = descriptor, body_offset, chunk_shape
        self.element_size, self.box, self.target = element_size, box, target
        self.count = ByteCount()

    def __call__(self) -> None:
        read_box(self.descriptor, self.body_offset, self.chunk_shape, self.element_size, *self.box,
                 _bytes_of(self.target), self.count)


def _bytes_of(tensor: torch.Tensor) -> memoryview:
    """A contiguous CPU tensor's memory as writable bytes."""
    return memoryview(tensor.reshape(-1).view(torch.uint8).numpy()).cast("B")


def _buckets(items: list[WriteItem], count: int) -> list[list[WriteItem]]:
    """The items in `count` groups of about equal bytes: the largest tensors
    first, each to the lightest group; non-tensor values in turn."""
    buckets: list[list[WriteItem]] = [[] for _ in range(count)]
    sizes = [0] * count
    values = [item for item in items if item.type == WriteItemType.BYTE_IO]
    for number, item in enumerate(values):
        buckets[number % count].append(item)
    tensors = sorted((item for item in items if item.type != WriteItemType.BYTE_IO),
                     key=lambda item: item.tensor_storage_size() or 0, reverse=True)
    for item in tensors:
        lightest = sizes.index(min(sizes))
        buckets[lightest].append(item)
        sizes[lightest] += item.tensor_storage_size() or 0
    return buckets
