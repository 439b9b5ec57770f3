#!/usr/bin/env bash
# Runs every test against the installed wheel: the C++ unit tests of the engine internals,
# then the Python suite from outside the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
VPY=$root/.venv/bin/python
export PATH=$root/.venv/bin:$PATH

echo "== C++ unit tests"
cmake -S . -B build/cpp-tests -G Ninja -DPython_EXECUTABLE="$VPY" -DRIVEZOR_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp-tests --target rivezor_cpp_tests >/dev/null
./build/cpp-tests/rivezor_cpp_tests --gtest_brief=1

echo "== Python tests"
cd "$(mktemp -d)"
"$VPY" -m pytest -q -p no:cacheprovider "$root/tests" "$@"

# The sdist and the wheel as users install them, in clean environments.
bash "$root/tools/check-dist.sh"

# The same suites under AddressSanitizer and UndefinedBehaviorSanitizer, then a bounded fuzz run.
bash "$root/tools/run-sanitized.sh" "$@"
bash "$root/tools/run-fuzz.sh"
