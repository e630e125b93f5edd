"""The command line, run as users run it: ``python -m vakra ...`` in a subprocess."""

from __future__ import annotations

import contextlib
import os
import pty
import subprocess
import sys

import ml_dtypes
import numpy as np
import scipy.sparse

import vakra
from samples import with_record
from vakra.quantize import quantize


def run(*args: str, piped: bytes | None = None, without: tuple[str, ...] = ()) -> subprocess.CompletedProcess:
    """``python -m vakra ARGS``; `piped` bytes arrive through a pipe as /dev/stdin; modules `without` are missing."""
    as_main = f"import runpy, sys; sys.modules.update(dict.fromkeys({list(without)!r})); " \
        "runpy.run_module('vakra', run_name='__main__', alter_sys=True)"  # python -m vakra, the modules blocked
    command = [sys.executable, "-c", as_main, *args, *(["/dev/stdin"] if piped is not None else [])]
    result = subprocess.run(command, input=piped, capture_output=True, timeout=120)
    return subprocess.CompletedProcess(command, result.returncode, result.stdout.decode(), result.stderr.decode())


def assert_one_line_failure(result: subprocess.CompletedProcess, *fragments: str) -> None:
    lines = result.stderr.strip().splitlines()
    assert result.returncode == 1 and len(lines) == 1 and lines[0].startswith("vakra: "), result.stderr
    assert all(fragment in lines[0] for fragment in fragments), lines[0]


def test_info_prints_the_tree_and_verify_counts_checksums(tmp_path):
    path = tmp_path / "packet.vkr"
    vakra.dump({"z": np.zeros(1000, np.int64), "m": scipy.sparse.identity(4, format="csr"), "s": ["a", "bc"],
                "q": quantize(np.ones((3, 4)), "qint4", axis=1), "d": {"a": np.zeros((2, 3), np.float32)}},
               path, compress=True, check_integrity=True)
    result = run("info", str(path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"{path}: bundle of 5 entries, ") and "verify" not in result.stdout
    for fragment in ["\n  'z': dense int64 (1000,), body ", " B  [aligned, integrity, compressed]\n",
                     "\n  'm': sparse csr (4, 4), ", "\n    indptr: dense int32 (5,), body 20 B  [aligned]\n",
                     "\n  's': string tensor of 2 strings, body 27 B  [aligned, integrity]\n",
                     "\n  'q': quantized qint4 (3, 4), per-axis along axis 1, 4 scales, body 6 B",
                     "\n  'd': bundle of 1 entry, ", "\n    'a': dense float32 (2, 3), body "]:
        assert fragment in result.stdout
    assert run("info", "--verify", str(path)).stdout.endswith("\nverify: ok, decoded fully, 4 checksums matched\n")


def test_info_shows_each_packet_of_a_file(tmp_path):
    path = tmp_path / "several.vkr"
    with open(path, "wb") as out:
        for value in (np.zeros(3, np.int8), ["a"], {"b": np.ones(2)}):
            vakra.dump(value, out)
    lines = run("info", "--verify", str(path)).stdout.splitlines()
    assert [line.split(":")[0] for line in lines if not line.startswith(" ")] == [
        f"{path}[0]", "verify", f"{path}[1]", "verify", f"{path}[2]", "verify"]
    assert run("info", "--index", "1", str(path)).stdout == f"{path}[1]: string tensor of 1 string, body 17 B  [aligned]\n"
    assert_one_line_failure(run("info", "--index", "3", str(path)), "no packet 3; the file holds 3")
    with open(path, "ab") as out:
        out.write(b"VKRA\x04")
    mapped, piped = run("info", str(path)), run("info", piped=path.read_bytes())  # a pipe is read packet by packet
    assert piped.stdout == mapped.stdout.replace(str(path), "/dev/stdin") and mapped.stdout.count("\n") == 4
    assert_one_line_failure(mapped, "packet 3 at byte 247", "Packet too short")
    assert_one_line_failure(piped, "packet 3 at byte 247", "Packet cut short: expected at least 10 bytes, read 5")


def test_failures_are_one_line(tmp_path):
    corrupted = bytearray(vakra.dumps(np.arange(100, dtype=np.int32), check_integrity=True))
    corrupted[200] ^= 0x10
    (tmp_path / "corrupted.vkr").write_bytes(corrupted)
    (tmp_path / "other.pdf").write_bytes(b"%PDF-1.7" + bytes(40))
    assert run("info", str(tmp_path / "corrupted.vkr")).returncode == 0  # the framing is intact: only --verify reads
    assert_one_line_failure(run("info", "--verify", str(tmp_path / "corrupted.vkr")), "corrupted.vkr",
                            "Integrity check failed: XXH3 mismatch")
    assert_one_line_failure(run("info", str(tmp_path / "other.pdf")), "other.pdf", "Invalid vakra packet")
    assert_one_line_failure(run("info", str(tmp_path / "absent.vkr")), "No such file or directory")
    assert_one_line_failure(run("info", str(tmp_path)), "Is a directory")
    assert_one_line_failure(run("info", "/dev/zero"), "/dev/zero: not a readable packet: Invalid vakra packet")
    result = run("info")
    assert result.returncode == 2 and "FILE" in result.stderr


def test_ls_lists_every_entry_from_headers_and_folds_numbered_names(tmp_path):
    entries = {f"layers.{i}.w": np.ones((8, 8), np.float32) for i in range(24)}
    entries.update(emb=np.arange(100), head=None, m=scipy.sparse.identity(4, format="csr"), d={"x": np.zeros(3)})
    entries["head"] = entries["emb"]
    vakra.save(entries, tmp_path / "model.vkr", metadata={"format": "pt"}, check_integrity=True)
    lines = run("ls", str(tmp_path / "model.vkr")).stdout.splitlines()
    assert len(lines) == 30 and lines[0].split() == ["layers.0.w", "dense", "float32", "(8,", "8)", "328", "B",
                                                     "checksummed"]
    shown = run("info", str(tmp_path / "model.vkr")).stdout.splitlines()  # a model file: its entries, as ls has them
    assert shown[0].startswith(f"{tmp_path / 'model.vkr'}: model file of 28 entries") and shown[1:] == lines
    assert lines[25].split()[-4:] == ["checksummed,", "tied", "to", "emb"] and lines[26].split()[:3] == [
        "m", "sparse", "csr"] and lines[27].startswith("d/x ")
    with vakra.open(tmp_path / "model.vkr") as file:
        stored = sum(length for _, length in {file.byte_range(name) for name in file})  # tied: counted once
    assert lines[-2:] == ["metadata: format=pt", f"total: 28 entries, 9.0 KiB stored ({stored} bytes)"]
    folded = run("ls", "--collapse", str(tmp_path / "model.vkr")).stdout.splitlines()
    assert folded[0].split() == ["layers.{0..23}.w", "dense", "float32", "(8,", "8)", "7.7", "KiB", "checksummed",
                                 "x24"] and len(folded) == 7
    with open(tmp_path / "several.vkr", "wb") as out:
        vakra.dump(np.zeros(3, np.int8), out)
        vakra.dump({"k": ["a"]}, out, compress=True)
    assert [line.split()[:3] for line in run("ls", str(tmp_path / "several.vkr")).stdout.splitlines()] == [
        ["[0]", "dense", "int8"], ["[1]/k", "string", "string"], ["total:", "2", "entries,"]]


def test_verify_names_each_damaged_entry_and_says_so_in_its_status(tmp_path):
    path = tmp_path / "model.vkr"
    vakra.save({"a": np.arange(100.0), "b": {"c": np.ones(50), "d": np.zeros(2)}}, path, check_integrity=True)
    result = run("verify", str(path))
    assert (result.returncode, result.stdout) == (0, f"{path}: 2 entries sound, 3 checksums matched\n")
    with vakra.open(path) as file:
        damaged = [sum(file.byte_range(name)) - 12 for name in ("a", "b")]
    data = bytearray(path.read_bytes())
    for offset in damaged:
        data[offset] ^= 1
    path.write_bytes(data)
    result = run("verify", str(path))
    assert result.returncode == 1 and result.stdout.splitlines() == [
        "a: Integrity check failed: XXH3 mismatch", "b/d: Integrity check failed: XXH3 mismatch", f"{path}: 2 damaged"]
    path.write_bytes(data[:-1])
    assert run("verify", str(path)).stdout.splitlines()[0].endswith("it was cut short or changed after it was saved")
    # A record naming "a" twice, its checksums sound: every reader refuses it alike.
    path.write_bytes(with_record(bytes(data), names=vakra.StringTensor(["a", "a"])))
    assert run("verify", str(path)).stdout.splitlines()[0].endswith("a name appears twice in its record")
    assert_one_line_failure(run("convert", str(path), str(tmp_path / "m.npz")), "a name appears twice in its record")
    for content in (b"", b"%PDF-1.7"):
        path.write_bytes(content)
        result = run("verify", str(path))
        assert result.returncode == 2 and result.stderr.count("\n") == 1 and not result.stdout


def test_verify_without_scipy_or_ml_dtypes_tells_a_missing_library_from_damage(tmp_path):
    path = tmp_path / "model.vkr"
    vakra.save({"w": np.ones(3), "m": scipy.sparse.identity(3, format="csr"),
                "d": {"b": np.ones(2, ml_dtypes.bfloat16)}}, path, check_integrity=True)
    for command in (["verify"], ["info", "--verify"]):
        result = run(*command, str(path), without=("scipy", "ml_dtypes"))
        assert result.returncode == 3 and result.stdout.splitlines()[-3:] == [
            "m: cannot decode without SciPy (pip install 'vakra[sparse]')",
            "d/b: cannot decode without ml_dtypes (pip install 'vakra[bfloat16]')",
            f"{path}: none of 3 entries damaged, 2 checksums matched; 2 not decoded: a library is missing"]


def test_convert_command_reports_in_one_line(tmp_path):
    np.save(tmp_path / "a.npy", np.arange(3))
    assert run("convert", "--check-integrity", "--no-sync", "--allow-expanded", str(tmp_path / "a.npy"),
               str(tmp_path / "a.vkr")).returncode == 0
    assert vakra.info(tmp_path.joinpath("a.vkr").read_bytes())["integrity_protected"]
    assert_one_line_failure(run("convert", str(tmp_path / "a.vkr"), str(tmp_path / "a.npz")), "holds one unnamed value")
    assert_one_line_failure(run("convert", str(tmp_path / "absent.npy"), str(tmp_path / "b.vkr")),
                            "No such file or directory")
    (tmp_path / "zero.npz").symlink_to("/dev/zero")  # read whole, it would never end
    os.mkfifo(tmp_path / "fifo.npz")  # opened for reading, it would wait for a writer
    for source in ("zero.npz", "fifo.npz"):
        assert_one_line_failure(run("convert", str(tmp_path / source), str(tmp_path / "b.vkr")), "not a regular file")
    w = np.ones(2)
    vakra.save({"w": w, "tied": w}, tmp_path / "m.vkr", metadata={"k": "v"})
    result = run("convert", str(tmp_path / "m.vkr"), str(tmp_path / "m.npz"))
    assert result.returncode == 0 and result.stderr == (
        f"vakra: warning: {tmp_path / 'm.npz'}: a .npz file has no place for metadata; not carried: 'k'\n")
    # Re-packed with other options: a model file stays one, its metadata and ties kept; a packet stays a packet.
    for source, packed in (("m.vkr", "m2.vkr"), ("a.vkr", "a2.vkr")):
        assert run("convert", "--compress", str(tmp_path / source), str(tmp_path / packed)).returncode == 0
    with vakra.open(tmp_path / "m2.vkr") as file:
        assert file.info("w")["compressed"] and file.byte_range("w") == file.byte_range("tied") and \
            file.metadata == {"k": "v"}
    assert vakra.info(tmp_path / "a2.vkr")["compressed"] and vakra.load(tmp_path / "a2.vkr").tolist() == [0, 1, 2]
    assert_one_line_failure(run("convert", "--no-clobber", str(tmp_path / "a.npy"), str(tmp_path / "a2.vkr")),
                            "a2.vkr", "exists")


def test_convert_shows_progress_on_a_terminal_only(tmp_path):
    vakra.save({f"w{i}": np.ones(1000) for i in range(3)}, tmp_path / "m.vkr")
    piped = run("convert", str(tmp_path / "m.vkr"), str(tmp_path / "piped.safetensors"))
    assert (piped.returncode, piped.stderr) == (0, "")
    main, terminal = pty.openpty()
    try:
        process = subprocess.run([sys.executable, "-m", "vakra", "convert", str(tmp_path / "m.vkr"),
                                  str(tmp_path / "shown.safetensors")], stderr=terminal, timeout=120)
        os.close(terminal)
        shown = b""
        with contextlib.suppress(OSError):  # EIO once the terminal's other end is closed and read empty
            while chunk := os.read(main, 4096):
                shown += chunk
    finally:
        os.close(main)
    # The line is drawn, then cleared at the end.
    assert process.returncode == 0 and b"vakra: converting" in shown and b"%" in shown and shown.endswith(b"\r\033[K")


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path):
    # Our end of the pipe is closed before the command writes: with a long output (many packets) the write fails
    # inside the reading loop, with a short one at the final flush. Either way: no traceback, no "Exception
    # ignored", status 1.
    many = tmp_path / "many.vkr"
    with open(many, "wb") as handle:
        for i in range(2000):
            vakra.dump({f"k{j}": np.arange(3) for j in range(4)}, handle)
    vakra.dump(np.arange(3), tmp_path / "one.vkr")
    for command in ("info", "ls"):
        for path in (many, tmp_path / "one.vkr"):
            process = subprocess.Popen([sys.executable, "-m", "vakra", command, str(path)], stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
            process.stdout.close()
            _, stderr = process.communicate(timeout=120)
            assert (process.returncode, stderr.decode()) == (1, ""), (command, path.name)
