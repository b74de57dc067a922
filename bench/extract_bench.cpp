// Measures loading and extraction speed on payloads of the shapes people
// ship: one big file, and many small ones. Not part of the test suite.
//
//   build/bench/extract_bench [big_megabytes] [small_count]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "extract/extractor.h"
#include "tests/fixture/fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Text-like data that deflates about as well as real payloads do.
std::string payload(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "0x3F ", "path/to/file "};
  std::string data;
  data.reserve(size + 16);
  while (data.size() < size) data += words[random() % 6];
  data.resize(size);
  return data;
}

void measure(const char* label, const std::vector<TestMember>& members, uint64_t bytes) {
  TempDir dir;
  auto zip = make_zip(members);
  std::string installer = dir / "installer";
  write_file(installer, zip);
  std::string destination = dir / "out";
  std::string command = "mkdir -p '" + destination + "'";
  if (std::system(command.c_str()) != 0) return;

  auto start = Clock::now();
  Extractor extractor(installer);
  double loaded = seconds_since(start);
  extractor.extract_all(destination);
  double total = seconds_since(start);
  std::printf("%-28s %8zu members %9.1f MiB  load %6.3f s  total %6.3f s  %7.1f MiB/s\n", label,
              members.size(), bytes / 1048576.0, loaded, total, bytes / 1048576.0 / total);
}

}  // namespace

int main(int argc, char** argv) {
  size_t big_megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  size_t small_count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20000;

  std::vector<TestMember> big = {{"pkg/", "", 040755},
                                 {"pkg/data.bin", payload(big_megabytes << 20, 1)}};
  measure("one big deflated file", big, big_megabytes << 20);
  big[1].method = 0;
  measure("one big stored file", big, big_megabytes << 20);

  std::vector<TestMember> small = {{"pkg/", "", 040755}};
  uint64_t bytes = 0;
  for (size_t i = 0; i < small_count; ++i) {
    if (i % 100 == 0) small.push_back({"pkg/d" + std::to_string(i / 100) + "/", "", 040755});
    small.push_back({"pkg/d" + std::to_string(i / 100) + "/f" + std::to_string(i),
                     payload(2000, static_cast<unsigned>(i))});
    bytes += 2000;
  }
  measure("many small files", small, bytes);
  return 0;
}
