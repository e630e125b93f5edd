"""Damaged, cut and forged model files (a record of misleading contents with
sound checksums before a seed's entries; seeds written by vakra.save) give
values or ValueError, never a crash, a hang or another exception; load_file
reads one exactly when every entry reads. VAKRA_FUZZ_EXAMPLES=N runs N examples."""

from __future__ import annotations

import os
import tempfile
from contextlib import suppress
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import vakra
from samples import VALUES
from vakra import StringTensor
from vakra._model._model_record import FORMAT, read_record

ENTRIES = {f"layer.{i}": np.full(i % 3 + 1, i, np.int16) for i in range(260)}  # two bundles
ENTRIES.update(VALUES["every kind"], tied=VALUES["weights"], same=VALUES["weights"])
WORK_DIRECTORY = tempfile.TemporaryDirectory(prefix="vakra-fuzz-")  # removed when the interpreter exits
WORK = WORK_DIRECTORY.name


def saved(options):
    path = Path(WORK, "seed.vkr")
    vakra.save(ENTRIES, path, metadata={"k": "v"}, **options)
    return path.read_bytes(), read_record(memoryview(path.read_bytes()), str(path))


SEEDS = [saved(options) for options in [{}, {"compress": True}, {"check_integrity": True, "alignment": 1}]]
RECORD = SEEDS[0][1]
U64 = st.integers(0, 2**64 - 1)


def forge(seed, names=None, rows=None, metadata=(), size_error=0):
    """A seed's entries after a record of `names` (default the seed's) with the seed's ranges but for `rows`
    (index -> (offset, length)), and the file size off by `size_error`."""
    data, record = SEEDS[seed]
    names = record.names if names is None else names
    fields = {"format": StringTensor([FORMAT]), "names": StringTensor(names),
              "ranges": np.zeros((len(names), 2), np.uint64), "metadata": StringTensor(list(metadata)),
              "file_size": np.uint64(0)}
    shift = len(vakra.dumps(fields, check_integrity=True)) - record.length  # the length is the same whatever the values
    ranges = [record.ranges[index % len(record.names)].tolist() for index in range(len(names))]
    for index, row in (rows or {}).items() if names else ():
        ranges[index % len(names)] = row
    moved = [((offset + shift) % 2**64, length) for offset, length in ranges]
    fields["ranges"] = np.array(moved, np.uint64).reshape(-1, 2)
    fields["file_size"] = np.uint64((len(data) + shift + size_error) % 2**64)
    return vakra.dumps(fields, check_integrity=True) + data[record.length:]


FORGED = st.builds(
    forge, st.sampled_from(range(len(SEEDS))), st.none() | st.lists(st.sampled_from(RECORD.names[:3] + ["", "é"])),
    st.dictionaries(st.integers(0, 300), st.tuples(st.sampled_from(RECORD.ranges[:, 0].tolist()), st.integers(0, 2**16))
                    | st.tuples(U64, U64), max_size=3),
    st.lists(st.text(max_size=3)), st.sampled_from([0, 0, -1, 1, 2**63]))
EDITS = st.lists(st.tuples(st.sampled_from(["flip", "u32"] * 2 + ["cut"]), st.booleans(), st.integers(0, 2**32), U64),
                 max_size=4)


def edited(data, edits):
    """`data` with bytes flipped, u32s written or cut short, in the record or among the entries."""
    data = bytearray(data)
    for kind, in_entries, where, value in edits:
        start = min(RECORD.length, len(data)) if in_entries else 0
        at = start + where % (len(data) + 1 - start)
        if kind == "flip" and at < len(data):
            data[at] ^= value % 255 + 1
        elif kind == "u32":
            data[at:at + 4] = (value % 2**32).to_bytes(4, "little")
        elif kind == "cut":
            del data[at:]
    return bytes(data)


SAME = RECORD.names.index("same")


# A file that takes 10 s to read fails as a hang would.
@settings(max_examples=int(os.environ.get("VAKRA_FUZZ_EXAMPLES", 120)), deadline=10_000,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.sampled_from(range(len(SEEDS))).map(lambda seed: SEEDS[seed][0]) | FORGED, EDITS, st.booleans())
# A tied name whose length is not its packet's: load_file once handed it the value of the name tied to it.
@example(forge(0, rows={SAME: (RECORD.ranges[SAME] + np.uint64([0, 8])).tolist()}), [], False)
# The record's first entry turned into a ragged packet: the record decoded to None and reading it raised TypeError.
@example(SEEDS[0][0], [("flip", False, 30, 2)], False)
def test_damaged_or_forged_model_files_give_values_or_value_errors(data, edits, writable):
    path = Path(WORK, "input.vkr")
    path.write_bytes(edited(data, edits))
    try:
        loaded = vakra.load_file(path, writable=writable)
    except ValueError:
        loaded = None
    with suppress(ValueError), vakra.open(path, writable=writable) as file:
        failed = False
        for name in file:
            with suppress(ValueError):
                file.info(name)
            try:
                file[name]
            except ValueError:
                failed = True
        with pytest.raises(KeyError):
            file["not saved"]
        assert failed == (loaded is None)
