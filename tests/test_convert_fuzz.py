"""Foreign files cut, flipped and overwritten: vakra.convert of any .npy, .npz, .safetensors or torch.save input
writes a vakra file that reads back, or refuses it with ValueError or OSError naming the input; never another
exception, a crash or unbounded memory. The seeds are written by the peers' own libraries. In the suite Hypothesis
runs VAKRA_FUZZ_EXAMPLES examples (default 200); `python tests/test_convert_fuzz.py -runs=N [libFuzzer flags]`
runs the same check coverage-guided under atheris (the `fuzz` extra), an input's first byte picking the seed's
format, from a corpus of the seeds in build/fuzz/corpus/convert."""

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

ROOT = Path(__file__).resolve().parent.parent
WORK = Path(tempfile.mkdtemp(prefix="vakra-convert-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None))


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


def convert_or_refuse(suffix: str, data: bytes) -> None:
    source, destination = WORK / f"input{suffix}", WORK / "output.vkr"
    source.write_bytes(data)
    try:
        vakra.convert(source, destination, durable=False)
    except (ValueError, OSError) as error:
        assert str(source) in str(error) or getattr(error, "filename", None) == str(source), repr(error)
        assert not destination.exists()
        return
    vakra.load(destination) if suffix == ".npy" else vakra.load_file(destination)
    destination.unlink()


def edited(data: bytes, edits: list[tuple[str, int, int]]) -> bytes:
    """`data` with bytes flipped, u32s or u64s written over it, cut short or grown."""
    data = bytearray(data)
    for kind, where, value in edits:
        at = where % (len(data) + 1)
        if kind == "flip" and at < len(data):
            data[at] ^= value % 255 + 1
        elif kind in ("u32", "u64"):
            data[at:at + int(kind[1:]) // 8] = (value % 2 ** int(kind[1:])).to_bytes(int(kind[1:]) // 8, "little")
        elif kind == "cut":
            del data[at:]
        elif kind == "grow":
            data[at:at] = bytes(value % 64)
    return bytes(data)


if __name__ == "__main__":
    corpus = ROOT / "build" / "fuzz" / "corpus" / "convert"
    corpus.mkdir(parents=True, exist_ok=True)
    for index, (_, seed) in enumerate(SEEDS):
        (corpus / f"seed-{index}").write_bytes(bytes([index]) + seed)
    atheris.Setup(sys.argv + [str(corpus)],
                  lambda data: convert_or_refuse(SEEDS[data[0] % len(SEEDS)][0], data[1:]) if data else None)
    atheris.Fuzz()
else:
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    EDITS = st.lists(st.tuples(st.sampled_from(["flip", "flip", "u32", "u64", "cut", "grow"]), st.integers(0, 1 << 16),
                               st.integers(0, 2**64 - 1)), max_size=6)

    @settings(max_examples=int(os.environ.get("VAKRA_FUZZ_EXAMPLES", 200)), deadline=None,
              suppress_health_check=[HealthCheck.too_slow])
    @given(st.sampled_from(SEEDS), EDITS)
    def test_damaged_foreign_files_convert_or_are_refused_naming_them(seed, edits):
        convert_or_refuse(seed[0], edited(seed[1], edits))
