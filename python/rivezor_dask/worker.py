# What runs inside a Dask worker: opening shards once (checked against the manifest's fingerprint)
# and searching them; also the writing of one shard. Workers import this module by name.
from __future__ import annotations

import os
import threading
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import rivezor

from .merge import Hits, merge, pad, ragged


class ShardSpec(NamedTuple):
    path: str  # absolute, as the workers must see it
    index_hash: str
    first_row: int
    rows: int
    file: str  # the manifest's name for the shard, used in messages


# One engine per (path, fingerprint) per worker process: opening maps the file and hashes it
# whole, far too slow to repeat per query; keying on the fingerprint means a rewritten file is
# never served from an engine opened for its predecessor under another manifest.
_engines: dict[tuple[str, str], rivezor.PySearchEngine] = {}
_lock = threading.Lock()


def _where() -> str:
    try:
        from distributed import get_worker
        return f"worker {get_worker().address}"
    except (ImportError, ValueError):
        return "this process"


def open_shard(spec: ShardSpec, dims: int, metric: str) -> rivezor.PySearchEngine:
    key = (spec.path, spec.index_hash)
    with _lock:
        engine = _engines.get(key)
        if engine is not None:
            return engine
        if not os.path.isfile(spec.path):
            raise ValueError(f"shard {spec.file}: file {spec.path} not found from {_where()} "
                             "(every worker must reach the shard files by the same path)")
        try:
            engine = rivezor.PySearchEngine(spec.path, False)
        except ValueError as exc:
            raise ValueError(f"shard {spec.file}: cannot be opened: {exc}") from exc
        info = engine.query_exact_arrays(np.zeros(engine.dims(), dtype=np.float32), 0)
        if info["index_hash"] != spec.index_hash:
            raise ValueError(f"shard {spec.file}: fingerprint {info['index_hash']} differs from the manifest's "
                             f"{spec.index_hash} (the file changed since the manifest was written)")
        found = (info["dims"], info["metric"], info["rows"])
        if found != (dims, metric, spec.rows):
            raise ValueError(f"shard {spec.file}: holds dims {found[0]}, metric {found[1]}, rows {found[2]}; "
                             f"the manifest says dims {dims}, metric {metric}, rows {spec.rows}")
        _engines[key] = engine
        return engine


def release_shards(keys: list[tuple[str, str]]) -> int:
    """Forgets this worker's engines of the given (path, fingerprint) shards: each one's mapping
    and file descriptor close once no running search holds it. Returns how many were open."""
    with _lock:
        return sum(_engines.pop(key, None) is not None for key in keys)


def open_keys() -> list[tuple[str, str]]:
    """The (path, fingerprint) of every shard this worker has open."""
    with _lock:
        return sorted(_engines)


def check_shards(specs: list[ShardSpec], dims: int, metric: str) -> int:
    for spec in specs:
        open_shard(spec, dims, metric)
    return len(specs)


def search_batch(specs: list[ShardSpec], dims: int, metric: str, queries: Any, k: int) -> Hits:
    """This worker's best k per query over its shards: only k hits per query leave the worker."""
    parts = []
    for spec in specs:
        engine = open_shard(spec, dims, metric)
        try:
            out = engine.query_batch_arrays(queries, k)
            parts.append(pad(out["indices"], out["scores"], spec.first_row))
        except ValueError as exc:
            # Queries meeting non-finite scores get fewer hits, which the arrays form refuses;
            # the object form carries them, and the merge below pads them.
            if not str(exc).startswith("invalid length"):
                raise
            lists = [[(h.idx, h.score) for h in r.results] for r in engine.query_batch(queries, k)]
            parts.append(ragged(lists, spec.first_row))
    return merge(parts, k, metric) if len(parts) > 1 else parts[0]


def search_one(specs: list[ShardSpec], dims: int, metric: str, query: Any, k: int) -> Hits:
    parts = []
    for spec in specs:
        out = open_shard(spec, dims, metric).query_exact_arrays(query, k)
        parts.append(pad(out["indices"][None, :], out["scores"][None, :], spec.first_row))
    return merge(parts, k, metric) if len(parts) > 1 else parts[0]


def search_certified(specs: list[ShardSpec], dims: int, metric: str, query: Any, k: int,
                     block_size: int) -> list[tuple[ShardSpec, dict[str, Any]]]:
    return [(spec, dict(open_shard(spec, dims, metric).query_exact_certified(query, k, block_size)))
            for spec in specs]


class Written(NamedTuple):
    file: str
    rows: int
    index_hash: str
    dims: int
    metric: str


def write_shard(block: npt.NDArray[np.float32], output_dir: str, base_name: str, metric: str,
                normalize: bool) -> Written:
    """One ordinary index file from one block of rows, with the fingerprint the engine will report."""
    rows, dims = block.shape if block.ndim == 2 else (0, 0)
    path = rivezor.py_prepare_bin_from_embeddings(block, dims, rows, base_name, "f32", normalize=normalize,
                                                  metric=metric, output_dir=output_dir)
    engine = rivezor.PySearchEngine(path, False)
    info = engine.query_exact_arrays(np.zeros(engine.dims(), dtype=np.float32), 0)
    return Written(os.path.basename(path), info["rows"], info["index_hash"], info["dims"], info["metric"])


def write_dask_block(block: npt.NDArray[np.float32], output_dir: str, base_name: str, metric: str,
                     normalize: bool) -> Written:
    # a Dask block's memory layout is Dask's choice, not the caller's: only its dtype is checked
    return write_shard(np.ascontiguousarray(block), output_dir, base_name, metric, normalize)
