#include "pack/installer_stub.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/context_error.h"

namespace {

#if defined(__aarch64__)
constexpr Architecture packer_architecture = Architecture::aarch64;
#else
constexpr Architecture packer_architecture = Architecture::x86_64;
#endif

// The directory above the running program's, links resolved, so that a
// morrowline-pack started through a link on PATH still finds its stub.
std::string installation_directory() {
  std::vector<char> buffer(4096);
  ssize_t length;
  while ((length = readlink("/proc/self/exe", buffer.data(), buffer.size())) ==
         static_cast<ssize_t>(buffer.size()))
    buffer.resize(buffer.size() * 2);
  if (length < 0)
    throw ContextError("installer program not found",
                       std::string("/proc/self/exe: ") + std::strerror(errno));
  std::string path(buffer.data(), static_cast<size_t>(length));
  path.resize(path.rfind('/'));  // the program's directory
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

std::string installer_program_place(Architecture architecture) {
  if (architecture == packer_architecture) return std::string("bin/") + installer_program_name;
  return "lib/morrowline-sfx/" + architecture_name(architecture) + "/" + installer_program_name;
}

uint64_t installer_program_room() {
  uint64_t room = 0;
  std::string directory = installation_directory();
  for (Architecture architecture : {Architecture::x86_64, Architecture::aarch64}) {
    struct stat info;
    std::string path = directory + installer_program_place(architecture);
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
      room = std::max(room, static_cast<uint64_t>(info.st_size));
  }
  return room;
}

std::string locate_installer_stub(const std::string& requested,
                                  std::optional<Architecture> architecture) {
  std::string path = requested;
  if (path.empty()) {
    // The default place holds one architecture's program only.
    if (!architecture) architecture = Architecture::x86_64;
    path = installation_directory() + installer_program_place(*architecture);
  }
  std::string reason = unreadable_reason(path);
  if (!reason.empty()) {
    std::string hint = requested.empty() ? " (give --stub PROGRAM)" : "";
    throw ContextError("installer program not found", path + ": " + reason + hint);
  }
  if (architecture) {
    std::string found = program_architecture(program_header(path));
    std::string wanted = architecture_name(*architecture);
    if (found != wanted)
      throw ContextError(
          "installer program for another architecture",
          path + ": " + (found.empty() ? "not an ELF program" : found) + ", not " + wanted);
  }
  return path;
}

std::string installer_notices() {
  std::string path = installation_directory() + "share/doc/morrowline-sfx/installer-notices.txt";
  std::string reason = unreadable_reason(path);
  std::ifstream file(path, std::ios::binary);
  if (!reason.empty() || !file)
    throw ContextError("notices not found",
                       path + ": " + (reason.empty() ? std::strerror(errno) : reason));
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}
