# Batch search through query_batch, query_batch_arrays and query_batch_detailed: every path
# against the single-query search, validation order, mended empty and non-finite batches.
import importlib.metadata
import os

import blake3
import numpy as np
import pytest

import rivezor
from conftest import index_bytes, not_under_sanitizer

METHODS = ["query_batch", "query_batch_arrays", "query_batch_detailed"]
PATH_NAMES = {
    "rayon": "rayon-optimized",
    "matrix": "matrix-full",
    "matrix_full": "matrix-full",
    "chunked": "matrix-chunked",
    "chunked_matrix": "matrix-chunked",
    "blocked": "batch-blocked-exact",
    "blocked_exact": "batch-blocked-exact",
}
FORCED_MODES = list(PATH_NAMES)


@pytest.fixture(autouse=True)
def clean_batch_env(monkeypatch):
    for name in ("ZARIR_BATCH_MODE", "ZARIR_QBLOCK", "ZARIR_SINGLE_MODE", "ZARIR_MATRIX_KERNEL"):
        monkeypatch.delenv(name, raising=False)


def set_mode(monkeypatch, mode, qblock=None):
    if mode is None:
        monkeypatch.delenv("ZARIR_BATCH_MODE", raising=False)
    else:
        monkeypatch.setenv("ZARIR_BATCH_MODE", mode)
    if qblock is None:
        monkeypatch.delenv("ZARIR_QBLOCK", raising=False)
    else:
        monkeypatch.setenv("ZARIR_QBLOCK", qblock)


def expected_name(mode, nq):
    if mode in PATH_NAMES:
        return PATH_NAMES[mode]
    return "batch-blocked-exact" if nq > 3 else "rayon-optimized"


def reference_scores(X, Q, metric):
    X64, Q64 = X.astype(np.float64), Q.astype(np.float64)
    if metric == "euclidean":
        return np.stack([((X64 - q) ** 2).sum(1) for q in Q64])
    return Q64 @ X64.T


def assert_same_rows(got, want, ref, tol):
    """Same rows in the same order, except swaps between rows whose exact scores are near-tied."""
    got, want = list(got), list(want)
    assert len(got) == len(want)
    if got != want:
        np.testing.assert_allclose(ref[got], ref[want], rtol=0, atol=tol)


def answered(result):
    """Number of queries a batch method answered, whatever its result form."""
    return len(result["method_used"]) if isinstance(result, dict) else len(result)


def write_matrix(path, X, metric):
    path.write_bytes(index_bytes(X, {"cosine": 0, "dot": 1, "euclidean": 2}[metric]))
    return str(path)


# Shapes with three row blocks (the row-block cap is 8000 below 384 dims): one short row,
# one not a multiple of any vector width.
SHAPES = [(20000, 24), (20000, 130)]


@pytest.fixture(scope="module")
def indexes(tmp_path_factory):
    made = {}

    def get(rows, dims, metric):
        key = (rows, dims, metric)
        if key not in made:
            rng = np.random.default_rng(rows * 7 + dims)
            X = rng.standard_normal((rows, dims), dtype=np.float32)
            if metric == "cosine":
                X /= np.linalg.norm(X, axis=1, keepdims=True)
            path = write_matrix(tmp_path_factory.mktemp("idx") / f"{metric}_{rows}_{dims}.bin", X, metric)
            made[key] = (X, path)
        return made[key]

    return get


# k: within the selection's heap of best hits, and past it (a buffer cut back when full).
@pytest.mark.parametrize("k", [12, 40])
@pytest.mark.parametrize("kernel", ["fused", "score_matrix"])
@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: f"{s[0]}x{s[1]}")
@pytest.mark.parametrize(
    "mode,qblock",
    [(None, None), ("rayon", None), ("matrix", None), ("matrix_full", "+2"), ("chunked", None),
     ("chunked_matrix", "3"), ("blocked", None), ("blocked_exact", None)],
)
def test_every_path_finds_the_single_query_rows(indexes, monkeypatch, metric, shape, mode, qblock, kernel, k):
    if kernel == "score_matrix":
        monkeypatch.setenv("ZARIR_MATRIX_KERNEL", "score_matrix")
    X, path = indexes(*shape, metric)
    engine = rivezor.PySearchEngine(path, False)
    rng = np.random.default_rng(99)
    Q = rng.standard_normal((11, shape[1]), dtype=np.float32)
    ref = reference_scores(X, Q, metric)
    tol = 2e-3 * max(1.0, float(np.abs(ref).max()))
    singles = [engine.query_exact(q, k) for q in Q]

    set_mode(monkeypatch, mode, qblock)
    batch = engine.query_batch(Q, k)
    assert len(batch) == len(Q)
    name = expected_name(mode, len(Q))
    for i, (res, single) in enumerate(zip(batch, singles)):
        assert res.method_used == name
        got = [h.idx for h in res.results]
        assert_same_rows(got, [h.idx for h in single.results], ref[i], tol)
        scores = np.array([h.score for h in res.results])
        np.testing.assert_allclose(scores, ref[i][got], rtol=0, atol=tol)
        if name == "rayon-optimized":
            assert res.query_time_ms > 0.0
        else:
            assert res.query_time_ms == 0.0


@pytest.mark.parametrize("mode,nq", [(None, 2), (None, 4), ("rayon", 5), ("matrix", 5), ("chunked", 5),
                                     ("blocked", 5), ("blocked", 2)])
@pytest.mark.parametrize("case", ["k0", "no_rows"])
def test_k_zero_or_empty_index_gives_one_empty_outcome_per_query(write_index, monkeypatch, mode, nq, case):
    if case == "k0":
        path, k = write_index(np.ones((30, 4), dtype=np.float32), "dot"), 0
    else:
        path, k = write_index(np.zeros((0, 4), dtype=np.float32), "euclidean"), 5
    engine = rivezor.PySearchEngine(path, False)
    set_mode(monkeypatch, mode)
    Q = np.ones((nq, 4), dtype=np.float32)
    name = expected_name(mode, nq)
    results = engine.query_batch(Q, k)
    assert [(r.results, r.method_used, r.query_time_ms) for r in results] == [([], name, 0.0)] * nq
    arrays = engine.query_batch_arrays(Q, k)
    assert arrays["indices"].shape == (nq, 0) and arrays["indices"].dtype == np.uint64
    assert arrays["scores"].shape == (nq, 0) and arrays["scores"].dtype == np.float32
    assert arrays["method_used"] == [name] * nq
    assert arrays["query_time_ms"].tolist() == [0.0] * nq


@pytest.mark.parametrize("mode", [None] + FORCED_MODES)
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_batch_is_refused_on_every_path(write_index, monkeypatch, mode, bad):
    engine = rivezor.PySearchEngine(write_index(np.eye(6, dtype=np.float32), "cosine"), False)
    set_mode(monkeypatch, mode)
    for nq in (2, 5):
        Q = np.ones((nq, 6), dtype=np.float32)
        Q[-1, 3] = bad
        for method in METHODS:
            for k in (3, 0):
                with pytest.raises(ValueError, match=r"^Queries contêm valores não finitos \(NaN/Inf\)$"):
                    getattr(engine, method)(Q, k)


def test_one_query_batch_is_the_single_query_search(write_index, monkeypatch, rng):
    X = rng.standard_normal((300, 8)).astype(np.float32)
    engine = rivezor.PySearchEngine(write_index(X, "dot"), False)
    q = rng.standard_normal((1, 8)).astype(np.float32)
    single = engine.query_exact(q[0], 4)
    for mode in [None] + FORCED_MODES:
        set_mode(monkeypatch, mode)
        (res,) = engine.query_batch(q, 4)
        assert res.method_used == single.method_used
        assert [(h.idx, h.score) for h in res.results] == [(h.idx, h.score) for h in single.results]
        # Its errors are the single search's own.
        bad = q.copy()
        bad[0, 0] = np.nan
        with pytest.raises(ValueError, match="^Query vector contém valores não finitos$"):
            engine.query_batch(bad, 4)
        (empty,) = engine.query_batch(q, 0)
        assert (empty.results, empty.method_used, empty.query_time_ms) == ([], "exact", 0.0)


@pytest.mark.parametrize("mode", [None, "rayon", "matrix", "chunked", "blocked"])
def test_empty_batch(write_index, monkeypatch, mode):
    engine = rivezor.PySearchEngine(write_index(np.ones((5, 3), dtype=np.float32), "dot"), False)
    set_mode(monkeypatch, mode)
    Q = np.zeros((0, 3), dtype=np.float32)
    assert engine.query_batch(Q, 2) == []
    assert engine.query_batch_detailed(Q, 2) == []
    arrays = engine.query_batch_arrays(Q, 2)
    assert arrays["indices"].shape == (0, 0) and arrays["indices"].dtype == np.uint64
    assert arrays["scores"].shape == (0, 0) and arrays["scores"].dtype == np.float32
    assert arrays["query_time_ms"].shape == (0,) and arrays["query_time_ms"].dtype == np.float64
    assert arrays["method_used"] == []


def test_mode_is_read_on_every_call_and_compared_exactly(write_index, monkeypatch, rng):
    engine = rivezor.PySearchEngine(write_index(rng.standard_normal((50, 4)).astype(np.float32), "dot"), False)
    Q4 = rng.standard_normal((4, 4)).astype(np.float32)
    names = []
    for mode in ["matrix", "Matrix", "chunked", " blocked", "blocked", "rayon", "RAYON", None]:
        set_mode(monkeypatch, mode)
        names.append((engine.query_batch(Q4, 3)[0].method_used, engine.query_batch(Q4[:2], 3)[0].method_used))
    assert names == [
        ("matrix-full", "matrix-full"),
        ("batch-blocked-exact", "rayon-optimized"),
        ("matrix-chunked", "matrix-chunked"),
        ("batch-blocked-exact", "rayon-optimized"),
        ("batch-blocked-exact", "batch-blocked-exact"),
        ("rayon-optimized", "rayon-optimized"),
        ("batch-blocked-exact", "rayon-optimized"),
        ("batch-blocked-exact", "rayon-optimized"),
    ]


@pytest.mark.parametrize("qblock", ["0", "-1", " 2", "2 ", "abc", "", "+8", "1", "99999999999999999999999"])
def test_any_qblock_gives_the_same_hits(write_index, monkeypatch, rng, qblock):
    X = rng.standard_normal((200, 5)).astype(np.float32)
    engine = rivezor.PySearchEngine(write_index(X, "euclidean"), False)
    Q = rng.standard_normal((9, 5)).astype(np.float32)
    set_mode(monkeypatch, "matrix")
    want = engine.query_batch_arrays(Q, 6)
    set_mode(monkeypatch, "matrix", qblock)
    got = engine.query_batch_arrays(Q, 6)
    np.testing.assert_array_equal(got["indices"], want["indices"])
    np.testing.assert_array_equal(got["scores"], want["scores"])



@pytest.mark.parametrize("metric", ["dot", "euclidean"])
def test_fused_batch_cut_into_query_parts_gives_the_hits_of_smaller_batches(write_index, monkeypatch, rng, metric):
    # 4200 queries keeping all 1024 rows each: the selection buffers of one pass (2k hits per
    # query and row part) would pass 256 MiB with two workers, so the queries go in two parts.
    X = rng.standard_normal((1024, 6)).astype(np.float32)
    engine = rivezor.PySearchEngine(write_index(X, metric), False)
    Q = rng.standard_normal((4200, 6)).astype(np.float32)
    set_mode(monkeypatch, None)
    whole = engine.query_batch_arrays(Q, 1024)
    for part in (slice(0, 1500), slice(1500, 4200)):
        alone = engine.query_batch_arrays(Q[part], 1024)
        np.testing.assert_array_equal(whole["indices"][part], alone["indices"])
        np.testing.assert_array_equal(whole["scores"][part], alone["scores"])

# (rows, k): k past every row; k past a tile of rows but within the selection's heap, rows
# farther from the queries the later they come, so a bar raised before k hits are in drops
# rows of the later tiles (tiles of 16 rows in the 8-lane form, row parts of 40 on two workers).
@pytest.mark.parametrize("form", ["", "avx2"])
@pytest.mark.parametrize("rows,k", [(5, 1000), (80, 30)])
@pytest.mark.parametrize("mode", [None, "rayon", "matrix", "chunked", "blocked"])
def test_k_larger_than_rows(write_index, monkeypatch, rng, mode, rows, k, form):
    monkeypatch.setenv("ZARIR_MATRIX_KERNEL", form)
    X = rng.standard_normal((rows, 3)).astype(np.float32)
    X = X[np.argsort(np.linalg.norm(X, axis=1))]
    engine = rivezor.PySearchEngine(write_index(X, "euclidean"), False)
    Q = 0.01 * rng.standard_normal((4, 3)).astype(np.float32)
    set_mode(monkeypatch, mode)
    arrays = engine.query_batch_arrays(Q, k)
    assert arrays["indices"].shape == (4, min(rows, k))
    ref = reference_scores(X, Q, "euclidean")
    for i in range(4):
        assert len(set(arrays["indices"][i].tolist())) == min(rows, k)
        assert np.all(np.diff(arrays["scores"][i]) >= 0)
        assert arrays["indices"][i].tolist() == np.argsort(ref[i], kind="stable")[:k].tolist()


@pytest.mark.parametrize("metric", ["dot", "euclidean"])
@pytest.mark.parametrize("mode", [None, "rayon", "matrix", "chunked", "blocked"])
def test_equal_scores_across_row_blocks_keep_the_lower_row(write_index, monkeypatch, metric, mode):
    # Small integers keep every dot product and norm exact, so ties are bit-identical whatever
    # the summation order. 20000 rows of 8 dims make three row blocks of at most 8000.
    X = np.zeros((20000, 8), dtype=np.float32)
    best = np.array([1, 2, 0, 3, 1, 0, 2, 1], dtype=np.float32)
    tied = [16500, 8200, 7999]
    X[tied] = best
    engine = rivezor.PySearchEngine(write_index(X, metric), False)
    Q = np.tile(best, (5, 1))
    set_mode(monkeypatch, mode)
    arrays = engine.query_batch_arrays(Q, 5)
    # The three tied best rows in row order, then the tie among all-zero rows: rows 0 and 1.
    assert arrays["indices"].tolist() == [[7999, 8200, 16500, 0, 1]] * 5
    top = float(best @ best) if metric == "dot" else 0.0
    assert arrays["scores"][:, :3].tolist() == [[top] * 3] * 5


@pytest.mark.parametrize("metric,normalized", [("cosine", True), ("dot", False), ("euclidean", False)])
def test_arrays_form(write_index, rng, metric, normalized):
    X = rng.standard_normal((40, 6)).astype(np.float32)
    path = write_index(X, metric)
    engine = rivezor.PySearchEngine(path, False)
    Q = rng.standard_normal((5, 6)).astype(np.float32)
    arrays = engine.query_batch_arrays(Q, 7)
    assert list(arrays) == ["indices", "scores", "query_time_ms", "method_used", "metric", "normalized", "dims",
                            "rows", "index_path"]
    assert arrays["indices"].dtype == np.uint64 and arrays["indices"].shape == (5, 7)
    assert arrays["scores"].dtype == np.float32 and arrays["scores"].shape == (5, 7)
    assert arrays["query_time_ms"].dtype == np.float64 and arrays["query_time_ms"].shape == (5,)
    assert arrays["method_used"] == ["batch-blocked-exact"] * 5
    assert (arrays["metric"], arrays["normalized"], arrays["dims"], arrays["rows"]) == (metric, normalized, 6, 40)
    assert type(arrays["normalized"]) is bool
    assert arrays["index_path"] == os.path.realpath(path)
    plain = engine.query_batch(Q, 7)
    assert arrays["indices"].tolist() == [[h.idx for h in r.results] for r in plain]
    assert arrays["scores"].tolist() == [[h.score for h in r.results] for r in plain]


@pytest.mark.parametrize("mode", [None, "rayon", "matrix", "chunked", "blocked"])
def test_arrays_form_refuses_ragged_hit_counts(write_index, monkeypatch, mode):
    # 3e38 * 10 overflows to infinity for the second query only, which loses that row.
    X = np.array([[3e38, 0], [1, 1], [2, 2]], dtype=np.float32)
    engine = rivezor.PySearchEngine(write_index(X, "dot"), False)
    Q = np.array([[0, 1], [10, 1]], dtype=np.float32)
    set_mode(monkeypatch, mode)
    assert [len(r.results) for r in engine.query_batch(Q, 3)] == [3, 2]
    with pytest.raises(ValueError, match=r"^invalid length: 2, but expected 3$"):
        engine.query_batch_arrays(Q, 3)
    arrays = engine.query_batch_arrays(Q[::-1].copy(), 2)
    assert arrays["indices"].tolist() == [[2, 1], [2, 1]]


@pytest.mark.parametrize("method", METHODS)
def test_array_layout_and_type_errors(write_index, method):
    engine = rivezor.PySearchEngine(write_index(np.ones((10, 4), dtype=np.float32), "dot"), False)
    call = getattr(engine, method)
    Q = np.arange(12, dtype=np.float32).reshape(3, 4)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        call(np.asfortranarray(Q), 2)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        call(np.arange(24, dtype=np.float32).reshape(3, 8)[:, ::2], 2)
    assert answered(call(np.ascontiguousarray(np.asfortranarray(Q)), 2)) == 3
    with pytest.raises(TypeError, match="^argument 'queries': dimensionality mismatch:\n from=1, to=2$"):
        call(Q[0], 2)
    with pytest.raises(TypeError, match="^argument 'queries': type mismatch:\n from=float64, to=float32$"):
        call(Q.astype(np.float64), 2)
    with pytest.raises(TypeError, match=r"^argument 'queries': 'list' object cannot be converted to 'PyArray<T, D>'$"):
        call(Q.tolist(), 2)
    with pytest.raises(OverflowError):
        call(Q, -1)
    with pytest.raises(TypeError, match="^argument 'k': "):
        call(Q, "2")
    with pytest.raises(TypeError, match=rf"^PySearchEngine\.{method}\(\) missing 1 required positional argument: 'k'$"):
        call(Q)
    # A layout error is found only after every argument converted.
    with pytest.raises(TypeError, match="^argument 'k': "):
        call(np.asfortranarray(Q), 2.5)
    assert answered(call(queries=Q, k=np.uint8(2))) == 3


@pytest.mark.parametrize("method", METHODS)
def test_shape_errors(write_index, method):
    engine = rivezor.PySearchEngine(write_index(np.ones((10, 4), dtype=np.float32), "dot"), False)
    call = getattr(engine, method)
    for width_zero in (np.zeros((3, 0), dtype=np.float32), np.zeros((0, 0), dtype=np.float32)):
        with pytest.raises(ValueError, match="^queries have 0 columns: dims must be at least 1$"):
            call(width_zero, 2)
    Q = np.ones((2, 5), dtype=np.float32)
    Q[0, 0] = np.nan  # the shape is checked before the values
    with pytest.raises(ValueError, match="^Query dimensions 5 != index dimensions 4$"):
        call(Q, 2)
    with pytest.raises(ValueError, match="^Query dimensions 3 != index dimensions 4$"):
        call(np.zeros((0, 3), dtype=np.float32), 2)


def test_detailed_results(write_index, rng):
    X = rng.standard_normal((60, 4)).astype(np.float32)
    path = write_index(X, "cosine")
    engine = rivezor.PySearchEngine(path, False)
    Q = rng.standard_normal((5, 4)).astype(np.float32)
    Q[1] = 0.0
    Q[2] = 0.0
    Q[2, 0] = -0.0  # differs from row 1 only in the sign of a zero
    detailed = engine.query_batch_detailed(Q, 3)
    plain = engine.query_batch(Q, 3)
    with open(path, "rb") as f:
        index_hash = blake3.blake3(f.read()).hexdigest()
    assert [r.query_hash for r in detailed] == [blake3.blake3(q.tobytes()).hexdigest() for q in Q]
    assert len({r.query_hash for r in detailed}) == 5
    for d, p in zip(detailed, plain):
        assert [(h.idx, h.score) for h in d.results] == [(h.idx, h.score) for h in p.results]
        assert d.method_used == p.method_used == "batch-blocked-exact"
        assert (d.index_hash, d.engine_version, d.metric, d.normalized, d.dims, d.rows, d.index_path) == (
            index_hash, importlib.metadata.version("rivezor"), "cosine", True, 4, 60, os.path.realpath(path))
        assert p.index_hash is None and p.query_hash is None and p.metric is None


def test_unaligned_queries_are_read_correctly(write_index, rng):
    X = rng.standard_normal((100, 6)).astype(np.float32)
    engine = rivezor.PySearchEngine(write_index(X, "dot"), False)
    Q = rng.standard_normal((4, 6)).astype(np.float32)
    raw = bytearray(Q.nbytes + 1)
    unaligned = np.frombuffer(raw, dtype=np.float32, offset=1, count=Q.size).reshape(4, 6)
    unaligned[...] = Q
    assert not unaligned.flags.aligned and unaligned.flags.c_contiguous
    got = engine.query_batch_detailed(unaligned, 5)
    want = engine.query_batch_detailed(Q, 5)
    assert [[h.idx for h in r.results] for r in got] == [[h.idx for h in r.results] for r in want]
    assert [r.query_hash for r in got] == [r.query_hash for r in want]


def test_signatures_and_declaration_order():
    E = rivezor.PySearchEngine
    for name in METHODS:
        assert getattr(E, name).__text_signature__ == "($self, queries, k)"
        assert getattr(E, name).__doc__ is None
    declared = ["dims", "rows", "query_exact", "query_exact_arrays", "query_batch", "query_batch_arrays",
                "query_exact_detailed", "query_exact_certified", "query_batch_exact_certified",
                "query_batch_detailed", "compare", "explain"]
    present = [name for name in vars(E) if name in declared]
    assert present == [name for name in declared if name in present]
    assert set(METHODS) <= set(present)


@pytest.mark.parametrize("shape,mode,single_mode,nq,room_mb,message", [
    ((20000, 4), "matrix", None, 30000, 200, "Cannot allocate a score matrix of 30000 x 20000 float32 values"),
    ((20000, 4), "blocked", None, 30000, 200, "Cannot allocate a score matrix of 30000 x 8000 float32 values"),
    # Each query of the per-query path scores all 2M rows into one 8 MB array; with no room for
    # it the batch used to succeed with empty hit lists for those queries.
    pytest.param(
        (2_000_000, 1), "rayon", "matrix_full", 2, 4, "Out of memory while answering a batch of 2 queries",
        # Four spare megabytes leave AddressSanitizer's own allocator no room, and it aborts.
        marks=not_under_sanitizer("ASan's internal allocator needs more room than the limit leaves"),
    ),
])
def test_out_of_memory_in_a_batch_is_an_error(tmp_path, child, shape, mode, single_mode, nq, room_mb, message):
    path = tmp_path / "alloc.bin"
    path.write_bytes(index_bytes(np.ones(shape, dtype=np.float32), 1))
    proc = child(
        f"""
        import os, resource, numpy as np, rivezor
        e = rivezor.PySearchEngine({str(path)!r}, False)
        small = np.ones((8, {shape[1]}), dtype=np.float32)
        big = np.ones(({nq}, {shape[1]}), dtype=np.float32)
        os.environ["ZARIR_BATCH_MODE"] = {mode!r}
        os.environ["ZARIR_QBLOCK"] = "{nq}"
        if {single_mode!r}:
            os.environ["ZARIR_SINGLE_MODE"] = {single_mode!r}
        e.query_batch_arrays(small[:2], 3)
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        # Room for ordinary work, not for the score memory the batch asks for.
        resource.setrlimit(resource.RLIMIT_AS, (vm + {room_mb} * 2**20, resource.RLIM_INFINITY))
        try:
            print([len(r.results) for r in e.query_batch(big, 3)])
        except ValueError as exc:
            print(exc)
        os.environ.pop("ZARIR_SINGLE_MODE", None)
        assert e.query_batch_arrays(small, 3)["indices"].shape == (8, 3)
        """,
        # The fused kernel needs no score matrix. Two workers: with one, the per-query scores
        # reuse the heap memory the warm-up call left, and the batch rightly succeeds.
        env_update={"ZARIR_MATRIX_KERNEL": "score_matrix", "ZARIR_THREADS": "2"},
        env_remove=("ZARIR_BATCH_MODE", "ZARIR_QBLOCK", "ZARIR_SINGLE_MODE"),
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [message]


def as_arrays(results):
    return (np.array([[h.idx for h in r.results] for r in results], dtype=np.uint64),
            np.array([[h.score for h in r.results] for r in results], dtype=np.float32))


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
@pytest.mark.parametrize("rows,dims", [(1000, 32), (300, 129), (128, 768)])
def test_every_matrix_path_scores_with_the_same_bits(write_index, monkeypatch, metric, rows, dims):
    # One block product serves them all: the single-query matrix paths in every kernel form,
    # the batch matrix paths with and without a score matrix. Non-finite rows drop out alike.
    X = np.random.default_rng(rows + dims).standard_normal((rows, dims), dtype=np.float32)
    X[7, 3] = np.nan
    X[rows - 2, 0] = np.inf
    engine = rivezor.PySearchEngine(write_index(X, metric), False)
    Q = np.random.default_rng(3).standard_normal((5, dims), dtype=np.float32)
    k = rows  # every finite row, so every score is compared
    answers = {}
    for form in ["", "avx2", "scalar"]:
        monkeypatch.setenv("ZARIR_MATRIX_KERNEL", form)
        for single in ["blocked", "matrix_full"]:
            monkeypatch.setenv("ZARIR_SINGLE_MODE", single)
            res = [engine.query_exact(q, k) for q in Q]
            answers[form, single] = as_arrays(res)
    monkeypatch.delenv("ZARIR_SINGLE_MODE")
    for kernel in ["", "score_matrix"]:
        monkeypatch.setenv("ZARIR_MATRIX_KERNEL", kernel)
        for mode in ["matrix", "chunked", "blocked"]:
            monkeypatch.setenv("ZARIR_BATCH_MODE", mode)
            answers[kernel, mode] = as_arrays(engine.query_batch(Q, k))
    want_idx, want_scores = answers["", "matrix_full"]
    assert want_idx.shape == (5, rows - 2)
    for key, (idx, scores) in answers.items():
        np.testing.assert_array_equal(idx, want_idx, err_msg=str(key))
        np.testing.assert_array_equal(scores.view(np.uint32), want_scores.view(np.uint32), err_msg=str(key))
