#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz and runs each for a while.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target comes from the argument, else FUZZ_SECONDS, else 30.
# Each target starts from its committed seeds in tests/fuzz/corpus/<target>/
# and keeps what it finds in build/fuzz/corpus/<target>/, so later runs go
# on from there. A target's output goes to build/fuzz/logs/<target>.log; a
# crash leaves its input in build/fuzz/artifacts/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi

cmake -S . -B build/fuzz -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DVELTRANA_FUZZ=ON -DVELTRANA_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzz_targets

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets <build/fuzz/fuzz_targets.txt
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p build/fuzz/logs build/fuzz/artifacts
failed=0
for t in "${targets[@]}"; do
  binary=build/fuzz/tests/fuzz/$t
  [ -x "$binary" ] || { echo "fuzz: no target $t" >&2; exit 2; }
  mkdir -p "build/fuzz/corpus/$t"
  log=build/fuzz/logs/$t.log
  echo "== $t: ${seconds}s"
  if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$t-" \
      "build/fuzz/corpus/$t" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+.*DONE' "$log" || true
    echo "   corpus: $(ls "build/fuzz/corpus/$t" | wc -l) inputs"
  else
    failed=1
    echo "fuzz: $t FAILED; log $log" >&2
    grep -A40 -E '^==[0-9]+==ERROR|runtime error|deadly signal' "$log" | head -80 >&2 || tail -40 "$log" >&2
  fi
done
exit "$failed"
