# Shared fixtures: writing index files by hand (header + float32 matrix) and running a
# snippet in a fresh interpreter when process-wide state (pool, environment) is under test.
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

METRIC_IDS = {"cosine": 0, "dot": 1, "euclidean": 2}

# Set by tools/run-sanitized.sh, whose build runs under AddressSanitizer.
SANITIZED = os.environ.get("RIVEZOR_SANITIZED") == "1"


def not_under_sanitizer(reason):
    return pytest.mark.skipif(SANITIZED, reason=reason)


def index_bytes(matrix, metric=0, dims=None, rows=None, trailing=b""):
    matrix = np.ascontiguousarray(matrix, dtype="<f4")
    r, d = matrix.shape
    header = np.array([d if dims is None else dims, r if rows is None else rows, metric], dtype="<u4")
    return header.tobytes() + matrix.tobytes() + trailing


@pytest.fixture
def write_index(tmp_path):
    counter = iter(range(1_000_000))

    def write(matrix, metric=0, name=None, **kw):
        if isinstance(metric, str):
            metric = METRIC_IDS[metric]
        path = tmp_path / (name or f"index{next(counter)}.bin")
        path.write_bytes(index_bytes(matrix, metric, **kw))
        return str(path)

    return write


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


def run_python(code, env_update=None, env_remove=(), timeout=120):
    """Runs `code` in a child interpreter; returns CompletedProcess (text)."""
    env = dict(os.environ)
    for k in env_remove:
        env.pop(k, None)
    env.update(env_update or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture
def child():
    return run_python
