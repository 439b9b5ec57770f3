# explain and compare: per-block float32 contributions, their ranking by magnitude bits,
# the residual, the euclidean sign conventions, and the validation order.
import math

import numpy as np
import pytest
import rivezor

from score_reference import F32, blocks_of, pair_scores, seq_sum

METRICS = ["cosine", "dot", "euclidean"]
EXPLAIN_KEYS = ["score_total", "block_size", "top_blocks", "num_blocks", "dims", "blocks", "residual"]
COMPARE_KEYS = ["score_a", "score_b", "delta_score_space", "block_size", "top_blocks", "num_blocks", "dims",
                "blocks", "residual"]


@pytest.fixture
def open_index(write_index):
    def make(matrix, metric):
        return rivezor.PySearchEngine(write_index(np.asarray(matrix, np.float32), metric), False)

    return make


def ranked_breakdown(contributions, blocks, top_blocks):
    """Expected `blocks` and `residual` from per-block float32 contributions."""
    c = np.asarray(contributions, F32)
    keys = c.view(np.uint32) & np.uint32(0x7FFFFFFF)
    order = sorted(range(len(c)), key=lambda b: -int(keys[b]))  # stable: ties keep lower id
    head = order[:top_blocks]
    listed = [{"block_id": b, "start": blocks[b][0], "end": blocks[b][1], "contribution": float(c[b])}
              for b in head]
    residual = F32(0.0)
    for b in order[top_blocks:]:
        residual = F32(residual + c[b])
    return listed, float(residual)


def expected_explain(metric, q, x, bs, top_blocks):
    blocks = blocks_of(len(q), bs)
    if metric == "euclidean":
        contrib = [F32(0.0) - seq_sum(np.square(q[s:t] - x[s:t])) for s, t in blocks]
        total = F32(0.0) - pair_scores(metric, q, x[None, :])[0]
    else:
        contrib = [seq_sum(q[s:t] * x[s:t]) for s, t in blocks]
        total = pair_scores(metric, q, x[None, :])[0]
    listed, residual = ranked_breakdown(contrib, blocks, top_blocks)
    return {"score_total": float(total), "block_size": bs, "top_blocks": top_blocks, "num_blocks": len(blocks),
            "dims": len(q), "blocks": listed, "residual": residual}


def expected_compare(metric, q, a, b, bs, top_blocks):
    blocks = blocks_of(len(q), bs)
    if metric == "euclidean":
        contrib = [seq_sum(np.square(q[s:t] - b[s:t])) - seq_sum(np.square(q[s:t] - a[s:t])) for s, t in blocks]
    else:
        contrib = [seq_sum(q[s:t] * (a[s:t] - b[s:t])) for s, t in blocks]
    sa = pair_scores(metric, q, a[None, :])[0]
    sb = pair_scores(metric, q, b[None, :])[0]
    listed, residual = ranked_breakdown(contrib, blocks, top_blocks)
    delta = sb - sa if metric == "euclidean" else sa - sb
    return {"score_a": float(sa), "score_b": float(sb), "delta_score_space": float(delta), "block_size": bs,
            "top_blocks": top_blocks, "num_blocks": len(blocks), "dims": len(q), "blocks": listed,
            "residual": residual}


def test_signatures():
    cls = rivezor.PySearchEngine
    assert cls.compare.__text_signature__ == "($self, query, idx_a, idx_b, block_size, top_blocks)"
    assert cls.explain.__text_signature__ == "($self, query, idx, block_size, top_blocks)"
    assert cls.explain.__doc__ is None and cls.compare.__doc__ is None


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dims,bs,top_blocks", [(37, 8, 2), (64, 16, 4), (10, 3, 100), (5, 64, 1), (130, 1, 7)])
def test_values_match_float32_reference(open_index, rng, metric, dims, bs, top_blocks):
    m = (rng.standard_normal((12, dims)) * rng.uniform(0.1, 30, (12, 1))).astype(np.float32)
    engine = open_index(m, metric)
    q = rng.standard_normal(dims).astype(np.float32)
    for idx in (0, 5, 11):
        got = engine.explain(q, idx, bs, top_blocks)
        assert list(got) == EXPLAIN_KEYS
        assert all(list(b) == ["block_id", "start", "end", "contribution"] for b in got["blocks"])
        assert got == expected_explain(metric, q, m[idx], bs, top_blocks)
    for ia, ib in ((0, 1), (7, 3), (11, 0)):
        got = engine.compare(q, ia, ib, bs, top_blocks)
        assert list(got) == COMPARE_KEYS
        assert got == expected_compare(metric, q, m[ia], m[ib], bs, top_blocks)


@pytest.mark.parametrize("metric", METRICS)
def test_scores_agree_with_the_search(open_index, rng, metric):
    m = rng.standard_normal((30, 21)).astype(np.float32)
    engine = open_index(m, metric)
    q = rng.standard_normal(21).astype(np.float32)
    scores = {h.idx: h.score for h in engine.query_exact(q, 30).results}
    sign = -1.0 if metric == "euclidean" else 1.0
    for i in range(30):
        assert engine.explain(q, i, 4, 2)["score_total"] == sign * scores[i]
    c = engine.compare(q, 3, 4, 4, 2)
    assert (c["score_a"], c["score_b"]) == (scores[3], scores[4])


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("bs", [24, 25, 1000, 2**64 - 1])
def test_block_wider_than_query_is_one_block(open_index, rng, metric, bs):
    m = rng.standard_normal((4, 24)).astype(np.float32)
    engine = open_index(m, metric)
    q = rng.standard_normal(24).astype(np.float32)
    for got in (engine.explain(q, 1, bs, 3), engine.compare(q, 1, 2, bs, 3)):
        assert got["num_blocks"] == 1 and got["block_size"] == bs
        assert [(b["block_id"], b["start"], b["end"]) for b in got["blocks"]] == [(0, 0, 24)]
        assert got["residual"] == 0.0


@pytest.mark.parametrize("metric", METRICS)
def test_compare_row_with_itself(open_index, rng, metric):
    m = rng.standard_normal((3, 20)).astype(np.float32)
    engine = open_index(m, metric)
    q = rng.standard_normal(20).astype(np.float32)
    got = engine.compare(q, 2, 2, 3, 4)
    assert got["delta_score_space"] == 0.0 and got["score_a"] == got["score_b"]
    assert [b["block_id"] for b in got["blocks"]] == [0, 1, 2, 3]
    assert all(b["contribution"] == 0.0 for b in got["blocks"]) and got["residual"] == 0.0


def test_euclidean_sign_conventions(open_index, rng):
    m = rng.standard_normal((3, 9)).astype(np.float32)
    engine = open_index(m, "euclidean")
    q = m[1].copy()
    same = engine.explain(q, 1, 4, 1)
    assert same["score_total"] == 0.0 and math.copysign(1.0, same["score_total"]) == 1.0
    assert all(b["contribution"] == 0.0 for b in same["blocks"])
    other = engine.explain(q, 0, 4, 3)
    assert other["score_total"] < 0 and all(b["contribution"] <= 0 for b in other["blocks"])
    c = engine.compare(q, 1, 0, 4, 3)
    assert c["score_a"] == 0.0 and c["score_b"] > 0
    # row 1 is the query itself, so it is the better row and every block favours it
    assert c["delta_score_space"] == c["score_b"] > 0
    assert all(b["contribution"] >= 0 for b in c["blocks"])
    assert engine.compare(q, 0, 1, 4, 3)["delta_score_space"] == -c["delta_score_space"]


def test_ranking_by_magnitude_bits(open_index):
    # blocks of 2: contributions 1, -3, 3, nan, -1, 0 → nan first, then 3s and 1s by block id
    q = np.ones(12, np.float32)
    x = np.array([0.5, 0.5, -1.5, -1.5, 1.5, 1.5, np.nan, 0.0, -0.5, -0.5, 0.0, 0.0], np.float32)
    engine = open_index(np.stack([x, np.zeros(12, np.float32)]), "dot")
    got = engine.explain(q, 0, 2, 5)
    assert [b["block_id"] for b in got["blocks"]] == [3, 1, 2, 0, 4]
    assert math.isnan(got["blocks"][0]["contribution"])
    assert [b["contribution"] for b in got["blocks"][1:]] == [-3.0, 3.0, 1.0, -1.0]
    assert got["residual"] == 0.0
    assert math.isnan(got["score_total"])


def test_residual_is_float32_sum_in_ranked_order(open_index):
    # Unlisted blocks in ranked order are 1.0, 4e-8, 4e-8: in float32 each tiny term is lost
    # against 1.0, while block order (or a double sum) would carry them into the result.
    q = np.ones(4, np.float32)
    x = np.array([4e-8, 1e8, 4e-8, 1.0], np.float32)
    engine = open_index(x[None, :], "dot")
    got = engine.explain(q, 0, 1, 1)
    assert [b["block_id"] for b in got["blocks"]] == [1]
    assert got["residual"] == 1.0
    assert float(F32(F32(x[0] + x[2]) + x[3])) != 1.0


def test_zero_dimension_index(write_index):
    engine = rivezor.PySearchEngine(write_index(np.zeros((3, 0), np.float32), "dot"), False)
    q = np.zeros(0, np.float32)
    assert engine.explain(q, 2, 4, 1) == {"score_total": 0.0, "block_size": 4, "top_blocks": 1, "num_blocks": 0,
                                          "dims": 0, "blocks": [], "residual": 0.0}
    assert engine.compare(q, 0, 2, 4, 1)["blocks"] == []


@pytest.mark.parametrize("args,message", [
    ((np.ones(3, np.float32), 9, 0, 0), "Query dimensions 3 != index dimensions 4"),
    ((np.ones(4, np.float32), 5, 0, 0), "Index out of bounds"),
    ((np.ones(4, np.float32), 2**40, 1, 1), "Index out of bounds"),
    ((np.ones(4, np.float32), 4, 0, 0), "block_size must be > 0"),
    ((np.ones(4, np.float32), 4, 2, 0), "top_blocks must be > 0"),
])
def test_explain_validation_order(open_index, args, message):
    engine = open_index(np.ones((5, 4), np.float32), "cosine")
    with pytest.raises(ValueError, match="^" + message + "$"):
        engine.explain(*args)


@pytest.mark.parametrize("args,message", [
    ((np.ones(5, np.float32), 5, 5, 0, 0), "Query dimensions 5 != index dimensions 4"),
    ((np.ones(4, np.float32), 5, 0, 0, 0), "Index out of bounds"),
    ((np.ones(4, np.float32), 0, 5, 0, 0), "Index out of bounds"),
    ((np.ones(4, np.float32), 4, 4, 0, 0), "block_size must be > 0"),
    ((np.ones(4, np.float32), 4, 0, 1, 0), "top_blocks must be > 0"),
])
def test_compare_validation_order(open_index, args, message):
    engine = open_index(np.ones((5, 4), np.float32), "euclidean")
    with pytest.raises(ValueError, match="^" + message + "$"):
        engine.compare(*args)


@pytest.mark.parametrize("call,exc,pattern", [
    (lambda e, q: e.explain(q, 0, 1), TypeError, r"PySearchEngine\.explain\(\) missing 1 required"),
    (lambda e, q: e.compare(q, 0, 1, 1, 1, 1), TypeError, r"PySearchEngine\.compare\(\) takes 5 positional"),
    (lambda e, q: e.explain(list(q), 0, 1, 1), TypeError, r"argument 'query'.*'PyArray<T, D>'"),
    (lambda e, q: e.explain(q.reshape(2, 2), 0, 1, 1), TypeError, r"dimensionality mismatch"),
    (lambda e, q: e.explain(q.astype(np.float16), 0, 1, 1), TypeError, r"type mismatch"),
    (lambda e, q: e.explain(np.ones(8, np.float32)[::2], 0, 1, 1), TypeError,
     r"^The given array is not contiguous$"),
    (lambda e, q: e.explain(q, -1, 1, 1), OverflowError, r"negative"),
    (lambda e, q: e.compare(q, 0, "1", 1, 1), TypeError, r"argument 'idx_b'"),
    (lambda e, q: e.compare(q, 0, 1, 1, top_blocks=1.0), TypeError, r"argument 'top_blocks'"),
])
def test_argument_errors(open_index, call, exc, pattern):
    engine = open_index(np.ones((5, 4), np.float32), "dot")
    with pytest.raises(exc, match=pattern):
        call(engine, np.ones(4, np.float32))


def test_keyword_arguments(open_index, rng):
    m = rng.standard_normal((6, 8)).astype(np.float32)
    engine = open_index(m, "dot")
    q = m[0].copy()
    assert engine.explain(top_blocks=2, block_size=np.int32(3), idx=np.uint64(4), query=q) == \
        engine.explain(q, 4, 3, 2)
    assert engine.compare(q, idx_b=1, idx_a=2, top_blocks=1, block_size=8) == engine.compare(q, 2, 1, 8, 1)
