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
    assert result.returncode == 1
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("vakra: "), result.stderr
    for fragment in fragments:
        assert fragment in lines[0]


TREES = {
    "array": (np.zeros((2, 3), np.float32), ["dense float32 (2, 3), body 24 B"]),
    "compressed": (np.zeros(1000, np.int64), ["dense int64 (1000,), body ", "  [aligned, compressed]"]),
    "csr": (scipy.sparse.identity(4, format="csr"), ["sparse csr (4, 4)", "  data: dense float64 (4,)",
                                                     "  indptr: dense int32 (5,)"]),
    "strings": (["a", "bc"], ["string tensor of 2 strings, body 27 B"]),
    "quantized": (quantize(np.ones((3, 4)), "qint4", axis=1), ["quantized qint4 (3, 4), per-axis along axis 1, "
                                                               "4 scales, body 6 B"]),
    "bundle": ({"w": np.ones(2), "d": {"s": ["x"]}}, ["bundle of 2 entries", "  'w': dense float64 (2,)",
                                                     "  'd': bundle of 1 entry", "    's': string tensor of 1 string"]),
}


@pytest.mark.parametrize("name", TREES)
def test_info_prints_the_tree(name, tmp_path):
    value, expected = TREES[name]
    path = tmp_path / "packet.vkr"
    vakra.dump(value, path, compress=name == "compressed")
    result = run("info", str(path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"{path}: ")
    for fragment in expected:
        assert fragment in result.stdout
    assert "verify" not in result.stdout


def test_verify_decodes_and_counts_checksums(tmp_path):
    path = tmp_path / "good.vkr"
    vakra.dump({"w": np.arange(10.0), "s": ["x"], "m": scipy.sparse.identity(3, format="coo")}, path,
               check_integrity=True)
    result = run("info", "--verify", str(path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "verify: ok, decoded fully, 2 checksums matched"


def test_verify_reports_a_corrupted_body(tmp_path):
    path = tmp_path / "bad.vkr"
    vakra.dump(np.arange(100, dtype=np.int32), path, check_integrity=True)
    data = bytearray(path.read_bytes())
    data[200] ^= 0x10
    path.write_bytes(data)
    assert run("info", str(path)).returncode == 0  # the framing is intact
    result = run("info", "--verify", str(path))
    assert_one_line_failure(result, str(path), "Integrity check failed: XXH3 mismatch")


DAMAGED = {
    "empty": (b"", "Packet too short"),
    "not a packet": (b"%PDF-1.7" + bytes(40), "Invalid vakra packet"),
    "truncated": (vakra.dumps({"w": np.ones(8)})[:-5], "Packet too short"),
    "future version": (b"VKRA\x07" + bytes(12), "Unsupported protocol version: 7"),
}


@pytest.mark.parametrize("verify", [[], ["--verify"]], ids=["info", "verify"])
@pytest.mark.parametrize("data, message", DAMAGED.values(), ids=DAMAGED.keys())
def test_damaged_files_fail_with_one_line(data, message, verify, tmp_path):
    path = tmp_path / "damaged.vkr"
    path.write_bytes(data)
    assert_one_line_failure(run("info", *verify, str(path)), str(path), message)


def test_missing_file_and_directory_fail_with_one_line(tmp_path):
    assert_one_line_failure(run("info", str(tmp_path / "absent.vkr")), "No such file or directory")
    assert_one_line_failure(run("info", str(tmp_path)), "Is a directory")


def test_demo_runs_and_compares_with_peers():
    result = run("demo", "--repeat", "1", timeout=300)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "round trip: every value identical" in out
    assert "read-only view of the mapped file: True" in out
    for fragment in ["'weights': dense float32", "'adjacency': sparse csr", "'labels': string tensor",
                     "'weights_qint8': quantized qint8", "pickle (protocol 5)", "numpy.savez"]:
        assert fragment in out


def test_usage_errors_exit_2():
    result = run("info")
    assert result.returncode == 2 and "FILE" in result.stderr
