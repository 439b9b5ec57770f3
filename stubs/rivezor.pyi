# Type stubs for the rivezor extension module: the engine class, result objects, the index
# writer, and the dictionaries the array, certified and diagnostic methods return.
from typing import Any, TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = ["PySearchEngine", "PyQueryResult", "py_prepare_bin_from_embeddings"]

_F32Array1 = np.ndarray[tuple[int], np.dtype[np.float32]]
_F32Array2 = np.ndarray[tuple[int, int], np.dtype[np.float32]]

class ArraysResult(TypedDict):
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
    idx: int
    score: float

class Certificate(TypedDict):
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
    block_id: int
    start: int
    end: int
    contribution: float

class ExplainResult(TypedDict):
    score_total: float
    block_size: int
    top_blocks: int
    num_blocks: int
    dims: int
    blocks: list[BlockContribution]
    residual: float

class CompareResult(TypedDict):
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
    @property
    def idx(self) -> int: ...
    @property
    def score(self) -> float: ...

@final
class PyQueryResult:
    @property
    def results(self) -> list[PyQueryItem]: ...
    @property
    def query_time_ms(self) -> float: ...
    @property
    def method_used(self) -> str: ...
    @property
    def index_hash(self) -> str | None: ...
    @property
    def query_hash(self) -> str | None: ...
    @property
    def engine_version(self) -> str | None: ...
    @property
    def metric(self) -> str | None: ...
    @property
    def normalized(self) -> bool | None: ...
    @property
    def dims(self) -> int | None: ...
    @property
    def rows(self) -> int | None: ...
    @property
    def index_path(self) -> str | None: ...

@final
class PySearchEngine:
    def __new__(cls, bin_path: str, ann: bool) -> PySearchEngine: ...
    def dims(self) -> int: ...
    def rows(self) -> int: ...
    def query_exact(self, query: _F32Array1, k: int) -> PyQueryResult: ...
    def query_exact_arrays(self, query: _F32Array1, k: int) -> ArraysResult: ...
    def query_batch(self, queries: _F32Array2, k: int) -> list[PyQueryResult]: ...
    def query_batch_arrays(self, queries: _F32Array2, k: int) -> BatchArraysResult: ...
    def query_exact_detailed(self, query: _F32Array1, k: int) -> PyQueryResult: ...
    def query_exact_certified(
        self, query: _F32Array1, k: int, block_size: int = 64, enable_pruning: bool = True
    ) -> CertifiedResult: ...
    def query_batch_exact_certified(
        self, queries: _F32Array2, k: int, block_size: int = 64, enable_pruning: bool = True
    ) -> list[CertifiedResult]: ...
    def query_batch_detailed(self, queries: _F32Array2, k: int) -> list[PyQueryResult]: ...
    def compare(
        self, query: _F32Array1, idx_a: int, idx_b: int, block_size: int, top_blocks: int
    ) -> CompareResult: ...
    def explain(self, query: _F32Array1, idx: int, block_size: int, top_blocks: int) -> ExplainResult: ...

def py_prepare_bin_from_embeddings(
    embeddings: _F32Array2,
    dims: int,
    rows: int,
    base_name: str,
    level: str,
    normalize: bool = False,
    ann: bool = False,
    seed: int = 0,
    metric: str = "cosine",
    output_dir: str | None = None,
) -> str: ...
