#include "extract/directories.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "archive/context_error.h"

namespace {

bool is_directory(const std::string& path) {
  struct stat entry;
  return stat(path.c_str(), &entry) == 0 && S_ISDIR(entry.st_mode);
}

}  // namespace

void make_directories(const std::string& path) {
  if (path.empty() || is_directory(path)) return;
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) make_directories(path.substr(0, slash));
  if (mkdir(path.c_str(), 0755) == 0) return;
  int reason = errno;
  if (reason == EEXIST && is_directory(path)) return;
  if (reason == EEXIST) reason = ENOTDIR;
  throw ContextError("cannot create directory", path + ": " + std::strerror(reason));
}
