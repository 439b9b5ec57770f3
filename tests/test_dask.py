# Sharded search on a two-process LocalCluster: answers bit-identical to one engine over the whole
# matrix, bad manifests and shards refused before any search, engine errors unchanged, a dead worker.
import json
import os
import shutil
import signal
import threading
import time

import numpy as np
import pytest

rivezor = pytest.importorskip("rivezor")
distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
from rivezor_dask import ShardedIndex, prepare_shards, worker  # noqa: E402

ROW_SCAN = {"ZARIR_SINGLE_MODE": "rayon", "ZARIR_BATCH_MODE": "rayon"}


@pytest.fixture(scope="module")
def client():
    saved = {k: os.environ.get(k) for k in ROW_SCAN}
    os.environ.update(ROW_SCAN)  # the reference engine in this process takes the same path
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  env=dict(ROW_SCAN, ZARIR_THREADS="1")) as cluster, \
            distributed.Client(cluster) as c:
        yield c
    for k, v in saved.items():
        os.environ.pop(k) if v is None else os.environ.__setitem__(k, v)


def matrix(rows, dims=16, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.integers(-2, 3, (rows, dims)).astype(np.float32)  # small integers: many exact ties
    X[[4, 5, 10]] = X[3]  # identical rows on both sides of shard boundaries
    return X


def reference(X, metric, tmp):
    return rivezor.PySearchEngine(rivezor.py_prepare_bin_from_embeddings(
        X, X.shape[1], X.shape[0], "whole", "f32", metric=metric, output_dir=str(tmp)), False)


def same_bits(got, want):
    assert got["indices"].dtype == np.uint64 and got["scores"].dtype == np.float32
    np.testing.assert_array_equal(got["indices"], want["indices"])
    np.testing.assert_array_equal(got["scores"].view(np.uint32), want["scores"].view(np.uint32))


@pytest.mark.parametrize("metric, rows_per_shard, k", [
    ("cosine", 5, 3),     # ties across the 5|6 boundary; last shard holds one row
    ("dot", 4, 9),        # k larger than a shard
    ("euclidean", 6, 50),  # k larger than all rows
    ("dot", 21, 4),       # a single shard
])
def test_sharded_answers_are_bit_identical_to_one_engine(client, tmp_path, metric, rows_per_shard, k):
    X = matrix(21)
    man = prepare_shards(X, "m", rows_per_shard=rows_per_shard, metric=metric, output_dir=str(tmp_path))
    index, ref = ShardedIndex(man.path, client), reference(X, metric, tmp_path)
    assert (index.dims, index.rows, index.metric) == (16, 21, metric)
    loads = [len(v) for v in index.placement().values()]
    assert sum(loads) == len(man.shards) and max(loads) - min(loads) <= 1
    Q = np.ascontiguousarray(np.vstack([X[3], X[:6] + 0.5, -X[10]]))
    same_bits(index.query_batch(Q, k), ref.query_batch_arrays(Q, k))
    same_bits(index.query(Q[0], k), ref.query_exact_arrays(Q[0], k))
    cert, want = index.query_certified(Q[1], k, 4), ref.query_exact_certified(Q[1], k, 4)
    assert cert["results"] == want["results"]
    c = cert["certificate"]
    assert c["safe"] and c["total_candidates"] == 21 == c["pruned_candidates"] + c["full_evaluated"]
    assert len(c["shards"]) == len(man.shards)
    gt = index.ground_truth(Q, k, out=str(tmp_path / "gt"), batch_size=2)
    same_bits(gt, ref.query_batch_arrays(Q, k))
    np.testing.assert_array_equal(np.load(tmp_path / "gt" / "indices.npy"), gt["indices"])


def exact_scores(X, metric, Q, idx):
    X = X.astype(np.float64)
    if metric == "cosine":
        X /= np.linalg.norm(X, axis=1, keepdims=True)
    rows = X[idx.astype(np.int64)]
    if metric == "euclidean":
        return ((rows - Q.astype(np.float64)[:, None, :]) ** 2).sum(axis=2)
    return np.einsum("qkd,qd->qk", rows, Q.astype(np.float64))


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
def test_automatic_paths_agree_but_for_float32_rounding(tmp_path, monkeypatch, metric):
    # Shards and the whole matrix may take different paths (row scan, fused tiles), each
    # with its own summation order: rows may swap only where their scores tie to rounding.
    for key in ROW_SCAN:
        monkeypatch.delenv(key, raising=False)
    rng = np.random.default_rng(7)
    X = rng.standard_normal((3000, 48)).astype(np.float32)
    Q = rng.standard_normal((40, 48)).astype(np.float32)
    man = prepare_shards(X, "auto", rows_per_shard=700, metric=metric, output_dir=str(tmp_path))
    ref = reference(X, metric, tmp_path)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  env={"ZARIR_THREADS": "1"}) as cluster, distributed.Client(cluster) as c:
        index = ShardedIndex(man.path, c)
        answers = [(index.query_batch(Q, 10), ref.query_batch_arrays(Q, 10)),
                   (index.query(Q[0], 10), ref.query_exact_arrays(Q[0], 10))]
    for got, want in answers:
        got_idx, want_idx = np.atleast_2d(got["indices"]), np.atleast_2d(want["indices"])
        q = Q[: len(got_idx)]
        np.testing.assert_allclose(np.atleast_2d(got["scores"]), np.atleast_2d(want["scores"]), rtol=1e-5, atol=1e-5)
        np.testing.assert_allclose(exact_scores(X, metric, q, got_idx), exact_scores(X, metric, q, want_idx),
                                   rtol=1e-5, atol=1e-5)
        assert (got_idx == want_idx).mean() > 0.9


def test_numpy_memmap_and_dask_inputs_write_the_same_shards(client, tmp_path):
    X = matrix(23)
    np.save(tmp_path / "x.npy", X)
    inputs = {"numpy": X, "memmap": np.load(tmp_path / "x.npy", mmap_mode="r"), "dask": da.from_array(X, chunks=(7, 16))}
    hashes = {name: [s.index_hash for s in prepare_shards(x, name, rows_per_shard=5, metric="dot", output_dir=str(
        tmp_path / name), client=client).shards] for name, x in inputs.items()}
    assert len(hashes["numpy"]) == 5 and hashes["numpy"] == hashes["memmap"] == hashes["dask"]


def test_failed_preparation_keeps_the_previous_manifest(client, tmp_path):
    X = matrix(12)
    old = prepare_shards(X, "g", rows_per_shard=5, metric="dot", output_dir=str(tmp_path))
    bad = X.copy()
    bad[6:] = np.nan
    with pytest.raises(ValueError, match="Too many invalid values"):  # the writer's own message
        prepare_shards(bad, "g", rows_per_shard=5, metric="dot", output_dir=str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == sorted([s.file for s in old.shards] + ["g.manifest.json"])
    assert ShardedIndex(old.path, client).query(X[0], 1)["indices"][0] == 0
    new = prepare_shards(X[:7], "g", rows_per_shard=5, metric="dot", output_dir=str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == sorted([s.file for s in new.shards] + ["g.manifest.json"])


def test_close_releases_the_shards_on_every_worker(client, tmp_path):
    X = matrix(12)
    man = prepare_shards(X, "c", rows_per_shard=4, metric="euclidean", output_dir=str(tmp_path))
    keys = {(man.shard_path(s), s.index_hash) for s in man.shards}

    def held():
        return {tuple(key) for keys_of in client.run(worker.open_keys).values() for key in keys_of} & keys

    with ShardedIndex(man.path, client) as index:
        assert held() == keys
        assert index.query(X[0], 1)["indices"][0] == 0
    assert held() == set()
    with pytest.raises(ValueError, match="closed"):
        index.query(X[0], 1)
    assert ShardedIndex(man.path, client).query(X[7], 1)["indices"][0] == 7  # opened again


@pytest.fixture(scope="module")
def good(tmp_path_factory):
    d = tmp_path_factory.mktemp("good")
    X = matrix(21)
    prepare_shards(X, "b", rows_per_shard=8, metric="dot", output_dir=str(d))
    return d


def _edit(field, value, shard=None):
    def edit(doc, d):
        (doc if shard is None else doc["shards"][shard])[field] = value(doc) if callable(value) else value
    return edit


def _remove_shard_file(doc, d):
    os.unlink(d / doc["shards"][1]["file"])


def _rewrite_shard(doc, d):
    p = d / doc["shards"][0]["file"]
    data = bytearray(p.read_bytes())
    data[-4:] = np.float32(7).tobytes()
    p.write_bytes(bytes(data))


@pytest.mark.parametrize("mutate, message", [
    (_remove_shard_file, r"shard b-\w+-00001_f32.bin: file .* not found from worker tcp://"),
    (_rewrite_shard, r"shard b-\w+-00000_f32.bin: fingerprint .* differs"),
    ("{not json", "not valid JSON"),
    (lambda doc, d: doc.pop("dims"), "missing field 'dims'"),
    (lambda doc, d: doc["shards"][2].pop("index_hash"), r"shard 2 \(b-.*\): missing field 'index_hash'"),
    (_edit("dims", 8), "holds dims 16, metric dot, rows 8; the manifest says dims 8"),
    (_edit("metric", "euclidean"), "holds dims 16, metric dot"),
    (_edit("first_row", 7, shard=1), r"shard 1 .* overlap rows before 8"),
    (_edit("first_row", 9, shard=1), r"rows 8..8 are in no shard"),
    (_edit("rows", 22), "shards hold 21 rows, manifest says 22"),
    (_edit("file", "../b.bin", shard=0), "must be a path relative to the manifest"),
])
def test_bad_manifests_and_shards_fail_before_any_search(client, good, tmp_path, mutate, message):
    d = tmp_path / "copy"
    shutil.copytree(good, d)
    path = d / "b.manifest.json"
    if isinstance(mutate, str):
        path.write_text(mutate)
    else:
        doc = json.loads(path.read_text())
        mutate(doc, d)
        path.write_text(json.dumps(doc))
    with pytest.raises(ValueError, match=message):
        ShardedIndex(str(path), client)


@pytest.mark.parametrize("call", [
    lambda e, X: e.query(X[0][:5].copy(), 3),                    # wrong dims
    lambda e, X: e.query(np.full(16, np.nan, np.float32), 3),   # NaN
    lambda e, X: e.query(X[0].astype(np.float64), 3),           # wrong dtype
    lambda e, X: e.query(X[:, 0], 3),                            # strided
    lambda e, X: e.query(X[0], -1),                              # negative k
    lambda e, X: e.query_batch(X[:, :8].copy(), 3),             # wrong width
    lambda e, X: e.query_batch(X[0], 3),                         # 1-D batch
    lambda e, X: e.query_batch(np.asfortranarray(X[:4, :]), 3),  # Fortran order
])
def test_engine_errors_reach_the_caller_unchanged(client, good, tmp_path, call):
    X = matrix(21)
    ref = reference(X, "dot", tmp_path)
    engine_like = type("E", (), {"query": lambda s, q, k: ref.query_exact_arrays(q, k),
                                 "query_batch": lambda s, Q, k: ref.query_batch_arrays(Q, k)})()
    with pytest.raises(Exception) as want:
        call(engine_like, X)
    with pytest.raises(type(want.value)) as got:
        call(ShardedIndex(str(good / "b.manifest.json"), client), X)
    assert str(got.value) == str(want.value)


def test_a_worker_killed_mid_batch_gives_the_exact_answer_or_an_error(client, tmp_path):
    X = np.random.default_rng(1).standard_normal((200_000, 32)).astype(np.float32)
    man = prepare_shards(X, "big", rows_per_shard=50_000, metric="dot", output_dir=str(tmp_path))
    index, ref = ShardedIndex(man.path, client), reference(X, "dot", tmp_path)
    Q = X[:1500] + 0.1  # long enough that the kill lands mid-batch on an idle machine too
    want = ref.query_batch_arrays(Q, 10)
    pids = client.run(os.getpid)
    outcome = {}

    def search():
        try:
            outcome["answer"] = index.query_batch(Q, 10)
        except Exception as exc:  # noqa: BLE001 - any exception is an acceptable outcome
            outcome["error"] = exc

    t = threading.Thread(target=search)
    t.start()
    deadline = time.monotonic() + 10
    while not any(client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)
    assert t.is_alive(), "the search ended before the kill"
    os.kill(next(iter(pids.values())), signal.SIGKILL)
    t.join(60)
    assert outcome, "the search did not finish"
    if "answer" in outcome:
        same_bits(outcome["answer"], want)
    client.wait_for_workers(2, timeout=30)
    same_bits(index.query_batch(Q[:5], 10), ref.query_batch_arrays(Q[:5], 10))
