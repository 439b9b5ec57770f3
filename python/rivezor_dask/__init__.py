"""Sharded exact search over rivezor index files on a Dask cluster.

Shards are ordinary index files; workers open them once and send back only their best k."""
from .manifest import Manifest, Shard
from .prepare import prepare_shards
from .sharded import ShardedIndex

__all__ = ["Manifest", "Shard", "ShardedIndex", "prepare_shards"]
