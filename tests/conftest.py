# Shared fixtures: writing index files by hand (header + float32 matrix) and running a
# snippet in a fresh interpreter when process-wide state (pool, environment) is under test.
import ctypes
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


def native_heap_bytes():
    """Bytes held in the C heap (C++ new included), exactly, not page-rounded like RSS."""
    libc = ctypes.CDLL(None)
    if SANITIZED:
        # ASan replaces malloc; its own counter excludes the quarantine of freed blocks.
        get = libc.__sanitizer_get_current_allocated_bytes
        get.restype = ctypes.c_size_t
        return get()

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
