"""Sharded exact search over rivezor index files on a Dask cluster.

Shards are ordinary index files; workers open them once and send back only their best k."""
