#include "pack/pending_file.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/context_error.h"

namespace {

[[noreturn]] void cannot_write(const std::string& path) {
  throw ContextError("cannot write installer", path + ": " + std::strerror(errno));
}

}  // namespace

PendingFile::PendingFile(const std::string& target, const std::string& suffix) : target_(target) {
  size_t slash = target.rfind('/');
  std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string pattern = directory + "." + name + suffix + ".XXXXXX";
  int descriptor = mkstemp(pattern.data());
  if (descriptor < 0) cannot_write(pattern);
  close(descriptor);  // written through its name; only the name is kept
  path_ = pattern;
}

PendingFile::~PendingFile() {
  if (!placed_) unlink(path_.c_str());
}

void PendingFile::place(mode_t mode) {
  if (chmod(path_.c_str(), mode) != 0) cannot_write(path_);
  if (rename(path_.c_str(), target_.c_str()) != 0) cannot_write(target_);
  placed_ = true;
}
