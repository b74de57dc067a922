#ifndef MORROWLINE_TESTS_FUZZ_FUZZ_TARGETS_H_
#define MORROWLINE_TESTS_FUZZ_FUZZ_TARGETS_H_

#include <cstddef>
#include <cstdint>

// The bodies of the fuzz targets, shared by the libFuzzer programs and the
// unit test that replays their corpora. Each takes any bytes as the file an
// installer would find its archive in. The archive's own failures
// (exceptions) are expected; a crash, a sanitizer report or an abort() from
// a broken promise is a finding.

// Loads and lists the archive, then reads every member by index and by
// name, at most 16 MiB in all.
void fuzz_archive(const uint8_t* data, size_t size);

// Extracts the archive into a fresh directory that already holds an older
// pkg/ tree and links leading out of it, then aborts unless nothing exists
// outside it, every path inside resolves inside, and no temporary or
// staging entry is left.
void fuzz_extract(const uint8_t* data, size_t size);

#endif  // MORROWLINE_TESTS_FUZZ_FUZZ_TARGETS_H_
