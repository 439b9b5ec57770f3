# Answers a file of queries against one index: hit lists in memory for a table, or straight
# into PREFIX.indices.npy and PREFIX.scores.npy, the queries going to the engine in slices.
from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

import rivezor
from rivezor_cli.index_report import naming
from rivezor_cli.progress import Progress

_NPY_MAGIC = b"\x93NUMPY"

# Queries per engine call: large enough for the batch paths to block their work, small
# enough for the progress bar to move and for one slice's results to stay small.
SLICE_QUERIES = 1024

_R = TypeVar("_R")
Consumer = Callable[[int, npt.NDArray[np.uint64], npt.NDArray[np.float32]], None]


def load_npy(path: str) -> npt.NDArray[Any]:
    """Memory-maps one .npy array; anything else is a ValueError naming the file."""
    try:
        with open(path, "rb") as f:
            magic = f.read(len(_NPY_MAGIC))
        if magic != _NPY_MAGIC:
            raise ValueError(f"{path}: not a .npy file (written by numpy.save)")
        value: npt.NDArray[Any] = np.load(path, mmap_mode="r", allow_pickle=False)
    except OSError as err:
        raise ValueError(f"{path}: {err.strerror or err}") from None
    except (ValueError, EOFError) as err:
        raise naming(path, err) from None
    return value


def _library(path: str, call: Callable[[], _R]) -> _R:
    try:
        return call()
    except (ValueError, TypeError, OverflowError) as err:
        raise naming(path, err) from None


def _slices(count: int) -> Iterator[tuple[int, int]]:
    for start in range(0, count, SLICE_QUERIES):
        yield start, min(start + SLICE_QUERIES, count)


def answer(engine: rivezor.PySearchEngine, queries: npt.NDArray[Any], k: int, queries_path: str,
           start_output: Callable[[tuple[int, ...]], Consumer], progress: Progress | None) -> None:
    """Searches every query and hands each slice's hits to the consumer that ``start_output``
    makes once the result width is known (from the first answer, so the library judges k).

    A 1-D file is one query and gives 1-D results; a 2-D file gives one result row per query.
    """
    if queries.ndim != 2:
        # One query, or a shape the library refuses with its own message.
        one = _library(queries_path, lambda: engine.query_exact_arrays(queries, k))
        start_output(one["indices"].shape)(0, one["indices"], one["scores"])
        if progress is not None:
            progress.advance(1)
        return
    count = queries.shape[0]
    consume: Consumer | None = None
    expected = 0
    for start, stop in _slices(max(count, 1)):
        # Row slices of a C-ordered array are contiguous already; this copies only other layouts.
        part = np.ascontiguousarray(queries[start:stop])
        got = _library(queries_path, lambda: engine.query_batch_arrays(part, k))
        indices, scores = got["indices"], got["scores"]
        if consume is None:
            width = indices.shape[1] if count else 0
            consume = start_output((count, width))
            expected = width
        if count and indices.shape[1] != expected:
            raise ValueError(f"{queries_path}: queries {start}-{stop - 1} have {indices.shape[1]} hits each, the "
                             f"first ones {expected}: the index holds rows without a finite score; ask a smaller k")
        if count:
            consume(start, indices, scores)
        if progress is not None:
            progress.advance(stop - start)


class TableOutput:
    """Keeps every hit in memory, for printing."""

    def __init__(self) -> None:
        self.indices: npt.NDArray[np.uint64] = np.zeros((0, 0), dtype=np.uint64)
        self.scores: npt.NDArray[np.float32] = np.zeros((0, 0), dtype=np.float32)

    def start(self, shape: tuple[int, ...]) -> Consumer:
        self.indices = np.zeros(shape, dtype=np.uint64)
        self.scores = np.zeros(shape, dtype=np.float32)

        def consume(start: int, indices: npt.NDArray[np.uint64], scores: npt.NDArray[np.float32]) -> None:
            self.indices[start:start + len(indices)] = indices
            self.scores[start:start + len(scores)] = scores

        return consume

    def commit(self) -> None:
        pass

    def discard(self) -> None:
        pass

    def lines(self) -> list[str]:
        rows = [("query", "rank", "row", "score")]
        indices = self.indices.reshape(1, -1) if self.indices.ndim == 1 else self.indices
        scores = self.scores.reshape(1, -1) if self.scores.ndim == 1 else self.scores
        for q in range(indices.shape[0]):
            for rank in range(indices.shape[1]):
                rows.append((str(q), str(rank + 1), str(int(indices[q, rank])), f"{float(scores[q, rank]):.6f}"))
        widths = [max(len(r[c]) for r in rows) for c in range(4)]
        return ["  ".join(cell.rjust(w) for cell, w in zip(r, widths)) for r in rows]


class FileOutput:
    """Writes PREFIX.indices.npy and PREFIX.scores.npy through memory maps of temporary files,
    renamed into place only when every query is answered, so a failed run leaves no half file."""

    def __init__(self, prefix: str) -> None:
        self.paths = (prefix + ".indices.npy", prefix + ".scores.npy")
        self._temps = tuple(p + ".tmp" for p in self.paths)
        self._arrays: list[npt.NDArray[Any]] = []

    def start(self, shape: tuple[int, ...]) -> Consumer:
        for temp, dtype in zip(self._temps, (np.uint64, np.float32)):
            try:
                self._arrays.append(np.lib.format.open_memmap(temp, mode="w+", dtype=dtype, shape=shape))
            except OSError as err:
                raise ValueError(f"{temp}: {err.strerror or err}") from None
        indices_out, scores_out = self._arrays

        def consume(start: int, indices: npt.NDArray[np.uint64], scores: npt.NDArray[np.float32]) -> None:
            indices_out[start:start + len(indices)] = indices
            scores_out[start:start + len(scores)] = scores

        return consume

    def commit(self) -> None:
        for array in self._arrays:
            if isinstance(array, np.memmap):
                array.flush()
        self._arrays.clear()
        for temp, path in zip(self._temps, self.paths):
            os.replace(temp, path)

    def lines(self) -> list[str]:
        return list(self.paths)

    def discard(self) -> None:
        self._arrays.clear()
        for temp in self._temps:
            try:
                os.remove(temp)
            except FileNotFoundError:
                pass
