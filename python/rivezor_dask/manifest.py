# The manifest of a sharded index: which files hold which global rows, under which metric, and
# the fingerprint each file had when written. Reading validates everything; writing is atomic.
from __future__ import annotations

import json
import os
import re
import tempfile
from dataclasses import dataclass, field
from typing import Any

FORMAT_VERSION = 1
METRICS = ("cosine", "dot", "euclidean")
_HEX64 = re.compile(r"[0-9a-f]{64}")


@dataclass(frozen=True)
class Shard:
    file: str  # relative to the manifest's directory
    first_row: int
    rows: int
    index_hash: str


@dataclass(frozen=True)
class Manifest:
    path: str  # absolute path of the manifest file; shard paths resolve against its directory
    metric: str
    normalized: bool
    dims: int
    rows: int
    shards: tuple[Shard, ...] = field(default_factory=tuple)

    def shard_path(self, shard: Shard) -> str:
        return os.path.join(os.path.dirname(self.path), shard.file)

    def to_json(self) -> dict[str, Any]:
        return {"format_version": FORMAT_VERSION, "metric": self.metric, "normalized": self.normalized,
                "dims": self.dims, "rows": self.rows,
                "shards": [{"file": s.file, "first_row": s.first_row, "rows": s.rows, "index_hash": s.index_hash}
                           for s in self.shards]}


def _field(obj: dict[str, Any], key: str, kind: type, where: str) -> Any:
    if key not in obj:
        raise ValueError(f"{where}: missing field '{key}'")
    value = obj[key]
    # bool is an int in Python; a count given as true/false is as wrong as one given as text
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise ValueError(f"{where}: field '{key}' must be {kind.__name__}, got {value!r}")
    return value


def _check_file_name(name: str, where: str) -> None:
    parts = name.replace("\\", "/").split("/")
    if not name or os.path.isabs(name) or ".." in parts or "" in parts:
        raise ValueError(f"{where}: file '{name}' must be a path relative to the manifest, inside its directory")


def parse(data: Any, path: str) -> Manifest:
    """Validates a decoded manifest; every inconsistency is a ValueError naming the manifest or shard."""
    where = f"manifest {path}"
    if not isinstance(data, dict):
        raise ValueError(f"{where}: expected a JSON object")
    version = _field(data, "format_version", int, where)
    if version != FORMAT_VERSION:
        raise ValueError(f"{where}: unsupported format_version {version} (this reader knows {FORMAT_VERSION})")
    metric = _field(data, "metric", str, where)
    if metric not in METRICS:
        raise ValueError(f"{where}: unknown metric '{metric}'")
    normalized = _field(data, "normalized", bool, where)
    dims = _field(data, "dims", int, where)
    rows = _field(data, "rows", int, where)
    if dims < 1 or rows < 1:
        raise ValueError(f"{where}: dims and rows must be positive, got {dims} and {rows}")
    raw_shards = _field(data, "shards", list, where)
    if not raw_shards:
        raise ValueError(f"{where}: no shards")
    shards = []
    for i, raw in enumerate(raw_shards):
        swhere = f"{where}, shard {i}"
        if not isinstance(raw, dict):
            raise ValueError(f"{swhere}: expected a JSON object")
        name = _field(raw, "file", str, swhere)
        _check_file_name(name, swhere)
        swhere = f"{where}, shard {i} ({name})"
        first = _field(raw, "first_row", int, swhere)
        count = _field(raw, "rows", int, swhere)
        digest = _field(raw, "index_hash", str, swhere)
        if first < 0 or count < 1:
            raise ValueError(f"{swhere}: first_row must be >= 0 and rows >= 1, got {first} and {count}")
        if not _HEX64.fullmatch(digest):
            raise ValueError(f"{swhere}: index_hash must be 64 lowercase hexadecimal digits")
        shards.append(Shard(name, first, count, digest))
    # Every global row must belong to exactly one shard, or merged row numbers would be ambiguous.
    expected = 0
    for i, s in sorted(enumerate(shards), key=lambda p: p[1].first_row):
        if s.first_row < expected:
            raise ValueError(f"{where}: shard {i} ({s.file}) rows {s.first_row}..{s.first_row + s.rows - 1} "
                             f"overlap rows before {expected}")
        if s.first_row > expected:
            raise ValueError(f"{where}: rows {expected}..{s.first_row - 1} are in no shard")
        expected += s.rows
    if expected != rows:
        raise ValueError(f"{where}: shards hold {expected} rows, manifest says {rows}")
    if len({s.file for s in shards}) != len(shards):
        raise ValueError(f"{where}: a shard file is listed twice")
    return Manifest(os.path.abspath(path), metric, normalized, dims, rows, tuple(shards))


def read(path: str) -> Manifest:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as exc:
        raise ValueError(f"manifest {path}: cannot be read: {exc.strerror or exc}") from exc
    try:
        data = json.loads(text)
    except ValueError as exc:
        raise ValueError(f"manifest {path}: not valid JSON: {exc}") from exc
    return parse(data, path)


def write(manifest: Manifest) -> None:
    """Replaces the manifest atomically: readers see the old file or the new one, never a mix,
    and the rename survives a crash once this returns."""
    directory = os.path.dirname(manifest.path)
    fd, tmp = tempfile.mkstemp(prefix=".manifest-", suffix=".tmp", dir=directory)
    try:
        os.chmod(tmp, 0o644)  # mkstemp's 0600 would hide the manifest from other users of a shared directory
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(manifest.to_json(), f, indent=1)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, manifest.path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    dfd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(dfd)
    finally:
        os.close(dfd)
