#!/bin/sh
# Runs every test: installs what is missing, builds, runs the whole suite
# (unit and end-to-end) on the portable build, then builds everything again
# with AddressSanitizer and UBSan and runs the whole suite against that
# build, then fuzzes each target for about a minute. Any failure or
# sanitizer report fails the command.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

# Neither the set-up nor the build may add an architecture to dpkg: the
# aarch64 program's libraries come into the build tree only.
architectures_before=$(dpkg --print-foreign-architectures 2>/dev/null || true)

./tools/setup.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
if [ "$(dpkg --print-foreign-architectures 2>/dev/null || true)" != "$architectures_before" ]; then
  echo "test.sh: dpkg's foreign architectures changed: [$architectures_before] ->" \
    "[$(dpkg --print-foreign-architectures)]" >&2
  exit 1
fi
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DMORROWLINE_SANITIZE=ON \
  -DMORROWLINE_PORTABLE=OFF
cmake --build build-sanitize -j"$jobs"
# Reports go to files as well as failing the process that made them, so
# that none hides in a test that does not look at standard error.
reports=$(mktemp -d "${TMPDIR:-/tmp}/morrowline-sanitizer-XXXXXX")
chmod 1777 "$reports"
# Some tests run the program as nobody, who may not enter a checkout kept
# below a private home directory: what those runs read lies here.
shared=$(mktemp -d "${TMPDIR:-/tmp}/morrowline-shared-XXXXXX")
chmod 0755 "$shared"
cp tests/lsan.supp "$shared/lsan.supp"
chmod 0644 "$shared/lsan.supp"
status=0
(cd build-sanitize &&
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:log_path="$reports/asan" \
    LSAN_OPTIONS=suppressions="$shared/lsan.supp":print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path="$reports/ubsan" \
    ctest --output-on-failure -j"$jobs") || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  echo "test.sh: sanitizer reports:" >&2
  cat "$reports"/* >&2
  status=1
fi
rm -rf "$reports" "$shared"
[ "$status" -eq 0 ]

./tests/fuzz/run.sh 60
