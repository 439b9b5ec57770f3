# Ten thousand calls of every public entry point, succeeding and failing, leave Python's
# allocated blocks, the native heap, the RSS and the reference counts of the arguments flat.
import gc
import os
import shutil
import sys
import tempfile
import threading
import time
import tracemalloc

import numpy as np
import pytest

import rivezor
from conftest import SANITIZED, index_bytes, native_heap_bytes, rss_bytes

CALLS = 10_000
WARMUP = 300
DIMS, ROWS, K = 32, 256, 20

# A leak of one Python object per call is 10,000 blocks; one leaked heap allocation per call
# is at least 320 KB; k hits per call are 3.2 MB. Caches and free lists stay far below.
BLOCKS_LIMIT = 1000
NATIVE_LIMIT = 128 * 1024
RSS_LIMIT = 4 * 2**20


class Count:
    """A count argument of our own, so its reference count is ours alone to watch."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    base = tmp_path_factory.mktemp("leaks")
    rng = np.random.default_rng(7)
    data = rng.standard_normal((ROWS, DIMS)).astype(np.float32)
    index = base / "dot.bin"
    index.write_bytes(index_bytes(data, 1))
    small = base / "small.bin"
    small.write_bytes(index_bytes(data[:64], 0))
    short = base / "short.bin"
    short.write_bytes(index_bytes(data[:64], 0)[:-1])
    # The writer syncs every file it writes; on tmpfs that costs nothing.
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        out = tempfile.mkdtemp(prefix="rivezor-leaks-", dir="/dev/shm")
    else:
        out = str(base / "out")
    engine = rivezor.PySearchEngine(str(index), False)
    q = rng.standard_normal(DIMS).astype(np.float32)
    ns = {
        "engine": engine,
        "index": str(index),
        "small": str(small),
        "short": str(short),
        "missing": str(base / "missing.bin"),
        "out": str(out),
        "q": q,
        "q_short": q[:-1].copy(),
        "q_nan": np.where(np.arange(DIMS) == 3, np.nan, q).astype(np.float32),
        "q_strided": np.repeat(q, 2)[::2],
        "q_list": q.tolist(),
        "qs": rng.standard_normal((4, DIMS)).astype(np.float32),
        "qs_narrow": rng.standard_normal((4, DIMS - 1)).astype(np.float32),
        "qs_fortran": np.asfortranarray(rng.standard_normal((4, DIMS)).astype(np.float32)),
        "emb": rng.standard_normal((8, 16)).astype(np.float32),
        "emb_fortran": np.asfortranarray(rng.standard_normal((8, 16)).astype(np.float32)),
        "k": Count(K),
        "k_neg": Count(-1),
        "block": Count(8),
        "top": Count(3),
        "idx_a": Count(5),
        "idx_b": Count(ROWS - 1),
        "idx_out": Count(ROWS),
    }
    ns["detailed"] = engine.query_exact_detailed(q, ns["k"])
    ns["item"] = ns["detailed"].results[0]
    yield ns
    shutil.rmtree(out, ignore_errors=True)


def read_all(obj):
    for name in dir(obj):
        if not name.startswith("_"):
            getattr(obj, name)
    return repr(obj)


def set_attribute(obj, name):
    setattr(obj, name, 1)


# Each case: (covered entry point, label, call, expected exception or None, watched arguments).
# A call is a string evaluated against the fixture's namespace, so the cases read like the calls.
CASES = [
    ("PySearchEngine", "open", "rivezor.PySearchEngine(small, False)", None, ["small"]),
    ("PySearchEngine", "missing file", "rivezor.PySearchEngine(missing, True)", ValueError, ["missing"]),
    ("PySearchEngine", "file too small", "rivezor.PySearchEngine(short, False)", ValueError, ["short"]),
    ("PySearchEngine", "ann not a bool", "rivezor.PySearchEngine(small, 1)", TypeError, ["small"]),
    ("PySearchEngine.dims", "ok", "engine.dims()", None, ["engine"]),
    ("PySearchEngine.dims", "surplus argument", "engine.dims(k)", TypeError, ["engine", "k"]),
    ("PySearchEngine.rows", "ok", "engine.rows()", None, ["engine"]),
    ("PySearchEngine.rows", "surplus argument", "engine.rows(k)", TypeError, ["engine", "k"]),
]
for method in ("query_exact", "query_exact_detailed", "query_exact_arrays"):
    CASES += [
        (f"PySearchEngine.{method}", "ok", f"engine.{method}(q, k)", None, ["engine", "q", "k"]),
        (f"PySearchEngine.{method}", "keywords", f"engine.{method}(k=k, query=q)", None, ["q", "k"]),
        (f"PySearchEngine.{method}", "wrong dimension", f"engine.{method}(q_short, k)", ValueError, ["q_short", "k"]),
        (f"PySearchEngine.{method}", "non-finite", f"engine.{method}(q_nan, k)", ValueError, ["q_nan", "k"]),
        (f"PySearchEngine.{method}", "list", f"engine.{method}(q_list, k)", TypeError, ["q_list", "k"]),
        (f"PySearchEngine.{method}", "strided", f"engine.{method}(q_strided, k)", TypeError, ["q_strided"]),
        (f"PySearchEngine.{method}", "negative k", f"engine.{method}(q, k_neg)", OverflowError, ["q", "k_neg"]),
    ]
for method in ("query_batch", "query_batch_detailed", "query_batch_arrays"):
    CASES += [
        (f"PySearchEngine.{method}", "ok", f"engine.{method}(qs, k)", None, ["engine", "qs", "k"]),
        (f"PySearchEngine.{method}", "wrong width", f"engine.{method}(qs_narrow, k)", ValueError, ["qs_narrow"]),
        (f"PySearchEngine.{method}", "1-D", f"engine.{method}(q, k)", TypeError, ["q", "k"]),
        (f"PySearchEngine.{method}", "Fortran order", f"engine.{method}(qs_fortran, k)", TypeError, ["qs_fortran"]),
    ]
CASES += [
    ("PySearchEngine.query_exact_certified", "ok", "engine.query_exact_certified(q, k, block, True)", None,
     ["engine", "q", "k", "block"]),
    ("PySearchEngine.query_exact_certified", "no pruning", "engine.query_exact_certified(q, k, enable_pruning=False)",
     None, ["q", "k"]),
    ("PySearchEngine.query_exact_certified", "wrong dimension", "engine.query_exact_certified(q_short, k)",
     ValueError, ["q_short"]),
    ("PySearchEngine.query_exact_certified", "pruning not a bool", "engine.query_exact_certified(q, k, block, 1)",
     TypeError, ["q", "k", "block"]),
    ("PySearchEngine.query_batch_exact_certified", "ok", "engine.query_batch_exact_certified(qs, k, block)", None,
     ["engine", "qs", "k", "block"]),
    ("PySearchEngine.query_batch_exact_certified", "wrong width", "engine.query_batch_exact_certified(qs_narrow, k)",
     ValueError, ["qs_narrow", "k"]),
    ("PySearchEngine.query_batch_exact_certified", "1-D", "engine.query_batch_exact_certified(q, k)",
     TypeError, ["q"]),
    ("PySearchEngine.compare", "ok", "engine.compare(q, idx_a, idx_b, block, top)", None,
     ["engine", "q", "idx_a", "idx_b", "block", "top"]),
    ("PySearchEngine.compare", "row out of range", "engine.compare(q, idx_a, idx_out, block, top)", ValueError,
     ["q", "idx_out"]),
    ("PySearchEngine.compare", "missing argument", "engine.compare(q, idx_a, idx_b, block)", TypeError, ["q"]),
    ("PySearchEngine.explain", "ok", "engine.explain(q, idx_a, block, top)", None, ["engine", "q", "idx_a", "top"]),
    ("PySearchEngine.explain", "row out of range", "engine.explain(q, idx_out, block, top)", ValueError,
     ["q", "idx_out"]),
    ("PySearchEngine.explain", "list query", "engine.explain(q_list, idx_a, block, top)", TypeError, ["q_list"]),
    ("py_prepare_bin_from_embeddings", "dot", "prepare(emb, 16, 8, 'leak', 'f32', metric='dot', output_dir=out)",
     None, ["emb", "out"]),
    ("py_prepare_bin_from_embeddings", "cosine on the pool",
     "prepare(emb, 16, 8, 'leak', 'f16', normalize=True, output_dir=out)", None, ["emb", "out"]),
    ("py_prepare_bin_from_embeddings", "bad level", "prepare(emb, 16, 8, 'leak', 'F32', output_dir=out)",
     ValueError, ["emb", "out"]),
    ("py_prepare_bin_from_embeddings", "shape mismatch", "prepare(emb, 16, 9, 'leak', 'f32', output_dir=out)",
     ValueError, ["emb"]),
    ("py_prepare_bin_from_embeddings", "Fortran order", "prepare(emb_fortran, 16, 8, 'leak', 'f32', output_dir=out)",
     TypeError, ["emb_fortran"]),
    ("py_prepare_bin_from_embeddings", "normalize not a bool", "prepare(emb, 16, 8, 'leak', 'f32', 1)",
     TypeError, ["emb"]),
    ("PyQueryResult", "every property and repr", "read_all(detailed)", None, ["detailed"]),
    ("PyQueryResult", "read-only", "set_attribute(detailed, 'method_used')", AttributeError, ["detailed"]),
    ("PyQueryItem", "every property", "read_all(item)", None, ["item"]),
    ("PyQueryItem", "read-only", "set_attribute(item, 'score')", AttributeError, ["item"]),
]


def public_surface(item):
    """Every public entry point the module advertises, named like the first field of CASES."""
    names = set()
    for name in rivezor.__all__:
        obj = getattr(rivezor, name)
        names.add(name)
        if isinstance(obj, type):
            names |= {f"{name}.{attr}" for attr in dir(obj) if not attr.startswith("_")}
    # PyQueryItem is reachable only through results.
    names |= {f"PyQueryItem.{attr}" for attr in dir(type(item)) if not attr.startswith("_")}
    return names


def test_every_public_entry_point_has_leak_cases(env):
    surface = public_surface(env["item"])
    targets = {c[0] for c in CASES}
    # A class's read_all case reads every one of its properties.
    for cls in ("PyQueryResult", "PyQueryItem"):
        if any(c[0] == cls and c[2].startswith("read_all(") for c in CASES):
            targets |= {name for name in surface if name.startswith(cls + ".")}
    missing = sorted(surface - targets)
    assert not missing, f"public entry points without leak cases: {missing}"
    stale = sorted(targets - surface - {"PyQueryItem"})
    assert not stale, f"leak cases for entry points the module does not have: {stale}"
    without_failure = sorted({c[0] for c in CASES} - {c[0] for c in CASES if c[3] is not None})
    assert not without_failure, f"entry points without a failing case: {without_failure}"


def case_id(case):
    return f"{case[0]}-{case[1]}".replace(" ", "_")


@pytest.mark.parametrize("case", CASES, ids=[case_id(c) for c in CASES])
def test_ten_thousand_calls_stay_flat(env, case):
    target, label, source, expected, watched = case
    namespace = dict(env, rivezor=rivezor, prepare=getattr(rivezor, "py_prepare_bin_from_embeddings", None),
                     read_all=read_all, set_attribute=set_attribute)
    code = compile(source, f"<{target}: {label}>", "eval")

    def once():
        if expected is None:
            eval(code, namespace)
            return
        try:
            eval(code, namespace)
        except expected:
            return
        raise AssertionError(f"{source} did not raise {expected.__name__}")

    def run(n):
        for _ in range(n):
            once()

    objects = [env[name] for name in watched]

    def window():
        """Python's allocated blocks, the native heap and the RSS, before and after CALLS calls."""
        gc.collect()
        before = (sys.getallocatedblocks(), native_heap_bytes(), rss_bytes())
        run(CALLS)
        gc.collect()
        return before, (sys.getallocatedblocks(), native_heap_bytes(), rss_bytes())

    limits = (BLOCKS_LIMIT, NATIVE_LIMIT, None if SANITIZED else RSS_LIMIT)  # ASan's quarantine inflates RSS

    def over(before, after):
        return [i for i, limit in enumerate(limits) if limit is not None and after[i] - before[i] >= limit]

    run(WARMUP)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    before, after = window()
    refs_after = [sys.getrefcount(o) for o in objects]
    exceeded = over(before, after)
    where = ""
    if exceeded:
        # The interpreter resizes its tables (the interned strings, for one) now and then: a
        # step in one window. A leak grows in every window, so it must show again; this time
        # traced, to say where.
        tracemalloc.start(8)
        try:
            snapshot = tracemalloc.take_snapshot()
            again = window()
            top = tracemalloc.take_snapshot().compare_to(snapshot, "traceback")[:3]
        finally:
            tracemalloc.stop()
        exceeded = [i for i in over(*again) if i in exceeded]
        where = "\n".join(f"{st}\n" + "\n".join(st.traceback.format()) for st in top)

    print(f"\n{target} [{label}]: Python blocks {before[0]} -> {after[0]}, native heap {before[1]} -> {after[1]} B, "
          f"RSS {before[2] // 1024} -> {after[2] // 1024} KiB")
    assert refs_after == refs, f"reference counts of {watched}: {refs} -> {refs_after}"
    names = ("Python's allocated blocks", "native heap", "RSS")
    assert not exceeded, (f"{', '.join(names[i] for i in exceeded)} grew in two windows of {CALLS} calls: "
                          f"{before} -> {after}; grown at:\n{where}")


def resident_bytes():
    """Anonymous plus file-backed resident memory: the working copy and the mapped output."""
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("RssAnon:", "RssFile:")):
                fields[line.split(":")[0]] = int(line.split()[1]) * 1024
    return fields["RssAnon"] + fields["RssFile"]


@pytest.mark.skipif(SANITIZED, reason="shadow memory and the quarantine distort resident sizes")
@pytest.mark.parametrize("metric", ["cosine", "dot"])
def test_preparation_holds_about_one_copy_of_the_matrix(tmp_path, metric):
    # The working copy goes back to the system as its rows reach the mapped output, so the
    # two together stay near one matrix rather than two.
    x = np.random.default_rng(3).standard_normal((250_000, 64)).astype(np.float32)  # 64 MB
    base = resident_bytes()
    peak = [base]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], resident_bytes())
            time.sleep(0.0005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        rivezor.py_prepare_bin_from_embeddings(x, 64, 250_000, "peak", "f32", metric=metric, output_dir=str(tmp_path))
    finally:
        done.set()
        sampler.join()
    assert peak[0] > base + x.nbytes // 2  # the sampler saw the preparation at work
    assert peak[0] - base < 1.4 * x.nbytes, (peak[0] - base) / x.nbytes
