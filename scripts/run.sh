#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it: the GTK
# application (build/release/gui/app/veltrana). The command-line node,
# build/release/tools/veltrana-node, is built beside it as a tool.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
exec build/release/gui/app/veltrana "$@"
