# Opening index files: header checks and their messages in order, argument conversion,
# fingerprints against an independent BLAKE3, paths, and failing opens that leak nothing.
import os

import blake3
import numpy as np
import pytest

import rivezor
from conftest import index_bytes, rss_bytes


def test_exact_length_opens_and_one_byte_short_fails(tmp_path, rng):
    m = rng.standard_normal((7, 5)).astype(np.float32)
    data = index_bytes(m, 1)
    good = tmp_path / "good.bin"
    good.write_bytes(data)
    e = rivezor.PySearchEngine(str(good), False)
    assert (e.dims(), e.rows()) == (5, 7)
    short = tmp_path / "short.bin"
    short.write_bytes(data[:-1])
    n = len(data)
    with pytest.raises(ValueError, match=rf"^File too small: expected {n} bytes, got {n - 1}$"):
        rivezor.PySearchEngine(str(short), True)


@pytest.mark.parametrize("length", [0, 1, 11])
def test_shorter_than_header(tmp_path, length):
    p = tmp_path / "tiny.bin"
    p.write_bytes(b"\x01" * length)
    with pytest.raises(ValueError, match="12 bytes"):
        rivezor.PySearchEngine(str(p), False)


def test_metric_checked_before_size(tmp_path):
    p = tmp_path / "m.bin"
    p.write_bytes(np.array([4, 1000, 3], dtype="<u4").tobytes())
    with pytest.raises(ValueError, match=r"^Unknown metric id: 3$"):
        rivezor.PySearchEngine(str(p), False)
    p.write_bytes(np.array([4, 1000, 0xFFFFFFFF], dtype="<u4").tobytes())
    with pytest.raises(ValueError, match=r"^Unknown metric id: 4294967295$"):
        rivezor.PySearchEngine(str(p), False)


def test_huge_header_does_not_wrap(tmp_path):
    p = tmp_path / "huge.bin"
    p.write_bytes(np.array([0xFFFFFFFF, 0xFFFFFFFF, 0], dtype="<u4").tobytes())
    need = 12 + 4 * 0xFFFFFFFF * 0xFFFFFFFF
    assert need > 2**64
    with pytest.raises(ValueError, match=rf"^File too small: expected {need} bytes, got 12$"):
        rivezor.PySearchEngine(str(p), False)
    # rows * dims * 4 wraps to exactly 0 modulo 2^64: still too small.
    p.write_bytes(np.array([2**31, 2**31, 0], dtype="<u4").tobytes())
    with pytest.raises(ValueError, match="^File too small"):
        rivezor.PySearchEngine(str(p), False)


def test_empty_matrix_opens(tmp_path):
    p = tmp_path / "e.bin"
    p.write_bytes(np.array([16, 0, 0], dtype="<u4").tobytes())
    e = rivezor.PySearchEngine(str(p), False)
    assert (e.dims(), e.rows()) == (16, 0)


@pytest.mark.parametrize("metric", [0, 1, 2])
@pytest.mark.parametrize("dims, rows", [(0, 0xFFFFFFFF), (0xFFFFFFFF, 0), (0, 3 * 2**20)])
def test_empty_matrix_of_any_declared_size_costs_no_memory(tmp_path, dims, rows, metric):
    # A 12-byte file may declare billions of zero-width rows or of dimensions: opening it must
    # take neither the time nor the memory of that many norms or dimension blocks.
    p = tmp_path / "declared.bin"
    p.write_bytes(np.array([dims, rows, metric], dtype="<u4").tobytes())
    before = rss_bytes()
    e = rivezor.PySearchEngine(str(p), False)
    assert rss_bytes() - before < 16 * 2**20
    assert (e.dims(), e.rows()) == (dims, rows)
    if dims == 0 and rows <= 2**22:
        # Every zero-width row scores 0, so the first rows win the ties.
        got = e.query_exact_arrays(np.zeros(0, np.float32), 4)
        assert got["indices"].tolist() == [0, 1, 2, 3]
        assert got["scores"].tolist() == [0.0] * 4
        cert = e.query_exact_certified(np.zeros(0, np.float32), 2)
        assert [h["idx"] for h in cert["results"]] == [0, 1]


def test_missing_file_and_directory(tmp_path):
    missing = tmp_path / "nope.bin"
    with pytest.raises(ValueError, match=rf"^Failed to open file {missing}: No such file or directory$"):
        rivezor.PySearchEngine(str(missing), False)
    with pytest.raises(ValueError, match=rf"^Failed to open file {tmp_path}: "):
        rivezor.PySearchEngine(str(tmp_path), False)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((1, False), TypeError, "argument 'bin_path': 'int' object cannot be converted to 'PyString'"),
        (("x.bin", 1), TypeError, "argument 'ann': 'int' object cannot be converted to 'PyBool'"),
        (("x.bin", None), TypeError, "argument 'ann': 'NoneType' object cannot be converted to 'PyBool'"),
        (("x.bin",), TypeError, "missing 1 required positional argument: 'ann'"),
        (("x.bin", False, 3), TypeError, "takes 2 positional arguments but 3 were given"),
    ],
)
def test_constructor_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        rivezor.PySearchEngine(*args)
    assert message in str(info.value)


def test_keywords_and_ann_values_are_equivalent(write_index, rng):
    path = write_index(rng.standard_normal((3, 4)), "dot")
    a = rivezor.PySearchEngine(bin_path=path, ann=True)
    b = rivezor.PySearchEngine(path, ann=False)
    assert (a.dims(), a.rows()) == (b.dims(), b.rows()) == (4, 3)
    with pytest.raises(TypeError, match="unexpected keyword argument 'path'"):
        rivezor.PySearchEngine(path=path, ann=True)
    with pytest.raises(TypeError, match="multiple values for argument 'bin_path'"):
        rivezor.PySearchEngine(path, bin_path=path, ann=True)


def test_extra_bytes_open_and_change_nothing_but_the_fingerprint(tmp_path, rng):
    m = rng.standard_normal((20, 8)).astype(np.float32)
    plain = tmp_path / "plain.bin"
    plain.write_bytes(index_bytes(m, 0))
    extra = tmp_path / "extra.bin"
    extra.write_bytes(index_bytes(m, 0, trailing=b"tail bytes"))
    for p in (plain, extra):
        e = rivezor.PySearchEngine(str(p), False)
        assert (e.dims(), e.rows()) == (8, 20)
    assert blake3.blake3(plain.read_bytes()).hexdigest() != blake3.blake3(extra.read_bytes()).hexdigest()


def test_failing_opens_leak_no_descriptor_or_mapping(tmp_path):
    p = tmp_path / "bad.bin"
    p.write_bytes(np.array([4, 100, 0], dtype="<u4").tobytes())
    fd_dir = "/proc/self/fd"

    def count_maps():
        with open("/proc/self/maps") as f:
            return sum(1 for line in f if str(p) in line)

    before = len(os.listdir(fd_dir))
    for _ in range(2000):
        with pytest.raises(ValueError):
            rivezor.PySearchEngine(str(p), False)
    assert len(os.listdir(fd_dir)) == before
    assert count_maps() == 0


def test_engine_keeps_mapping_until_dropped(tmp_path, rng):
    p = tmp_path / "live.bin"
    p.write_bytes(index_bytes(rng.standard_normal((5, 4)).astype(np.float32), 1))

    def count_maps():
        with open("/proc/self/maps") as f:
            return sum(1 for line in f if str(p) in line)

    e = rivezor.PySearchEngine(str(p), False)
    assert count_maps() == 1
    del e
    assert count_maps() == 0


FILE_CHANGE = """
import os, sys, time
import numpy as np
import rivezor

path, how = sys.argv[1], sys.argv[2]
rng = np.random.default_rng(5)
m = rng.standard_normal((2000, 8)).astype(np.float32)  # 16 pages: a cut leaves pages unbacked
header = np.array([8, 2000, 1], dtype="<u4").tobytes()
with open(path, "wb") as f:
    f.write(header + m.tobytes())
e = rivezor.PySearchEngine(path, False)
q = m[3].copy()
Q = m[:4].copy()
before = [h.idx for h in e.query_exact(q, 3).results]
old_hash = e.query_exact_detailed(q, 1).index_hash
time.sleep(0.05)  # past the file system's timestamp granularity
if how == "truncate":  # what `cp new.bin index.bin` does first
    os.truncate(path, 12)
elif how == "rewrite":
    with open(path, "r+b") as f:
        f.seek(12)
        f.write((-m).tobytes())
elif how == "rename":
    with open(path + ".new", "wb") as f:
        f.write(header + (-m).tobytes())
    os.replace(path + ".new", path)
calls = {
    "query_exact": lambda: e.query_exact(q, 3),
    "query_exact_arrays": lambda: e.query_exact_arrays(q, 3),
    "query_exact_detailed": lambda: e.query_exact_detailed(q, 3),
    "query_batch": lambda: e.query_batch(Q, 3),
    "query_batch_arrays": lambda: e.query_batch_arrays(Q, 3),
    "query_batch_detailed": lambda: e.query_batch_detailed(Q, 3),
    "query_exact_certified": lambda: e.query_exact_certified(q, 3),
    "query_batch_exact_certified": lambda: e.query_batch_exact_certified(Q, 3),
    "compare": lambda: e.compare(q, 0, 1, 4, 2),
    "explain": lambda: e.explain(q, 0, 4, 2),
}
for name, call in calls.items():
    try:
        call()
        print(name, "ok")
    except ValueError as err:
        print(name, "ValueError", err)
print("same", [h.idx for h in e.query_exact(q, 3).results] == before if how == "rename" else None)
print("hash", e.query_exact_detailed(q, 1).index_hash == old_hash if how == "rename" else None)
"""


@pytest.mark.parametrize("how", ["truncate", "rewrite", "rename"])
def test_file_changed_under_the_mapping(tmp_path, child, how):
    path = str(tmp_path / "live.bin")
    proc = child(FILE_CHANGE.replace("sys.argv[1], sys.argv[2]", repr((path, how))[1:-1]))
    assert proc.returncode == 0, proc.stderr  # a truncated mapping used to end in SIGBUS
    lines = proc.stdout.splitlines()
    outcomes = dict(line.split(" ", 1) for line in lines[:-2])
    assert len(outcomes) == 10
    if how == "rename":
        # The engine keeps answering from the file it opened, with that file's fingerprint.
        assert set(outcomes.values()) == {"ok"}
        assert lines[-2:] == ["same True", "hash True"]
    else:
        message = (f"ValueError Index file {os.path.realpath(path)} was truncated or modified after it was "
                   "opened; open it again to search its current contents")
        assert set(outcomes.values()) == {message}
