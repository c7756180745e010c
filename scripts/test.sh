#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: all suites under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency suites again
# under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DVELTRANA_SANITIZER=asan -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan -j "$jobs" --output-on-failure --timeout 600

echo "== ThreadSanitizer (concurrency suites)"
cmake -S . -B build/tsan -G Ninja -DVELTRANA_SANITIZER=tsan -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/tsan -j "$jobs" --target concurrency_tests
ctest --test-dir build/tsan -j "$jobs" -L concurrency --output-on-failure --timeout 600

echo "== libFuzzer (short run of every target; scripts/fuzz.sh for longer ones)"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-16}"
