# Merging hit lists of several shards into the global best k, in the engine's hit order: the IEEE
# total order of float32 scores (best first for the metric), equal bits by ascending global row.
from __future__ import annotations

import numpy as np
import numpy.typing as npt

Hits = tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]  # (nq, m) rows and scores, NaN = no hit


def _order_key(scores: npt.NDArray[np.float32], larger_is_better: bool) -> npt.NDArray[np.int64]:
    bits = scores.view(np.int32).astype(np.int64)
    key = np.where(bits < 0, bits ^ 0x7FFFFFFF, bits)  # -0.0 ranks below +0.0, as in the engine
    return -key if larger_is_better else key


def merge(parts: list[Hits], k: int, metric: str) -> Hits:
    """Best k of the union of `parts`; a row with fewer hits is padded with NaN scores."""
    idx = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    width = min(k, idx.shape[1])
    missing = ~np.isfinite(scores)  # padding and non-finite scores are never hits
    order = np.lexsort((idx, _order_key(scores, metric != "euclidean"), missing), axis=1)[:, :width]
    idx = np.take_along_axis(idx, order, axis=1)
    scores = np.take_along_axis(scores, order, axis=1)
    gone = ~np.isfinite(scores)
    idx[gone] = 0
    return idx, scores


def pad(idx: npt.NDArray[np.uint64], scores: npt.NDArray[np.float32], first_row: int) -> Hits:
    """One shard's hits with global row numbers, shaped (nq, m) even when some queries had fewer hits."""
    return idx.astype(np.uint64) + np.uint64(first_row), scores.astype(np.float32, copy=False)


def ragged(lists: list[list[tuple[int, float]]], first_row: int) -> Hits:
    """Hit lists of unequal length (some queries met non-finite scores) as one NaN-padded pair."""
    width = max((len(h) for h in lists), default=0)
    idx = np.zeros((len(lists), width), dtype=np.uint64)
    scores = np.full((len(lists), width), np.nan, dtype=np.float32)
    for i, hits in enumerate(lists):
        for j, (row, score) in enumerate(hits):
            idx[i, j] = row + first_row
            scores[i, j] = score
    return idx, scores


def as_arrays(hits: Hits) -> Hits:
    """The engine's arrays form: every query must have the same number of hits."""
    idx, scores = hits
    counts = np.isfinite(scores).sum(axis=1)
    m = int(counts[0]) if len(counts) else 0
    bad = np.nonzero(counts != m)[0]
    if len(bad):
        # the same refusal, in the same words, as the engine's own batch arrays form
        raise ValueError(f"invalid length: {int(counts[bad[0]])}, but expected {m}")
    return np.ascontiguousarray(idx[:, :m]), np.ascontiguousarray(scores[:, :m])
