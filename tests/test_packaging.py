# The installed artefact as users get it: one abi3 module exporting only its init symbol,
# OpenBLAS beside it under its recognisable name, stubs that match the module.
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import rivezor

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE = pathlib.Path(rivezor.__file__)


def wheel_path():
    wheels = sorted((ROOT / "dist").glob("rivezor-*.whl"))
    return wheels[-1] if wheels else None


def symbols(*flags):
    out = subprocess.run(["nm", "-D", *flags, str(MODULE)], check=True, capture_output=True, text=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.strip()]


def test_single_abi3_module_with_bundled_openblas():
    assert MODULE.name == "rivezor.abi3.so"
    libs = MODULE.parent / "rivezor.libs"
    names = [p.name for p in libs.iterdir()]
    assert any(n.startswith("libscipy_openblas") for n in names), names
    dyn = subprocess.run(["readelf", "-d", str(MODULE)], check=True, capture_output=True, text=True).stdout
    assert "$ORIGIN/rivezor.libs" in dyn


def test_only_the_init_symbol_is_exported():
    assert symbols("--defined-only") == ["PyInit_rivezor"]


def test_blas_symbols_are_the_prefixed_ones():
    undefined = symbols("--undefined-only")
    blas = [s for s in undefined if "cblas_" in s or "openblas" in s]
    assert blas, "the module should need OpenBLAS"
    assert all(s.startswith("scipy_") for s in blas), blas


def test_import_from_another_directory_without_library_path(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    proc = subprocess.run([sys.executable, "-W", "error", "-c", "import rivezor; print(rivezor.__all__[0])"],
                          cwd=tmp_path, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "PySearchEngine"


def test_threadpoolctl_sees_and_limits_our_openblas():
    threadpoolctl = pytest.importorskip("threadpoolctl")
    ours = [i for i in threadpoolctl.threadpool_info() if "rivezor.libs" in i.get("filepath", "")]
    assert ours and ours[0]["internal_api"] == "openblas", threadpoolctl.threadpool_info()
    with threadpoolctl.threadpool_limits(limits=1, user_api="blas"):
        limited = [i for i in threadpoolctl.threadpool_info() if "rivezor.libs" in i.get("filepath", "")]
        assert limited[0]["num_threads"] == 1


@pytest.mark.skipif(wheel_path() is None, reason="no wheel built in dist/")
def test_wheel_is_cp311_abi3_and_audits_clean():
    wheel = wheel_path()
    assert wheel.name.endswith("-cp311-abi3-linux_x86_64.whl"), wheel.name
    audit = shutil.which("abi3audit") or str(pathlib.Path(sys.executable).parent / "abi3audit")
    if not os.path.exists(audit):
        pytest.skip("abi3audit not installed")
    proc = subprocess.run([audit, "--strict", "--report", str(wheel)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stubs_installed_and_match_the_module(tmp_path):
    site = MODULE.parent
    if not (site / "rivezor.pyi").exists():
        pytest.skip("not an installed wheel (no stubs beside the module)")
    assert (site / "rivezor-stubs" / "__init__.pyi").read_text() == (site / "rivezor.pyi").read_text()
    pytest.importorskip("mypy")
    allow = ROOT / "stubs" / "stubtest-allowlist.txt"
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "rivezor", "--allowlist", str(allow)],
                          cwd=tmp_path, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# Each layer of src/ may include only the layers below it: core depends on nothing of ours,
# and the engine and the writer never reach into each other (shared vocabulary lives in core).
ALLOWED_INCLUDES = {
    "core": {"core"},
    "runtime": {"core", "runtime"},
    "engine": {"core", "runtime", "engine"},
    "prepare": {"core", "runtime", "prepare"},
    "lib": {"core", "runtime", "engine", "prepare", "lib"},
}


def test_source_layers_include_only_what_lies_below_them():
    src = ROOT / "src"
    if not src.is_dir():
        pytest.skip("no source tree beside the tests")
    include = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')
    wrong = []
    for path in sorted(src.rglob("*.[ch]pp")) + sorted(src.rglob("*.hpp.in")):
        layer = path.relative_to(src).parts[0]
        for number, line in enumerate(path.read_text().splitlines(), 1):
            m = include.match(line)
            # A layer not in the table may use core and itself only.
            if m and m.group(1) not in ALLOWED_INCLUDES.get(layer, {"core", layer}):
                wrong.append(f"{path.relative_to(src)}:{number}: {line.strip()}")
    assert not wrong, "\n".join(wrong)
