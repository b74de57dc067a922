#include "pack/installer_stub.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "archive/context_error.h"

namespace {

// The directory of the running program, links resolved, so that a
// morrowline-pack started through a link on PATH still finds its stub.
std::string own_directory() {
  std::vector<char> buffer(4096);
  ssize_t length;
  while ((length = readlink("/proc/self/exe", buffer.data(), buffer.size())) ==
         static_cast<ssize_t>(buffer.size()))
    buffer.resize(buffer.size() * 2);
  if (length < 0)
    throw ContextError("installer program not found",
                       std::string("/proc/self/exe: ") + std::strerror(errno));
  std::string path(buffer.data(), static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

// Empty when the program can be read, else why not.
std::string unreadable_reason(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return std::strerror(errno);
  close(descriptor);
  return "";
}

}  // namespace

std::string locate_installer_stub(const std::string& requested) {
  std::string path = requested.empty() ? own_directory() + installer_program_name : requested;
  std::string reason = unreadable_reason(path);
  if (reason.empty()) return path;
  std::string hint = requested.empty() ? " (give --stub PROGRAM)" : "";
  throw ContextError("installer program not found", path + ": " + reason + hint);
}
