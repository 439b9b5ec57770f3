# Many Python threads on one engine while the writer runs beside them get exactly the answers
# of a single-threaded run, and concurrent first constructions configure the pool only once.
import os
import sys
import threading
import time

import numpy as np
import pytest

import rivezor

DIMS, ROWS = 64, 20000
THREADS = 8
ROUNDS = 3


def canonical(value):
    """An answer with its timings removed, in plain comparable Python values."""
    if isinstance(value, rivezor.PyQueryResult):
        fields = [name for name in dir(value) if not name.startswith("_") and name not in ("results", "query_time_ms")]
        return ("result", tuple((item.idx, item.score) for item in value.results),
                tuple((name, getattr(value, name)) for name in fields))
    if isinstance(value, dict):
        return tuple((key, canonical(v)) for key, v in value.items() if "time" not in key)
    if isinstance(value, (list, tuple)):
        return tuple(canonical(v) for v in value)
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    return value


@pytest.fixture(scope="module")
def workload(tmp_path_factory):
    base = tmp_path_factory.mktemp("concurrency")
    rng = np.random.default_rng(2024)
    rows = rng.standard_normal((ROWS, DIMS)).astype(np.float32)
    # Near-ties make any mix-up between threads' candidates change the answer.
    rows[1::7] = rows[::7][: len(rows[1::7])] * np.float32(1.0000001)
    path = base / "shared.bin"
    header = np.array([DIMS, ROWS, 1], dtype="<u4").tobytes()
    path.write_bytes(header + rows.tobytes())
    engine = rivezor.PySearchEngine(str(path), False)
    queries = rng.standard_normal((6, DIMS)).astype(np.float32)
    q = queries[0]
    calls = [
        ("query_exact", lambda e, q=q: e.query_exact(q, 10)),
        ("query_exact large k", lambda e, q=q: e.query_exact(q, 500)),
        ("query_exact_detailed", lambda e, q=queries[1]: e.query_exact_detailed(q, 25)),
        ("query_exact_arrays", lambda e, q=queries[2]: e.query_exact_arrays(q, 40)),
        ("query_batch", lambda e: e.query_batch(queries, 10)),
        ("query_batch_detailed", lambda e: e.query_batch_detailed(queries, 7)),
        ("query_batch_arrays", lambda e: e.query_batch_arrays(queries, 30)),
        ("query_exact_certified", lambda e, q=queries[3]: e.query_exact_certified(q, 10, 16, True)),
        ("query_batch_exact_certified", lambda e: e.query_batch_exact_certified(queries[:3], 5)),
        ("explain", lambda e, q=queries[4]: e.explain(q, 17, 8, 4)),
        ("compare", lambda e, q=queries[5]: e.compare(q, 3, 19999, 16, 2)),
    ]
    embeddings = rng.standard_normal((3000, DIMS)).astype(np.float32)
    out = base / "written"
    return engine, calls, embeddings, out


def test_eight_threads_and_the_writer_match_a_single_threaded_run(workload):
    engine, calls, embeddings, out = workload
    prepare = rivezor.py_prepare_bin_from_embeddings
    expected = {name: canonical(call(engine)) for name, call in calls}
    written = {}
    for metric in ("cosine", "dot"):
        path = prepare(embeddings, DIMS, len(embeddings), f"ref_{metric}", "f32", metric=metric, output_dir=str(out))
        with open(path, "rb") as f:
            written[metric] = f.read()

    start = threading.Barrier(THREADS + 2)
    queries_done = threading.Event()
    problems = []
    counts = {"query": 0, "write": 0}
    lock = threading.Lock()

    def query_worker(t):
        try:
            start.wait()
            order = calls[t % len(calls):] + calls[: t % len(calls)]
            for _ in range(ROUNDS):
                for name, call in order:
                    got = canonical(call(engine))
                    if got != expected[name]:
                        problems.append(f"thread {t}: {name} differs from the single-threaded answer")
                    with lock:
                        counts["query"] += 1
        except Exception as e:  # reported below, with the thread that raised it
            problems.append(f"thread {t}: {e!r}")

    def writer(t):
        metric = ("cosine", "dot")[t]
        try:
            start.wait()
            while not queries_done.is_set():
                path = prepare(embeddings, DIMS, len(embeddings), f"w{t}_{metric}", "f16", metric=metric,
                               output_dir=str(out))
                with open(path, "rb") as f:
                    if f.read() != written[metric]:
                        problems.append(f"writer {t}: {metric} file differs from the single-threaded one")
                with lock:
                    counts["write"] += 1
        except Exception as e:
            problems.append(f"writer {t}: {e!r}")

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the interpreter lock around as often as possible
    try:
        queriers = [threading.Thread(target=query_worker, args=(t,)) for t in range(THREADS)]
        writers = [threading.Thread(target=writer, args=(t,)) for t in range(2)]
        for th in queriers + writers:
            th.start()
        for th in queriers:
            th.join()
        queries_done.set()
        for th in writers:
            th.join()
    finally:
        sys.setswitchinterval(old_interval)

    assert not problems, "\n".join(problems[:20])
    assert counts["query"] == THREADS * ROUNDS * len(calls)
    assert counts["write"] >= 2  # the writers really ran beside the queries


CONFIGURE_RACE = """
import os, threading, time, ctypes, numpy as np, rivezor

def threads_in_process():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))

path = os.environ["IDX"]
before = threads_in_process()
start = threading.Barrier(8)
errors = []

def build(t):
    try:
        start.wait()
        # Each thread asks for its own pool size just before its construction.
        os.environ["ZARIR_THREADS"] = str(t + 2)
        rivezor.PySearchEngine(path, False)
    except Exception as e:
        errors.append(repr(e))

workers = [threading.Thread(target=build, args=(t,)) for t in range(8)]
for w in workers:
    w.start()
for w in workers:
    w.join()
libc = ctypes.CDLL(None)
libc.getenv.restype = ctypes.c_char_p
exported = [(os.environ.get(n), (libc.getenv(n.encode()) or b"").decode())
            for n in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "RAYON_NUM_THREADS")]
# A joined Python thread may not have left the process yet: give the count time to settle.
target = int(exported[1][1]) if exported[1][1].isdigit() else 0
deadline = time.monotonic() + 10
while threads_in_process() - before > target and time.monotonic() < deadline:
    time.sleep(0.01)
print(errors, exported, threads_in_process() - before, sep="|")
"""


@pytest.mark.parametrize("trial", range(5))
def test_concurrent_first_constructions_configure_once(child, write_index, rng, trial):
    idx = write_index(rng.standard_normal((50, 8)), "dot")
    proc = child(CONFIGURE_RACE, {"IDX": idx, "OMP_NUM_THREADS": "sentinel"}, env_remove=["ZARIR_THREADS"])
    assert proc.returncode == 0, proc.stderr
    errors, exported, new_threads = proc.stdout.strip().split("|")
    assert errors == "[]"
    values = {v for pair in eval(exported) for v in pair}
    # One configuration: one value, in all three variables and in both environments, and a
    # pool of exactly that many workers. A second one would have rewritten the variables with
    # another thread's value, which the pool, already built, could no longer follow.
    assert len(values) == 1, exported
    (value,) = values
    assert value in {str(t + 2) for t in range(8)}
    assert int(new_threads) == int(value)


# The parent has used the worker pool (normalizing writer, parallel scans, batch); a forked
# child, as multiprocessing's default start method makes it, must get working searches and
# preparations of its own, on a pool of the parent's size, instead of waiting on workers that
# do not exist in it. The parent changes the thread variable after configuring, which must not
# change the child's pool.
AFTER_FORK = """
import os, sys, tempfile, numpy as np, rivezor
out = tempfile.mkdtemp()
x = np.random.default_rng(5).standard_normal((60000, 64)).astype(np.float32)
first = os.path.join(out, "first.bin")
with open(first, "wb") as f:
    f.write(np.array([64, 60000, 1], "<u4").tobytes() + x.astype("<f4").tobytes())
engine = rivezor.PySearchEngine(first, False)  # configures a pool of ZARIR_THREADS workers
os.environ["RAYON_NUM_THREADS"] = "1"
rivezor.py_prepare_bin_from_embeddings(x, 64, 60000, "p", "f32", output_dir=out)
parent = engine.query_batch_arrays(x[:300], 4)
pid = os.fork()
if pid == 0:
    code = 1
    try:
        rivezor.py_prepare_bin_from_embeddings(x, 64, 60000, "n", "f32", metric="cosine", output_dir=out)
        threads = len(os.listdir("/proc/self/task"))  # the forking thread and the new pool's
        path = rivezor.py_prepare_bin_from_embeddings(x, 64, 60000, "c", "f32", metric="dot", output_dir=out)
        again = rivezor.PySearchEngine(path, False).query_batch_arrays(x[:300], 4)
        same = all(np.array_equal(a, b) for a, b in zip(parent, again))
        single = engine.query_exact(x[123], 1).results[0].idx
        code = 0 if same and single == 123 and threads == 1 + 3 else 3
    finally:
        os._exit(code)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
"""


def test_forked_child_searches_and_prepares(child):
    proc = child(AFTER_FORK, env_update={"ZARIR_THREADS": "3"}, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "0"
