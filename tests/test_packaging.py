# The installed artefact as users get it: one abi3 module exporting only its init symbol and
# needing nothing beyond the C runtime, stubs that match the module.
import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

import rivezor
from conftest import SANITIZED

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE = pathlib.Path(rivezor.__file__)


def wheel_path():
    wheels = sorted((ROOT / "dist").glob("rivezor-*.whl"))
    return wheels[-1] if wheels else None


def symbols(*flags):
    out = subprocess.run(["nm", "-D", *flags, str(MODULE)], check=True, capture_output=True, text=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.strip()]


def needed_libraries():
    dyn = subprocess.run(["readelf", "-d", str(MODULE)], check=True, capture_output=True, text=True).stdout
    return re.findall(r"NEEDED.*\[([^\]]*)\]", dyn), dyn


def test_single_abi3_module_that_needs_only_the_c_runtime():
    assert MODULE.name == "rivezor.abi3.so"
    needed, dyn = needed_libraries()
    allowed = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2"}
    # A sanitized build also needs the sanitizer runtimes and, beside them, the shared C++ one.
    runtimes = ("libasan.so.", "libubsan.so.", "libstdc++.so.") if SANITIZED else ()
    assert [n for n in needed if n not in allowed and not n.startswith(runtimes)] == [], needed
    assert "RPATH" not in dyn and "RUNPATH" not in dyn, dyn
    assert not (MODULE.parent / "rivezor.libs").exists()


def test_only_the_init_symbol_is_exported():
    assert symbols("--defined-only") == ["PyInit_rivezor"]


def test_no_blas_is_asked_for_nor_seen_by_threadpoolctl():
    undefined = symbols("--undefined-only")
    assert not [s for s in undefined if "blas" in s.lower() or "gemm" in s], undefined
    threadpoolctl = pytest.importorskip("threadpoolctl")
    assert not [i for i in threadpoolctl.threadpool_info() if "rivezor" in i.get("filepath", "")]


def test_import_from_another_directory_without_library_path(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    proc = subprocess.run([sys.executable, "-W", "error", "-c", "import rivezor; print(rivezor.__all__[0])"],
                          cwd=tmp_path, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "PySearchEngine"


def tool(name):
    found = shutil.which(name) or str(pathlib.Path(sys.executable).parent / name)
    if not os.path.exists(found):
        pytest.skip(f"{name} not installed")
    return found


@pytest.mark.skipif(wheel_path() is None, reason="no wheel built in dist/")
def test_wheel_is_manylinux_abi3_and_audits_clean():
    wheel = wheel_path()
    tag = re.fullmatch(r"rivezor-[\d.]+-cp311-abi3-(manylinux_2_(\d+)_x86_64)\.whl", wheel.name)
    assert tag and int(tag[2]) <= 34, wheel.name
    proc = subprocess.run([tool("abi3audit"), "--strict", "--report", str(wheel)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # The tag must be one the module's symbols really meet, not merely a name.
    env = dict(os.environ, PATH=f"{pathlib.Path(sys.executable).parent}:{os.environ['PATH']}")
    show = subprocess.run([tool("auditwheel"), "show", str(wheel)], capture_output=True, text=True, env=env)
    assert f'platform tag: "{tag[1]}"' in " ".join(show.stdout.split()), show.stdout + show.stderr


@pytest.mark.skipif(wheel_path() is None, reason="no wheel built in dist/")
def test_wheel_carries_licences_and_metadata():
    with zipfile.ZipFile(wheel_path()) as zf:
        info = next(n for n in zf.namelist() if n.endswith(".dist-info/METADATA")).rsplit("/", 1)[0]
        meta = zf.read(f"{info}/METADATA").decode()
        notices = zf.read(f"{info}/licenses/THIRD_PARTY_NOTICES").decode()
        assert "MIT License" in zf.read(f"{info}/licenses/LICENSE").decode()
    for line in ["License-Expression: MIT", "Classifier: Operating System :: POSIX :: Linux",
                 "Classifier: Programming Language :: Python :: 3.11", "Classifier: Programming Language :: Python :: 3.13",
                 "Requires-Python: >=3.11", "Project-URL: Homepage"]:
        assert line in meta, line
    for bundled in ["BLAKE3", "libstdc++", "GCC RUNTIME LIBRARY EXCEPTION", "Apache License", "CC0 1.0 Universal"]:
        assert bundled in notices, bundled
    assert "OpenBLAS" not in notices


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


DEBIAN_BLAKE3 = sorted(pathlib.Path("/usr/share/cargo/registry").glob("blake3-*/c"))


def fake_installed_blake3(root):
    """An installed BLAKE3 C library as CMake and pkg-config see one (configure only, no build)."""
    (root / "lib" / "pkgconfig").mkdir(parents=True)
    (root / "include").mkdir()
    (root / "lib" / "libblake3.a").write_bytes(b"")
    (root / "lib" / "pkgconfig" / "libblake3.pc").write_text(
        f"Name: libblake3\nDescription: BLAKE3\nVersion: 1.5.0\nCflags: -I{root}/include\nLibs: -L{root}/lib -lblake3\n")
    (root / "BLAKE3Config.cmake").write_text("add_library(BLAKE3::blake3 INTERFACE IMPORTED)\n")


@pytest.mark.skipif(not (ROOT / "CMakeLists.txt").exists() or not DEBIAN_BLAKE3, reason="needs the source tree and Debian's BLAKE3 sources")
@pytest.mark.parametrize("defines, pkg_config, expect", [
    (["-DRIVEZOR_BLAKE3_DIR=/nonexistent/blake3/c"], False, None),
    (["-DRIVEZOR_BLAKE3_CRATES=/nonexistent"], False, None),
    (["-DRIVEZOR_BLAKE3_CRATES=/nonexistent"], True, "BLAKE3 library: PkgConfig::RIVEZOR_PC_BLAKE3"),
    (["-DRIVEZOR_BLAKE3_CRATES=/nonexistent", "-DBLAKE3_DIR={fake}"], True, "BLAKE3 library: BLAKE3::blake3"),
    (["-DRIVEZOR_BLAKE3_DIR={debian}", "-DBLAKE3_DIR={fake}"], True, "BLAKE3 sources: {debian}"),
    ([], False, "BLAKE3 sources: {debian}"),
], ids=["wrong-path", "none-found", "pkg-config", "cmake-package", "explicit-path-first", "debian-sources"])
def test_blake3_lookup_order_and_the_message_when_missing(tmp_path, defines, pkg_config, expect):
    fake = tmp_path / "blake3"
    fake_installed_blake3(fake)
    subst = {"fake": fake, "debian": DEBIAN_BLAKE3[-1]}
    env = dict(os.environ, PATH=f"{pathlib.Path(sys.executable).parent}:{os.environ['PATH']}",
               PKG_CONFIG_PATH=str(fake / "lib" / "pkgconfig") if pkg_config else "")
    proc = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tmp_path / "build"), "-G", "Ninja",
                           f"-DPython_EXECUTABLE={sys.executable}", *[d.format(**subst) for d in defines]],
                          capture_output=True, text=True, env=env)
    if expect is None:
        assert proc.returncode != 0
        assert "pip install . -C cmake.define.RIVEZOR_BLAKE3_DIR=" in proc.stderr, proc.stderr
        assert proc.stderr.count("CMake Error") == 1, proc.stderr
    else:
        assert proc.returncode == 0, proc.stderr
        assert expect.format(**subst) in proc.stdout, proc.stdout


EXAMPLE = ROOT / "examples" / "typed_usage.py"


def _checker(name):
    exe = pathlib.Path(sys.executable).parent / name
    return str(exe) if exe.exists() else shutil.which(name)


# A user's typed program against the installed stubs (integer-like counts, checker-only names
# under TYPE_CHECKING), and the command line's own package, under both checkers.
@pytest.mark.parametrize("checker", ["mypy", "pyright"])
@pytest.mark.parametrize("target", [EXAMPLE, ROOT / "python" / "rivezor_cli"], ids=["example", "cli"])
def test_typed_code_passes_the_checkers(tmp_path, checker, target):
    if not (MODULE.parent / "rivezor.pyi").exists():
        pytest.skip("not an installed wheel (no stubs beside the module)")
    if checker == "mypy":
        pytest.importorskip("mypy")
        cmd = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(target)]
    else:
        exe = _checker("pyright")
        if exe is None:
            pytest.skip("pyright not installed (pip install pyright)")
        cmd = [exe, "--pythonpath", sys.executable, str(target)]
    try:
        proc = subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        pytest.skip(f"{checker} did not finish in 10 minutes")
    # Pyright's wrapper fetches its Node package on first use; without it there is no summary line.
    if checker == "pyright" and "informations" not in proc.stdout:
        pytest.skip(f"pyright cannot run here (status {proc.returncode}): {proc.stderr[-300:]}")
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_example_script_runs(tmp_path):
    proc = subprocess.run([sys.executable, str(EXAMPLE)], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "query_exact: row 7" in proc.stdout


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
