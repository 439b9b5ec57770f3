# Single-query search through query_exact, query_exact_detailed and query_exact_arrays:
# kernel arithmetic against a NumPy float32 model, path choice, the paths' agreement,
# validation and conversion errors, the arrays form, threads and memory.
import gc
import importlib.metadata
import os
import textwrap
import threading

import blake3
import numpy as np
import pytest

import rivezor
from conftest import SANITIZED, index_bytes, native_heap_bytes, not_under_sanitizer, rss_bytes

METHODS = ["query_exact", "query_exact_detailed", "query_exact_arrays"]
MODE_NAMES = {
    "rayon": "exact",
    "blocked": "exact-blocked-matrix",
    "blocked_matrix": "exact-blocked-matrix",
    "matrix_full": "exact-matrix-full",
    "matrix_parallel": "exact-chunked",
}
KERNEL_DIMS = list(range(1, 41)) + [63, 64, 65, 127, 128, 768, 1000]


@pytest.fixture(autouse=True)
def unforced(monkeypatch):
    monkeypatch.delenv("ZARIR_SINGLE_MODE", raising=False)


def hits_of(result):
    if isinstance(result, dict):
        return [int(i) for i in result["indices"]], [float(s) for s in result["scores"]]
    return [h.idx for h in result.results], [h.score for h in result.results]


def quarter_matrix(rng, rows, dims):
    """Multiples of 1/4: every path computes these scores exactly, so all must agree."""
    return (rng.integers(-8, 9, size=(rows, dims)) / 4).astype(np.float32)


def reference(X, q, metric, k):
    X64, q64 = X.astype(np.float64), q.astype(np.float64)
    s = ((X64 - q64) ** 2).sum(1) if metric == "euclidean" else X64 @ q64
    rows = np.arange(len(s))
    keep = np.isfinite(s)
    s, rows = s[keep], rows[keep]
    order = np.lexsort((rows, s if metric == "euclidean" else -s))[:k]
    return rows[order].tolist(), s[order].tolist()


# --- kernel arithmetic -----------------------------------------------------------------------

def model_scores(q, X, l2, vector):
    """The pair kernel in NumPy float32, one rounded operation at a time."""
    d = X - q if l2 else None
    t = d * d if l2 else X * q
    n = q.shape[0]
    s = np.zeros(X.shape[0], np.float32)
    done = 0
    if vector:
        a = np.zeros((X.shape[0], 4), np.float32)
        b = np.zeros((X.shape[0], 4), np.float32)
        for g in range(n // 8):
            a = a + t[:, 8 * g:8 * g + 4]
            b = b + t[:, 8 * g + 4:8 * g + 8]
        sa = ((a[:, 0] + a[:, 1]) + a[:, 2]) + a[:, 3]
        sb = ((b[:, 0] + b[:, 1]) + b[:, 2]) + b[:, 3]
        s = sa + sb
        done = (n // 8) * 8
    for j in range(done, n):
        s = s + t[:, j]
    return s


@pytest.fixture(scope="module")
def kernel_cases(tmp_path_factory):
    rng = np.random.default_rng(2024)
    folder = tmp_path_factory.mktemp("kernels")
    cases = []
    for dims in KERNEL_DIMS:
        rows = 24
        # Mixed magnitudes so that the order of additions shows in the last bits.
        X = (rng.standard_normal((rows, dims)) * 2.0 ** rng.integers(-8, 9, size=(rows, dims))).astype(np.float32)
        q = (rng.standard_normal(dims) * 2.0 ** rng.integers(-4, 5, size=dims)).astype(np.float32)
        for metric in ("dot", "euclidean"):
            path = folder / f"k{dims}_{metric}.bin"
            path.write_bytes(index_bytes(X, 1 if metric == "dot" else 2))
            np.save(folder / f"q{dims}.npy", q)
            cases.append((str(path), str(folder / f"q{dims}.npy"), X, q, metric))
    return folder, cases


SCORE_DUMP = """
    import sys, numpy as np, rivezor
    paths = sys.argv[1:]
    out = {}
    for i in range(0, len(paths), 2):
        e = rivezor.PySearchEngine(paths[i], False)
        q = np.load(paths[i + 1])
        r = e.query_exact_arrays(q, e.rows())
        assert r["method_used"] == "exact", r["method_used"]
        s = np.empty(e.rows(), np.float32)
        s[r["indices"].astype(np.int64)] = r["scores"]
        out[paths[i]] = s
    np.savez(OUT, **{str(i): out[p] for i, p in enumerate(paths[::2])})
"""


@pytest.mark.parametrize("flag, vector", [(None, True), ("1", False), ("yes", True), ("1 ", True), ("0", True),
                                          ("", True)])
def test_kernel_scores_bit_exact(kernel_cases, child, tmp_path, flag, vector):
    folder, cases = kernel_cases
    out = tmp_path / "scores.npz"
    args = []
    for path, qpath, *_ in cases:
        args += [path, qpath]
    code = "OUT = %r\n" % str(out) + textwrap.dedent(SCORE_DUMP).replace("sys.argv[1:]", repr(args))
    env = {"ZARIR_SINGLE_MODE": "rayon"}
    if flag is not None:
        env["ZARIR_FORCE_SCALAR"] = flag
    proc = child(code, env_update=env, env_remove=() if flag is not None else ("ZARIR_FORCE_SCALAR",))
    assert proc.returncode == 0, proc.stderr
    got = np.load(out)
    forms_differ = 0
    for i, (_, _, X, q, metric) in enumerate(cases):
        want = model_scores(q, X, metric == "euclidean", vector)
        other = model_scores(q, X, metric == "euclidean", not vector)
        forms_differ += int((want.view(np.uint32) != other.view(np.uint32)).sum())
        np.testing.assert_array_equal(got[str(i)].view(np.uint32), want.view(np.uint32),
                                      err_msg=f"dims={X.shape[1]} metric={metric}")
    # The data tell the two forms apart, so the comparison above has teeth.
    assert forms_differ > 100


def test_cosine_scores_are_not_normalized(write_index):
    e = rivezor.PySearchEngine(write_index(np.array([[0.6, 0.8]], np.float32), "cosine"), False)
    r = e.query_exact(np.array([3.0, 4.0], np.float32), 1)
    assert r.results[0].score == pytest.approx(5.0)


# --- path choice -----------------------------------------------------------------------------

@pytest.mark.parametrize("rows, dims, metric, name", [
    (5000, 128, "cosine", "exact"),
    (10000, 64, "dot", "exact-chunked"),
    (10000, 63, "dot", "exact"),
    (9999, 64, "cosine", "exact"),
    (10000, 64, "euclidean", "exact"),
    (12000, 128, "euclidean", "exact"),  # a row scan in pieces over the workers
])
def test_automatic_choice(write_index, rows, dims, metric, name):
    X = np.ones((rows, dims), np.float32)
    e = rivezor.PySearchEngine(write_index(X, metric), False)
    r = e.query_exact(np.ones(dims, np.float32), 3)
    assert r.method_used == name
    # Every row ties, in whichever pieces the scan went: the lowest indices win.
    assert [h.idx for h in r.results] == [0, 1, 2]


@pytest.fixture(scope="module")
def chunked_index(tmp_path_factory):
    rng = np.random.default_rng(7)
    X = quarter_matrix(rng, 10000, 64)
    path = tmp_path_factory.mktemp("idx") / "c.bin"
    path.write_bytes(index_bytes(X, 0))
    return rivezor.PySearchEngine(str(path), False), X


@pytest.mark.parametrize("mode, name", list(MODE_NAMES.items()) + [
    ("pruned", "exact"),          # fewer than 1000000 rows
    ("BLOCKED", "exact-chunked"),  # case matters: unknown values mean automatic
    ("matrix-full", "exact-chunked"),
    ("", "exact-chunked"),
])
def test_forced_modes(chunked_index, monkeypatch, mode, name):
    e, X = chunked_index
    monkeypatch.setenv("ZARIR_SINGLE_MODE", mode)
    q = X[17].copy()
    assert e.query_exact(q, 5).method_used == name
    assert e.query_exact_arrays(q, 5)["method_used"] == name
    assert e.query_exact_detailed(q, 5).method_used == name


def test_mode_is_read_on_every_search(chunked_index, monkeypatch):
    e, X = chunked_index
    names = []
    for mode in ("matrix_full", None, "rayon", "blocked"):
        if mode is None:
            monkeypatch.delenv("ZARIR_SINGLE_MODE")
        else:
            monkeypatch.setenv("ZARIR_SINGLE_MODE", mode)
        names.append(e.query_exact(X[0].copy(), 2).method_used)
    assert names == ["exact-matrix-full", "exact-chunked", "exact", "exact-blocked-matrix"]


def test_matrix_parallel_on_small_euclidean(write_index, rng, monkeypatch):
    X = rng.standard_normal((100, 5)).astype(np.float32)
    e = rivezor.PySearchEngine(write_index(X, "euclidean"), False)
    monkeypatch.setenv("ZARIR_SINGLE_MODE", "matrix_parallel")
    r = e.query_exact(X[3].copy(), 4)
    assert r.method_used == "exact-chunked"
    assert [h.idx for h in r.results] == reference(X, X[3], "euclidean", 4)[0]


# --- every path, same rows ---------------------------------------------------------------------

@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
@pytest.mark.parametrize("k", [1, 10, 333, 20000])
def test_every_path_returns_the_reference_rows(write_index, monkeypatch, metric, k):
    rng = np.random.default_rng(k)
    X = quarter_matrix(rng, 12000, 72)
    q = quarter_matrix(rng, 1, 72)[0]
    e = rivezor.PySearchEngine(write_index(X, metric), False)
    want_rows, want_scores = reference(X, q, metric, k)
    for mode in [None, "rayon", "blocked", "matrix_full", "matrix_parallel"]:
        if mode is None:
            monkeypatch.delenv("ZARIR_SINGLE_MODE", raising=False)
        else:
            monkeypatch.setenv("ZARIR_SINGLE_MODE", mode)
        for method in METHODS:
            rows, scores = hits_of(getattr(e, method)(q, k))
            assert rows == want_rows, (mode, method)
            assert scores == want_scores, (mode, method)


def test_paths_agree_on_random_data_up_to_rounding(write_index, rng, monkeypatch):
    X = rng.standard_normal((15000, 100)).astype(np.float32)
    q = rng.standard_normal(100).astype(np.float32)
    e = rivezor.PySearchEngine(write_index(X, "dot"), False)
    want_rows, want_scores = reference(X, q, "dot", 50)
    gaps = np.diff(want_scores)
    for mode in ["rayon", "blocked", "matrix_full", "matrix_parallel"]:
        monkeypatch.setenv("ZARIR_SINGLE_MODE", mode)
        rows, scores = hits_of(e.query_exact(q, 50))
        np.testing.assert_allclose(scores, want_scores, rtol=0, atol=1e-4)
        for i, (a, b) in enumerate(zip(rows, want_rows)):
            near = (i > 0 and -gaps[i - 1] < 1e-3) or (i < len(gaps) and -gaps[i] < 1e-3)
            assert a == b or near, (mode, i)


def test_euclidean_matrix_paths_use_the_norm_expansion(write_index, rng, monkeypatch):
    X = rng.standard_normal((50, 33)).astype(np.float32) * 10
    e = rivezor.PySearchEngine(write_index(X, "euclidean"), False)
    q = X[9].copy()
    monkeypatch.setenv("ZARIR_SINGLE_MODE", "rayon")
    assert e.query_exact(q, 1).results[0].score == 0.0
    X64, q64 = X.astype(np.float64), q.astype(np.float64)
    qq = sum(float(v) * float(v) for v in q64)
    for mode in ("matrix_full", "blocked"):
        monkeypatch.setenv("ZARIR_SINGLE_MODE", mode)
        r = e.query_exact_arrays(q, 50)
        assert int(r["indices"][0]) == 9
        for idx, score in zip(r["indices"], r["scores"]):
            xx = 0.0
            for v in X64[int(idx)]:
                xx = xx + v * v
            dot = np.float32(X64[int(idx)] @ q64)
            # The dot product comes from the block product (its own order); the expansion is in double.
            assert abs(float(score) - float(np.float32(qq + xx - 2.0 * float(dot)))) <= 1e-3 * (qq + xx)
        assert abs(float(r["scores"][0])) < 1e-2


def test_pruned_scan_on_a_million_rows(tmp_path, monkeypatch):
    rows, dims = 1_000_000, 64
    path = tmp_path / "million.bin"
    planted = {999_999: 5.0, 12: 4.0, 500_000: 3.0, 262_143: 2.0}
    with open(path, "wb") as f:
        f.write(np.array([dims, rows, 0], "<u4").tobytes())
        for r, v in sorted(planted.items()):
            f.seek(12 + 4 * dims * r)
            f.write(np.full(dims, v / dims, np.float32).tobytes())
        f.truncate(12 + 4 * dims * rows)  # the rest is zeros, stored sparsely
    e = rivezor.PySearchEngine(str(path), False)
    q = np.ones(dims, np.float32)
    monkeypatch.setenv("ZARIR_SINGLE_MODE", "pruned")
    r = e.query_exact(q, 3)
    assert r.method_used == "exact-pruned-fast"
    assert [h.idx for h in r.results] == [999_999, 12, 500_000]
    assert [h.score for h in r.results] == pytest.approx([5.0, 4.0, 3.0])
    # Zero rows tie at 0.0: the earliest rows fill the rest, as in the other paths.
    r = e.query_exact(q, 6)
    assert [h.idx for h in r.results] == [999_999, 12, 500_000, 262_143, 0, 1]
    monkeypatch.delenv("ZARIR_SINGLE_MODE")
    assert [h.idx for h in e.query_exact(q, 6).results] == [999_999, 12, 500_000, 262_143, 0, 1]


@pytest.mark.parametrize("metric", [0, 1])
def test_pruned_scan_keeps_a_row_whose_block_dot_rounds_up(tmp_path, monkeypatch, metric):
    # Block dots of large values round by whole units, far beyond a fixed slack of 1e-4.
    # The candidate row equals the query on the second dimension block, so after the first
    # block its Cauchy-Schwarz limit is exactly its true score 2**26 + 15.1875; the float32
    # lanes round each of the three small additions up to a step of 8 and score it
    # 2**26 + 24. Row 0 scores 2**26 + 16, between the two: a slack that ignores rounding
    # drops the candidate although it wins under every path's arithmetic.
    rows, dims = 1_000_000, 64
    q = np.zeros(dims, np.float32)
    q[0] = 1.0
    q[1:32] = 4096.0  # the first block carries more energy, so it is visited first
    q[32], q[40], q[48], q[56] = 8192.0, 2.25, 2.25, 2.25
    row0 = np.zeros(dims, np.float32)
    row0[0] = 2.0**26 + 16
    candidate = np.zeros(dims, np.float32)
    candidate[32:] = q[32:]
    path = tmp_path / "rounding.bin"
    with open(path, "wb") as f:
        f.write(np.array([dims, rows, metric], "<u4").tobytes())
        f.write(row0.tobytes())
        for r in (400_000, 999_999):
            f.seek(12 + 4 * dims * r)
            f.write(candidate.tobytes())
        f.truncate(12 + 4 * dims * rows)
    e = rivezor.PySearchEngine(str(path), False)
    monkeypatch.setenv("ZARIR_SINGLE_MODE", "rayon")
    expected = [hits_of(e.query_exact(q, k)) for k in (1, 3)]
    # The construction must be what it claims, or the pruned comparison below proves nothing.
    assert expected[1] == ([400_000, 999_999, 0], [2.0**26 + 24, 2.0**26 + 24, 2.0**26 + 16])
    monkeypatch.setenv("ZARIR_SINGLE_MODE", "pruned")
    for k, want in zip((1, 3), expected):
        r = e.query_exact(q, k)
        assert r.method_used == "exact-pruned-fast"
        assert hits_of(r) == want


def test_results_do_not_depend_on_thread_count(write_index, rng, child):
    X = rng.standard_normal((40000, 64)).astype(np.float32)
    path = write_index(X, "cosine")
    q = rng.standard_normal(64).astype(np.float32)
    code = f"""
        import numpy as np, rivezor, os
        e = rivezor.PySearchEngine({path!r}, False)
        q = np.array({q.tolist()!r}, np.float32)
        for mode in ("matrix_parallel", "rayon", "blocked"):
            os.environ["ZARIR_SINGLE_MODE"] = mode
            r = e.query_exact_arrays(q, 700)
            print(mode, r["indices"].tolist(), r["scores"].view(np.uint32).tolist())
    """
    outputs = set()
    for threads in ("1", "2", "3"):
        proc = child(code, env_update={"ZARIR_THREADS": threads})
        assert proc.returncode == 0, proc.stderr
        outputs.add(proc.stdout)
    assert len(outputs) == 1


# --- k and the empty index ---------------------------------------------------------------------

@pytest.mark.parametrize("method", METHODS)
def test_k_edges(write_index, rng, method):
    X = rng.standard_normal((3, 4)).astype(np.float32)
    e = rivezor.PySearchEngine(write_index(X, "dot"), False)
    q = rng.standard_normal(4).astype(np.float32)
    call = getattr(e, method)
    assert len(hits_of(call(q, 10))[0]) == 3
    assert len(hits_of(call(q, 2**64 - 1))[0]) == 3
    assert len(hits_of(call(q, np.uint64(2)))[0]) == 2
    r = call(q, 0)
    assert hits_of(r) == ([], [])
    time, name = (r["query_time_ms"], r["method_used"]) if isinstance(r, dict) else (r.query_time_ms,
                                                                                         r.method_used)
    assert (time, name) == (0.0, "exact")
    empty = rivezor.PySearchEngine(write_index(np.zeros((0, 4), np.float32), "euclidean"), False)
    assert hits_of(getattr(empty, method)(q, 5)) == ([], [])


def test_non_finite_rows_are_left_out(write_index, rng, monkeypatch):
    X = rng.standard_normal((20, 16)).astype(np.float32)
    X[0, 3] = np.nan
    X[5, 0] = np.inf
    e = rivezor.PySearchEngine(write_index(X, "dot"), False)
    for mode in ["rayon", "blocked", "matrix_full", "matrix_parallel"]:
        monkeypatch.setenv("ZARIR_SINGLE_MODE", mode)
        rows, _ = hits_of(e.query_exact(np.ones(16, np.float32), 100))
        assert sorted(rows) == [r for r in range(20) if r not in (0, 5)]


# --- validation and conversion -------------------------------------------------------------------

@pytest.fixture(scope="module")
def small_engine(tmp_path_factory):
    path = tmp_path_factory.mktemp("small") / "s.bin"
    path.write_bytes(index_bytes(np.arange(40, dtype=np.float32).reshape(5, 8), 1))
    return rivezor.PySearchEngine(str(path), False)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("query, message", [
    (np.ones(7, np.float32), "Query dimension 7 != index dimension 8"),
    (np.array([np.nan] * 9, np.float32), "Query dimension 9 != index dimension 8"),
    (np.array([0, 0, 0, np.nan, 0, 0, 0, 0], np.float32), "Query vector contém valores não finitos"),
    (np.array([0, 0, 0, 0, 0, 0, 0, -np.inf], np.float32), "Query vector contém valores não finitos"),
])
def test_engine_validation(small_engine, method, query, message):
    with pytest.raises(ValueError) as info:
        getattr(small_engine, method)(query, 0)
    assert str(info.value) == message


F32 = np.ones(8, np.float32)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("args, kwargs, exc, message", [
    (([1.0] * 8, 1), {}, TypeError, "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ((tuple(F32), 1), {}, TypeError, "argument 'query': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
    ((np.ones(8), 1), {}, TypeError, "argument 'query': type mismatch:\n from=float64, to=float32"),
    ((np.ones(8, np.int32), 1), {}, TypeError, "argument 'query': type mismatch:\n from=int32, to=float32"),
    ((np.ones((1, 8), np.float32), 1), {}, TypeError, "argument 'query': dimensionality mismatch:\n from=2, to=1"),
    ((np.float32(1.0), 1), {}, TypeError,
     "argument 'query': 'float32' object cannot be converted to 'PyArray<T, D>'"),
    ((np.ones(16, np.float32)[::2], 1), {}, TypeError, "The given array is not contiguous"),
    ((np.ones(8, np.float32)[::-1], 1), {}, TypeError, "The given array is not contiguous"),
    ((F32, -1), {}, OverflowError, None),
    ((F32, 2**64), {}, OverflowError, None),
    ((np.ones(16, np.float32)[::2], -1), {}, OverflowError, None),  # conversions before contiguity
    ((F32, 1.5), {}, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    ((F32, "3"), {}, TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
    (([1.0], -1), {}, TypeError, "argument 'query': 'list'"),  # first failing argument wins
    ((F32,), {}, TypeError, "missing 1 required positional argument: 'k'"),
    ((), {}, TypeError, "missing 2 required positional arguments: 'query' and 'k'"),
    ((F32, 1, 2), {}, TypeError, "takes 2 positional arguments but 3 were given"),
    ((F32, 1), {"k": 1}, TypeError, "got multiple values for argument 'k'"),
    ((F32,), {"kk": 1}, TypeError, "got an unexpected keyword argument 'kk'"),
])
def test_argument_errors(small_engine, method, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        getattr(small_engine, method)(*args, **kwargs)
    if message is not None:
        assert message in str(info.value)
        if exc is TypeError and message.startswith(("argument", "The given")):
            assert str(info.value).startswith(message)
        if any(word in message for word in ("positional", "keyword", "multiple values")):
            assert str(info.value).startswith(f"PySearchEngine.{method}() ")


@pytest.mark.parametrize("method", METHODS)
def test_accepted_argument_forms(small_engine, method):
    call = getattr(small_engine, method)
    want = hits_of(call(F32, 2))
    assert hits_of(call(query=F32, k=2)) == want
    assert hits_of(call(F32, k=np.int16(2))) == want
    ro = F32.copy()
    ro.flags.writeable = False
    assert hits_of(call(ro, 2)) == want
    # A float32 view at an odd byte offset is contiguous but unaligned.
    raw = np.zeros(8 * 4 + 1, np.uint8)
    unaligned = raw[1:].view(np.float32)
    unaligned[:] = 1.0
    assert not unaligned.flags.aligned
    assert hits_of(call(unaligned, 2)) == want

    class Index:
        def __index__(self):
            return 2

    assert hits_of(call(F32, Index())) == want

    class Sub(np.ndarray):
        pass

    assert hits_of(call(F32.view(Sub), 2)) == want


# --- result forms --------------------------------------------------------------------------------

@pytest.mark.parametrize("metric, normalized", [("cosine", True), ("dot", False), ("euclidean", False)])
def test_arrays_form(write_index, rng, metric, normalized):
    X = rng.standard_normal((30, 6)).astype(np.float32)
    path = write_index(X, metric)
    e = rivezor.PySearchEngine(path, False)
    q = rng.standard_normal(6).astype(np.float32)
    d = e.query_exact_arrays(q, 4)
    assert list(d) == ["indices", "scores", "query_time_ms", "method_used", "index_hash", "metric", "normalized",
                       "dims", "rows", "index_path"]
    assert d["indices"].dtype == np.uint64 and d["indices"].ndim == 1
    assert d["scores"].dtype == np.float32 and d["scores"].ndim == 1
    plain = e.query_exact(q, 4)
    assert hits_of(d) == hits_of(plain)
    assert isinstance(d["query_time_ms"], float) and d["query_time_ms"] >= 0.0
    assert d["method_used"] == "exact"
    assert d["index_hash"] == blake3.blake3(open(path, "rb").read()).hexdigest()
    assert (d["metric"], d["normalized"], d["dims"], d["rows"]) == (metric, normalized, 6, 30)
    assert d["index_path"] == os.path.realpath(path)
    # Each array owns its buffer through a base object of ours, not a view of another array.
    for key in ("indices", "scores"):
        arr = d[key]
        assert arr.flags.c_contiguous and arr.flags.writeable
        assert arr.base is not None and not isinstance(arr.base, np.ndarray)
    d["scores"][:] = 0
    assert hits_of(e.query_exact_arrays(q, 4)) == hits_of(plain)


def test_arrays_outlive_the_engine_and_empty_arrays(write_index, rng):
    X = rng.standard_normal((10, 3)).astype(np.float32)
    e = rivezor.PySearchEngine(write_index(X, "dot"), False)
    q = X[2].copy()
    d = e.query_exact_arrays(q, 10)
    empty = e.query_exact_arrays(q, 0)
    want = reference(X, q, "dot", 10)
    del e
    gc.collect()
    assert d["indices"].tolist() == want[0]
    assert empty["indices"].shape == (0,) and empty["scores"].shape == (0,)
    assert empty["indices"].dtype == np.uint64


def test_detailed_matches_plain_and_fingerprints_the_query(write_index, rng):
    X = rng.standard_normal((40, 12)).astype(np.float32)
    path = write_index(X, "euclidean")
    e = rivezor.PySearchEngine(path, False)
    q = rng.standard_normal(12).astype(np.float32)
    full = e.query_exact_detailed(q, 5)
    plain = e.query_exact(q, 5)
    assert hits_of(full) == hits_of(plain)
    assert full.query_hash == blake3.blake3(q.astype("<f4").tobytes()).hexdigest()
    assert full.index_hash == blake3.blake3(open(path, "rb").read()).hexdigest()
    assert (full.engine_version, full.metric, full.normalized, full.dims, full.rows) == (
        importlib.metadata.version("rivezor"), "euclidean", False, 12, 40)
    assert full.index_path == os.path.realpath(path)


# --- threads and memory ----------------------------------------------------------------------------

def test_threads_share_one_engine(write_index, rng, monkeypatch):
    X = rng.standard_normal((12000, 64)).astype(np.float32)
    e = rivezor.PySearchEngine(write_index(X, "cosine"), False)
    queries = rng.standard_normal((16, 64)).astype(np.float32)
    want = [hits_of(e.query_exact(q, 8)) for q in queries]
    errors, results = [], {}

    def work(t):
        try:
            for rep in range(5):
                for i, q in enumerate(queries):
                    method = METHODS[(t + i + rep) % 3]
                    results[(t, rep, i)] = (i, hits_of(getattr(e, method)(q, 8)))
        except Exception as exc:  # surfaced below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 4 * 5 * 16
    for i, got in results.values():
        assert got == want[i]


def test_memory_stays_flat_over_many_calls(write_index, rng):
    X = rng.standard_normal((20000, 8)).astype(np.float32)
    e = rivezor.PySearchEngine(write_index(X, "dot"), False)
    good = rng.standard_normal(8).astype(np.float32)
    bad_calls = [
        lambda: e.query_exact(np.ones(7, np.float32), 3),
        lambda: e.query_exact_detailed(np.full(8, np.nan, np.float32), 3),
        lambda: e.query_exact_arrays([1.0] * 8, 3),
        lambda: e.query_exact(good, -1),
        lambda: e.query_exact_arrays(np.ones(16, np.float32)[::2], 3),
    ]

    def run(n):
        for i in range(n):
            # Every answer of every row: a leak of the result buffers would show at once.
            e.query_exact_arrays(good, 20000)
            e.query_exact_detailed(good, 50).results
            e.query_exact(good, 5)
            try:
                bad_calls[i % len(bad_calls)]()
            except (TypeError, ValueError, OverflowError):
                pass

    # ASan's quarantine of freed blocks grows the RSS, so a sanitized run counts live heap bytes.
    measure = native_heap_bytes if SANITIZED else rss_bytes
    run(100)
    gc.collect()
    before = measure()
    run(600)
    gc.collect()
    grown = measure() - before
    # 600 leaked answers of 20000 hits would be 144 MB; allow allocator noise only.
    assert grown < 8 * 2**20, grown


@not_under_sanitizer("ASan's quarantine of freed blocks grows the RSS")
def test_ten_thousand_small_calls_keep_memory_flat(small_engine):
    q = np.ones(8, np.float32)
    bad = np.ones(3, np.float32)

    def run(n):
        for i in range(n):
            small_engine.query_exact(q, 3)
            small_engine.query_exact_detailed(q, 3)
            try:
                small_engine.query_exact(bad if i % 2 else [1.0], 3)
            except (TypeError, ValueError):
                pass

    run(1000)
    gc.collect()
    before = rss_bytes()
    run(10000)
    gc.collect()
    assert rss_bytes() - before < 4 * 2**20
