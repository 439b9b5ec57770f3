# Once-per-process configuration of the worker pool from ZARIR_THREADS and the three
# exported thread-count variables, seen from the C environment and from os.environ.
import pytest

from conftest import not_under_sanitizer

# ASan gives every thread shadow mappings of its own: tens of thousands of threads exhaust
# the process's mappings and ASan aborts instead of letting thread creation fail.
MANY_THREADS = not_under_sanitizer("tens of thousands of threads exhaust ASan's mappings")

SNIPPET = """
import ctypes, os, numpy as np, rivezor
path = os.environ["IDX"]
rivezor.PySearchEngine(path, False)
libc = ctypes.CDLL(None)
libc.getenv.restype = ctypes.c_char_p
for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "RAYON_NUM_THREADS"):
    c = libc.getenv(name.encode())
    print(name, os.environ.get(name), c.decode() if c else None, sep="|")
"""


@pytest.fixture
def idx(write_index, rng):
    return write_index(rng.standard_normal((4, 4)), "dot")


@pytest.mark.parametrize(
    "value", ["4", "+8", "abc", "-1", " 2", "0", pytest.param("100000", marks=MANY_THREADS)]
)
def test_threads_value_is_exported_verbatim(child, idx, value):
    proc = child(SNIPPET, {"IDX": idx, "ZARIR_THREADS": value, "OMP_NUM_THREADS": "7"})
    assert proc.returncode == 0, proc.stderr
    rows = [line.split("|") for line in proc.stdout.split("\n") if line]
    assert [r[0] for r in rows] == ["OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "RAYON_NUM_THREADS"]
    for name, py_value, c_value in rows:
        assert py_value == value and c_value == value, (name, py_value, c_value)


@pytest.mark.parametrize("unset", [True, False])
def test_unset_or_empty_exports_processor_count(child, idx, unset):
    env = {"IDX": idx, "OMP_NUM_THREADS": "7"}
    if not unset:
        env["ZARIR_THREADS"] = ""
    proc = child(SNIPPET + "\nprint('cpus', len(os.sched_getaffinity(0)), '', sep='|')", env,
                 env_remove=["ZARIR_THREADS"] if unset else [])
    assert proc.returncode == 0, proc.stderr
    rows = [line.split("|") for line in proc.stdout.strip().split("\n")]
    cpus = rows[-1][1]
    for name, py_value, c_value in rows[:-1]:
        assert py_value == cpus and c_value == cpus, (name, py_value, c_value)


def test_later_changes_have_no_effect(child, idx):
    proc = child(
        SNIPPET
        + """
os.environ["ZARIR_THREADS"] = "5"
rivezor.PySearchEngine(path, True)
print("after", os.environ["OMP_NUM_THREADS"])
""",
        {"IDX": idx, "ZARIR_THREADS": "3"},
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip().split("\n")[-1] == "after 3"


@MANY_THREADS
def test_huge_thread_count_never_fails(child, idx):
    # The system may refuse some of the 65535 threads; the engine must go on regardless.
    proc = child(SNIPPET, {"IDX": idx, "ZARIR_THREADS": "1000000"}, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "OMP_NUM_THREADS|1000000|1000000" in proc.stdout


# A preparation that normalizes runs on the pool and so creates it at its default size
# (RAYON_NUM_THREADS here); one that only copies must leave the size to the first engine
# construction (ZARIR_THREADS). The matrix is large enough for the copies to be worth
# parallelising.
POOL_AFTER_PREPARE = """
import os, tempfile, numpy as np, rivezor
def threads():
    return len(os.listdir("/proc/self/task"))
x = np.ones((40000, 128), np.float32)  # 20 MB, several batches
before = threads()
path = rivezor.py_prepare_bin_from_embeddings(x, 128, 40000, "p", "f32", normalize=NORMALIZE, metric=METRIC,
                                              output_dir=tempfile.mkdtemp())
rivezor.PySearchEngine(path, False)
print(threads() - before)
"""


@pytest.mark.parametrize("metric, normalize, workers", [("cosine", False, 5), ("dot", True, 5), ("dot", False, 3),
                                                        ("euclidean", False, 3)])
def test_pool_size_after_a_preparation(child, metric, normalize, workers):
    code = POOL_AFTER_PREPARE.replace("NORMALIZE", str(normalize)).replace("METRIC", repr(metric))
    proc = child(code, {"ZARIR_THREADS": "3", "RAYON_NUM_THREADS": "5"})
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout.strip()) == workers
