# ShardedIndex: exact search over the shards of a manifest on a Dask cluster. Each worker keeps
# its shards open and answers with its own best k; the client merges those few hits.
from __future__ import annotations

import os
import time
from typing import Any

import numpy as np
import numpy.typing as npt

from . import manifest as mf
from . import worker
from .merge import Hits, as_arrays, merge
from .worker import ShardSpec

# How long a placement is trusted before the scheduler is asked again who is alive. Between
# refreshes a dead worker's tasks still move: they are submitted with loose restrictions.
_PLACEMENT_TTL_S = 5.0


def _check_layout(x: Any, ndim: int) -> None:
    # Pickling a strided array sends a contiguous copy, so the engine on the worker could not see
    # what it refuses locally; the same check, with its message, is made before sending.
    if isinstance(x, np.ndarray) and x.ndim == ndim and x.dtype == np.float32 and not x.flags.c_contiguous:
        raise TypeError("The given array is not contiguous")


class ShardedIndex:
    """The shards of one manifest, opened on the workers of `client` (a `distributed.Client`)."""

    def __init__(self, manifest_path: str, client: Any) -> None:
        self.manifest = mf.read(manifest_path)
        self._client = client
        m = self.manifest
        self._specs = [ShardSpec(m.shard_path(s), s.index_hash, s.first_row, s.rows, s.file) for s in m.shards]
        self._placement: dict[int, str] = {}
        self._placed_at = -_PLACEMENT_TTL_S
        self._closed = False
        # Every worker opens and checks its shards now, so a bad or unreachable file fails here,
        # before any search, and the first query finds the engines open.
        self._gather(self._submit(worker.check_shards))

    @property
    def dims(self) -> int:
        return self.manifest.dims

    @property
    def rows(self) -> int:
        return self.manifest.rows

    @property
    def metric(self) -> str:
        return self.manifest.metric

    def close(self) -> None:
        """Closes this manifest's shards on every worker, releasing their mappings and file
        descriptors (a shard file deleted afterwards then frees its disk space). Searches after
        it raise ValueError. Another ShardedIndex of the same manifest on the same cluster opens
        the shards again on its next search."""
        if not self._closed:
            self._closed = True
            self._client.run(worker.release_shards, [(s.path, s.index_hash) for s in self._specs])

    def __enter__(self) -> ShardedIndex:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def placement(self) -> dict[str, list[str]]:
        """Shard files by worker address, as the next search will send them."""
        return {addr: [s.file for s in specs] for addr, specs in self._groups().items()}

    def _groups(self) -> dict[str, list[ShardSpec]]:
        now = time.monotonic()
        if now - self._placed_at > _PLACEMENT_TTL_S:
            self._replace(sorted(self._client.scheduler_info()["workers"]))
            self._placed_at = now
        groups: dict[str, list[ShardSpec]] = {}
        for i, addr in sorted(self._placement.items()):
            groups.setdefault(addr, []).append(self._specs[i])
        return groups

    def _replace(self, workers: list[str]) -> None:
        """Keeps every shard on its worker while that worker lives (its pages stay cached there);
        shards of departed workers, and the surplus of crowded ones, go to the least loaded."""
        if not workers:
            raise ValueError(f"manifest {self.manifest.path}: the cluster has no workers")
        load: dict[str, list[int]] = {w: [] for w in workers}
        orphans: list[int] = []
        for i in range(len(self._specs)):
            addr = self._placement.get(i)
            (load[addr] if addr in load else orphans).append(i)
        for i in orphans:
            min(load.values(), key=len).append(i)
        while True:
            big = max(workers, key=lambda w: len(load[w]))
            small = min(workers, key=lambda w: len(load[w]))
            if len(load[big]) - len(load[small]) <= 1:
                break
            load[small].append(load[big].pop())
        self._placement = {i: w for w, shards in load.items() for i in shards}

    def _submit(self, fn: Any, *args: Any) -> list[Any]:
        m = self.manifest
        if self._closed:
            raise ValueError(f"manifest {m.path}: the sharded index is closed")
        # allow_other_workers: if the worker dies, Dask reruns its task elsewhere, where the
        # shards are opened afresh; the answer is then still complete, or the gather raises.
        return [self._client.submit(fn, specs, m.dims, m.metric, *args, workers=[addr], allow_other_workers=True,
                                    pure=False)
                for addr, specs in self._groups().items()]

    def _gather(self, futures: list[Any]) -> list[Any]:
        try:
            return list(self._client.gather(futures))
        except BaseException:
            self._client.cancel(futures)
            self._placed_at = -_PLACEMENT_TTL_S  # a worker may have left: ask again next time
            raise

    def query(self, query: npt.NDArray[np.float32], k: int) -> dict[str, Any]:
        """Best k rows for one query: "indices" (uint64 global rows) and "scores" (float32), best first."""
        _check_layout(query, 1)
        idx, scores = as_arrays(merge(self._gather(self._submit(worker.search_one, query, k)), k, self.metric))
        return {"indices": idx[0], "scores": scores[0], "metric": self.metric, "dims": self.dims, "rows": self.rows}

    def query_batch(self, queries: npt.NDArray[np.float32], k: int) -> dict[str, Any]:
        """Best k rows per query row: "indices" and "scores" of shape (nq, k') as the engine's arrays form."""
        _check_layout(queries, 2)
        idx, scores = as_arrays(self._batch_hits(queries, k))
        return {"indices": idx, "scores": scores, "metric": self.metric, "dims": self.dims, "rows": self.rows}

    def _batch_hits(self, queries: Any, k: int) -> Hits:
        return merge(self._gather(self._submit(worker.search_batch, queries, k)), k, self.metric)

    def query_certified(self, query: npt.NDArray[np.float32], k: int, block_size: int = 64) -> dict[str, Any]:
        """Every shard's certified search, the hits merged, and one certificate that is `safe` only
        when every shard's is; the shards' own certificates are kept under "shards"."""
        _check_layout(query, 1)
        answers = sorted((pair for part in self._gather(self._submit(worker.search_certified, query, k, block_size))
                          for pair in part), key=lambda p: p[0].first_row)
        parts = []
        for spec, res in answers:
            hits = res["results"]
            parts.append((np.array([[h["idx"] + spec.first_row for h in hits]], dtype=np.uint64).reshape(1, -1),
                          np.array([[h["score"] for h in hits]], dtype=np.float32).reshape(1, -1)))
        idx, scores = as_arrays(merge(parts, k, self.metric))
        results = [{"idx": int(i), "score": float(s)} for i, s in zip(idx[0], scores[0])]
        certs = [r["certificate"] for _, r in answers]
        certificate = {
            "total_candidates": sum(c["total_candidates"] for c in certs),
            "pruned_candidates": sum(c["pruned_candidates"] for c in certs),
            "full_evaluated": sum(c["full_evaluated"] for c in certs),
            "kth_score": results[-1]["score"] if results else 0.0,
            "safe": all(c["safe"] for c in certs),
            "shards": [{"file": spec.file, "first_row": spec.first_row, "index_hash": r["index_hash"], **r["certificate"]}
                       for spec, r in answers],
        }
        first = answers[0][1]
        return {"results": results, "query_hash": first["query_hash"], "engine_version": first["engine_version"],
                "metric": self.metric, "dims": self.dims, "rows": self.rows, "certificate": certificate}

    def ground_truth(self, queries: npt.NDArray[np.float32], k: int, out: str | None = None, *,
                     batch_size: int = 1000, progress: bool = False) -> dict[str, npt.NDArray[Any]]:
        """Exact best k of a large query set, searched in pieces of `batch_size` queries that the
        workers work through back to back. With `out` (a directory), the answer is also written as
        `indices.npy` and `scores.npy` there, both appearing only when complete. `progress` shows
        Dask's progress bar."""
        _check_layout(queries, 2)
        if batch_size < 1:
            raise ValueError(f"batch_size must be positive, got {batch_size}")
        starts = range(0, len(queries), batch_size)
        pieces = [self._submit(worker.search_batch, queries[s:s + batch_size], k) for s in starts]
        if progress:
            from distributed import progress as dask_progress
            dask_progress([f for piece in pieces for f in piece])  # type: ignore[no-untyped-call]
        merged = []
        try:
            for piece in pieces:
                merged.append(merge(self._gather(piece), k, self.metric))
        except BaseException:
            self._client.cancel([f for piece in pieces for f in piece])
            raise
        width = max((p[0].shape[1] for p in merged), default=0)
        idx, scores = as_arrays((
            np.concatenate([np.pad(p[0], ((0, 0), (0, width - p[0].shape[1]))) for p in merged] or
                           [np.zeros((0, 0), dtype=np.uint64)]),
            np.concatenate([np.pad(p[1], ((0, 0), (0, width - p[1].shape[1])), constant_values=np.nan)
                            for p in merged] or [np.zeros((0, 0), dtype=np.float32)])))
        if out is not None:
            os.makedirs(out, exist_ok=True)
            for name, arr in (("indices", idx), ("scores", scores)):
                tmp = os.path.join(out, f".{name}.npy.tmp")
                with open(tmp, "wb") as f:
                    np.save(f, arr)
                    f.flush()
                    os.fsync(f.fileno())
                os.replace(tmp, os.path.join(out, f"{name}.npy"))
        return {"indices": idx, "scores": scores}
