# A tour of rivezor on a realistic job: write an index from a clustered embedding matrix,
# open it, ask single, batch and certified queries, and explain why the top hit won.
import sys
import tempfile
import time

import numpy as np

import rivezor

ROWS, DIMS, CLUSTERS, K = 200_000, 384, 64, 10


def step(text):
    print(f"  {text} ...", end="", flush=True)
    return time.perf_counter()


def done(t0, extra=""):
    print(f" {1000 * (time.perf_counter() - t0):8.1f} ms {extra}", flush=True)


def clustered_embeddings(rng):
    centres = rng.standard_normal((CLUSTERS, DIMS)).astype(np.float32)
    # Concentrate each cluster's energy in a few dimension blocks, as learned embeddings do.
    centres *= rng.gamma(0.6, 1.0, size=(CLUSTERS, DIMS)).astype(np.float32)
    labels = rng.integers(0, CLUSTERS, size=ROWS)
    noise = 0.25 * rng.standard_normal((ROWS, DIMS)).astype(np.float32)
    return centres[labels] + noise, centres


def main():
    rng = np.random.default_rng(2026)
    print(f"rivezor demo: {ROWS:,} x {DIMS} cosine index, k = {K}")
    t0 = step("generating clustered embeddings")
    data, centres = clustered_embeddings(rng)
    done(t0, f"({data.nbytes / 2**20:.0f} MiB)")

    with tempfile.TemporaryDirectory(prefix="rivezor-demo-") as out_dir:
        t0 = step("writing the index (rows normalised to unit length)")
        path = rivezor.py_prepare_bin_from_embeddings(data, DIMS, ROWS, "demo corpus", "f32",
                                                      metric="cosine", output_dir=out_dir)
        done(t0)
        print(f"    file: {path}")

        t0 = step("opening (map, norms, BLAKE3 fingerprint)")
        engine = rivezor.PySearchEngine(path, False)
        done(t0)
        print(f"    dims() = {engine.dims()}, rows() = {engine.rows()}")

        query = (centres[3] + 0.1 * rng.standard_normal(DIMS)).astype(np.float32)
        query /= np.linalg.norm(query)

        engine.query_exact(query, K)  # warm the caches once
        result = engine.query_exact_detailed(query, K)
        print(f"\nsingle query: {result!r}")
        print(f"    index_hash {result.index_hash}")
        print(f"    query_hash {result.query_hash}")
        for item in result.results[:5]:
            print(f"    row {item.idx:>7}  score {item.score:.6f}")

        queries = (centres[rng.integers(0, CLUSTERS, 1000)]
                   + 0.1 * rng.standard_normal((1000, DIMS))).astype(np.float32)
        t0 = time.perf_counter()
        batch = engine.query_batch_arrays(queries, K)
        elapsed = time.perf_counter() - t0
        print(f"\nbatch of {len(queries)} queries: {1000 * elapsed:.1f} ms "
              f"({len(queries) / elapsed:,.0f} queries/s), path {batch['method_used'][0]}, "
              f"indices {batch['indices'].shape}")

        cert = engine.query_exact_certified(query, K)
        c = cert["certificate"]
        same = [h["idx"] for h in cert["results"]] == [i.idx for i in result.results]
        print(f"\ncertified query: {cert['query_time_ms']:.1f} ms, safe={c['safe']}, "
              f"pruned {c['pruned_candidates']:,} of {c['total_candidates']:,} rows "
              f"({100 * c['pruned_candidates'] / c['total_candidates']:.1f}%), "
              f"same hits as the exact search: {same}")

        top = result.results[0].idx
        why = engine.explain(query, top, 64, 3)
        print(f"\nexplain row {top}: score {why['score_total']:.6f} over {why['num_blocks']} blocks of "
              f"{why['block_size']}")
        for b in why["blocks"]:
            print(f"    dims {b['start']:>3}..{b['end']:<3} contributes {b['contribution']:+.6f}")
        print(f"    the other blocks together {why['residual']:+.6f}")
        del engine
    return 0


if __name__ == "__main__":
    sys.exit(main())
