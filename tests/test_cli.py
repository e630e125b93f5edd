"""The command line, run as users run it: ``python -m vakra ...`` in a subprocess."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse

import vakra
from vakra.quantize import quantize


def run(*args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "vakra", *args], capture_output=True, text=True, timeout=timeout)


def assert_one_line_failure(result: subprocess.CompletedProcess, *fragments: str) -> None:
    assert result.returncode == 1 and "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("vakra: "), result.stderr
    for fragment in fragments:
        assert fragment in lines[0]


def test_info_prints_the_tree(tmp_path):
    path = tmp_path / "packet.vkr"
    vakra.dump({"z": np.zeros(1000, np.int64), "m": scipy.sparse.identity(4, format="csr"), "s": ["a", "bc"],
                "q": quantize(np.ones((3, 4)), "qint4", axis=1), "d": {"a": np.zeros((2, 3), np.float32)}},
               path, compress=True)
    result = run("info", str(path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"{path}: bundle of 5 entries, ") and "verify" not in result.stdout
    for fragment in ["\n  'z': dense int64 (1000,), body ", " B  [aligned, compressed]\n", "\n  'm': sparse csr (4, 4), ",
                     "\n    indptr: dense int32 (5,), body 20 B  [aligned]\n",
                     "\n  's': string tensor of 2 strings, body 27 B",
                     "\n  'q': quantized qint4 (3, 4), per-axis along axis 1, 4 scales, body 6 B",
                     "\n  'd': bundle of 1 entry, ", "\n    'a': dense float32 (2, 3), body "]:
        assert fragment in result.stdout


def test_verify_decodes_and_counts_checksums(tmp_path):
    path = tmp_path / "good.vkr"
    vakra.dump({"w": np.arange(10.0), "s": ["x"], "m": scipy.sparse.identity(3, format="coo")}, path,
               check_integrity=True)
    result = run("info", "--verify", str(path))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[1:3] == ["  'w': dense float64 (10,), body 80 B  [aligned, integrity]",
                          "  's': string tensor of 1 string, body 17 B  [aligned, integrity]"]
    assert lines[-1] == "verify: ok, decoded fully, 2 checksums matched"


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
    assert_one_line_failure(run("info", str(path)), "packet 3 at byte", "Packet too short")


def corrupted():
    packet = bytearray(vakra.dumps(np.arange(100, dtype=np.int32), check_integrity=True))
    packet[200] ^= 0x10
    return bytes(packet)


DAMAGED = {  # (contents, message, whether only --verify notices)
    "empty": (b"", "Packet too short", False),
    "not a packet": (b"%PDF-1.7" + bytes(40), "Invalid vakra packet", False),
    "truncated": (vakra.dumps({"w": np.ones(8)})[:-5], "Packet too short", False),
    "future version": (b"VKRA\x07" + bytes(12), "Unsupported protocol version: 7", False),
    "corrupted body": (corrupted(), "Integrity check failed: XXH3 mismatch", True),
}


@pytest.mark.parametrize("verify", [[], ["--verify"]], ids=["info", "verify"])
@pytest.mark.parametrize("data, message, framing_intact", DAMAGED.values(), ids=DAMAGED.keys())
def test_damaged_files_fail_with_one_line(data, message, framing_intact, verify, tmp_path):
    path = tmp_path / "damaged.vkr"
    path.write_bytes(data)
    result = run("info", *verify, str(path))
    if framing_intact and not verify:
        assert result.returncode == 0, result.stderr
    else:
        assert_one_line_failure(result, str(path), message)


def test_missing_file_and_directory_fail_with_one_line(tmp_path):
    assert_one_line_failure(run("info", str(tmp_path / "absent.vkr")), "No such file or directory")
    assert_one_line_failure(run("info", str(tmp_path)), "Is a directory")


def test_demo_runs_and_compares_with_peers():
    result = run("demo", "--repeat", "1", timeout=300)
    assert result.returncode == 0, result.stderr
    for fragment in ["round trip: every value identical", "read-only view of the mapped file: True",
                     "'weights': dense float32", "'adjacency': sparse csr", "'labels': string tensor",
                     "'weights_qint8': quantized qint8", "pickle (protocol 5)", "numpy.savez"]:
        assert fragment in result.stdout


def test_usage_errors_exit_2():
    result = run("info")
    assert result.returncode == 2 and "FILE" in result.stderr
