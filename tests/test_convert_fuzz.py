"""Damaged .npy, .npz, .safetensors and torch.save files (seeds from the peers' own writers): vakra.convert writes
a vakra file that reads back or refuses the input with ValueError or OSError naming it, nothing else. Hypothesis runs
VAKRA_FUZZ_EXAMPLES examples (default 200); `python tests/test_convert_fuzz.py -runs=N [libFuzzer flags]` runs it
under atheris (the `fuzz` extra) from build/fuzz/corpus/convert, an input's first byte picking the format."""

from __future__ import annotations

import io
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

if __name__ == "__main__":  # coverage of vakra's readers and of the zip reader they rely on
    import atheris

    with atheris.instrument_imports(include=["vakra", "zipfile"]):
        import vakra
else:
    import vakra

WORK_DIRECTORY = tempfile.TemporaryDirectory(prefix="vakra-convert-fuzz-")  # removed when the interpreter exits
WORK = Path(WORK_DIRECTORY.name)


def _written(save) -> bytes:
    buffer = io.BytesIO()
    save(buffer)
    return buffer.getvalue()


def _seeds() -> list[tuple[str, bytes]]:
    import safetensors.numpy
    import torch

    arrays = {"w": np.arange(6, dtype=np.float32).reshape(2, 3), "mask": np.array([True, False]), "i": np.arange(3)}
    tensors = {name: torch.from_numpy(array) for name, array in arrays.items()}
    return [(".npy", _written(lambda f: np.save(f, arrays["w"]))), (".npz", _written(lambda f: np.savez(f, **arrays))),
            (".npz", _written(lambda f: np.savez_compressed(f, **arrays))),
            (".safetensors", safetensors.numpy.save(arrays, metadata={"k": "v"})),
            (".pt", _written(lambda f: torch.save({**tensors, "d": {"m": torch.eye(2).to_sparse_csr()}}, f))),
            (".pt", _written(lambda f: torch.save(tensors, f, _use_new_zipfile_serialization=False)))]


SEEDS = _seeds()


def convert_or_refuse(suffix: str, data: bytes) -> bool:
    """Whether the file of `data` converted (and reads back); else it was refused naming it."""
    source, destination = WORK / f"input{suffix}", WORK / "output.vkr"
    source.write_bytes(data)
    try:
        vakra.convert(source, destination, durable=False)
    except (ValueError, OSError) as error:
        assert str(source) in str(error) or getattr(error, "filename", None) == str(source), repr(error)
        assert not destination.exists()
        return False
    vakra.load(destination) if suffix == ".npy" else vakra.load_file(destination)
    destination.unlink()
    return True


if __name__ == "__main__":
    corpus = Path(__file__).resolve().parent.parent / "build" / "fuzz" / "corpus" / "convert"
    corpus.mkdir(parents=True, exist_ok=True)
    for index, (_, seed) in enumerate(SEEDS):
        (corpus / f"seed-{index}").write_bytes(bytes([index]) + seed)
    atheris.Setup(sys.argv + [str(corpus)],
                  lambda data: convert_or_refuse(SEEDS[data[0] % len(SEEDS)][0], data[1:]) if data else None)
    atheris.Fuzz()
else:
    from hypothesis import given, settings, strategies as st

    @settings(max_examples=int(os.environ.get("VAKRA_FUZZ_EXAMPLES", 200)), deadline=None)
    @given(st.sampled_from(SEEDS), st.lists(st.tuples(st.integers(0, 1 << 16), st.integers(0, 255)), max_size=8),
           st.none() | st.integers(0, 1 << 16))
    def test_damaged_foreign_files_convert_or_are_refused_naming_them(seed, writes, end):  # bytes written, then a cut
        data = bytearray(seed[1])
        for at, byte in writes:
            data[at % len(data)] = byte
        convert_or_refuse(seed[0], bytes(data[:end]))
