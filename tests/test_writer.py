# The index writer: argument conversion, the validation steps and their order, names on
# disk, the bytes written, float32 row normalization, and replacement that never loses data.
import inspect
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import rivezor

prepare = rivezor.py_prepare_bin_from_embeddings
F32 = np.float32
TINY = np.finfo(np.float32).tiny


def read_index(path):
    data = open(path, "rb").read()
    dims, rows, metric = np.frombuffer(data[:12], dtype="<u4")
    return int(dims), int(rows), int(metric), data


def matrix_of(data, rows, dims):
    return np.frombuffer(data, dtype="<f4", offset=12).reshape(rows, dims)


def model_normalize(x):
    """Independent float32 model of the row normalization (one NumPy op per IEEE operation)."""
    x = np.ascontiguousarray(x, dtype=F32)
    rows, dims = x.shape
    sq = x * x
    s = np.zeros(rows, dtype=F32)
    groups = dims // 8
    if groups:
        q = sq[:, : groups * 8].reshape(rows, groups, 8)
        a = ((q[:, :, 0] + q[:, :, 1]) + q[:, :, 2]) + q[:, :, 3]
        b = ((q[:, :, 4] + q[:, :, 5]) + q[:, :, 6]) + q[:, :, 7]
        ab = a + b
        for g in range(groups):
            s = s + ab[:, g]
    for i in range(groups * 8, dims):
        s = s + sq[:, i]
    with np.errstate(all="ignore"):
        norm = np.sqrt(s)
        out = x * (F32(1.0) / norm)[:, None]
        finite_rows = np.isfinite(x).all(axis=1)
        nonzero_rows = (x != 0).any(axis=1)
        lost = ~((s >= TINY) & np.isfinite(norm))
        # Finite, non-zero rows that float32 cannot measure are measured in double.
        rescue = lost & finite_rows & nonzero_rows
        x64 = x[rescue].astype(np.float64)
        out[rescue] = (x64 / np.sqrt(np.sum(x64 * x64, axis=1))[:, None]).astype(F32)
    out[lost & ~rescue] = 0.0
    return out


@pytest.fixture
def out_dir(tmp_path):
    d = tmp_path / "out"
    d.mkdir()
    return d


def call(x, out_dir, **kw):
    rows, dims = x.shape
    args = dict(embeddings=x, dims=dims, rows=rows, base_name="idx", level="f32", output_dir=str(out_dir))
    args.update(kw)
    return prepare(**args)


def test_registration_and_signature():
    assert rivezor.__all__ == ["PySearchEngine", "PyQueryResult", "py_prepare_bin_from_embeddings"]
    assert prepare.__text_signature__ == (
        '(embeddings, dims, rows, base_name, level, normalize=False, ann=False, seed=0, metric="cosine", '
        "output_dir=None)"
    )
    assert prepare.__doc__ is None
    assert prepare.__name__ == "py_prepare_bin_from_embeddings"
    assert prepare.__module__ == "rivezor"
    params = inspect.signature(prepare).parameters
    assert [p.default for p in params.values()][5:] == [False, False, 0, "cosine", None]


def test_all_arguments_by_position_or_keyword(out_dir, rng):
    x = rng.standard_normal((3, 4)).astype(F32)
    by_pos = prepare(x, 4, 3, "p", "f32", True, True, 7, "dot", str(out_dir))
    by_kw = prepare(output_dir=str(out_dir), metric="dot", seed=7, ann=True, normalize=True, level="f32",
                    base_name="k", rows=3, dims=4, embeddings=x)
    assert open(by_pos, "rb").read() == open(by_kw, "rb").read()


@pytest.mark.parametrize(
    "override, exc, message",
    [
        (dict(embeddings=[[1.0]]), TypeError, "argument 'embeddings': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (dict(embeddings=np.zeros(4, F32)), TypeError, "argument 'embeddings': dimensionality mismatch:\n from=1, to=2"),
        (dict(embeddings=np.zeros((2, 2))), TypeError, "argument 'embeddings': type mismatch:\n from=float64, to=float32"),
        (dict(dims="2"), TypeError, "argument 'dims': 'str' object cannot be interpreted as an integer"),
        (dict(dims=-1), OverflowError, None),
        (dict(rows=2**64), OverflowError, None),
        (dict(base_name=b"x"), TypeError, "argument 'base_name': 'bytes' object cannot be converted to 'PyString'"),
        (dict(level=None), TypeError, "argument 'level': 'NoneType' object cannot be converted to 'PyString'"),
        (dict(normalize=1), TypeError, "argument 'normalize': 'int' object cannot be converted to 'PyBool'"),
        (dict(ann=None), TypeError, "argument 'ann': 'NoneType' object cannot be converted to 'PyBool'"),
        (dict(seed=-1), OverflowError, None),
        (dict(seed=1.5), TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
        (dict(metric=0), TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
        (dict(output_dir=3), TypeError, "argument 'output_dir': 'int' object cannot be converted to 'PyString'"),
        (dict(colour="red"), TypeError,
         "py_prepare_bin_from_embeddings() got an unexpected keyword argument 'colour'"),
        # Conversion precedes the contiguity test of the working copy.
        (dict(embeddings=np.zeros((2, 2), F32, order="F"), normalize=0), TypeError,
         "argument 'normalize': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_conversion_errors(tmp_path, override, exc, message):
    args = dict(embeddings=np.zeros((2, 2), F32), dims=2, rows=2, base_name="b", level="f32",
                output_dir=str(tmp_path / "never"))
    args.update(override)
    with pytest.raises(exc) as info:
        prepare(**args)
    if message is not None:
        assert str(info.value) == message
    assert os.listdir(tmp_path) == []


def test_missing_and_surplus_positional_arguments():
    x = np.zeros((1, 1), F32)
    with pytest.raises(TypeError, match=r"^py_prepare_bin_from_embeddings\(\) missing 1 required positional "
                                        r"argument: 'level'$"):
        prepare(x, 1, 1, "a")
    with pytest.raises(TypeError, match=r"takes from 5 to 10 positional arguments but 11 were given$"):
        prepare(x, 1, 1, "a", "f32", False, False, 0, "dot", None, None)


# Each case holds the fault of one step plus faults of later steps: the earliest step wins.
def _fortran(x):
    return np.asfortranarray(x)


def _nan(x):
    y = x.copy()
    y[:] = np.nan
    return y


@pytest.mark.parametrize(
    "faults, exc, message",
    [
        (dict(embeddings=_fortran, metric="Cosine2", dims=0), TypeError, "The given array is not contiguous"),
        (dict(metric="Cosine2", dims=10001, rows=0), ValueError, "Unknown similarity metric: Cosine2"),
        (dict(dims=10001, rows=0, base_name=""), ValueError, "Invalid dims: 10001 (must be 1-10000)"),
        (dict(dims=0), ValueError, "Invalid dims: 0 (must be 1-10000)"),
        (dict(dims=2**64 - 1), ValueError, "Invalid dims: 18446744073709551615 (must be 1-10000)"),
        (dict(rows=0, base_name="a/b"), ValueError, "Invalid rows: 0 (must be 1-50000000)"),
        (dict(rows=50000001), ValueError, "Invalid rows: 50000001 (must be 1-50000000)"),
        (dict(rows=5, base_name="a/b", level="F32"), ValueError, "Data shape mismatch: expected 5×8=40, got 32"),
        # The largest accepted ranges reach the element-count comparison.
        (dict(rows=50000000, dims=10000), ValueError,
         "Data shape mismatch: expected 50000000×10000=500000000000, got 32"),
        (dict(base_name="   ", level="F32", embeddings=_nan), ValueError,
         "Invalid base_name: cannot be empty or contain special characters"),
        (dict(level="F32", embeddings=_nan, base_name="+++"), ValueError,
         "Invalid level 'F32'. Must be f8, f16, f32, or f64"),
        (dict(embeddings=_nan, base_name="+++", output_dir="FILE"), ValueError, "Too many invalid values: 32/32 (100.0%)"),
        (dict(base_name="+++", output_dir="FILE"), ValueError, "Base name contains no valid characters"),
        (dict(output_dir="FILE"), ValueError, "Output path is not a directory: {FILE}"),
    ],
)
def test_step_order_and_messages(tmp_path, rng, faults, exc, message):
    x = rng.standard_normal((4, 8)).astype(F32)
    blocker = tmp_path / "plain-file"
    blocker.write_bytes(b"keep")
    args = dict(embeddings=x, dims=8, rows=4, base_name="name", level="f32", output_dir=str(tmp_path / "target"))
    for key, value in faults.items():
        if callable(value):
            value = value(x)
        elif value == "FILE":
            value = str(blocker)
        args[key] = value
    with pytest.raises(exc) as info:
        prepare(**args)
    assert str(info.value) == message.replace("{FILE}", str(blocker))
    assert os.listdir(tmp_path) == ["plain-file"]
    assert blocker.read_bytes() == b"keep"


@pytest.mark.parametrize(
    "base_name, expected_stem",
    [
        ("my index", "myindex"),
        ("Ñandú_δ-٣", "Ñandú_δ-٣"),  # letters of any script, Nd digits, "-" and "_"
        ("a€b+c=d!", "abcd"),  # symbols and punctuation go
        ("ⅫⅣ½²", "ⅫⅣ½²"),  # Nl and No numbers stay
        ("\u0905\u093e\u24b6", "\u0905\u093e\u24b6"),  # Alphabetic marks and circled letters
        ("e\u0301\U0001F600", "e"),  # a combining acute (not Alphabetic) and an emoji go
        ("\u00a0x\u3000", "x"),  # surrounding Unicode spaces are not stripped from the name
        ("\x1cz", "z"),  # an information separator is a control character, not white space
    ],
)
def test_clean_name(out_dir, base_name, expected_stem):
    path = call(np.ones((1, 2), F32), out_dir, base_name=base_name, metric="dot")
    assert path == os.path.join(str(out_dir), expected_stem + "_f32.bin")
    assert os.listdir(out_dir) == [expected_stem + "_f32.bin"]


@pytest.mark.parametrize("base_name", ["a.b", "x/y", "back\\slash", "c:d", "a|b", "<a", "a>", 'q"', "w?", "*",
                                       "", "   ", "\t\n\u3000\u2003\u00a0\u0085"])
def test_rejected_base_names(out_dir, base_name):
    with pytest.raises(ValueError, match=r"^Invalid base_name: cannot be empty or contain special characters$"):
        call(np.ones((1, 2), F32), out_dir, base_name=base_name)
    assert os.listdir(out_dir) == []


@pytest.mark.parametrize("base_name", ["+++", "\x1c", "\u0301", "$%&"])
def test_names_without_valid_characters(out_dir, base_name):
    with pytest.raises(ValueError, match=r"^Base name contains no valid characters$"):
        call(np.ones((1, 2), F32), out_dir, base_name=base_name)
    assert os.listdir(out_dir) == []


@pytest.mark.parametrize(
    "metric, metric_id",
    [("cos", 0), ("COSINE", 0), ("Norm_Cosine", 0), ("normalized_cosine", 0), ("NORMALIZED-COSINE", 0),
     ("dot", 1), ("DotProduct", 1), ("DOT_PRODUCT", 1), ("L2", 2), ("Euclidean", 2), ("EUCLIDIAN", 2)],
)
def test_metric_spellings(out_dir, metric, metric_id):
    dims, rows, stored, _ = read_index(call(np.ones((2, 3), F32), out_dir, metric=metric))
    assert (dims, rows, stored) == (3, 2, metric_id)


@pytest.mark.parametrize("metric", ["Cosine2", "cosine ", " dot", "l 2", "ＣＯＳ", "İ", "", "normalized cosine"])
def test_unknown_metric_verbatim(out_dir, metric):
    with pytest.raises(ValueError) as info:
        call(np.ones((1, 1), F32), out_dir, metric=metric)
    assert str(info.value) == f"Unknown similarity metric: {metric}"
    assert os.listdir(out_dir) == []


@pytest.mark.parametrize("level", ["F32", "f 32", "f128", "", "f32 "])
def test_level_is_case_sensitive(out_dir, level):
    with pytest.raises(ValueError) as info:
        call(np.ones((1, 1), F32), out_dir, level=level)
    assert str(info.value) == f"Invalid level '{level}'. Must be f8, f16, f32, or f64"


@pytest.mark.parametrize(
    "count, nan_positions, message",
    [
        # Fewer than 101 values: every value is sampled and the limit is 0.
        (50, [49], "Too many invalid values: 1/50 (2.0%)"),
        (16, [3], "Too many invalid values: 1/16 (6.2%)"),  # 6.25 is a tie: to even
        (16, [0, 5, 9], "Too many invalid values: 3/16 (18.8%)"),  # 18.75: to even
        (80, [1], "Too many invalid values: 1/80 (1.2%)"),  # 1.25: to even
        (3, [2], "Too many invalid values: 1/3 (33.3%)"),
        (100, [10, 20], "Too many invalid values: 2/100 (2.0%)"),
        # 1001 values: step 10, samples 101 (the last at 1000), limit 1.
        (1001, [0, 1000], "Too many invalid values: 2/101 (2.0%)"),
        # 200000 values: divisor 200, step 1000, samples 200, limit 2.
        (200000, [0, 1000, 199000], "Too many invalid values: 3/200 (1.5%)"),
        # 50000 values: divisor 100, step 500, samples 100, limit 1.
        (50000, [500, 49500], "Too many invalid values: 2/100 (2.0%)"),
    ],
)
def test_invalid_value_sample_fails(out_dir, count, nan_positions, message):
    x = np.ones(count, F32)
    for i, p in enumerate(nan_positions):
        x[p] = [np.nan, np.inf, -np.inf][i % 3]
    with pytest.raises(ValueError) as info:
        call(x.reshape(-1, count if count <= 10000 else 1000), out_dir, metric="dot")  # flat row-major
    assert str(info.value) == message
    assert os.listdir(out_dir) == []


@pytest.mark.parametrize("invalid, samples", [(1, 16), (3, 16), (5, 16), (1, 32), (3, 80), (7, 90), (2, 3), (9, 11)])
def test_percent_is_correctly_rounded(out_dir, invalid, samples):
    x = np.ones(samples, F32)
    x[:invalid] = np.nan
    with pytest.raises(ValueError) as info:
        call(x.reshape(1, samples), out_dir, metric="dot")
    assert str(info.value) == f"Too many invalid values: {invalid}/{samples} ({invalid * 100.0 / samples:.1f}%)"


def test_values_under_the_limit_or_outside_the_sample_are_written_unchanged(out_dir):
    # 100 values with one NaN: limit 1, passes; without normalization the NaN is stored.
    x = np.arange(100, dtype=F32).reshape(10, 10)
    x[3, 4] = np.nan
    dims, rows, _, data = read_index(call(x, out_dir, base_name="one", metric="dot"))
    assert data[12:] == x.astype("<f4").tobytes()
    # 200000 values, step 1000: NaN and infinities between sampled positions are not examined.
    y = np.ones((100, 2000), F32)
    y[0, 1:1000] = np.nan
    y[5, 7] = np.inf
    _, _, _, data = read_index(call(y, out_dir, base_name="unsampled", metric="l2"))
    assert data[12:] == y.astype("<f4").tobytes()


def test_sampled_invalid_rows_become_zeros_when_normalized(out_dir):
    x = np.arange(1, 101, dtype=F32).reshape(10, 10)
    x[3, 4] = np.nan
    for kw in (dict(metric="cosine"), dict(metric="dot", normalize=True)):
        dims, rows, _, data = read_index(call(x, out_dir, **kw))
        m = matrix_of(data, rows, dims)
        assert m[3].tobytes() == bytes(40)
        np.testing.assert_array_equal(m, model_normalize(x))


def test_exact_bytes_and_levels(out_dir, rng):
    x = rng.standard_normal((37, 13)).astype(F32)
    contents = set()
    for level in ["f8", "f16", "f32", "f64"]:
        path = call(x, out_dir, level=level, metric="euclidean")
        assert os.path.basename(path) == f"idx_{level}.bin"
        data = open(path, "rb").read()
        assert len(data) == 12 + 4 * 37 * 13
        assert data[:12] == np.array([13, 37, 2], dtype="<u4").tobytes()
        assert data[12:] == x.astype("<f4").tobytes()
        contents.add(data)
    assert len(contents) == 1
    assert sorted(os.listdir(out_dir)) == ["idx_f16.bin", "idx_f32.bin", "idx_f64.bin", "idx_f8.bin"]


def test_ann_and_seed_change_nothing(out_dir, rng):
    x = rng.standard_normal((9, 10)).astype(F32)
    outputs = {open(call(x, out_dir, ann=ann, seed=seed), "rb").read()
               for ann in (False, True) for seed in (0, 1, 2**64 - 1)}
    assert len(outputs) == 1


def test_shape_is_not_compared_only_the_count(out_dir, rng):
    x = rng.standard_normal((8, 4)).astype(F32)  # extents swapped against dims=8, rows=4
    dims, rows, metric, data = read_index(call(x, out_dir, dims=8, rows=4, metric="dot"))
    assert (dims, rows, metric) == (8, 4, 1)
    assert data[12:] == x.tobytes()


def test_caller_array_is_copied_not_modified(out_dir, rng):
    x = rng.standard_normal((20, 16)).astype(F32) * 7
    before = x.copy()
    call(x, out_dir, metric="cosine")
    np.testing.assert_array_equal(x, before)


def test_misaligned_and_subclass_arrays(out_dir, rng):
    x = rng.standard_normal((5, 6)).astype(F32)
    raw = np.zeros(x.nbytes + 1, np.uint8)
    misaligned = raw[1:].view(F32).reshape(5, 6)
    misaligned[:] = x
    assert not misaligned.flags.aligned
    m = x.view(np.matrix)
    for arr, name in ((misaligned, "mis"), (m, "sub")):
        _, _, _, data = read_index(call(arr, out_dir, base_name=name, metric="dot"))
        assert data[12:] == x.tobytes()


# ---- normalization --------------------------------------------------------------------------


@pytest.mark.parametrize("dims", [1, 3, 7, 8, 9, 15, 16, 17, 64, 129])
@pytest.mark.parametrize("scale", [1.0, 1e-3, 3e4])
def test_normalization_is_bit_exact(out_dir, rng, dims, scale):
    x = (rng.standard_normal((41, dims)) * scale).astype(F32)
    x[5] = 0.0
    x[6] = -0.0
    x[7, 0] = -3.5
    dims_, rows, _, data = read_index(call(x, out_dir, metric="cosine"))
    got = matrix_of(data, rows, dims_)
    assert got.tobytes() == model_normalize(x).tobytes()
    assert got[5].tobytes() == got[6].tobytes() == bytes(4 * dims)  # zero rows stay +0.0


@pytest.mark.parametrize("normalize", [True, False])
@pytest.mark.parametrize("dims, rows", [(8, 9000), (100, 30000), (1280, 8200), (10000, 1001)])
def test_rows_across_batches(out_dir, rng, dims, rows, normalize):
    # 8192-row batches; 1280 components keep 8192; 10000 components give 8192 // 9 raised to 1000.
    # Batches of 100 components end inside the huge pages of the copy; the larger batches are
    # copied in parallel pieces; finished parts go to the device while later batches are filled.
    x = rng.standard_normal((rows, dims)).astype(F32)
    x[::97] *= 1e-3
    _, _, metric, data = read_index(call(x, out_dir, metric="dot", normalize=normalize))
    assert metric == 1
    want = model_normalize(x) if normalize else x
    assert matrix_of(data, rows, dims).tobytes() == want.tobytes()


def test_non_finite_and_extreme_rows(out_dir):
    dims = 12
    rows = {
        "nan": [np.nan] + [1.0] * 11,
        "inf": [1.0] * 11 + [-np.inf],
        "zero": [0.0] * 12,
        "negzero": [-0.0] * 12,
        "huge": [1e20] * 12,  # squares overflow float32
        "max": [np.finfo(F32).max, -np.finfo(F32).max] + [0.0] * 10,
        "tiny": [1e-25] * 12,  # squares underflow to zero
        "subnormal_sum": [1e-20, -2e-20] + [0.0] * 10,  # the sum of squares is subnormal
        "lone_subnormal": [0.0] * 11 + [1e-45],
        "mixed": [1e-30, 1.0] + [2.0] * 10,  # tiny squares vanish next to the others: float path
        "plain": list(np.arange(12.0)),
    }
    x = np.array(list(rows.values()), dtype=F32)
    # Few enough NaN/inf to pass the sample: 2 of 132 sampled values, limit 1, so split the call.
    names = list(rows)
    finite = [i for i, n in enumerate(names) if n not in ("nan", "inf")]
    _, r, _, data = read_index(call(x[finite], out_dir, base_name="finite"))
    got = dict(zip([names[i] for i in finite], matrix_of(data, r, dims)))
    for n in ("nan", "inf"):
        one = np.vstack([x[names.index(n)], np.ones((9, dims), F32)])
        _, r, _, data = read_index(call(one, out_dir, base_name=n))
        got[n] = matrix_of(data, r, dims)[0]
    for n in ("nan", "inf", "zero", "negzero"):
        assert got[n].tobytes() == bytes(4 * dims), n
    for n in ("huge", "max", "tiny", "subnormal_sum", "lone_subnormal", "mixed", "plain"):
        v = got[n].astype(np.float64)
        assert abs(np.sqrt(np.sum(v * v)) - 1.0) < 1e-6, n
        # Directions are kept: the stored row is a positive multiple of the input row.
        src = x[names.index(n)].astype(np.float64)
        np.testing.assert_allclose(v, src / np.linalg.norm(src), rtol=1e-6, atol=1e-7)
    assert got["lone_subnormal"][-1] == 1.0
    # Rows the float32 arithmetic handles keep it bit for bit.
    for n in ("mixed", "plain"):
        assert got[n].tobytes() == model_normalize(x[names.index(n)][None]).tobytes()


# ---- files on disk ----------------------------------------------------------------------------


def test_new_nested_directory_is_created(tmp_path, rng):
    target = tmp_path / "a" / "b" / "c"
    x = rng.standard_normal((2, 3)).astype(F32)
    path = prepare(x, 3, 2, "n", "f16", output_dir=str(target))
    assert path == str(target / "n_f16.bin")
    assert os.listdir(target) == ["n_f16.bin"]


def test_trailing_separator_and_result_path(tmp_path):
    path = prepare(np.ones((1, 1), F32), 1, 1, "t", "f8", output_dir=str(tmp_path) + "/")
    assert path == str(tmp_path) + "/t_f8.bin"


def test_empty_output_dir_means_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert prepare(np.ones((1, 1), F32), 1, 1, "here", "f8", output_dir="") == "here_f8.bin"
    assert os.listdir(tmp_path) == ["here_f8.bin"]


def test_nul_in_output_dir_is_not_cut_short(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    # Cut at the NUL this would name an existing file or directory; the name as given exists nowhere.
    for given in (str(blocker) + "\0/x", str(tmp_path) + "\0"):
        with pytest.raises(ValueError) as info:
            prepare(np.ones((1, 1), F32), 1, 1, "n", "f8", output_dir=given)
        assert str(info.value) == f"Failed to create directory {given}: file name contains a NUL byte"
    assert os.listdir(tmp_path) == ["file"]


def test_uncreatable_directory(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    target = blocker / "sub"
    with pytest.raises(ValueError) as info:
        prepare(np.ones((1, 1), F32), 1, 1, "t", "f8", output_dir=str(target))
    assert str(info.value) == f"Failed to create directory {target}: Not a directory"


def test_replaces_existing_and_removes_leftover_temp(out_dir, rng):
    a = rng.standard_normal((3, 4)).astype(F32)
    b = rng.standard_normal((5, 4)).astype(F32)
    first = call(a, out_dir, metric="dot")
    (out_dir / "idx_f32.tmp").write_bytes(b"leftover from an interrupted run")
    second = call(b, out_dir, metric="dot")
    assert first == second
    assert os.listdir(out_dir) == ["idx_f32.bin"]
    assert open(second, "rb").read()[12:] == b.tobytes()


def test_symlink_at_the_temp_name_does_not_redirect_the_write(tmp_path, out_dir):
    victim = tmp_path / "victim"
    victim.write_bytes(b"untouched")
    (out_dir / "idx_f32.tmp").symlink_to(victim)
    (out_dir / "dangling_f32.tmp").symlink_to(tmp_path / "nowhere")
    call(np.ones((2, 2), F32), out_dir)
    call(np.ones((2, 2), F32), out_dir, base_name="dangling")
    assert victim.read_bytes() == b"untouched"
    assert not (tmp_path / "nowhere").exists()
    assert sorted(os.listdir(out_dir)) == ["dangling_f32.bin", "idx_f32.bin"]


def test_temp_name_taken_by_a_directory(out_dir):
    (out_dir / "idx_f32.tmp").mkdir()
    with pytest.raises(ValueError, match=r"^Failed to remove temp file: Is a directory$"):
        call(np.ones((1, 1), F32), out_dir)


def test_failed_rename_keeps_nothing_and_reports(out_dir):
    (out_dir / "idx_f32.bin").mkdir()
    (out_dir / "idx_f32.bin" / "inside").write_bytes(b"x")
    with pytest.raises(ValueError, match=r"^Failed to move temp file to final location: "):
        call(np.ones((2, 2), F32), out_dir)
    assert os.listdir(out_dir) == ["idx_f32.bin"]
    assert os.listdir(out_dir / "idx_f32.bin") == ["inside"]


def test_replacement_keeps_open_engines_on_the_old_data(out_dir, rng):
    old = rng.standard_normal((6, 8)).astype(F32)
    path = call(old, out_dir, metric="dot")
    engine = rivezor.PySearchEngine(path, False)
    call(np.zeros((2, 8), F32), out_dir, metric="dot")
    assert engine.rows() == 6
    assert rivezor.PySearchEngine(path, False).rows() == 2


def test_written_file_opens_and_searches(out_dir, rng):
    x = rng.standard_normal((300, 24)).astype(F32)
    path = call(x, out_dir, metric="cosine")
    engine = rivezor.PySearchEngine(path, False)
    assert (engine.dims(), engine.rows()) == (24, 300)
    q = x[17] * F32(3)
    result = engine.query_exact(q, 3)
    stored = model_normalize(x)
    assert result.results[0].idx == 17
    expected = np.argsort(-(stored @ q), kind="stable")[:3]
    assert [item.idx for item in result.results] == list(expected)


def test_default_directory_under_home(child, tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    proc = child(
        """
        import numpy as np, rivezor
        print(rivezor.py_prepare_bin_from_embeddings(np.ones((2, 3), np.float32), 3, 2, "my index", "f32"))
        """,
        env_update={"HOME": str(home)},
    )
    assert proc.returncode == 0, proc.stderr
    expected = home / ".zarir" / "indexes" / "myindex_f32.bin"
    assert proc.stdout.strip() == str(expected)
    assert expected.stat().st_size == 12 + 4 * 6


def test_home_from_password_database_when_home_is_empty(child):
    # As "nobody" (home /nonexistent) the lookup must consult the password database; the
    # directory cannot be created there, which the message shows without writing anything.
    proc = child(
        """
        import os, pwd, numpy as np, rivezor
        nobody = pwd.getpwnam("nobody")
        os.setgid(nobody.pw_gid)
        os.setuid(nobody.pw_uid)
        try:
            rivezor.py_prepare_bin_from_embeddings(np.ones((1, 1), np.float32), 1, 1, "n", "f8", metric="dot")
        except ValueError as e:
            print(e)
        print(nobody.pw_dir)
        """,
        env_update={"HOME": ""},
    )
    if proc.returncode != 0 and "Operation not permitted" in proc.stderr:
        pytest.skip("cannot switch to the nobody user here")
    assert proc.returncode == 0, proc.stderr
    message, pw_dir = proc.stdout.strip().splitlines()
    assert message.startswith(f"Failed to create directory {pw_dir}/.zarir/indexes: ")


def test_no_home_directory_anywhere(child):
    # HOME empty and a user id the password database does not know: nothing to fall back on.
    proc = child(
        """
        import os, pwd, numpy as np, rivezor
        known = {entry.pw_uid for entry in pwd.getpwall()}
        uid = next(u for u in range(54321, 65000) if u not in known)
        os.setuid(uid)
        try:
            rivezor.py_prepare_bin_from_embeddings(np.ones((1, 1), np.float32), 1, 1, "n", "f8", metric="dot")
        except ValueError as e:
            print(e)
        """,
        env_update={"HOME": ""},
    )
    if proc.returncode != 0 and "Operation not permitted" in proc.stderr:
        pytest.skip("cannot switch to another user here")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "Failed to get home directory"


# ---- failures after the temporary file exists ---------------------------------------------------


def test_failed_write_keeps_old_index_byte_identical(child, out_dir, rng):
    old = rng.standard_normal((4, 8)).astype(F32)
    path = call(old, out_dir)
    before = open(path, "rb").read()
    proc = child(
        f"""
        import resource, signal, numpy as np, rivezor
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
        x = np.ones((1000, 64), np.float32)
        try:
            rivezor.py_prepare_bin_from_embeddings(x, 64, 1000, "idx", "f32", output_dir={str(out_dir)!r})
        except ValueError as e:
            print(e)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "Failed to set file length: File too large"
    assert open(path, "rb").read() == before
    assert os.listdir(out_dir) == ["idx_f32.bin"]


@pytest.fixture
def small_disk(tmp_path):
    """A 1 MiB file system of its own (needs the right to mount one)."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount_point)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {proc.stderr.strip()}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


@pytest.mark.parametrize("metric", ["cosine", "dot"])
def test_full_disk_keeps_old_index_and_leaves_no_temp_file(small_disk, rng, metric):
    old = rng.standard_normal((4, 8)).astype(F32)
    path = call(old, small_disk, metric=metric)
    before = open(path, "rb").read()
    with pytest.raises(ValueError, match="^Failed to set file length: No space left on device$"):
        call(np.ones((10_000, 64), F32), small_disk, metric=metric)
    assert open(path, "rb").read() == before
    assert os.listdir(small_disk) == ["idx_f32.bin"]


def test_killed_mid_write_keeps_old_index(out_dir, rng):
    old = rng.standard_normal((4, 64)).astype(F32)
    path = call(old, out_dir)
    before = open(path, "rb").read()
    temp = out_dir / "idx_f32.tmp"
    code = textwrap.dedent(
        f"""
        import numpy as np, rivezor
        x = np.full((1_000_000, 64), 0.5, np.float32)
        rivezor.py_prepare_bin_from_embeddings(x, 64, 1_000_000, "idx", "f32", output_dir={str(out_dir)!r})
        """
    )
    proc = subprocess.Popen([sys.executable, "-c", code])
    try:
        deadline = time.monotonic() + 60
        while not temp.exists() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.001)
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.wait()
    assert proc.returncode == -signal.SIGKILL, "the preparation ended before it could be interrupted"
    assert open(path, "rb").read() == before
    assert temp.exists()  # killed while writing the temporary file: it stays until the next run
    # The next preparation of the name clears the leftover temporary file.
    call(old * 2, out_dir)
    assert os.listdir(out_dir) == ["idx_f32.bin"]


# ---- the interpreter lock -------------------------------------------------------------------------


def test_other_threads_run_during_preparation(out_dir):
    x = np.full((200_000, 64), 0.25, np.float32)
    ticks = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0)  # gives the lock back at once, so only a released lock lets it run

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)  # this thread never hands the lock over by preemption
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        time.sleep(0.05)  # let the spinner reach its loop
        before = ticks[0]
        call(x, out_dir, metric="cosine")
        during = ticks[0] - before
    finally:
        stop.set()
        sys.setswitchinterval(old_interval)
        spinner.join()
    assert during > 0
