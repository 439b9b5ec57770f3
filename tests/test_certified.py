# Certified exact search: hits identical to the unpruned scan and to query_exact, the
# certificate's counts, caps, bounds and order, and the argument and batch validation.
import importlib.metadata
import inspect
import re

import blake3
import numpy as np
import pytest
import rivezor

from score_reference import blocks_of, lane_sum, pair_scores, seq_sum_f64

METRICS = ["cosine", "dot", "euclidean"]
RESULT_KEYS = ["results", "query_time_ms", "method_used", "index_hash", "query_hash", "engine_version", "metric",
               "normalized", "dims", "rows", "index_path", "certificate"]
CERT_KEYS = ["total_candidates", "pruned_candidates", "full_evaluated", "kth_score", "bound_rule", "safe",
             "block_size", "block_order", "threshold_evolution", "enable_pruning", "simd_path", "compile_flags",
             "pruned_bound_values", "bound_kind"]
RULES = {
    "cosine": "upper_bound = partial_dot + ||q_rem||*||x||",
    "dot": "upper_bound = partial_dot + ||q_rem||*||x||",
    "euclidean": "lower_bound_l2 = ||q||^2 + ||x||^2 - 2*(partial_dot + ||q_rem||*||x||)",
}


@pytest.fixture
def open_index(write_index):
    def make(matrix, metric):
        return rivezor.PySearchEngine(write_index(np.asarray(matrix, np.float32), metric), False)

    return make


def pairs(result_dict):
    return [(h["idx"], h["score"]) for h in result_dict["results"]]


def exact_pairs(engine, q, k):
    return [(h.idx, h.score) for h in engine.query_exact(q, k).results]


def normalized(m):
    m = np.asarray(m, np.float64)
    return (m / np.linalg.norm(m, axis=-1, keepdims=True)).astype(np.float32)


def clustered(rng, rows, dims, clusters, spread, block_weights=None, unit=False):
    centers = rng.standard_normal((clusters, dims))
    labels = rng.integers(0, clusters, rows)
    m = centers[labels] + spread * rng.standard_normal((rows, dims))
    if block_weights is not None:
        m = m * np.repeat(block_weights, dims // len(block_weights))
    m = m.astype(np.float32)
    return (normalized(m) if unit else m), centers


def check_certificate_invariants(cert, rows, metric):
    assert cert["total_candidates"] == rows
    assert cert["pruned_candidates"] + cert["full_evaluated"] == rows
    assert len(cert["pruned_bound_values"]) == min(cert["pruned_candidates"], 2048)
    kth = cert["kth_score"]
    if metric == "euclidean":
        assert all(kth < v for v in cert["pruned_bound_values"])
    else:
        assert all(kth > v for v in cert["pruned_bound_values"])
    assert cert["safe"] is True


# --- surface -------------------------------------------------------------------------------


def test_signatures_show_defaults(open_index):
    cls = rivezor.PySearchEngine
    assert cls.query_exact_certified.__text_signature__ == "($self, query, k, block_size=64, enable_pruning=True)"
    assert (cls.query_batch_exact_certified.__text_signature__
            == "($self, queries, k, block_size=64, enable_pruning=True)")
    assert cls.query_exact_certified.__doc__ is None
    engine = open_index(np.ones((1, 2), np.float32), "dot")
    for method, first in ((engine.query_exact_certified, "query"), (engine.query_batch_exact_certified, "queries")):
        params = inspect.signature(method).parameters
        assert list(params) == [first, "k", "block_size", "enable_pruning"]
        assert params["block_size"].default == 64 and params["enable_pruning"].default is True
        assert params[first].default is inspect.Parameter.empty


def test_keys_and_fields_in_order(open_index, rng):
    m = rng.standard_normal((50, 20)).astype(np.float32)
    engine = open_index(m, "dot")
    q = rng.standard_normal(20).astype(np.float32)
    r = engine.query_exact_certified(q, 4)
    assert list(r) == RESULT_KEYS
    assert list(r["certificate"]) == CERT_KEYS
    assert all(list(h) == ["idx", "score"] for h in r["results"])
    assert r["method_used"] == "exact-certified-pruning"
    assert r["engine_version"] == importlib.metadata.version("rivezor")
    assert (r["metric"], r["normalized"], r["dims"], r["rows"]) == ("dot", False, 20, 50)
    assert r["query_hash"] == blake3.blake3(q.tobytes()).hexdigest()
    assert re.fullmatch(r"[0-9a-f]{64}", r["index_hash"])
    assert r["index_hash"] == engine.query_exact_detailed(q, 1).index_hash
    assert r["query_time_ms"] >= 0.0
    cert = r["certificate"]
    assert cert["block_size"] == 64 and cert["enable_pruning"] is True
    assert cert["bound_kind"] == "upper_bound" and cert["bound_rule"] == RULES["dot"]
    assert cert["compile_flags"] == "arch=x86_64"


def test_simd_path_names_the_processor(open_index):
    flags = set()
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                break
    expected = ("avx2" if "avx2" in flags else "avx" if "avx" in flags
                else "sse4.2" if "sse4_2" in flags else "scalar")
    engine = open_index(np.ones((2, 3), np.float32), "cosine")
    for k in (0, 1):
        assert engine.query_exact_certified(np.ones(3, np.float32), k)["certificate"]["simd_path"] == expected


def test_simd_path_ignores_forced_scalar_kernel(child):
    code = """
        import os, tempfile, numpy as np, rivezor
        d = tempfile.mkdtemp(); p = os.path.join(d, 'i.bin')
        open(p, 'wb').write(np.array([3, 2, 0], '<u4').tobytes() + np.ones(6, '<f4').tobytes())
        e = rivezor.PySearchEngine(p, False)
        print(e.query_exact_certified(np.ones(3, np.float32), 1)['certificate']['simd_path'])
    """
    forced = child(code, env_update={"ZARIR_FORCE_SCALAR": "1"})
    plain = child(code, env_remove=["ZARIR_FORCE_SCALAR"])
    assert forced.returncode == 0, forced.stderr
    assert forced.stdout == plain.stdout and forced.stdout.strip() != "scalar"


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("k,rows", [(0, 10), (3, 0), (0, 0)])
def test_empty_outcome(open_index, metric, k, rows):
    engine = open_index(np.ones((rows, 4), np.float32), metric)
    r = engine.query_exact_certified(np.ones(4, np.float32), k, 0, False)
    assert r["results"] == [] and r["method_used"] == "exact-certified" and r["query_time_ms"] == 0.0
    cert = r["certificate"]
    assert cert == {
        "total_candidates": rows, "pruned_candidates": 0, "full_evaluated": 0, "kth_score": 0.0,
        "bound_rule": "empty-result", "safe": True, "block_size": 1, "block_order": [],
        "threshold_evolution": [], "enable_pruning": False, "simd_path": cert["simd_path"],
        "compile_flags": "arch=x86_64", "pruned_bound_values": [], "bound_kind": "none",
    }


# --- exactness -----------------------------------------------------------------------------


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dims,block_size", [(37, 8), (64, 64), (20, 0), (5, 1000)])
def test_unpruned_equals_exact_search(open_index, rng, metric, dims, block_size):
    m = rng.standard_normal((300, dims)).astype(np.float32)
    m[17] = np.nan  # dropped, yet counted as evaluated
    engine = open_index(m, metric)
    q = rng.standard_normal(dims).astype(np.float32)
    for k in (1, 7, 299, 1000):
        r = engine.query_exact_certified(q, k, block_size, False)
        assert pairs(r) == exact_pairs(engine, q, k)
        cert = r["certificate"]
        assert r["method_used"] == "exact-certified-no-pruning"
        assert (cert["pruned_candidates"], cert["full_evaluated"]) == (0, 300)
        assert cert["pruned_bound_values"] == [] and cert["safe"] is True
        assert cert["block_size"] == max(block_size, 1)
        assert cert["kth_score"] == r["results"][-1]["score"]


def pruning_cases(rng):
    """(name, metric, matrix, query, block_size): data on which most rows are pruned."""
    cases = []
    # clustered unit rows, query near one centre
    m, centers = clustered(rng, 6000, 128, 24, 0.35, unit=True)
    cases.append(("clustered", "cosine", m, normalized(centers[3] + 0.1 * rng.standard_normal(128)), 64))
    # skewed block energies: most of the energy sits in the first dimension block
    weights = np.array([6.0, 1.0, 0.3, 0.05])
    m, centers = clustered(rng, 6000, 128, 24, 0.3, block_weights=weights)
    q = ((centers[5] + 0.05 * rng.standard_normal(128)) * np.repeat(weights, 32)).astype(np.float32)
    cases.append(("skewed", "dot", m, q, 32))
    m, centers = clustered(rng, 6000, 96, 30, 0.2, block_weights=np.array([4.0, 1.0, 0.2]))
    q = ((centers[7] + 0.1 * rng.standard_normal(96)) * np.repeat([4.0, 1.0, 0.2], 32)).astype(np.float32)
    cases.append(("skewed", "euclidean", m, q, 32))
    m, centers = clustered(rng, 6000, 128, 24, 0.3)
    cases.append(("clustered", "euclidean", m, (centers[1] + 0.1 * rng.standard_normal(128)).astype(np.float32), 16))
    return cases


@pytest.mark.parametrize("case", range(4))
def test_pruned_equals_unpruned_on_heavily_pruned_data(open_index, case):
    name, metric, m, q, bs = pruning_cases(np.random.default_rng(7))[case]
    engine = open_index(m, metric)
    for k in (1, 10, 50):
        pruned = engine.query_exact_certified(q, k, bs, True)
        unpruned = engine.query_exact_certified(q, k, bs, False)
        assert pairs(pruned) == pairs(unpruned) == exact_pairs(engine, q, k)
        cert = pruned["certificate"]
        check_certificate_invariants(cert, len(m), metric)
        assert cert["pruned_candidates"] > 0.6 * len(m), (name, metric, k, cert["pruned_candidates"])
        assert cert["kth_score"] == unpruned["certificate"]["kth_score"]
        assert cert["bound_rule"] == RULES[metric]
        assert cert["bound_kind"] == ("lower_bound" if metric == "euclidean" else "upper_bound")


def ties_and_near_ties(rng, metric):
    dims = 48
    base = rng.standard_normal(dims).astype(np.float32)
    if metric == "cosine":
        base = normalized(base)
    m = rng.standard_normal((1200, dims)).astype(np.float32) * 0.2 + base * 0.5
    # exact duplicates of the best row scattered through the scan, and rows one ulp away in
    # single components, so k cuts through runs of equal and nearly equal scores
    best = base.copy()
    for pos in (3, 40, 41, 500, 1199):
        m[pos] = best
    for pos in range(600, 700):
        row = best.copy()
        j = pos % dims
        row[j] = np.nextafter(row[j], np.float32(np.inf) if pos % 2 else np.float32(-np.inf))
        m[pos] = row
    if metric == "cosine":
        m = normalized(m)
        m[[3, 40, 41, 500, 1199]] = m[3]
    return m, best + np.float32(1e-3) * rng.standard_normal(dims).astype(np.float32)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("block_size", [1, 7, 16, 64])
def test_pruned_equals_unpruned_on_ties(open_index, rng, metric, block_size):
    m, q = ties_and_near_ties(rng, metric)
    engine = open_index(m, metric)
    for k in (1, 3, 5, 30, 120):
        pruned = engine.query_exact_certified(q, k, block_size)
        assert pairs(pruned) == pairs(engine.query_exact_certified(q, k, block_size, False))
        assert pairs(pruned) == exact_pairs(engine, q, k)
        check_certificate_invariants(pruned["certificate"], len(m), metric)
        assert pruned["certificate"]["pruned_candidates"] > len(m) // 2


def fixed_slack_scan(metric, q, x, k, bs):
    """The scan with a fixed slack of 0.001 and nothing else, emulated in NumPy."""
    sim = metric != "euclidean"
    blocks = blocks_of(x.shape[1], bs)
    energy = [seq_sum_f64(np.square(q[s:t].astype(np.float64))) for s, t in blocks]
    total = 0.0
    for e in energy:
        total += e
    order = sorted(range(len(blocks)), key=lambda b: -energy[b])
    rem, seen = [], 0.0
    for b in order:
        seen += energy[b]
        rem.append(np.sqrt(max(total - seen, 0.0)))
    parts = np.stack([lane_sum(q[s:t] * x[:, s:t]) for s, t in blocks], 1).astype(np.float64)
    xx = np.add.accumulate(np.square(x.astype(np.float64)), axis=1)[:, -1]
    nx = np.sqrt(xx.astype(np.float32)).astype(np.float64)
    scores = pair_scores(metric, q, x)
    heap = []
    worst = (lambda: min(heap, key=lambda h: (h[0], -h[1]))) if sim else (lambda: max(heap))
    for i in range(len(x)):
        if len(heap) >= k:
            t = float(worst()[0])
            pd, pruned = 0.0, False
            for j, b in enumerate(order):
                pd += parts[i, b]
                reach = nx[i] * rem[j] + pd + 0.001
                pruned = t > reach if sim else xx[i] + total - 2 * reach > t
                if pruned:
                    break
            if pruned:
                continue
        if len(heap) < k:
            heap.append((scores[i], i))
        elif (scores[i] > worst()[0]) if sim else (scores[i] < worst()[0]):
            heap.remove(worst())
            heap.append((scores[i], i))
    return sorted(i for _, i in heap)


@pytest.mark.parametrize("metric,scale", [("dot", 1000.0), ("euclidean", 100.0)])
def test_bound_stays_sound_for_large_magnitudes(open_index, metric, scale):
    # Near-tied rows of large magnitude: the rounding of the partial dots exceeds the fixed
    # slack of 0.001, so a bound with that slack alone can prune the true best row.
    rng = np.random.default_rng(2024)
    fixed_slack_wrong = 0
    for _ in range(6):
        base = (rng.standard_normal(128) * scale).astype(np.float32)
        x = (base + rng.standard_normal((1200, 128)).astype(np.float32) * np.float32(scale * 1e-7)).astype(np.float32)
        x[::3] = rng.standard_normal((400, 128)).astype(np.float32) * np.float32(scale)  # far rows to prune
        q = (base + rng.standard_normal(128).astype(np.float32) * np.float32(scale * 0.5)).astype(np.float32)
        engine = open_index(x, metric)
        pruned = engine.query_exact_certified(q, 1, 64)
        unpruned = engine.query_exact_certified(q, 1, 64, False)
        assert pairs(pruned) == pairs(unpruned) == exact_pairs(engine, q, 1)
        check_certificate_invariants(pruned["certificate"], len(x), metric)
        assert pruned["certificate"]["pruned_candidates"] > 0
        fixed_slack_wrong += fixed_slack_scan(metric, q, x, 1, 64) != [h["idx"] for h in unpruned["results"]]
    assert fixed_slack_wrong > 0  # the data does reach the case the fixed slack gets wrong


def test_large_magnitude_bound_with_scalar_kernel(child):
    out = child("""
        import os, tempfile, numpy as np, rivezor
        rng = np.random.default_rng(5)
        d = tempfile.mkdtemp(); bad = 0
        for t in range(6):
            base = (rng.standard_normal(128) * 100).astype(np.float32)
            x = (base + rng.standard_normal((800, 128)).astype(np.float32) * np.float32(1e-5)).astype(np.float32)
            q = (base + rng.standard_normal(128).astype(np.float32) * 50).astype(np.float32)
            p = os.path.join(d, f'{t}.bin')
            open(p, 'wb').write(np.array([128, 800, 2], '<u4').tobytes() + x.tobytes())
            e = rivezor.PySearchEngine(p, False)
            a = e.query_exact_certified(q, 2, 64)['results']
            bad += a != e.query_exact_certified(q, 2, 64, False)['results']
        print(bad)
    """, env_update={"ZARIR_FORCE_SCALAR": "1"})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "0"


@pytest.mark.parametrize("metric", METRICS)
def test_k_above_rows_returns_every_finite_row_unpruned(open_index, rng, metric):
    m = rng.standard_normal((40, 16)).astype(np.float32)
    m[[2, 30]] = np.inf
    engine = open_index(m, metric)
    q = rng.standard_normal(16).astype(np.float32)
    r = engine.query_exact_certified(q, 100)
    assert len(r["results"]) == 38 and pairs(r) == exact_pairs(engine, q, 100)
    cert = r["certificate"]
    assert (cert["pruned_candidates"], cert["full_evaluated"]) == (0, 40)
    assert cert["threshold_evolution"] == []  # the heap never filled


# --- certificate details ------------------------------------------------------------------


def test_block_order_by_query_energy_ties_to_lower_block(open_index):
    engine = open_index(np.ones((3, 10), np.float32), "dot")
    q = np.array([1, 1, 1, 3, 3, 3, 1, 1, 1, 2], np.float32)  # blocks of 3: energies 3, 27, 3, 4
    assert engine.query_exact_certified(q, 1, 3)["certificate"]["block_order"] == [1, 3, 0, 2]
    cert0 = engine.query_exact_certified(q, 1, 0)["certificate"]
    assert cert0["block_size"] == 1
    assert cert0["block_order"] == [3, 4, 5, 9, 0, 1, 2, 6, 7, 8]


@pytest.mark.parametrize("metric", METRICS)
def test_threshold_evolution_tracks_the_kth_score(open_index, rng, metric):
    m = rng.standard_normal((400, 24)).astype(np.float32)
    engine = open_index(m, metric)
    q = rng.standard_normal(24).astype(np.float32)
    k = 5
    for prune in (True, False):
        cert = engine.query_exact_certified(q, k, 8, prune)["certificate"]
        evo = np.array(cert["threshold_evolution"], np.float32)
        scores = pair_scores(metric, q, m)
        first = scores[:k].max() if metric == "euclidean" else scores[:k].min()
        assert evo[0] == first
        assert evo[-1] == cert["kth_score"]
        steps = np.diff(evo.astype(np.float64))
        assert (steps <= 0).all() if metric == "euclidean" else (steps >= 0).all()
        # one entry for the first fill plus one per replacement of the unpruned scan
        replaced = sum(1 for i in range(k, len(m)) if (scores[i] < np.sort(scores[:i])[k - 1]
                                                       if metric == "euclidean"
                                                       else scores[i] > np.sort(scores[:i])[::-1][k - 1]))
        assert len(evo) == 1 + replaced


@pytest.mark.parametrize("metric,prune,expected", [
    ("cosine", False, 2048), ("dot", True, 2048),
    ("euclidean", True, 2048), ("euclidean", False, 5000),
])
def test_threshold_evolution_cap(open_index, metric, prune, expected):
    # Every row beats the k-th score (rising dot products, falling distances), so each one
    # after the first fill appends; only the euclidean scan without pruning is uncapped.
    m = np.zeros((5000, 4), np.float32)
    q = np.zeros(4, np.float32)
    if metric == "euclidean":
        m[:, 0] = np.arange(4999, -1, -1, dtype=np.float32)
    else:
        m[:, 0] = np.arange(5000, dtype=np.float32)
        q[0] = 1.0
    engine = open_index(m, metric)
    cert = engine.query_exact_certified(q, 1, 2, prune)["certificate"]
    assert len(cert["threshold_evolution"]) == expected
    firsts = [4999.0**2, 4998.0**2, 4997.0**2] if metric == "euclidean" else [0.0, 1.0, 2.0]
    assert cert["threshold_evolution"][:3] == [float(np.float32(v)) for v in firsts]
    assert cert["full_evaluated"] == 5000


@pytest.mark.parametrize("metric", ["cosine", "dot"])
def test_pruned_bounds_capped_and_exact_for_unit_data(open_index, rng, metric):
    # Best row first, then 4999 rows that each lose by far: all are pruned in scan order.
    m = normalized(rng.standard_normal((5000, 16)))
    q = m[0].copy()
    m[1:] = normalized(m[1:] - 0.9 * q)  # pushed away from the query
    engine = open_index(m, metric)
    r = engine.query_exact_certified(q, 1, 64)  # one block: bound = dot + 0.001 after it
    cert = r["certificate"]
    assert cert["pruned_candidates"] == 4999 and cert["full_evaluated"] == 1
    assert len(cert["pruned_bound_values"]) == 2048
    expected = (pair_scores(metric, q, m[1:2049]).astype(np.float64) + 0.001).astype(np.float32)
    assert np.array_equal(np.array(cert["pruned_bound_values"], np.float32), expected)
    assert cert["threshold_evolution"] == [r["results"][0]["score"]]


def test_euclidean_pruned_bound_values_follow_the_lower_bound(open_index, rng):
    m = rng.standard_normal((300, 8)).astype(np.float32)
    q = m[0] + np.float32(0.01)
    engine = open_index(m, "euclidean")
    cert = engine.query_exact_certified(q, 1, 64)["certificate"]  # one block
    assert cert["pruned_candidates"] > 200
    xx = np.add.accumulate(np.square(m.astype(np.float64)), axis=1)[:, -1]
    ee = seq_sum_f64(np.square(q.astype(np.float64)))
    pd = lane_sum(q * m).astype(np.float64)
    bounds = (xx + ee - 2 * (pd + 0.001)).astype(np.float32)
    scores = pair_scores("euclidean", q, m)
    kept = [bounds[i] for i in range(1, 300) if bounds[i] > scores[0]]  # t stays row 0's distance
    assert cert["pruned_bound_values"] == [float(v) for v in kept]


@pytest.mark.parametrize("metric,query,rows", [
    # t = 1.5; the bound 12574523 * 2**-23 + 0.001 lies within half an ulp below it
    ("dot", 1.0, [1.5, 12574523 * 2.0**-23]),
    # t = fl(1.2 * 1.2); the bound 1.2008331**2 - 0.002 lies within half an ulp above it
    ("euclidean", 0.0, [1.2, 1.2008331]),
])
def test_recorded_bound_that_rounds_onto_the_threshold(open_index, metric, query, rows):
    engine = open_index(np.array(rows, np.float32)[:, None], metric)
    r = engine.query_exact_certified(np.array([query], np.float32), 1)
    cert = r["certificate"]
    t = np.float32(r["results"][0]["score"])
    assert r["results"][0]["idx"] == 0 and cert["pruned_candidates"] == 1
    # plain rounding would record t itself; the value stays on the proven side of t
    toward = -np.inf if metric == "dot" else np.inf
    assert cert["pruned_bound_values"] == [float(np.nextafter(t, np.float32(toward)))]
    assert cert["safe"] is True


def test_query_with_all_energy_in_one_block(open_index, rng):
    m = rng.standard_normal((200, 32)).astype(np.float32)
    engine = open_index(m, "dot")
    q = np.zeros(32, np.float32)
    q[8:16] = rng.standard_normal(8).astype(np.float32)
    r = engine.query_exact_certified(q, 3, 8)
    cert = r["certificate"]
    assert cert["block_order"][0] == 1
    assert pairs(r) == exact_pairs(engine, q, 3)
    # with rem = 0 after block 1 each bound is the partial dot of that block plus 0.001
    part = lane_sum(q[8:16] * m[:, 8:16]).astype(np.float64) + 0.001
    bounds = set(np.float32(part).tolist())
    assert cert["pruned_candidates"] > 0
    assert set(cert["pruned_bound_values"]) <= bounds


# --- validation ----------------------------------------------------------------------------


def test_validation_messages(open_index):
    engine = open_index(np.ones((5, 4), np.float32), "cosine")
    with pytest.raises(ValueError, match=r"^Query dimension 3 != index dimension 4$"):
        engine.query_exact_certified(np.array([np.nan, 1, 1], np.float32), 1)
    for bad in (np.nan, np.inf, -np.inf):
        with pytest.raises(ValueError, match=r"^Query vector contains non-finite values$"):
            engine.query_exact_certified(np.array([1, bad, 1, 1], np.float32), 0)


@pytest.mark.parametrize("call,exc,pattern", [
    (lambda e, q: e.query_exact_certified([1.0] * 4, 1), TypeError, r"argument 'query': 'list'.*'PyArray<T, D>'"),
    (lambda e, q: e.query_exact_certified(q.astype(np.float64), 1), TypeError, r"type mismatch"),
    (lambda e, q: e.query_exact_certified(q[None, :], 1), TypeError, r"dimensionality mismatch"),
    (lambda e, q: e.query_exact_certified(np.ones(8, np.float32)[::2], 1), TypeError,
     r"^The given array is not contiguous$"),
    (lambda e, q: e.query_exact_certified(q, -1), OverflowError, r"negative"),
    (lambda e, q: e.query_exact_certified(q, 1, 2**64), OverflowError, r"too (large|big)"),
    (lambda e, q: e.query_exact_certified(q, 1.5), TypeError, r"argument 'k'"),
    (lambda e, q: e.query_exact_certified(q, 1, 64, 1), TypeError, r"argument 'enable_pruning'.*'PyBool'"),
    (lambda e, q: e.query_exact_certified(q), TypeError, r"PySearchEngine\.query_exact_certified\(\) missing"),
    (lambda e, q: e.query_exact_certified(q, 1, 64, True, 5), TypeError, r"PySearchEngine\.query_exact_certified"),
    (lambda e, q: e.query_exact_certified(q, 1, bs=3), TypeError, r"unexpected keyword argument 'bs'"),
    (lambda e, q: e.query_batch_exact_certified(q, 1), TypeError, r"argument 'queries'.*dimensionality mismatch"),
    (lambda e, q: e.query_batch_exact_certified(np.asfortranarray(np.ones((3, 4), np.float32)), 1), TypeError,
     r"^The given array is not contiguous$"),
    (lambda e, q: e.query_batch_exact_certified(np.ones((2, 3), np.float32), 1), ValueError,
     r"^Query dimensions 3 != index dimensions 4$"),
    (lambda e, q: e.query_batch_exact_certified(np.ones((2, 0), np.float32), 1), ValueError, r"no columns"),
    (lambda e, q: e.query_batch_exact_certified(np.zeros((0, 0), np.float32), 1), ValueError, r"no columns"),
])
def test_argument_errors(open_index, call, exc, pattern):
    engine = open_index(np.ones((5, 4), np.float32), "dot")
    with pytest.raises(exc, match=pattern):
        call(engine, np.ones(4, np.float32))


def test_arguments_by_keyword_and_index_objects(open_index, rng):
    m = rng.standard_normal((30, 6)).astype(np.float32)
    engine = open_index(m, "dot")
    q = m[4].copy()
    a = engine.query_exact_certified(q, 3, 2, True)
    b = engine.query_exact_certified(enable_pruning=True, block_size=np.uint8(2), k=np.int64(3), query=q)
    assert pairs(a) == pairs(b) and a["certificate"]["block_size"] == b["certificate"]["block_size"] == 2


# --- batch -------------------------------------------------------------------------------


@pytest.mark.parametrize("metric", METRICS)
def test_batch_matches_single_queries(open_index, rng, metric):
    m = rng.standard_normal((700, 40)).astype(np.float32)
    engine = open_index(m, metric)
    queries = np.concatenate([m[[5, 9]], rng.standard_normal((9, 40)).astype(np.float32)])
    for prune in (True, False):
        batch = engine.query_batch_exact_certified(queries, 6, 16, prune)
        assert len(batch) == len(queries)
        for q, r in zip(queries, batch):
            single = engine.query_exact_certified(q, 6, 16, prune)
            assert list(r) == RESULT_KEYS
            assert pairs(r) == pairs(single)
            assert r["query_hash"] == blake3.blake3(q.tobytes()).hexdigest()
            assert r["index_hash"] == single["index_hash"]
            assert r["certificate"] == single["certificate"]
    assert len({r["query_hash"] for r in batch}) == len(queries)


def test_batch_edge_shapes_and_errors(open_index, rng):
    m = rng.standard_normal((20, 4)).astype(np.float32)
    engine = open_index(m, "cosine")
    assert engine.query_batch_exact_certified(np.zeros((0, 4), np.float32), 3) == []
    one = engine.query_batch_exact_certified(m[:1], 0)
    assert one[0]["method_used"] == "exact-certified" and one[0]["results"] == []
    queries = rng.standard_normal((64, 4)).astype(np.float32)
    queries[37, 2] = np.nan
    with pytest.raises(ValueError, match=r"^Query vector contains non-finite values$"):
        engine.query_batch_exact_certified(queries, 2)
    queries[:, :] = np.inf
    with pytest.raises(ValueError, match=r"^Query vector contains non-finite values$"):
        engine.query_batch_exact_certified(queries, 2)
