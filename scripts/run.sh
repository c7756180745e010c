#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
exec build/release/tools/veltrana-node "$@"
