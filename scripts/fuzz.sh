#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 (ASan + UBSan) into build-fuzz/ and
# runs each one for a bounded time from its seed corpus. Any finding (crash,
# sanitizer report, leak, time-out) fails the script; the input that caused it
# is kept in build-fuzz/artifacts/.
#   FUZZ_SECONDS   seconds per target (default 30)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${FUZZ_SECONDS:-30}
build=build-fuzz

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DQUELMARK_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

mkdir -p "$build/artifacts"
status=0
for exe in "$build"/bin/fuzz_*; do
  name=$(basename "$exe")
  work="$build/corpus/$name"   # new inputs go here, the seeds stay as they are
  mkdir -p "$work"
  dirs=("$work")
  for seeds in */fuzz/corpus/"$name"; do
    [ -d "$seeds" ] && dirs+=("$seeds")
  done
  echo "fuzz: $name for ${seconds}s"
  if ! "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$name-" "${dirs[@]}" 2>"$build/$name.log"; then
    echo "fuzz: $name found a problem (log: $build/$name.log, input in $build/artifacts/)"
    tail -n 40 "$build/$name.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|cov:' "$build/$name.log" | tail -n 3 || true
  fi
done
exit $status
