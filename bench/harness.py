# Shared machinery of the benchmark: thread limits for each library, machine facts (BLAS
# kernels, FMA peak, read bandwidth), the seeded data cache, the alternating timer and the tables.
import gc
import json
import os
import platform
import random
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

METRIC_IDS = {"cosine": 0, "dot": 1, "euclidean": 2}
# Bump a kind's version when its generator changes, so stale cached files are never reused.
# Bumped when the bytes or the way the files are written change (gauss 2, clustered 3: written
# by rivezor's own writer, as users write index files).
DATA_VERSIONS = {"gauss": 2, "clustered": 3, "embed": 1}


# ----------------------------------------------------------------------------------------------
# Contenders and the process they run in


def _import_optional(name):
    try:
        return __import__(name), None
    except Exception as exc:  # a missing optional contender must not stop the other suites
        return None, f"{type(exc).__name__}: {exc}"


class Context:
    """Everything the suites share: libraries, limits, machine facts, results for the summary."""

    @classmethod
    def create(cls, args, removed_vars):
        self = cls()
        self.args = args
        self.quick = args.quick
        self.threads = args.threads
        self.removed_vars = removed_vars
        self.cache_dir = args.cache_dir or os.path.join(tempfile.gettempdir(), "rivezor-bench")
        os.makedirs(self.cache_dir, exist_ok=True)
        self.load_start = os.getloadavg()
        self.summary = []

        # NumPy's BLAS is the only library loaded so far: limiting this controller now touches it
        # alone (rivezor loads none; an older build's bundled OpenBLAS kept its own setting).
        import threadpoolctl

        self.threadpoolctl = threadpoolctl
        self._numpy_limiter = threadpoolctl.ThreadpoolController().limit(limits=self.threads)

        self.faiss, self.faiss_error = _import_optional("faiss")
        if self.faiss is not None:
            self.faiss.omp_set_num_threads(self.threads)
            ctl = threadpoolctl.ThreadpoolController()
            faiss_dir = os.path.dirname(os.path.dirname(self.faiss.__file__))
            faiss_libs = [c.filepath for c in ctl.lib_controllers if c.filepath.startswith(faiss_dir + os.sep + "faiss")]
            if faiss_libs:
                self._faiss_limiter = ctl.select(filepath=faiss_libs).limit(limits=self.threads)
        self.rivezor, self.rivezor_error = _import_optional("rivezor")
        return self

    # -- capabilities ------------------------------------------------------------------------

    def has(self, *names):
        """True when rivezor exposes every dotted name, e.g. 'PySearchEngine.query_exact_arrays'."""
        if self.rivezor is None:
            return False
        for name in names:
            obj = self.rivezor
            for part in name.split("."):
                obj = getattr(obj, part, None)
                if obj is None:
                    return False
        return True

    def require(self, suite, *names, faiss=True):
        """Prints the skip line and returns False when the suite cannot run."""
        missing = []
        if self.rivezor is None:
            missing.append(f"rivezor ({self.rivezor_error})")
        else:
            missing += [f"rivezor.{n}" for n in names if not self.has(n)]
        if faiss and self.faiss is None:
            missing.append(f"faiss ({self.faiss_error})")
        if missing:
            print(f"skipped: not available ({', '.join(missing)})")
            self.summary.append((suite, "skipped: not available", "", ""))
            return False
        return True

    def repeats(self, full, quick):
        if self.args.repeats is not None:
            return self.args.repeats
        return quick if self.quick else full

    def pause(self):
        return self.args.pause if self.args.pause is not None else (0.01 if self.quick else 0.1)

    def warmup(self, default=2):
        if self.args.warmup is not None:
            return self.args.warmup
        return 1 if self.quick else default

    def open_engine(self, path):
        return self.rivezor.PySearchEngine(path, False)

    # -- machine facts -------------------------------------------------------------------------

    def cpu(self):
        if not hasattr(self, "_cpu"):
            self._cpu = cpu_facts(self.threads)
        return self._cpu

    def native(self):
        if not hasattr(self, "_native"):
            self._native = NativeLimits(self)
        return self._native

    def print_environment(self):
        cpu = self.cpu()
        print("# rivezor benchmark")
        print(f"python {platform.python_version()}, numpy {np.__version__}, "
              f"faiss {getattr(self.faiss, '__version__', 'missing')}, "
              f"rivezor from {getattr(self.rivezor, '__file__', self.rivezor_error)}")
        print(f"mode: {'quick' if self.quick else 'full'}; cache: {self.cache_dir}")
        print(f"removed from the environment for every contender: OPENBLAS_CORETYPE, OPENBLAS_L2_SIZE "
              f"(and rivezor path switches); values they had: {self.removed_vars}")
        print(f"threads: ZARIR_THREADS={os.environ.get('ZARIR_THREADS')}, "
              f"faiss.omp_set_num_threads({self.threads}), threadpoolctl limit {self.threads} on NumPy's "
              f"and FAISS's BLAS; OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS')}, "
              f"OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS')}")
        extra = {k: v for k, v in os.environ.items() if k.startswith("ZARIR_") and k != "ZARIR_THREADS"}
        if extra:
            print(f"rivezor switches set with --set: {extra}")
        print(f"cpu: {cpu['model']}, {cpu['logical']} logical CPUs, flags: {cpu['simd']}")
        print(f"FMA peak estimate: {cpu['peak_formula']}")
        print(f"load average at start: {fmt_load(self.load_start)}")
        print("BLAS libraries seen by threadpoolctl (architecture = the OpenBLAS kernel set in use):")
        for info in self.threadpoolctl.threadpool_info():
            owner = blas_owner(info["filepath"])
            print(f"  - {owner}: {info.get('internal_api')} {info.get('version') or ''} "
                  f"{os.path.basename(info['filepath'])}, architecture={info.get('architecture', '-')}, "
                  f"threads={info.get('num_threads')}, layer={info.get('threading_layer', '-')}")
        feats = numpy_simd()
        if feats:
            print(f"NumPy SIMD: {feats}")
        if self.faiss is not None and hasattr(self.faiss, "get_compile_options"):
            print(f"FAISS compile options: {self.faiss.get_compile_options()}")

    def record(self, suite, target, measured, met):
        verdict = "met" if met else "MISSED"
        if met is None:
            verdict = "n/a"
        self.summary.append((suite, target, measured, verdict))

    def print_summary(self):
        print("\n## summary of targets")
        rows = [[s, t, m, v] for s, t, m, v in self.summary]
        print_table(["suite", "target", "measured", "verdict"], rows)
        print(f"\nload average at start: {fmt_load(self.load_start)}, at end: {fmt_load(os.getloadavg())} "
              f"({self.cpu()['logical']} logical CPUs; a load above that means the numbers are noisy)")


def fmt_load(load):
    return ", ".join(f"{x:.2f}" for x in load)


def blas_owner(path):
    if "numpy" in path:
        return "NumPy"
    if "faiss" in path:
        return "FAISS"
    if "rivezor" in path:
        return "rivezor"
    return "other"


def numpy_simd():
    try:
        from numpy._core._multiarray_umath import __cpu_baseline__, __cpu_dispatch__, __cpu_features__
    except ImportError:
        return ""
    found = [f for f in __cpu_dispatch__ if __cpu_features__.get(f)]
    return f"baseline {' '.join(__cpu_baseline__)}; dispatched and found {' '.join(found)}"


def cpu_facts(threads):
    model, mhz, flags = platform.processor() or "unknown", [], set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                key = key.strip()
                if key == "model name":
                    model = value.strip()
                elif key == "cpu MHz":
                    mhz.append(float(value))
                elif key == "flags" and not flags:
                    flags = set(value.split())
    except OSError:
        pass
    logical = os.cpu_count() or 1
    ghz, source = None, None
    max_freq = "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"
    if os.path.exists(max_freq):
        with open(max_freq) as f:
            ghz, source = int(f.read()) / 1e6, "cpufreq cpuinfo_max_freq (highest clock the kernel reports)"
    elif mhz:
        ghz, source = max(mhz) / 1000.0, "/proc/cpuinfo 'cpu MHz' (no cpufreq here; a VM reports its nominal clock, boost may run higher)"
    has_avx2, has_fma = "avx2" in flags, "fma" in flags
    lanes = 8 if has_avx2 else 4
    cores = min(threads, logical)
    peak = None
    if ghz:
        peak = 2 * lanes * 2 * ghz * cores
        formula = (f"2 FMA units x {lanes} float32 lanes ({'AVX2' if has_avx2 else 'SSE'}) x 2 flops x "
                   f"{ghz:.3f} GHz x {cores} cores = {peak:.1f} GFLOP/s; GHz from {source}")
    else:
        formula = "unknown (no clock frequency found)"
    simd = " ".join(f for f in ("sse4_2", "avx", "avx2", "fma", "avx512f") if f in flags)
    return {"model": model, "logical": logical, "ghz": ghz, "peak_gflops": peak, "peak_formula": formula,
            "simd": simd}


class NativeLimits:
    """The machine's limits measured by bench/native.cpp, a small C++ library built here with the
    system compiler and loaded with ctypes (the module exports nothing of it):
    - a streaming AVX2 read of an index body through the very mapping the engine searches,
      split over the same thread count;
    - runs of many independent 8-lane (and, with AVX-512, 16-lane) FMA chains on the same thread
      count (the peak rates)."""

    SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "native.cpp")

    def __init__(self, ctx):
        import ctypes
        import hashlib
        import subprocess

        self.threads = ctx.threads
        with open(self.SOURCE, "rb") as f:
            tag = hashlib.sha256(f.read()).hexdigest()[:16]
        lib = os.path.join(ctx.cache_dir, f"rivezor_bench_native_{tag}.so")
        if not os.path.exists(lib):
            tmp = f"{lib}.{os.getpid()}.tmp"
            cxx = os.environ.get("CXX", "c++")
            subprocess.run([cxx, "-O2", "-std=c++17", "-shared", "-fPIC", "-pthread", self.SOURCE, "-o", tmp],
                           check=True)
            os.replace(tmp, lib)
        self.lib = ctypes.CDLL(lib)  # ctypes releases the GIL around each call
        self.lib.rz_stream_sum.restype = ctypes.c_double
        self.lib.rz_stream_sum.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        self.lib.rz_fma_peak.restype = ctypes.c_double
        self.lib.rz_fma_peak.argtypes = [ctypes.c_int, ctypes.c_long]
        self.lib.rz_fma_peak_512.restype = ctypes.c_double
        self.lib.rz_fma_peak_512.argtypes = [ctypes.c_int, ctypes.c_long]
        self.has_avx512 = bool(self.lib.rz_has_avx512())
        self.chains = int(self.lib.rz_fma_chains())
        self.fma_iters = 2_000_000 if ctx.quick else 20_000_000

    def reader(self, address, nbytes):
        """A contender that reads nbytes from address (a live mapping) on the benchmark's threads."""
        count, threads, fn = nbytes // 4, self.threads, self.lib.rz_stream_sum
        return lambda: fn(address, count, threads)

    def fma_peak(self, lanes=8):
        threads, iters = self.threads, self.fma_iters
        fn = self.lib.rz_fma_peak if lanes == 8 else self.lib.rz_fma_peak_512
        return lambda: fn(threads, iters)

    def fma_flops(self, lanes=8):
        """Flops of one fma_peak(lanes) call: threads x steps x chains x lanes x 2."""
        return self.threads * self.fma_iters * self.chains * lanes * 2


def file_mappings(path):
    """{(start, end)} of this process's mappings of path from offset 0, adjacent pieces joined."""
    real = os.path.realpath(path)
    pieces = []
    with open("/proc/self/maps") as f:
        for line in f:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and fields[5].strip() == real:
                lo, hi = (int(x, 16) for x in fields[0].split("-"))
                pieces.append((lo, hi, int(fields[2], 16)))
    pieces.sort()
    joined = []
    for lo, hi, off in pieces:
        if joined and joined[-1][1] == lo and joined[-1][2] + (joined[-1][1] - joined[-1][0]) == off:
            joined[-1] = (joined[-1][0], hi, joined[-1][2])
        else:
            joined.append((lo, hi, off))
    return {(lo, hi) for lo, hi, off in joined if off == 0}


def engine_mapping(path, before, nbytes, header=12):
    """Address of the index body inside the mapping that appeared since `before` (the engine's)."""
    new = [m for m in file_mappings(path) - before if m[1] - m[0] >= header + nbytes]
    if len(new) != 1:
        raise RuntimeError(f"cannot tell the engine's mapping of {path}: {len(new)} new mappings")
    return new[0][0] + header


# ----------------------------------------------------------------------------------------------
# Generated data, cached as index files


def index_path(ctx, kind, rows, dims, metric, seed):
    return os.path.join(ctx.cache_dir, f"{kind}_{rows}x{dims}_{metric}_seed{seed}_v{DATA_VERSIONS[kind]}.bin")


def _normalise_rows(block):
    norms = np.linalg.norm(block, axis=1, keepdims=True)
    norms[norms == 0] = 1
    block /= norms


def _gauss_block(rng, n, dims, _state):
    return rng.standard_normal((n, dims), dtype=np.float32)


def _clustered_state(dims, seed):
    """1024 Gaussian cluster centres; rows are a centre plus smaller Gaussian noise."""
    rng = np.random.default_rng(seed + 7919)
    return {"centres": rng.standard_normal((1024, dims), dtype=np.float32)}


def _clustered_block(rng, n, dims, state):
    assign = rng.integers(0, len(state["centres"]), size=n)
    return state["centres"][assign] + 0.3 * rng.standard_normal((n, dims), dtype=np.float32)


def _embed_state(dims, seed):
    """Text-embedding-like rows: 2048 clusters of uneven sizes whose energy falls off as a power
    of the component number, turned by a random rotation so no axis is special."""
    rng = np.random.default_rng(seed + 15485863)
    scale = (1.0 + np.arange(dims)) ** -0.6
    centres = rng.standard_normal((2048, dims)) * scale
    weights = 1.0 / (1.0 + np.arange(2048)) ** 0.8
    rotation, _ = np.linalg.qr(rng.standard_normal((dims, dims)))
    return {"centres": centres.astype(np.float32), "scale": scale.astype(np.float32),
            "p": weights / weights.sum(), "rotation": rotation.astype(np.float32)}


def _embed_block(rng, n, dims, state):
    assign = rng.choice(len(state["centres"]), size=n, p=state["p"])
    noise = 0.6 * rng.standard_normal((n, dims), dtype=np.float32) * state["scale"]
    return (state["centres"][assign] + noise) @ state["rotation"]


GENERATORS = {"gauss": (_gauss_block, lambda dims, seed: None),
              "clustered": (_clustered_block, _clustered_state),
              "embed": (_embed_block, _embed_state)}


def make_index(ctx, kind, rows, dims, metric, seed):
    """Path of a cached index file of generated rows (unit rows for cosine); built on first use."""
    path = index_path(ctx, kind, rows, dims, metric, seed)
    expected = 12 + 4 * rows * dims
    if os.path.exists(path) and os.path.getsize(path) == expected:
        return path
    block_fn, state_fn = GENERATORS[kind]
    state = state_fn(dims, seed)
    rng = np.random.default_rng(seed)
    t0 = time.perf_counter()
    blocks = []
    step = max(1, (64 << 20) // (4 * dims))
    for start in range(0, rows, step):
        block = block_fn(rng, min(step, rows - start), dims, state)
        if metric == "cosine":
            _normalise_rows(block)
        blocks.append(np.ascontiguousarray(block, dtype=np.float32))
    matrix = np.concatenate(blocks)
    del blocks
    writer = getattr(ctx.rivezor, "py_prepare_bin_from_embeddings", None) if ctx.rivezor else None
    if writer is not None:
        # The library's writer, as users write index files: rows unchanged (cosine rows are
        # already unit length), the file laid out in the page cache the way users' files are.
        staging = tempfile.mkdtemp(dir=ctx.cache_dir)
        try:
            written = writer(matrix, dims, rows, "bench", "f32", normalize=False, metric=metric, output_dir=staging)
            os.replace(written, path)
        finally:
            shutil.rmtree(staging, ignore_errors=True)
    else:
        tmp = f"{path}.{os.getpid()}.tmp"
        with open(tmp, "wb") as f:
            f.write(np.array([dims, rows, METRIC_IDS[metric]], dtype="<u4").tobytes())
            f.write(matrix.astype("<f4", copy=False).tobytes())
        os.replace(tmp, path)  # a killed run never leaves a truncated file under the cached name
    print(f"(generated {os.path.basename(path)} in {time.perf_counter() - t0:.1f} s)")
    return path


def large_page_share(path):
    """Share of this process's mapping of `path` that the kernel maps in 2 MiB pages (from
    /proc/self/smaps), or None where that is not reported."""
    try:
        with open("/proc/self/smaps") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    real = os.path.realpath(path)
    rss = pmd = 0
    for i, line in enumerate(lines):
        if line.endswith(" " + real):
            for field in lines[i + 1:i + 30]:
                if field.startswith("Rss:"):
                    rss += int(field.split()[1])
                elif field.startswith("FilePmdMapped:"):
                    pmd += int(field.split()[1])
    return pmd / rss if rss else None


def load_matrix(path):
    """The index body as an in-memory float32 array (the copy NumPy and FAISS work on)."""
    dims, rows, _ = np.fromfile(path, dtype="<u4", count=3)
    return np.fromfile(path, dtype="<f4", offset=12).reshape(int(rows), int(dims))


def make_queries(n, dims, metric, seed, near=None, noise=0.05):
    rng = np.random.default_rng(seed + 104729)
    if near is not None:
        picks = near[rng.integers(0, len(near), size=n)]
        q = picks + noise * rng.standard_normal(picks.shape, dtype=np.float32) * np.abs(picks).mean()
    else:
        q = rng.standard_normal((n, dims), dtype=np.float32)
    q = np.ascontiguousarray(q, dtype=np.float32)
    if metric == "cosine":
        _normalise_rows(q)
    return q


# ----------------------------------------------------------------------------------------------
# Timing


def time_alternating(contenders, warmup, repeats, before=None, inner=1, pause=0.0):
    """Median seconds per call for each contender.

    Each repeat runs every contender once, in a freshly shuffled order (seeded), so load drifts
    hit all of them alike and no contender always follows the same one. Before each contender
    the loop sleeps `pause` seconds: BLAS and OpenMP worker threads spin for a while after a
    call, and must not steal cycles from the next contender. One sample is the mean of `inner`
    back-to-back calls (for sub-millisecond work). Return values live until the clock has
    stopped, so teardown (unmapping, freeing) is not timed, nor is `before[name]` (untimed set-up
    such as removing the previous output file)."""
    names = list(contenders)
    before = before or {}
    shuffle = random.Random(20240611).shuffle
    for _ in range(warmup):
        for name in names:
            if name in before:
                before[name]()
            contenders[name]()
    times = {name: [] for name in names}
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeats):
            order = names[:]
            shuffle(order)
            for name in order:
                if name in before:
                    before[name]()
                if pause:
                    time.sleep(pause)
                f = contenders[name]
                t0 = time.perf_counter()
                results = [f() for _ in range(inner)]
                t1 = time.perf_counter()
                del results
                times[name].append((t1 - t0) / inner)
    finally:
        gc.enable()
    return {name: Timing(ts) for name, ts in times.items()}


class Timing:
    def __init__(self, seconds):
        self.all = sorted(seconds)
        self.median = statistics.median(seconds)
        self.ms = self.median * 1e3

    def spread(self):
        return f"{fmt_ms(self.all[0] * 1e3)}-{fmt_ms(self.all[-1] * 1e3)}"


# ----------------------------------------------------------------------------------------------
# Checking answers


def exact_scores(X, q, idx, metric):
    """Float64 scores of the given rows, the reference for comparing hit lists up to ties."""
    idx = np.asarray(idx, dtype=np.int64)
    rows = X[idx].astype(np.float64)
    q64 = q.astype(np.float64)
    if metric == "euclidean":
        return ((rows - q64) ** 2).sum(axis=1)
    return rows @ q64


def same_topk(X, q, idx_a, idx_b, metric, rel=2e-5):
    """(ok, note): two hit lists agree when equal, or when only near-tied rows swap places: the
    sorted exact scores of both lists match within float32 rounding."""
    a, b = np.asarray(idx_a, dtype=np.int64), np.asarray(idx_b, dtype=np.int64)
    if len(a) != len(b):
        return False, f"{len(a)} hits vs {len(b)}"
    if np.array_equal(a, b):
        return True, "same"
    if len(set(a.tolist())) != len(a):
        return False, "duplicate rows"
    sa, sb = np.sort(exact_scores(X, q, a, metric)), np.sort(exact_scores(X, q, b, metric))
    gap = np.abs(sa - sb)
    tol = rel * np.maximum(1.0, np.maximum(np.abs(sa), np.abs(sb)))
    if np.all(gap <= tol):
        return True, "ties"
    return False, f"score gap {gap.max():.3g}"


def check_batch(X, Q, idx_a, idx_b, metric):
    notes = []
    for i in range(len(Q)):
        ok, note = same_topk(X, Q[i], idx_a[i], idx_b[i], metric)
        if not ok:
            return f"WRONG (query {i}: {note})"
        notes.append(note)
    return "ok" if all(n == "same" for n in notes) else "ok (ties)"


def verdict(ok_note):
    ok, note = ok_note
    if ok:
        return "ok" if note == "same" else "ok (ties)"
    return f"WRONG ({note})"


# ----------------------------------------------------------------------------------------------
# Baselines


def numpy_topk(scores, k, larger_is_better):
    key = -scores if larger_is_better else scores
    k = min(k, len(key))
    if k == 0:
        return np.empty(0, dtype=np.int64)
    part = np.argpartition(key, k - 1)[:k] if k < len(key) else np.arange(len(key))
    return part[np.lexsort((part, key[part]))]


def numpy_topk_rows(scores, k, larger_is_better):
    key = -scores if larger_is_better else scores
    k = min(k, key.shape[1])
    part = np.argpartition(key, k - 1, axis=1)[:, :k]
    order = np.argsort(np.take_along_axis(key, part, axis=1), axis=1, kind="stable")
    return np.take_along_axis(part, order, axis=1)


def faiss_index(ctx, X, metric):
    faiss = ctx.faiss
    index = faiss.IndexFlatL2(X.shape[1]) if metric == "euclidean" else faiss.IndexFlatIP(X.shape[1])
    index.add(X)
    return index


# ----------------------------------------------------------------------------------------------
# Child process with its own thread count (one rivezor pool per process)

CHILD_CODE = r"""
import json, sys, time
import numpy as np
import rivezor
engine = rivezor.PySearchEngine(sys.argv[1], False)
queries = np.load(sys.argv[2])
k = int(sys.argv[3])
for q in queries:
    engine.query_exact_arrays(q, k)
print(json.dumps({"ready": True}), flush=True)
for line in sys.stdin:
    i = int(line)
    t0 = time.perf_counter()
    out = engine.query_exact_arrays(queries[i], k)
    t1 = time.perf_counter()
    print(json.dumps({"t": t1 - t0, "method": out["method_used"], "idx": out["indices"].tolist()}), flush=True)
"""


class ChildSearcher:
    """A rivezor engine in a separate interpreter with its own ZARIR_THREADS; each call runs one
    query there and returns the child's own timing, so it can alternate with in-process contenders."""

    def __init__(self, ctx, path, queries, k, threads, extra_env=None):
        import subprocess

        qfile = os.path.join(ctx.cache_dir, f"child_queries_{os.getpid()}.npy")
        np.save(qfile, queries)
        env = dict(os.environ)
        env["ZARIR_THREADS"] = str(threads)
        for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "RAYON_NUM_THREADS"):
            env[name] = str(threads)
        env.update(extra_env or {})
        module_dir = os.path.dirname(ctx.rivezor.__file__)
        env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in [env.get("PYTHONPATH")] if p])
        self.qfile = qfile
        self.proc = subprocess.Popen([sys.executable, "-c", CHILD_CODE, path, qfile, str(k)], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline()
        if not first:
            self.close()
            raise RuntimeError("child process failed to start (see its stderr above)")
        self.last = None
        self.child_times = []

    def run(self, i):
        self.proc.stdin.write(f"{i}\n")
        self.proc.stdin.flush()
        self.last = json.loads(self.proc.stdout.readline())
        self.child_times.append(self.last["t"])
        return self.last

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
        finally:
            if os.path.exists(self.qfile):
                os.remove(self.qfile)


# ----------------------------------------------------------------------------------------------
# Output


def fmt_ms(ms):
    if ms >= 100:
        return f"{ms:.1f}"
    if ms >= 1:
        return f"{ms:.2f}"
    return f"{ms:.3f}"


def fmt_ratio(x):
    return "-" if x is None else f"{x:.2f}x"


def gbps(nbytes, seconds):
    return nbytes / seconds / 1e9


def print_table(header, rows):
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    sys.stdout.flush()


def section(title):
    print(f"\n## {title}")
    sys.stdout.flush()


def guarded(fn):
    """Runs one benchmark case; a rivezor error is printed and the run goes on."""
    def wrapper(ctx, *a, **kw):
        try:
            return fn(ctx, *a, **kw)
        except Exception as exc:
            import traceback

            print(f"error in {fn.__name__}: {type(exc).__name__}: {exc}")
            traceback.print_exc(limit=3, file=sys.stdout)
            ctx.summary.append((fn.__name__, "error", f"{type(exc).__name__}: {exc}"[:80], "ERROR"))
            return None
    wrapper.__name__ = fn.__name__
    return wrapper

