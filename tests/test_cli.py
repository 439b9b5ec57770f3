# The `rivezor` command line end to end, as a user runs it: the installed console script (and
# `python -m rivezor_cli`) on small .npy and index files, compared with the library's own answers.
import json
import os
import pathlib
import subprocess
import sys
from importlib import metadata

import numpy as np
import pytest

import rivezor

SCRIPT = pathlib.Path(sys.executable).parent / "rivezor"
ENTRY_POINTS = {"script": [str(SCRIPT)], "module": [sys.executable, "-m", "rivezor_cli"]}
ROWS, DIMS = 300, 16


def cli(*args, cwd, entry="script"):
    if entry == "script" and not SCRIPT.exists():
        pytest.skip("console script not installed (no wheel in this environment)")
    proc = subprocess.run([*ENTRY_POINTS[entry], *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          timeout=120)
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli")
    rng = np.random.default_rng(7)
    emb = rng.standard_normal((ROWS, DIMS)).astype(np.float32)
    arrays = {"emb": emb, "q3": emb[[5, 50, 250]] + 0.01, "q1": emb[9].copy(),
              "many": rng.standard_normal((2100, DIMS)).astype(np.float32),
              "f64": emb.astype(np.float64), "q8": emb[:2, :8].copy(), "q8one": emb[0, :8].copy(),
              "nanq": np.full(DIMS, np.nan, np.float32), "nanemb": np.full((10, 10), np.nan, np.float32)}
    bad_late = arrays["many"].copy()
    bad_late[1500, 3] = np.nan  # refused only in the second slice of queries
    arrays["badlate"] = bad_late
    for name, a in arrays.items():
        np.save(d / f"{name}.npy", a)
    (d / "text.npy").write_text("not numpy")
    (d / "short.bin").write_bytes(np.array([DIMS, ROWS, 0], "<u4").tobytes() + b"\0" * 40)
    (d / "metric7.bin").write_bytes(np.array([1, 1, 7], "<u4").tobytes() + b"\0" * 4)
    path = rivezor.py_prepare_bin_from_embeddings(emb, DIMS, ROWS, "base", "f32", metric="dot", output_dir=str(d))
    return d, emb, path


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("args", [["--help"], ["prepare", "--help"], ["info", "--help"], ["query", "--help"],
                                  ["verify", "--help"], ["--version"]])
def test_help_and_version(files, entry, args):
    proc = cli(*args, cwd=files[0], entry=entry)
    assert proc.returncode == 0, proc.stderr
    assert (f"rivezor {metadata.version('rivezor')}" if args == ["--version"] else "usage: rivezor") in proc.stdout


@pytest.mark.parametrize("metric, options, name, unit", [
    ("COS", [], "cosine", "yes"),
    ("dot_product", [], "dot", "no (300 of 300 rows are not unit length)"),
    ("dot", ["--normalize"], "dot", "yes"),
    ("l2", ["--level", "f8"], "euclidean", "no (300 of 300 rows are not unit length)"),
])
def test_prepare_info_verify(files, tmp_path, metric, options, name, unit):
    d, emb, _ = files
    proc = cli("prepare", d / "emb.npy", "my idx", "--metric", metric, "--output-dir", tmp_path / "out", *options,
               cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    path = proc.stdout.strip()
    level = options[1] if options[:1] == ["--level"] else "f32"
    assert path == str(tmp_path / "out" / f"myidx_{level}.bin")
    same = rivezor.py_prepare_bin_from_embeddings(emb, DIMS, ROWS, "ref", "f32", normalize="--normalize" in options,
                                                  metric=metric, output_dir=str(tmp_path))
    assert pathlib.Path(path).read_bytes() == pathlib.Path(same).read_bytes()

    info = json.loads(cli("info", path, "--json", cwd=tmp_path).stdout)
    digest = rivezor.PySearchEngine(path, False).query_exact_detailed(emb[0], 1).index_hash
    assert info == {"path": path, "dims": DIMS, "rows": ROWS, "metric": name, "file_size": 12 + 4 * ROWS * DIMS,
                    "fingerprint": digest, "unit_rows": unit}
    blake3 = pytest.importorskip("blake3")
    assert digest == blake3.blake3(pathlib.Path(path).read_bytes()).hexdigest()

    assert cli("verify", path, "--hash", digest.upper(), cwd=tmp_path).returncode == 0
    wrong = cli("verify", path, "--hash", digest[::-1], cwd=tmp_path)
    assert wrong.returncode == 1 and "fingerprint mismatch" in wrong.stderr


@pytest.mark.parametrize("queries, k, width", [("q3", 4, 4), ("q1", 2, 2), ("q3", 0, 0), ("q3", 1000, ROWS)])
def test_query_table_matches_the_library(files, queries, k, width):
    d, _, path = files
    proc = cli("query", path, d / f"{queries}.npy", "-k", k, cwd=d)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[0].split() == ["query", "rank", "row", "score"]
    table = np.array([line.split() for line in proc.stdout.split("\n")[1:] if line], dtype=float).reshape(-1, 4)
    q = np.load(d / f"{queries}.npy")
    ref = rivezor.PySearchEngine(path, False).query_batch_arrays(q.reshape(-1, DIMS), k)
    assert ref["indices"].shape[1] == width
    np.testing.assert_array_equal(table[:, 2], ref["indices"].ravel())
    np.testing.assert_allclose(table[:, 3], ref["scores"].ravel(), atol=1e-6)
    assert proc.stderr == ""  # no progress bar when standard error is not a terminal


@pytest.mark.parametrize("k", [5, 0])
def test_query_many_to_files_across_slices(files, tmp_path, k):
    d, _, path = files
    proc = cli("query", path, d / "many.npy", "-k", k, "--out", tmp_path / "res", "--progress", cwd=d)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == [str(tmp_path / "res.indices.npy"), str(tmp_path / "res.scores.npy")]
    assert "2100/2100" in proc.stderr and "100%" in proc.stderr
    ref = rivezor.PySearchEngine(path, False).query_batch_arrays(np.load(d / "many.npy"), k)
    np.testing.assert_array_equal(np.load(tmp_path / "res.indices.npy"), ref["indices"])
    np.testing.assert_array_equal(np.load(tmp_path / "res.scores.npy"), ref["scores"])
    assert np.load(tmp_path / "res.indices.npy").shape == (2100, k)


def test_failed_run_leaves_no_result_files(files, tmp_path):
    d, _, path = files
    proc = cli("query", path, d / "badlate.npy", "-k", 3, "--out", tmp_path / "res", cwd=d)
    assert proc.returncode == 1 and "Queries contêm valores não finitos (NaN/Inf)" in proc.stderr
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("args, status, message", [
    (["info", "missing.bin"], 1, "Failed to open file missing.bin: No such file or directory"),
    (["info", "short.bin"], 1, f"File too small: expected {12 + 4 * ROWS * DIMS} bytes, got 52"),
    (["verify", "metric7.bin", "--hash", "0" * 64], 1, "Unknown metric id: 7"),
    (["verify", "base_f32.bin", "--hash", "abc"], 2, "--hash must be 64 hexadecimal digits"),
    (["prepare", "f64.npy", "x"], 1, "argument 'embeddings': type mismatch"),
    (["prepare", "emb.npy", "x", "--metric", "Cosine2"], 1, "Unknown similarity metric: Cosine2"),
    (["prepare", "emb.npy", "a.b"], 1, "Invalid base_name: cannot be empty or contain special characters"),
    (["prepare", "emb.npy", "x", "--level", "F32"], 1, "Invalid level 'F32'. Must be f8, f16, f32, or f64"),
    (["prepare", "nanemb.npy", "x"], 1, "Too many invalid values: 100/100 (100.0%)"),
    (["prepare", "text.npy", "x"], 1, "text.npy: not a .npy file"),
    (["query", "base_f32.bin", "q8.npy", "-k", "1"], 1, "Query dimensions 8 != index dimensions 16"),
    (["query", "base_f32.bin", "q8one.npy", "-k", "1"], 1, "Query dimension 8 != index dimension 16"),
    (["query", "base_f32.bin", "nanq.npy", "-k", "1"], 1, "Query vector contém valores não finitos"),
    (["query", "base_f32.bin", "q3.npy", "-k", "-1"], 1, "can't convert negative int to unsigned"),
    (["query", "base_f32.bin", "missing.npy", "-k", "1"], 1, "missing.npy: No such file or directory"),
    (["query", "base_f32.bin", "many.npy", "-k", "1"], 2, "pass --out PREFIX"),
    (["query", "base_f32.bin", "q3.npy", "-k", "x"], 2, "invalid int value"),
])
def test_bad_input_gives_the_message_and_a_status(files, args, status, message):
    proc = cli(*args, cwd=files[0])
    assert proc.returncode == status, proc.stderr
    assert message in proc.stderr



@pytest.mark.parametrize("bad_rows, trailing, unit", [
    ({}, b"", "yes"),
    ({1: 0.0}, b"", "yes, except 1 all-zero rows"),
    ({1: 0.0, 2: np.nan, 3: 2.0}, b"xyz", "no (1 of 4 rows are not unit length, 1 hold NaN or infinity, 1 are all zero)"),
])
def test_info_reports_rows_and_size(tmp_path, bad_rows, trailing, unit):
    matrix = np.eye(4, 3, dtype=np.float32)
    matrix[3] = [0.6, 0.8, 0.0]
    for row, value in bad_rows.items():
        matrix[row] = value
    path = tmp_path / "hand.bin"
    path.write_bytes(np.array([3, 4, 1], "<u4").tobytes() + matrix.astype("<f4").tobytes() + trailing)
    info = json.loads(cli("info", path, "--json", cwd=tmp_path).stdout)
    assert (info["unit_rows"], info["file_size"], info["rows"], info["dims"]) == (unit, 60 + len(trailing), 4, 3)
    text = cli("info", path, cwd=tmp_path).stdout
    assert f"{len(trailing)} bytes after the matrix" in text if trailing else "after the matrix" not in text
