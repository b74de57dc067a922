#!/bin/sh
# run.sh [SECONDS]: builds the fuzz targets with clang in build-fuzz/ and
# runs archive_fuzzer and extract_fuzzer side by side for SECONDS each
# (default 60), from the seed corpus and the regressions. New inputs go to
# build-fuzz/corpus-*/; a crash, hang or sanitizer report fails the run and
# leaves its input in build-fuzz/findings/ (add it to tests/fuzz/regressions
# once fixed).
set -eu
cd "$(dirname "$0")/../.."
seconds=${1:-60}
jobs=$(nproc 2>/dev/null || echo 2)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DMORROWLINE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$jobs" --target archive_fuzzer extract_fuzzer >/dev/null
mkdir -p build-fuzz/findings

set --
for target in archive extract; do
  mkdir -p "build-fuzz/corpus-$target"
  # The first corpus directory takes what the fuzzer finds; the committed
  # ones are only read.
  "build-fuzz/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" -max_len=65536 \
    -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/findings/$target-" \
    "build-fuzz/corpus-$target" tests/fuzz/corpus tests/fuzz/regressions \
    >"build-fuzz/$target.log" 2>&1 &
  set -- "$@" "$!"
done

failed=0
for target in archive extract; do
  pid=$1
  shift
  if wait "$pid"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build-fuzz/$target.log")
    echo "${target}_fuzzer: $runs runs in $seconds s, no finding"
  else
    echo "${target}_fuzzer: FAILED; the end of build-fuzz/$target.log:" >&2
    tail -n 40 "build-fuzz/$target.log" >&2
    failed=1
  fi
done
exit "$failed"
