# Type stubs for the rivezor extension module: the engine class, result objects, the index
# writer, and the dictionaries the array, certified and diagnostic methods return.
#
# Editors show the docstrings below; the module itself carries none. Counts (k, block sizes,
# row numbers, dims, rows, seed) accept any integer-like object (int, numpy.int64, anything
# with __index__), hence SupportsIndex; a negative or oversized value raises OverflowError.
from typing import SupportsIndex, TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = ["PySearchEngine", "PyQueryResult", "py_prepare_bin_from_embeddings"]

_F32Array1 = np.ndarray[tuple[int], np.dtype[np.float32]]
_F32Array2 = np.ndarray[tuple[int, int], np.dtype[np.float32]]

# ---------------------------------------------------------------------------------------------
# Names for type checkers only.
#
# The result dictionaries' shapes below, and PyQueryItem, are NOT attributes of the module at
# run time: `rivezor.ArraysResult` or `rivezor.PyQueryItem` in executed code raises
# AttributeError although the checkers accept it. Use them only in annotations, imported under
#
#     from typing import TYPE_CHECKING
#     if TYPE_CHECKING:
#         from rivezor import ArraysResult, PyQueryItem
#
# with `from __future__ import annotations` or quoted annotations.
# ---------------------------------------------------------------------------------------------

class ArraysResult(TypedDict):
    """For type checkers only (no run-time name): what `query_exact_arrays` returns.

    `indices` (uint64) and `scores` (float32) are 1-D, best first."""

    indices: npt.NDArray[np.uint64]
    scores: npt.NDArray[np.float32]
    query_time_ms: float
    method_used: str
    index_hash: str
    metric: str
    normalized: bool
    dims: int
    rows: int
    index_path: str

class BatchArraysResult(TypedDict):
    """For type checkers only (no run-time name): what `query_batch_arrays` returns.

    `indices` (uint64) and `scores` (float32) have shape (queries, hits), one row per query,
    best first; `query_time_ms` and `method_used` have one entry per query. No `index_hash`."""

    indices: npt.NDArray[np.uint64]
    scores: npt.NDArray[np.float32]
    query_time_ms: npt.NDArray[np.float64]
    method_used: list[str]
    metric: str
    normalized: bool
    dims: int
    rows: int
    index_path: str

class CertifiedHit(TypedDict):
    """For type checkers only (no run-time name): one hit of a certified result."""

    idx: int
    score: float

class Certificate(TypedDict):
    """For type checkers only (no run-time name): how a certified answer was proved.

    `safe` is True when every row was either scored or pruned by a bound strictly worse than
    `kth_score`; `pruned_bound_values` and `threshold_evolution` keep at most 2048 entries."""

    total_candidates: int
    pruned_candidates: int
    full_evaluated: int
    kth_score: float
    bound_rule: str
    safe: bool
    block_size: int
    block_order: list[int]
    threshold_evolution: list[float]
    enable_pruning: bool
    simd_path: str
    compile_flags: str
    pruned_bound_values: list[float]
    bound_kind: str

class CertifiedResult(TypedDict):
    """For type checkers only (no run-time name): what the certified methods return per query."""

    results: list[CertifiedHit]
    query_time_ms: float
    method_used: str
    index_hash: str
    query_hash: str
    engine_version: str
    metric: str
    normalized: bool
    dims: int
    rows: int
    index_path: str
    certificate: Certificate

class BlockContribution(TypedDict):
    """For type checkers only (no run-time name): one dimension block [start, end) and its share."""

    block_id: int
    start: int
    end: int
    contribution: float

class ExplainResult(TypedDict):
    """For type checkers only (no run-time name): what `explain` returns."""

    score_total: float
    block_size: int
    top_blocks: int
    num_blocks: int
    dims: int
    blocks: list[BlockContribution]
    residual: float

class CompareResult(TypedDict):
    """For type checkers only (no run-time name): what `compare` returns."""

    score_a: float
    score_b: float
    delta_score_space: float
    block_size: int
    top_blocks: int
    num_blocks: int
    dims: int
    blocks: list[BlockContribution]
    residual: float

@final
class PyQueryItem:
    """One hit: a row number and its score. For type checkers only as a name: the class is
    reached at run time only through `PyQueryResult.results` (`type(result.results[0])`)."""

    @property
    def idx(self) -> int:
        """Row number in the index file, counted from 0 in file order."""
    @property
    def score(self) -> float:
        """The float32 score widened to float: a dot product for cosine and dot (higher is
        better), a squared Euclidean distance for euclidean (lower is better)."""

# ---------------------------------------------------------------------------------------------
# The module's run-time names.
# ---------------------------------------------------------------------------------------------

@final
class PyQueryResult:
    """The answer to one query. Made only by the engine (calling the class raises TypeError).

    Plain results (`query_exact`, `query_batch`) set `results`, `query_time_ms` and
    `method_used`; every other field is None. Detailed results set every field."""

    @property
    def results(self) -> list[PyQueryItem]:
        """The hits, best first; a new list on every read. Empty for k = 0."""
    @property
    def query_time_ms(self) -> float:
        """The engine's time for this query, in milliseconds."""
    @property
    def method_used(self) -> str:
        """The execution path that answered, e.g. "exact" or "exact-chunked"."""
    @property
    def index_hash(self) -> str | None:
        """BLAKE3 fingerprint of the index file as opened, 64 lowercase hex digits (detailed only)."""
    @property
    def query_hash(self) -> str | None:
        """BLAKE3 fingerprint of the query's float32 bytes (detailed only)."""
    @property
    def engine_version(self) -> str | None:
        """The engine version, "1.1.0" (detailed only)."""
    @property
    def metric(self) -> str | None:
        """"cosine", "dot" or "euclidean" (detailed only)."""
    @property
    def normalized(self) -> bool | None:
        """True exactly for a cosine index, whose rows are stored at unit length (detailed only)."""
    @property
    def dims(self) -> int | None:
        """Vector length of the index (detailed only)."""
    @property
    def rows(self) -> int | None:
        """Number of rows of the index (detailed only)."""
    @property
    def index_path(self) -> str | None:
        """Canonical absolute path of the index file (detailed only)."""

@final
class PySearchEngine:
    """An index file opened for exact top-k search (the file stays memory-mapped read-only).

    Queries are C-contiguous float32 NumPy arrays, 1-D for one query and 2-D (one row per query)
    for a batch; anything else raises TypeError. The engine never normalises a query: on a
    cosine index, divide the query by its norm for true cosine similarity. Hits come best first:
    highest score for cosine and dot, smallest squared distance for euclidean, ties by lower row.
    k = 0 gives no hits; k above the row count gives every row. Rows whose score is not finite
    are never hits. Engine errors raise ValueError with the engine's message."""

    def __new__(cls, bin_path: str, ann: bool) -> PySearchEngine:
        """Opens `bin_path` (a str), checks its header and computes its fingerprint.

        `ann` must be a bool and has no effect: every search is exact. Raises ValueError for a
        missing, short or malformed file ("File too small: ...", "Unknown metric id: ...")."""
    def dims(self) -> int:
        """Vector length of the index."""
    def rows(self) -> int:
        """Number of rows (vectors) of the index."""
    def query_exact(self, query: _F32Array1, k: SupportsIndex) -> PyQueryResult:
        """The best k rows for one query, as a plain PyQueryResult."""
    def query_exact_arrays(self, query: _F32Array1, k: SupportsIndex) -> ArraysResult:
        """The best k rows for one query as NumPy arrays (`indices` uint64, `scores` float32)
        plus the index fingerprint and description."""
    def query_batch(self, queries: _F32Array2, k: SupportsIndex) -> list[PyQueryResult]:
        """The best k rows for every row of `queries`: one plain PyQueryResult per query."""
    def query_batch_arrays(self, queries: _F32Array2, k: SupportsIndex) -> BatchArraysResult:
        """The best k rows for every query as 2-D arrays of shape (queries, hits).

        Raises ValueError ("invalid length: ...") when queries get different hit counts, which
        happens only when the index holds rows without a finite score."""
    def query_exact_detailed(self, query: _F32Array1, k: SupportsIndex) -> PyQueryResult:
        """As `query_exact`, with every field set: index and query fingerprints, engine version,
        metric, dims, rows and index path."""
    def query_exact_certified(
        self, query: _F32Array1, k: SupportsIndex, block_size: SupportsIndex = 64, enable_pruning: bool = True
    ) -> CertifiedResult:
        """The best k rows with a certificate of the proof: rows are bounded `block_size`
        dimensions at a time and pruned when the bound cannot beat the k-th score.

        `block_size` 0 counts as 1; `enable_pruning` (a bool) False scores every row in full."""
    def query_batch_exact_certified(
        self, queries: _F32Array2, k: SupportsIndex, block_size: SupportsIndex = 64, enable_pruning: bool = True
    ) -> list[CertifiedResult]:
        """`query_exact_certified` for every row of `queries`, in order; the first failure raises."""
    def query_batch_detailed(self, queries: _F32Array2, k: SupportsIndex) -> list[PyQueryResult]:
        """As `query_batch`, with every field set; each result has its own `query_hash`."""
    def compare(
        self,
        query: _F32Array1,
        idx_a: SupportsIndex,
        idx_b: SupportsIndex,
        block_size: SupportsIndex,
        top_blocks: SupportsIndex,
    ) -> CompareResult:
        """Which dimension blocks make row `idx_a` score better (positive contribution) or worse
        than row `idx_b` for this query; the `top_blocks` largest by absolute value are listed,
        the rest summed in `residual`. ValueError: "Index out of bounds", "block_size must be > 0",
        "top_blocks must be > 0"."""
    def explain(
        self, query: _F32Array1, idx: SupportsIndex, block_size: SupportsIndex, top_blocks: SupportsIndex
    ) -> ExplainResult:
        """Which dimension blocks make up row `idx`'s score (for euclidean, the negated squared
        distance); the `top_blocks` largest by absolute value are listed, the rest summed in
        `residual`."""

def py_prepare_bin_from_embeddings(
    embeddings: _F32Array2,
    dims: SupportsIndex,
    rows: SupportsIndex,
    base_name: str,
    level: str,
    normalize: bool = False,
    ann: bool = False,
    seed: SupportsIndex = 0,
    metric: str = "cosine",
    output_dir: str | None = None,
) -> str:
    """Writes an index file from a C-contiguous 2-D float32 array and returns its path.

    The file is `{base_name}_{level}.bin` in `output_dir` (created if missing; None means
    ~/.zarir/indexes), with characters other than letters, digits, "-" and "_" dropped from
    `base_name`. `rows` * `dims` must equal the array's size (1 <= dims <= 10000,
    1 <= rows <= 50000000). `level` ("f8", "f16", "f32" or "f64") only names the file: rows are
    always stored as float32. `metric`: "cosine" ("cos", "norm_cosine", "normalized_cosine",
    "normalized-cosine"), "dot" ("dotproduct", "dot_product") or "euclidean" ("l2",
    "euclidian"), any letter case. Cosine always stores rows at unit length; `normalize` does
    the same for the other metrics. `ann` and `seed` are accepted and ignored. A row that
    cannot be normalised (all zero, NaN or infinite) is stored as zeros. The file is written
    beside a temporary one and moved into place, replacing an older one of the same name."""
