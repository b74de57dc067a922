#!/bin/sh
# Runs every test: installs what is missing, builds, runs the whole suite,
# then builds the unit tests again with AddressSanitizer and UBSan and runs
# them. Any failure or sanitizer report fails the command.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

./tools/setup.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DMORROWLINE_SANITIZE=ON -DMORROWLINE_PORTABLE=OFF \
  -DMORROWLINE_UNIT_TESTS_ONLY=ON
cmake --build build-sanitize -j"$jobs"
(cd build-sanitize &&
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 \
    LSAN_OPTIONS=suppressions="$(pwd)/../tests/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j"$jobs" -L unit)
