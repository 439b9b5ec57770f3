#!/usr/bin/env bash
# Checks what we publish as users get it: the sdist's content and its build in a clean
# environment, then the repaired wheel in clean Python 3.12 and 3.13 environments.
source "$(dirname "$0")/preamble.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quiet_pip() { "$@" 2> >(grep -v '^WARNING: Location' >&2); }

# A user's first minutes: prepare, open, search, and agree with NumPy.
e2e='
import sys, tempfile, numpy as np, rivezor
X = np.random.default_rng(7).standard_normal((500, 32)).astype(np.float32)
path = rivezor.py_prepare_bin_from_embeddings(X, 32, 500, "e2e", "f32", output_dir=tempfile.mkdtemp())
engine = rivezor.PySearchEngine(path, False)
q = X[17] / np.linalg.norm(X[17])
got = [h.idx for h in engine.query_exact(q, 5).results]
want = list(np.argsort(-(X / np.linalg.norm(X, axis=1, keepdims=True)) @ q, kind="stable")[:5])
assert got == want and engine.rows() == 500, (got, want)
print("e2e ok on Python", sys.version.split()[0])
'

echo "== sdist: content and a build in a clean environment"
quiet_pip "$VPY" -m build -q --sdist -o "$work" . >/dev/null
sdist=$(ls "$work"/rivezor-*.tar.gz)
"$VPY" - "$sdist" <<'PY'
import sys, tarfile
names = [n.split("/", 1)[1] for n in tarfile.open(sys.argv[1]).getnames() if "/" in n]
bad = [n for n in names if n.split("/")[0] in {"build", "dist", ".venv", ".git", ".ci"} or "__pycache__" in n]
need = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "THIRD_PARTY_NOTICES", "CHANGELOG.md",
        "README.md", "stubs/rivezor.pyi", "src/lib/exports.map", "src/compat/arc4random.c"}
missing = need - set(names)
assert not bad and not missing, f"sdist: unexpected {bad[:5]}, missing {sorted(missing)}"
print(f"sdist {sys.argv[1].rsplit('/', 1)[1]}: {len(names)} entries")
PY
"$VPY" -m venv "$work/sdist-env"
quiet_pip "$work/sdist-env/bin/python" -m pip install -q "$sdist"
(cd "$work" && "$work/sdist-env/bin/python" -c "$e2e")

echo "== wheel in clean environments"
wheel=$(ls "$root"/dist/rivezor-*manylinux*.whl)
for v in 3.12.1 3.13.0; do
  py=${PYENV_ROOT:-/root/.pyenv}/versions/$v/bin/python3
  if [ ! -x "$py" ]; then echo "SKIP: Python $v not found at $py"; continue; fi
  "$py" -m venv "$work/py$v"
  quiet_pip "$work/py$v/bin/python" -m pip install -q "$wheel"
  (cd "$work" && "$work/py$v/bin/python" -c "$e2e")
done
