# What `info` and `verify` report about an index file: the engine's own view (dims, rows,
# metric, fingerprint) and a pass over the stored rows to tell whether they are unit length.
from __future__ import annotations

import dataclasses
import os

import numpy as np

import rivezor

HEADER_BYTES = 12
# A row counts as unit length when its norm is within this of 1; rows the writer normalised
# are off by a few float32 roundings, far below it.
UNIT_TOLERANCE = 1e-4
# Rows are read in slices of about this many bytes, so the check never holds the matrix.
_SLICE_BYTES = 16 << 20


@dataclasses.dataclass(frozen=True)
class RowNorms:
    unit: int
    zero: int
    non_finite: int
    other: int


@dataclasses.dataclass(frozen=True)
class IndexInfo:
    path: str
    dims: int
    rows: int
    metric: str
    file_size: int
    fingerprint: str
    norms: RowNorms | None  # None when the check was not asked for or the matrix is empty

    @property
    def matrix_bytes(self) -> int:
        return HEADER_BYTES + 4 * self.rows * self.dims


def naming(path: str, err: BaseException) -> ValueError:
    """The library's message unchanged, behind the file's name unless the message has it."""
    text = str(err)
    return ValueError(text if path in text else f"{path}: {text}")


def open_engine(path: str) -> rivezor.PySearchEngine:
    """Opens the index; the library's refusal comes back as ValueError naming the file."""
    try:
        return rivezor.PySearchEngine(path, False)
    except (ValueError, TypeError, OverflowError) as err:
        raise naming(path, err) from None


def engine_facts(engine: rivezor.PySearchEngine) -> tuple[str, str]:
    """The metric name and the fingerprint, from a search for no hits (which scans nothing)."""
    empty = engine.query_exact_arrays(np.zeros(engine.dims(), dtype=np.float32), 0)
    return empty["metric"], empty["index_hash"]


def row_norms(path: str, rows: int, dims: int) -> RowNorms | None:
    if rows == 0 or dims == 0:
        return None
    matrix = np.memmap(path, dtype="<f4", mode="r", offset=HEADER_BYTES, shape=(rows, dims))
    step = max(1, _SLICE_BYTES // (4 * dims))
    unit = zero = non_finite = 0
    for start in range(0, rows, step):
        block = np.asarray(matrix[start:start + step], dtype=np.float64)
        norms = np.sqrt(np.einsum("ij,ij->i", block, block))
        finite = np.isfinite(norms)
        non_finite += int(np.count_nonzero(~finite))
        zero += int(np.count_nonzero(norms == 0.0))
        unit += int(np.count_nonzero(finite & (np.abs(norms - 1.0) <= UNIT_TOLERANCE)))
    del matrix
    return RowNorms(unit=unit, zero=zero, non_finite=non_finite, other=rows - unit - zero - non_finite)


def describe(path: str, check_rows: bool = True) -> IndexInfo:
    engine = open_engine(path)
    metric, fingerprint = engine_facts(engine)
    dims, rows = engine.dims(), engine.rows()
    # Closing the engine's mapping first keeps the row pass from counting the file twice in RSS.
    del engine
    norms = row_norms(path, rows, dims) if check_rows else None
    return IndexInfo(path=os.path.abspath(path), dims=dims, rows=rows, metric=metric,
                     file_size=os.stat(path).st_size, fingerprint=fingerprint, norms=norms)


def unit_rows_text(norms: RowNorms | None) -> str:
    if norms is None:
        return "n/a (no rows)"
    if norms.other == 0 and norms.non_finite == 0:
        return "yes" if norms.zero == 0 else f"yes, except {norms.zero} all-zero rows"
    total = norms.unit + norms.zero + norms.non_finite + norms.other
    reasons = []
    if norms.other:
        reasons.append(f"{norms.other} of {total} rows are not unit length")
    if norms.non_finite:
        reasons.append(f"{norms.non_finite} hold NaN or infinity")
    if norms.zero:
        reasons.append(f"{norms.zero} are all zero")
    return "no (" + ", ".join(reasons) + ")"
