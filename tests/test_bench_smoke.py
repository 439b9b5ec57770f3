# Smoke test of the benchmark driver: its quick open suite runs in a child process to a timed
# table row. FAISS is a benchmark-only dependency, so the test is skipped where it is missing.
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parents[1] / "bench" / "run.py"

pytestmark = pytest.mark.skipif(importlib.util.find_spec("faiss") is None, reason="faiss-cpu not installed")


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
