# Writes the seed corpus of the index-reader fuzzer: well-formed files of every metric and
# the header shapes the reader must refuse or survive. Inputs use the harness's byte-0 mode.
import random
import struct
import sys
from pathlib import Path

RAW, GENERATED = 0, 1


def header(dims, rows, metric):
    return struct.pack("<III", dims, rows, metric)


def matrix(rng, rows, dims, special=False):
    values = [rng.uniform(-4.0, 4.0) for _ in range(rows * dims)]
    if special and values:
        for i, v in enumerate([float("nan"), float("inf"), -float("inf"), 0.0, -0.0, 3.4e38, 1e-45]):
            values[(i * 7) % len(values)] = v
    return struct.pack(f"<{len(values)}f", *values)


def seeds(rng):
    for metric in (0, 1, 2):
        for rows, dims in ((1, 1), (3, 5), (9, 8), (17, 16), (2, 33), (4, 100)):
            body = matrix(rng, rows, dims, special=metric == 1)
            yield f"exact-m{metric}-{rows}x{dims}", RAW, header(dims, rows, metric) + body
        yield f"short-by-one-m{metric}", RAW, (header(4, 3, metric) + matrix(rng, 3, 4))[:-1]
        yield f"trailing-m{metric}", RAW, header(2, 2, metric) + matrix(rng, 2, 2) + b"tail"
    for length in (0, 1, 11):
        yield f"tiny-{length}", RAW, bytes(range(length))
    yield "metric-3-size-right", RAW, header(1, 1, 3) + matrix(rng, 1, 1)
    yield "metric-max-size-wrong", RAW, header(4, 1000, 0xFFFFFFFF)
    yield "rows-zero", RAW, header(16, 0, 0)
    yield "dims-zero", RAW, header(0, 7, 1)
    yield "both-zero-trailing", RAW, header(0, 0, 2) + b"\x00" * 5
    yield "huge-both", RAW, header(0xFFFFFFFF, 0xFFFFFFFF, 0)
    yield "product-wraps-to-zero", RAW, header(1 << 31, 1 << 31, 0)
    yield "huge-rows", RAW, header(4, 0xFFFFFFFF, 1) + matrix(rng, 2, 4)
    yield "huge-dims", RAW, header(0xFFFFFFFF, 1, 2) + matrix(rng, 1, 8)
    # Generated bodies: the header's own length, give or take a signed delta.
    fill = matrix(rng, 1, 61)
    for metric, rows, dims, delta in (
        (0, 10000, 64, 0),  # smallest shape with block norms
        (1, 10000, 65, 3),  # last block cut short, trailing bytes
        (0, 9999, 64, 0),  # one row below the block-norm threshold
        (2, 10000, 64, 0),  # euclidean never builds them
        (1, 1000, 300, -1),  # one byte short
        (0, 40, 1024, 0),
        (1, 12, 768, 127),
        (2, 3, 255, -128),
    ):
        yield (f"gen-m{metric}-{rows}x{dims}{delta:+d}", GENERATED,
               header(dims, rows, metric) + struct.pack("<b", delta) + fill)


def main(out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(20240229)
    count = 0
    for name, mode, body in seeds(rng):
        (out / name).write_bytes(bytes([mode]) + body)
        count += 1
    print(f"{count} seeds in {out}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "fuzz-seeds")
