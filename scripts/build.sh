#!/usr/bin/env bash
# Configures and builds everything into build/ (programs in build/bin, library in
# build/lib, firmware in build/firmware).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
