#include "destination/directory.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/context_error.h"
#include "destination/target_path.h"

#ifndef SYS_openat2
#define SYS_openat2 437
#endif

namespace {

// Kernels before 5.6, and some sandboxes, lack openat2; the walk of
// target_path() then keeps a run below its destination.
std::atomic<bool> openat2_missing{false};

// Opens `relative` below `root` with `flags`, links followed only while
// they stay below it. -1 with errno set on failure; EXDEV means a link led
// out (or is absolute, which the kernel refuses without looking).
int open_beneath(const Directory& root, const std::string& relative, int flags) {
  const char* path = relative.empty() ? "." : relative.c_str();
  if (!openat2_missing.load(std::memory_order_relaxed)) {
    struct open_how how = {};
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, root.fd.get(), path, &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
    openat2_missing = true;
  }
  // target_path throws when a link leads outside.
  std::string resolved = target_path(root.real, relative, LeafRule::follow);
  return open(resolved.c_str(), flags | O_NOFOLLOW);
}

// The paths of a directory just opened at `relative` below `root`.
void name_opened(const Directory& root, const std::string& relative, Directory& opened) {
  opened.real = child_path(root.real, relative);
  opened.shown = child_path(root.shown, relative);
  if (root.shown != root.real) return;  // a staging tree holds no links
  // Links on the way are resolved as the kernel resolved them.
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", opened.fd.get());
  std::string resolved(4096, '\0');
  ssize_t length = readlink(link, resolved.data(), resolved.size());
  if (length > 0 && static_cast<size_t>(length) < resolved.size() && resolved[0] == '/') {
    resolved.resize(static_cast<size_t>(length));
    opened.real = opened.shown = resolved;
  }
}

}  // namespace

void fail_at(const char* message, const std::string& path, int error) {
  throw ContextError(message, path + ": " + std::strerror(error));
}

std::shared_ptr<Directory> open_directory(const std::string& path) {
  auto directory = std::make_shared<Directory>();
  directory->fd = FileDescriptor(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Without read permission it can still be written into, not locked.
  if (!directory->fd.valid() && errno == EACCES)
    directory->fd = FileDescriptor(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!directory->fd.valid()) fail_at("cannot open directory", path, errno);
  directory->shown = directory->real = path;
  return directory;
}

std::shared_ptr<Directory> open_below(const Directory& root, const std::string& relative) {
  auto opened = std::make_shared<Directory>();
  opened->fd = FileDescriptor(open_beneath(root, relative, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (opened->fd.valid()) {
    name_opened(root, relative, *opened);
    return opened;
  }
  switch (errno) {
    case ENOENT:
    case ENOTDIR:
      return nullptr;
    case EXDEV: {
      // Says where the link leads; one that stays inside is absolute, and
      // is taken as before.
      std::string resolved = target_path(root.real, relative, LeafRule::follow);
      opened->fd =
          FileDescriptor(open(resolved.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!opened->fd.valid()) return nullptr;
      name_opened(root, relative, *opened);
      return opened;
    }
    default:
      fail_at("cannot resolve path", child_path(root.shown, relative), errno);
  }
}

FileDescriptor open_directory_below(const Directory& root, const std::string& relative) {
  return FileDescriptor(open_beneath(root, relative, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}
