#include "destination/tree_entries.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// Kernels before 4.11 lack statx, and some sandboxes refuse it (EPERM);
// fstatat then tells all but the mount ID and the file attributes.
std::atomic<bool> statx_missing{false};

}  // namespace

EntryStatus status_of(int parent_fd, const char* name) {
  EntryStatus status;
  int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
  if (!statx_missing.load(std::memory_order_relaxed)) {
    status.exists = syscall(SYS_statx, parent_fd, name, flags,
                            STATX_TYPE | STATX_MODE | STATX_UID | STATX_MNT_ID, &status.info) == 0;
    if (status.exists || (errno != ENOSYS && errno != EPERM)) return status;
    statx_missing = true;
  }
  struct stat info;
  status.exists = fstatat(parent_fd, name, &info, flags) == 0;
  status.info.stx_mask = STATX_TYPE | STATX_MODE | STATX_UID;
  status.info.stx_mode = static_cast<uint16_t>(info.st_mode);
  status.info.stx_uid = info.st_uid;
  status.info.stx_dev_major = major(info.st_dev);
  status.info.stx_dev_minor = minor(info.st_dev);
  return status;
}

bool list_directory(int fd, std::vector<std::string>& names) {
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* listing = fdopendir(copy);
  if (!listing) {
    int error = errno;
    close(copy);
    errno = error;
    return false;
  }
  while (struct dirent* found = readdir(listing)) {
    std::string name = found->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  closedir(listing);
  return true;
}
