#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 600
if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh
fi
