#!/usr/bin/env python3
# Entry point of the benchmark: cleans the BLAS-related environment for every contender alike,
# re-executes itself in that environment, then runs the chosen suites and prints their tables.
"""Benchmark rivezor against FAISS and NumPy on generated data.

    python bench/run.py [--only open,single,batch,prepare,certified,dask] [--quick]

See bench/README.md for how to read the tables.
"""
import argparse
import os
import sys

SUITES = ("open", "single", "batch", "prepare", "certified", "dask")

# Variables that change which OpenBLAS kernels load or how they block; every contender must
# run without them, so they are removed before numpy, faiss or rivezor is imported.
BLAS_TUNING_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
# Path switches of rivezor: the targets are about the automatic choice, so they are cleared
# unless given again with --set.
RIVEZOR_SWITCHES = ("ZARIR_SINGLE_MODE", "ZARIR_BATCH_MODE", "ZARIR_QBLOCK", "ZARIR_FORCE_SCALAR",
                    "ZARIR_MATRIX_KERNEL")
MARKER = "RIVEZOR_BENCH_CLEAN_ENV"


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--only", default=",".join(SUITES),
                   help="comma-separated suites to run (default: all): " + ",".join(SUITES))
    p.add_argument("--quick", action="store_true", help="small sizes and few repeats (a smoke run)")
    p.add_argument("--threads", type=int, default=2, help="threads for every contender (default 2)")
    p.add_argument("--repeats", type=int, default=None, help="timed repeats per contender (default per suite)")
    p.add_argument("--warmup", type=int, default=None, help="untimed warm-up calls per contender")
    p.add_argument("--pause", type=float, default=None,
                   help="seconds of idle before each timed call, so other libraries' spinning threads "
                        "have stopped (default 0.1, quick 0.01)")
    p.add_argument("--cache-dir", default=None,
                   help="where generated index files are kept between runs (default: <tmp>/rivezor-bench)")
    p.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                   help="extra environment variable for the run, e.g. ZARIR_SINGLE_MODE=matrix_full")
    args = p.parse_args(argv)
    args.only = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = [s for s in args.only if s not in SUITES]
    if unknown:
        p.error(f"unknown suite(s): {', '.join(unknown)}; choose from {', '.join(SUITES)}")
    for item in args.set:
        if "=" not in item:
            p.error(f"--set needs NAME=VALUE, got {item!r}")
    return args


def reexec_with_clean_env(args):
    """Runs this script again with the environment every contender shares; never returns."""
    env = dict(os.environ)
    removed = {name: env.pop(name) for name in BLAS_TUNING_VARS + RIVEZOR_SWITCHES if name in env}
    threads = str(args.threads)
    # rivezor reads ZARIR_THREADS at its first engine; OpenBLAS and OpenMP read theirs when the
    # libraries load, which happens at import, so all are set before the new interpreter starts.
    env.update({"ZARIR_THREADS": threads, "OPENBLAS_NUM_THREADS": threads, "OMP_NUM_THREADS": threads,
                "RAYON_NUM_THREADS": threads})
    for item in args.set:
        name, value = item.split("=", 1)
        env[name] = value
    env[MARKER] = repr(sorted(removed.items()))
    sys.stdout.flush()
    os.execve(sys.executable, [sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if MARKER not in os.environ:
        reexec_with_clean_env(args)
    # Only now, in the clean interpreter, may the numerical libraries load.
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import harness
    import suites

    ctx = harness.Context.create(args, removed_vars=os.environ[MARKER])
    ctx.print_environment()
    for name in args.only:
        getattr(suites, "suite_" + name)(ctx)
    ctx.print_summary()
    return 0


if __name__ == "__main__":
    sys.exit(main())
