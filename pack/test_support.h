#ifndef MORROWLINE_PACK_TEST_SUPPORT_H_
#define MORROWLINE_PACK_TEST_SUPPORT_H_

// Helpers shared by the pack unit tests.
#include <sys/stat.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "common/context_error.h"
#include "tests/fixture/fixture.h"

// What `action` throws, as the program reports it; "no error" when nothing.
inline std::string failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return describe_failure(e);
  }
  return "no error";
}

// Writes `bytes` at `path` with the permission bits `mode`.
inline void write_file_with_mode(const std::string& path, const std::string& bytes, mode_t mode) {
  write_file(path, bytes);
  if (chmod(path.c_str(), mode) != 0) throw std::runtime_error("chmod " + path);
}

inline void make_directory(const std::string& path, mode_t mode = 0755) {
  if (mkdir(path.c_str(), mode) != 0 || chmod(path.c_str(), mode) != 0)
    throw std::runtime_error("mkdir " + path);
}

#endif  // MORROWLINE_PACK_TEST_SUPPORT_H_
