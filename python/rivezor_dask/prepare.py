# Writing a matrix as several ordinary index files plus the manifest that ties them together; a
# Dask array is written block by block on the workers that hold the blocks.
from __future__ import annotations

import contextlib
import os
import secrets
from typing import Any

from . import manifest as mf
from .worker import Written, write_dask_block, write_shard


def _is_dask_array(x: Any) -> bool:
    return type(x).__module__.split(".")[0] == "dask" and hasattr(x, "to_delayed")


def _remove_quietly(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)


def prepare_shards(embeddings: Any, base_name: str, *, rows_per_shard: int, metric: str = "cosine",
                   normalize: bool = False, output_dir: str, client: Any = None) -> mf.Manifest:
    """Writes `embeddings` as shards of at most `rows_per_shard` rows and returns their manifest,
    `<output_dir>/<base_name>.manifest.json`, written last and atomically.

    A NumPy array or memory-mapped `.npy` is written shard by shard in this process; a
    `dask.array.Array` is written by the workers of `client` (or Dask's default scheduler).
    Each shard goes through `rivezor.py_prepare_bin_from_embeddings`, with its checks and messages.
    """
    if isinstance(rows_per_shard, bool) or not isinstance(rows_per_shard, int) or rows_per_shard < 1:
        raise ValueError(f"rows_per_shard must be a positive integer, got {rows_per_shard!r}")
    if getattr(embeddings, "ndim", None) != 2:
        raise ValueError(f"embeddings must be a 2-D matrix, got shape {getattr(embeddings, 'shape', None)}")
    output_dir = os.path.abspath(output_dir)
    # A fresh token per preparation: the writer deletes a file of the same name before writing,
    # so reusing the previous shards' names would break the previous manifest if this run fails.
    token = secrets.token_hex(4)
    names = [f"{base_name}-{token}-{i:05d}" for i in range(max(1, -(-embeddings.shape[0] // rows_per_shard)))]
    try:
        if _is_dask_array(embeddings):
            written = _write_dask(embeddings, names, rows_per_shard, output_dir, metric, normalize, client)
        else:
            written = [write_shard(embeddings[i * rows_per_shard:(i + 1) * rows_per_shard], output_dir, name,
                                   metric, normalize) for i, name in enumerate(names)]
    except BaseException:
        # the writer's own names derive from base_name; the token makes them ours alone
        if os.path.isdir(output_dir):
            for entry in os.listdir(output_dir):
                if f"-{token}-" in entry and entry.endswith(("_f32.bin", "_f32.tmp")):
                    _remove_quietly(os.path.join(output_dir, entry))
        raise
    shards, first = [], 0
    for w in written:
        shards.append(mf.Shard(w.file, first, w.rows, w.index_hash))
        first += w.rows
    metric_name = written[0].metric
    result = mf.Manifest(os.path.join(output_dir, f"{base_name}.manifest.json"), metric_name,
                         normalize or metric_name == "cosine", written[0].dims, first, tuple(shards))
    try:
        previous: mf.Manifest | None = mf.read(result.path)
    except ValueError:
        previous = None
    mf.write(result)
    if previous is not None:
        # The new manifest is durable: the shards only the replaced one listed are garbage now.
        keep = {s.file for s in result.shards}
        for s in previous.shards:
            if s.file not in keep:
                _remove_quietly(previous.shard_path(s))
    return result


def _write_dask(x: Any, names: list[str], rows_per_shard: int, output_dir: str, metric: str, normalize: bool,
                client: Any) -> list[Written]:
    from dask.base import compute
    from dask.delayed import delayed

    blocks = x.rechunk({0: rows_per_shard, 1: -1}).to_delayed().ravel()
    tasks = [delayed(write_dask_block, pure=False)(b, output_dir, name, metric, normalize)
             for b, name in zip(blocks, names)]
    if client is not None:
        return list(client.gather(client.compute(tasks)))
    return list(compute(*tasks))  # type: ignore[no-untyped-call]
