#!/usr/bin/env bash
# Runs every test against the installed wheel: the C++ unit tests of the engine internals,
# then the Python suite from outside the source tree, then both under the sanitizers and a
# bounded fuzz run. `--fast` (first argument) stops after the plain suites, for daily work.
# Other arguments go to pytest.
source "$(dirname "$0")/preamble.sh"
fast=0
if [ "${1:-}" = "--fast" ]; then
  fast=1
  shift
fi

echo "== C++ unit tests"
cmake -S . -B build/cpp-tests -G Ninja -DPython_EXECUTABLE="$VPY" -DRIVEZOR_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp-tests --target rivezor_cpp_tests >/dev/null
./build/cpp-tests/rivezor_cpp_tests --gtest_brief=1

echo "== Python tests"
cd "$(mktemp -d)"
"$VPY" -m pytest -q -p no:cacheprovider "$root/tests" "$@"
if [ "$fast" = 1 ]; then exit 0; fi

# The sdist and the wheel as users install them, in clean environments.
bash "$root/tools/check-dist.sh"

# The same suites under AddressSanitizer and UndefinedBehaviorSanitizer, then a bounded fuzz run.
bash "$root/tools/run-sanitized.sh" "$@"
bash "$root/tools/run-fuzz.sh"
