#include "extract/file_replacement.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/context_error.h"

namespace {

std::string directory_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The path as people write it: the joined member path may hold "//".
std::string shown(const std::string& path) {
  std::string out;
  for (char c : path)
    if (c != '/' || out.empty() || out.back() != '/') out += c;
  return out;
}

}  // namespace

FileReplacement::FileReplacement(std::string path) : path_(std::move(path)) {
  // A short name of our own, so a member name near the length limit still
  // gets a temporary beside it.
  std::string directory = directory_of(path_);
  for (unsigned attempt = 0; fd_ < 0; ++attempt) {
    temporary_ = directory + "/.morrowline-" + std::to_string(getpid()) + "-" +
                 std::to_string(attempt) + ".part";
    fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0 && (errno != EEXIST || attempt > 1000)) {
      temporary_.clear();
      fail("cannot create file");
    }
  }
}

FileReplacement::~FileReplacement() {
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

void FileReplacement::write(const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("cannot write file");
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

void FileReplacement::commit() {
  int fd = fd_;
  fd_ = -1;
  // Some file systems report a full disk only when the file is closed.
  if (close(fd) != 0) fail("cannot write file");
  if (rename(temporary_.c_str(), path_.c_str()) != 0) fail("cannot create file");
  temporary_.clear();
}

void FileReplacement::fail(const char* message) const {
  throw ContextError(message, shown(path_) + ": " + std::strerror(errno));
}
