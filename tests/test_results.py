# PyQueryResult and PyQueryItem as Python sees them: read-only properties in order, fresh
# objects on every read, the representation, plain versus full results, and lifetimes.
import gc
import re

import numpy as np
import pytest

import rivezor

FIELDS = ["results", "query_time_ms", "method_used", "index_hash", "query_hash", "engine_version", "metric",
          "normalized", "dims", "rows", "index_path"]
OPTIONAL = FIELDS[3:]


@pytest.fixture
def engine(write_index):
    X = np.array([[0.1, 0.0], [0.5, 0.5], [0.1, 0.0], [-1.0, 2.0]], np.float32)
    return rivezor.PySearchEngine(write_index(X, "dot"), False)


Q = np.array([1.0, 0.0], np.float32)


def test_properties_in_declaration_order_read_only_without_docs(engine):
    r = engine.query_exact(Q, 2)
    props = [name for name, v in vars(type(r)).items() if type(v).__name__ == "getset_descriptor"]
    assert props == FIELDS
    for name in FIELDS:
        assert vars(type(r))[name].__doc__ is None
        with pytest.raises(AttributeError):
            setattr(r, name, None)
    item = r.results[0]
    assert [n for n, v in vars(type(item)).items() if type(v).__name__ == "getset_descriptor"] == ["idx", "score"]
    for name in ("idx", "score"):
        with pytest.raises(AttributeError):
            setattr(item, name, 1)


def test_plain_and_full_results(engine):
    plain = engine.query_exact(Q, 3)
    full = engine.query_exact_detailed(Q, 3)
    for name in OPTIONAL:
        assert getattr(plain, name) is None, name
        assert getattr(full, name) is not None, name
    assert isinstance(plain.query_time_ms, float) and plain.query_time_ms >= 0.0
    assert plain.method_used == "exact"
    assert [(h.idx, h.score) for h in plain.results] == [(h.idx, h.score) for h in full.results]
    assert type(full.dims) is int and type(full.rows) is int and type(full.normalized) is bool
    assert re.fullmatch("[0-9a-f]{64}", full.index_hash) and re.fullmatch("[0-9a-f]{64}", full.query_hash)


def test_hits_ties_and_float32_widening(engine):
    r = engine.query_exact(Q, 3)
    # Rows 0 and 2 tie at float32 0.1 behind row 1 (0.5): the lower row comes first.
    assert [h.idx for h in r.results] == [1, 0, 2]
    assert r.results[1].score == 0.10000000149011612
    assert r.results[1].score != 0.1
    assert type(r.results[0].idx) is int and type(r.results[0].score) is float


def test_every_read_builds_fresh_objects(engine):
    r = engine.query_exact(Q, 3)
    a, b = r.results, r.results
    assert a is not b
    assert all(x is not y for x, y in zip(a, b))
    assert [(x.idx, x.score) for x in a] == [(y.idx, y.score) for y in b]
    a.clear()
    a.append("junk")
    assert len(r.results) == 3
    full = engine.query_exact_detailed(Q, 1)
    assert full.index_hash == full.index_hash and full.index_hash is not full.index_hash


def test_repr(engine):
    r = engine.query_exact(Q, 3)
    m = re.fullmatch(r"<PyQueryResult results=3 time=(\d+\.\d{3})ms method=exact>", repr(r))
    assert m, repr(r)
    assert m.group(1) == f"{r.query_time_ms:.3f}"
    assert repr(engine.query_exact(Q, 0)) == "<PyQueryResult results=0 time=0.000ms method=exact>"
    assert engine.query_exact(Q, 0).results == []


def test_item_class_is_reachable_only_through_results(engine):
    item = engine.query_exact(Q, 1).results[0]
    cls = type(item)
    assert cls.__name__ == "PyQueryItem" and cls.__module__ == "builtins"
    assert not hasattr(rivezor, "PyQueryItem")
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    # No representation of its own: CPython's default one.
    assert re.fullmatch(r"<builtins\.PyQueryItem object at 0x[0-9a-f]+>", repr(item))


def test_results_outlive_the_engine(write_index, rng):
    X = rng.standard_normal((200, 16)).astype(np.float32)
    e = rivezor.PySearchEngine(write_index(X, "cosine"), False)
    q = X[11].copy()
    plain, full = e.query_exact(q, 5), e.query_exact_detailed(q, 5)
    items = plain.results
    expected = [(h.idx, h.score) for h in items]
    del e
    gc.collect()
    assert [(h.idx, h.score) for h in plain.results] == expected
    assert [(h.idx, h.score) for h in items] == expected
    assert full.rows == 200 and full.metric == "cosine" and full.normalized is True
    assert expected[0][0] == 11
