# The dask suite: a 4-shard index on a 2-worker LocalCluster against one engine in this process,
# the added latency of one query against an empty task's round trip, and the scaling model.
import os
import time

import numpy as np

from harness import (check_batch, fmt_ms, load_matrix, make_index, make_queries, print_table, section,
                     time_alternating, verdict, same_topk)


def _shards(ctx, path, rows, dims, n_shards):
    """Manifest of the index at `path` cut into shards, prepared once and kept in the cache."""
    from rivezor_dask import prepare_shards

    d = os.path.join(ctx.cache_dir, f"shards_{os.path.basename(path)[:-4]}_{n_shards}")
    manifest = os.path.join(d, "bench.manifest.json")
    if not os.path.exists(manifest):
        t0 = time.perf_counter()
        prepare_shards(load_matrix(path), "bench", rows_per_shard=-(-rows // n_shards), metric="cosine",
                       output_dir=d)
        print(f"(prepared {n_shards} shards in {time.perf_counter() - t0:.1f} s)")
    return manifest


def _model(rate, up_bps, down_bps, merge_s_per_candidate, workers_list, rows=10**9, dims=768, nq=10_000, k=100,
           cores=16):
    """Seconds for the ground truth of nq queries over rows x dims on W workers of `cores` cores
    each: the slowest worker's scan, the queries sent to every worker and the hits sent back
    through the client's link, and the client's merge."""
    out = []
    for w in workers_list:
        scan = rows / w * dims * nq / (rate * cores)
        up = w * nq * dims * 4 / up_bps
        down = w * nq * k * 12 / down_bps
        merge = nq * w * k * merge_s_per_candidate
        out.append((w, scan, up, down, merge, scan + up + down + merge))
    return out


def suite_dask(ctx):
    section("dask: 1000 queries over 4 shards on a 2-worker LocalCluster vs one engine in this process")
    try:
        import distributed
        from rivezor_dask import ShardedIndex
        from rivezor_dask import merge as merge_mod
        from rivezor_dask import worker as worker_mod
    except ImportError as exc:
        print(f"skipped: not available ({exc})")
        ctx.record("dask", "skipped: not available", "", None)
        return
    rows, dims, nq, k = (40_000, 128, 100, 10) if ctx.quick else (1_000_000, 128, 1000, 10)
    path = make_index(ctx, "gauss", rows, dims, "cosine", seed=11)  # the single suite's file
    manifest = _shards(ctx, path, rows, dims, 4)
    X = load_matrix(path)
    Q = make_queries(nq, dims, "cosine", seed=5)
    engine = ctx.open_engine(path)
    one = "1" # one pool thread per worker, and no BLAS threads beside it
    env = {"ZARIR_THREADS": one, "OPENBLAS_NUM_THREADS": one, "OMP_NUM_THREADS": one, "RAYON_NUM_THREADS": one}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  env=env) as cluster, distributed.Client(cluster) as client:
        index = ShardedIndex(manifest, client)
        t = time_alternating({"one engine, ZARIR_THREADS=2": lambda: engine.query_batch_arrays(Q, k),
                              "ShardedIndex, 2 workers x 1 thread": lambda: index.query_batch(Q, k)},
                             ctx.warmup(1), ctx.repeats(5, 2), pause=ctx.pause())
        check = check_batch(X, Q, index.query_batch(Q, k)["indices"], engine.query_batch_arrays(Q, k)["indices"],
                            "cosine")
        one_name, sh_name = "one engine, ZARIR_THREADS=2", "ShardedIndex, 2 workers x 1 thread"
        ratio = t[sh_name].median / t[one_name].median
        print_table(["index", "contender", "median ms", "min-max ms", "time / one engine", "check"],
                    [[f"{rows}x{dims} cosine, {len(index.manifest.shards)} shards", name, fmt_ms(tm.ms), tm.spread(),
                      f"{tm.median / t[one_name].median:.2f}x", check if name == sh_name else "-"]
                     for name, tm in t.items()])
        ctx.record("dask", f"{nq} queries, {rows}x{dims} cosine, 4 shards: <= 1.25x one engine", f"{ratio:.2f}x",
                   ratio <= 1.25 and check.startswith("ok"))

        section("dask: one query's added latency vs an empty Dask task's round trip (same run)")
        q = Q[0]
        lat = time_alternating({"one engine query_exact_arrays": lambda: engine.query_exact_arrays(q, k),
                                "ShardedIndex.query": lambda: index.query(q, k),
                                "empty Dask task": lambda: client.submit(int, pure=False).result()},
                               ctx.warmup(3), ctx.repeats(30, 5), pause=ctx.pause())
        single_check = verdict(same_topk(X, q, index.query(q, k)["indices"], engine.query_exact_arrays(q, k)["indices"],
                                         "cosine"))
        added = lat["ShardedIndex.query"].ms - lat["one engine query_exact_arrays"].ms
        beyond = added - lat["empty Dask task"].ms
        print_table(["contender", "median ms", "min-max ms"],
                    [[name, fmt_ms(tm.ms), tm.spread()] for name, tm in lat.items()])
        print(f"added latency {added:.2f} ms; empty task {lat['empty Dask task'].ms:.2f} ms; "
              f"beyond the empty task {beyond:.2f} ms; check {single_check}")
        ctx.record("dask", "one query: added latency <= empty task + 3 ms",
                   f"{added:.1f} ms vs {lat['empty Dask task'].ms:.1f} ms (+{beyond:.1f} ms)",
                   beyond <= 3.0 and single_check.startswith("ok"))

        section("dask: scaling on paper (measured per-shard scan rate, transport, merge)")
        spec = [s for s in index._specs][:1]
        addr = next(iter(index.placement()))
        shard_rows = spec[0].rows
        timings = time_alternating({
            "one shard's batch on a worker": lambda: client.submit(worker_mod.search_batch, spec, dims, "cosine", Q, k,
                                                                   workers=[addr], pure=False).result(),
            "empty Dask task": lambda: client.submit(int, pure=False, workers=[addr]).result(),
            "send queries": lambda: client.submit(len, Q, pure=False, workers=[addr]).result(),
            "receive hits": lambda: client.submit(np.ones, (nq, 10 * k), pure=False, workers=[addr]).result(),
        }, 1, ctx.repeats(5, 2), pause=ctx.pause())
        empty = timings["empty Dask task"].median
        scan_s = timings["one shard's batch on a worker"].median - empty
        rate = shard_rows * dims * nq / scan_s
        up = Q.nbytes / max(timings["send queries"].median - empty, 1e-6)
        down = nq * 10 * k * 8 / max(timings["receive hits"].median - empty, 1e-6)
        parts = [index._gather([client.submit(worker_mod.search_batch, spec, dims, "cosine", Q, 100, pure=False)])[0]
                 for _ in range(8)]
        t0 = time.perf_counter()
        merge_mod.merge(parts, 100, "cosine")
        merge_per = (time.perf_counter() - t0) / (nq * 8 * 100)
        print(f"measured: scan {rate / 1e9:.2f} G multiply-adds/s per thread ({shard_rows}-row shard, "
              f"{fmt_ms(scan_s * 1e3)} ms for {nq} queries); loopback transport {up / 1e9:.2f} GB/s up, "
              f"{down / 1e9:.2f} GB/s down; merge {merge_per * 1e9:.0f} ns per candidate hit")
        # a 10 Gbit/s link at the client: the loopback figures above (one transfer beside an empty
        # task on a shared machine) say little about a network and are printed for reference only
        net = 1.25e9
        print_table(["workers (16 cores each)", "scan s", "queries out s", "hits back s", "merge s", "total s"],
                    [[w, f"{a:.0f}", f"{b:.1f}", f"{c:.1f}", f"{d:.1f}", f"{e:.0f}"]
                     for w, a, b, c, d, e in _model(rate, net, net, merge_per, (8, 32, 128))])
        print("model: 1e9 x 768 rows, 10,000 queries, k=100; each worker holds its shards in memory and scans at the "
              "measured per-thread rate times 16; the client's 10 Gbit/s link carries the queries to every worker "
              "and k hits per query back from each; the client merges all of them")
