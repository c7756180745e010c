#!/usr/bin/env bash
# Builds the benchmarks (optimised, no sanitizers) and runs them all, or the
# ones named as arguments. Figures only; nothing here fails on a number.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRANA_BUILD_TESTS=OFF -DVELTRANA_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)"
if [ $# -gt 0 ]; then targets=("$@"); else targets=(build/bench/bench/*_bench); fi
for b in "${targets[@]}"; do
  [ -x "$b" ] || b="build/bench/bench/$b"
  echo "== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true
done
