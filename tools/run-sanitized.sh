#!/usr/bin/env bash
# Builds the module and the C++ unit tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs both suites against that build. Extra arguments go to pytest.
source "$(dirname "$0")/preamble.sh"
build=${RIVEZOR_SANITIZE_BUILD:-$root/build/sanitize}

echo "== sanitizer build ($build)"
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$VPY" -DRIVEZOR_SANITIZE=ON -DRIVEZOR_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target rivezor rivezor_cpp_tests >/dev/null

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
echo "== C++ unit tests under ASan+UBSan (leak checking on)"
ASAN_OPTIONS=detect_leaks=1:strict_init_order=1:check_initialization_order=1 \
  "$build/rivezor_cpp_tests" --gtest_brief=1

echo "== Python tests under ASan+UBSan"
# The interpreter is not instrumented, so the runtime must be loaded first; libstdc++ with it,
# or ASan cannot find the real __cxa_throw it wraps. CPython keeps its interned objects
# until exit, so leak reports would be noise: leaks are measured by tests/test_leaks.py.
# allocator_may_return_null keeps an impossible allocation a MemoryError, as without ASan.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:strict_init_order=1:check_initialization_order=1
export PYTHONPATH=$build
# Lets tests skip what cannot run under ASan (tens of thousands of threads exhaust its shadow
# mappings) and loosen RSS figures that its quarantine inflates.
export RIVEZOR_SANITIZED=1
module=$("$VPY" -c "import rivezor; print(rivezor.__file__)")
case $module in
  "$build"/*) ;;
  *) echo "expected the sanitized module from $build, got $module" >&2; exit 1 ;;
esac
cd "$(mktemp -d)"
"$VPY" -m pytest -q -p no:cacheprovider "$root/tests" "$@"
