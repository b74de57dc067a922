// Replays the fuzz targets' seed corpora and every input that once found a
// fault, so that none comes back unnoticed.
#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fixture/fixture.h"
#include "tests/fuzz/fuzz_targets.h"

namespace {

std::vector<std::string> inputs_below(const std::string& directory) {
  std::vector<std::string> paths;
  if (DIR* listing = opendir(directory.c_str())) {
    while (struct dirent* found = readdir(listing))
      if (found->d_name[0] != '.') paths.push_back(directory + "/" + found->d_name);
    closedir(listing);
  }
  return paths;
}

TEST(FuzzReplay, EveryKnownInputPassesBothTargets) {
  std::string fuzz = MORROWLINE_SOURCE_DIR "/tests/fuzz";
  std::vector<std::string> inputs;
  for (const char* corpus : {"/corpus", "/regressions"})
    for (const std::string& path : inputs_below(fuzz + corpus)) inputs.push_back(path);
  ASSERT_GT(inputs.size(), 10u);
  for (const std::string& path : inputs) {
    SCOPED_TRACE(path);
    std::string bytes = read_file(path);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    fuzz_archive(data, bytes.size());
    fuzz_extract(data, bytes.size());
  }
}

}  // namespace
