#!/usr/bin/env bash
# Builds the index-reader fuzz harness with clang (libFuzzer, ASan, UBSan) and runs it from the
# generated seed corpus for a bounded number of inputs (FUZZ_RUNS) or seconds (FUZZ_SECONDS).
source "$(dirname "$0")/preamble.sh"
build=${RIVEZOR_FUZZ_BUILD:-$root/build/fuzz}
runs=${FUZZ_RUNS:-20000}
seconds=${FUZZ_SECONDS:-30}

echo "== fuzz build ($build)"
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$VPY" -DRIVEZOR_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target fuzz_open >/dev/null
"$VPY" tests/fuzz/make_seeds.py "$build/seeds" >/dev/null

echo "== fuzzing the index reader: at most $runs inputs or ${seconds}s"
corpus=$(mktemp -d)
log=$build/fuzz_open.log
trap 'rm -rf "$corpus"' EXIT
if ! "$build/fuzz_open" -runs="$runs" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/" "$corpus" "$build/seeds" >"$log" 2>&1; then
  tail -n 60 "$log" >&2
  echo "fuzz_open failed; the input that failed is under $build/ (crash-*, timeout-*, oom-*)" >&2
  exit 1
fi
grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb|fuzz_open:)' "$log"
