# Smoke test of the benchmark driver: its quick open suite runs in a child process to a timed
# table row (skipped without FAISS), and its native limits read the engine's mapping right.
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

import pytest
from conftest import index_bytes

RUN = Path(__file__).resolve().parents[1] / "bench" / "run.py"

needs_faiss = pytest.mark.skipif(importlib.util.find_spec("faiss") is None, reason="faiss-cpu not installed")


@needs_faiss
def test_quick_open_suite_prints_a_checked_table_row(tmp_path):
    env = dict(os.environ, OPENBLAS_CORETYPE="Sandybridge", OPENBLAS_L2_SIZE="123456")
    proc = subprocess.run([sys.executable, str(RUN), "--quick", "--only", "open", "--cache-dir", str(tmp_path)],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rows = [line for line in proc.stdout.splitlines() if line.startswith("| ") and "PySearchEngine(path)" in line]
    assert len(rows) == 1, proc.stdout
    cells = [c.strip() for c in rows[0].strip().strip("|").split("|")]
    index, contender, median_ms, spread, rate, ratio, check = cells
    assert index.startswith("20000x128")
    assert float(median_ms) > 0 and float(rate) > 0
    assert ratio.endswith("x") and float(ratio[:-1]) > 0
    assert check.startswith("ok"), check
    # both tuning variables were taken out before any BLAS loaded: none picked the forced kernels
    assert "architecture=" in proc.stdout
    assert "architecture=Sandybridge" not in proc.stdout
    assert "('OPENBLAS_CORETYPE', 'Sandybridge')" in proc.stdout
    assert "('OPENBLAS_L2_SIZE', '123456')" in proc.stdout
    # the generated index went to the cache directory asked for
    assert any(p.name.startswith("gauss_20000x128_cosine") for p in tmp_path.iterdir())


def test_native_reader_sums_the_engine_mapping_body(tmp_path, child):
    X = np.random.default_rng(8).standard_normal((3001, 24), dtype=np.float32)
    X[-1, -3:] = 100.0  # a reader that started at the header would miss these
    path = tmp_path / "native.bin"
    path.write_bytes(index_bytes(X, 1))
    proc = child(
        f"""
        import sys, types, numpy as np, rivezor
        sys.path.insert(0, {str(RUN.parent)!r})
        import harness
        ctx = types.SimpleNamespace(threads=2, quick=True, cache_dir={str(tmp_path)!r})
        native = harness.NativeLimits(ctx)
        before = harness.file_mappings({str(path)!r})
        e = rivezor.PySearchEngine({str(path)!r}, False)
        address = harness.engine_mapping({str(path)!r}, before, {X.nbytes})
        print(native.reader(address, {X.nbytes})(), native.fma_peak()() > 0)
        """
    )
    assert proc.returncode == 0, proc.stderr
    total, fma_ran = proc.stdout.split()
    # float32 lane sums of 72,024 values round by far less than the 300 a shifted reader loses
    assert abs(float(total) - float(X.astype(np.float64).sum())) < 0.05
    assert fma_ran == "True"
