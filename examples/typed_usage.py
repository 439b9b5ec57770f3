# A typed user program calling every method of rivezor, checked with mypy --strict and pyright
# (strict mode): the annotations show which names exist only for checkers and how to import them.
# pyright: strict
from __future__ import annotations

import tempfile
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

import rivezor

if TYPE_CHECKING:
    # Result shapes and the item class exist only for type checkers: import them here, never
    # at run time (rivezor has no attribute ArraysResult or PyQueryItem).
    from rivezor import ArraysResult, BatchArraysResult, CertifiedResult, CompareResult, ExplainResult, PyQueryItem


def best(item: PyQueryItem) -> str:
    return f"row {item.idx} score {item.score:.4f}"


def unit(v: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    # A cosine index stores unit rows but scores the query as given: normalise it yourself.
    return (v / np.linalg.norm(v)).astype(np.float32)


def main() -> None:
    rng = np.random.default_rng(0)
    data = rng.standard_normal((2000, 32)).astype(np.float32)
    rows, dims = data.shape
    with tempfile.TemporaryDirectory() as out:
        path = rivezor.py_prepare_bin_from_embeddings(data, dims, rows, "typed", "f32", normalize=False, ann=False,
                                                      seed=np.uint32(0), metric="cosine", output_dir=out)
        engine = rivezor.PySearchEngine(path, False)
        assert (engine.dims(), engine.rows()) == (32, 2000)

        q = unit(data[7].copy())
        k = np.int64(3)  # any integer-like object
        plain: rivezor.PyQueryResult = engine.query_exact(q, k)
        assert plain.results[0].idx == 7 and plain.index_hash is None
        print("query_exact:", best(plain.results[0]), plain.method_used, f"{plain.query_time_ms:.3f} ms")

        full = engine.query_exact_detailed(q, k)
        assert full.metric == "cosine" and full.normalized and full.dims == 32 and full.rows == 2000
        print("detailed:", full.engine_version, full.index_path, (full.query_hash or "")[:16])

        arrays: ArraysResult = engine.query_exact_arrays(q, k)
        assert arrays["index_hash"] == full.index_hash and int(arrays["indices"][0]) == 7

        batch = np.ascontiguousarray(np.stack([unit(data[i].copy()) for i in (1, 2, 3)]))
        objects = engine.query_batch(batch, 2)
        detailed = engine.query_batch_detailed(batch, 2)
        grid: BatchArraysResult = engine.query_batch_arrays(batch, 2)
        assert [r.results[0].idx for r in objects] == [r.results[0].idx for r in detailed] == [1, 2, 3]
        assert grid["indices"].shape == (3, 2) and len(grid["method_used"]) == 3

        cert: CertifiedResult = engine.query_exact_certified(q, k, block_size=8, enable_pruning=True)
        certs = engine.query_batch_exact_certified(batch, 2)
        assert cert["certificate"]["safe"] and len(certs) == 3 and cert["results"][0]["idx"] == 7
        print("certified: pruned", cert["certificate"]["pruned_candidates"], "of", cert["certificate"]["total_candidates"])

        why: ExplainResult = engine.explain(q, 7, 8, 2)
        diff: CompareResult = engine.compare(q, 7, 8, block_size=8, top_blocks=2)
        print("explain:", [b["block_id"] for b in why["blocks"]], "residual", round(why["residual"], 4))
        print("compare: delta", round(diff["delta_score_space"], 4))


if __name__ == "__main__":
    main()
