# The `rivezor` command: argument parsing, the four commands, and the one place where
# failures become a message on standard error and an exit status instead of a traceback.
from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from importlib import metadata
from typing import Any

import rivezor
from rivezor_cli import index_report, search
from rivezor_cli.progress import Progress

# A few queries are shown as a table; more than this many need --out.
TABLE_LIMIT = 20

EXIT_FAILURE = 1  # the library or a file refused the input; verify: fingerprints differ
EXIT_USAGE = 2  # the command line itself is wrong (argparse uses the same status)

METRICS_HELP = ("cosine (also cos, norm_cosine, normalized_cosine, normalized-cosine), "
                "dot (dotproduct, dot_product) or euclidean (l2, euclidian); any letter case")


class UsageError(ValueError):
    """A request the command line cannot carry out as given."""


def _version() -> str:
    try:
        return metadata.version("rivezor")
    except metadata.PackageNotFoundError:
        return "unknown"


def cmd_prepare(args: argparse.Namespace) -> int:
    embeddings = search.load_npy(args.embeddings)
    rows, dims = (embeddings.shape if embeddings.ndim == 2 else (0, 0))
    try:
        path = rivezor.py_prepare_bin_from_embeddings(
            embeddings, dims, rows, args.name, args.level, normalize=args.normalize, metric=args.metric,
            output_dir=args.output_dir)
    except (ValueError, TypeError, OverflowError) as err:
        raise index_report.naming(args.embeddings, err) from None
    print(path)
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    info = index_report.describe(args.index, check_rows=not args.no_row_check)
    unit = index_report.unit_rows_text(info.norms) if not args.no_row_check else "not checked"
    if args.json:
        record: dict[str, Any] = {
            "path": info.path, "dims": info.dims, "rows": info.rows, "metric": info.metric,
            "file_size": info.file_size, "fingerprint": info.fingerprint, "unit_rows": unit}
        print(json.dumps(record, indent=2))
        return 0
    size = f"{info.file_size} bytes"
    extra = info.file_size - info.matrix_bytes
    size += f" (12-byte header + {info.rows} x {info.dims} float32"
    size += f" + {extra} bytes after the matrix)" if extra else ")"
    for key, value in (("path", info.path), ("dims", info.dims), ("rows", info.rows), ("metric", info.metric),
                       ("file size", size), ("fingerprint", info.fingerprint), ("unit rows", unit)):
        print(f"{key:<12} {value}")
    return 0


def cmd_query(args: argparse.Namespace) -> int:
    engine = index_report.open_engine(args.index)
    queries = search.load_npy(args.queries)
    count = queries.shape[0] if queries.ndim == 2 else 1
    if args.out is None and count > TABLE_LIMIT:
        raise UsageError(f"{args.queries}: {count} queries; a table is printed for at most {TABLE_LIMIT}, "
                         f"pass --out PREFIX to write PREFIX.indices.npy and PREFIX.scores.npy")
    show = args.progress if args.progress is not None else (sys.stderr.isatty() and count > search.SLICE_QUERIES)
    progress = Progress(count, "queries", sys.stderr) if show else None
    output: search.TableOutput | search.FileOutput = (
        search.TableOutput() if args.out is None else search.FileOutput(args.out))
    try:
        search.answer(engine, queries, args.k, args.queries, output.start, progress)
        output.commit()
    finally:
        output.discard()
        if progress is not None:
            progress.close()  # ends the bar's line before any message
    print("\n".join(output.lines()))
    return 0


def cmd_verify(args: argparse.Namespace) -> int:
    expected = args.hash.strip().lower()
    if len(expected) != 64 or any(c not in "0123456789abcdef" for c in expected):
        raise UsageError(f"--hash must be 64 hexadecimal digits (a BLAKE3 fingerprint), got {args.hash!r}")
    _, actual = index_report.engine_facts(index_report.open_engine(args.index))
    if actual != expected:
        print(f"{args.index}: fingerprint mismatch: expected {expected}, file has {actual}", file=sys.stderr)
        return EXIT_FAILURE
    print(f"{args.index}: OK {actual}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="rivezor", description="Prepare, inspect, query and verify rivezor index files.",
        epilog="Exit status: 0 on success, 1 when the input is refused (or verify finds another fingerprint), "
               "2 for a wrong command line.")
    parser.add_argument("--version", action="version", version=f"rivezor {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser("prepare", help="write an index file from a .npy matrix",
                            description="Write an index file from a 2-D float32 .npy matrix (memory-mapped, not "
                                        "loaded) and print its path. The file is NAME_LEVEL.bin in the output "
                                        "directory.")
    p.add_argument("embeddings", metavar="EMBEDDINGS.npy", help="2-D float32 array in C order, one row per vector")
    p.add_argument("name", metavar="NAME", help="base of the file name (letters, digits, - and _ are kept)")
    p.add_argument("--metric", default="cosine", help=f"{METRICS_HELP}; default cosine")
    p.add_argument("--normalize", action=argparse.BooleanOptionalAction, default=False,
                   help="store rows scaled to unit length (always done for cosine); default off")
    p.add_argument("--level", default="f32",
                   help="f8, f16, f32 or f64: the file-name suffix only, rows are always stored as float32; "
                        "default f32")
    p.add_argument("--output-dir", metavar="DIR", default=None,
                   help="directory for the index (created if missing); default ~/.zarir/indexes")
    p.set_defaults(run=cmd_prepare)

    p = commands.add_parser("info", help="describe an index file",
                            description="Print the dimension, row count, metric, file size and BLAKE3 fingerprint "
                                        "of an index, and whether its rows are unit length (read in slices).")
    p.add_argument("index", metavar="INDEX.bin")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of lines")
    p.add_argument("--no-row-check", action="store_true", help="skip the pass over the rows (unit length)")
    p.set_defaults(run=cmd_info)

    p = commands.add_parser("query", help="search an index with queries from a .npy file",
                            description=f"Answer the queries of a .npy file (1-D: one query; 2-D: one per row, "
                                        f"float32). Up to {TABLE_LIMIT} queries print a table; with --out the hits "
                                        f"go to PREFIX.indices.npy (uint64) and PREFIX.scores.npy (float32), one "
                                        f"row per query, best first.")
    p.add_argument("index", metavar="INDEX.bin")
    p.add_argument("queries", metavar="QUERIES.npy")
    p.add_argument("-k", type=int, required=True, metavar="K",
                   help="hits per query; fewer come back when the index has fewer rows, none for 0")
    p.add_argument("--out", metavar="PREFIX", help="write the result arrays instead of a table")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on standard error; default: only when it is a terminal and the run is long")
    p.set_defaults(run=cmd_query)

    p = commands.add_parser("verify", help="check an index file's BLAKE3 fingerprint",
                            description="Exit with status 0 only if the file's BLAKE3 fingerprint is HEX.")
    p.add_argument("index", metavar="INDEX.bin")
    p.add_argument("--hash", required=True, metavar="HEX", help="the expected fingerprint, 64 hexadecimal digits")
    p.set_defaults(run=cmd_verify)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    prog = f"rivezor {args.command}"
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader went away (`| head`); say nothing more on a closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except UsageError as err:
        print(f"{prog}: error: {err}", file=sys.stderr)
        return EXIT_USAGE
    except (ValueError, OSError, MemoryError) as err:
        print(f"{prog}: error: {err}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
