#include "destination/trees.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

#include "common/context_error.h"
#include "destination/target_path.h"
#include "destination/tree_entries.h"

namespace {

// The process ID in a name own_entry_name() made with `suffix`, or 0.
pid_t owner_of(const std::string& name, const char* suffix) {
  size_t prefix = sizeof own_entry_prefix - 1, tail = std::strlen(suffix);
  if (name.size() <= prefix + tail || name.compare(0, prefix, own_entry_prefix) != 0 ||
      name.compare(name.size() - tail, tail, suffix) != 0)
    return 0;
  std::string middle = name.substr(prefix, name.size() - prefix - tail);
  size_t dash = middle.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == middle.size() ||
      middle.find_first_not_of("0123456789-") != std::string::npos ||
      middle.find('-', dash + 1) != std::string::npos || dash > 9)
    return 0;
  return static_cast<pid_t>(std::stol(middle.substr(0, dash)));
}

// True when nothing at all stands at `name` of `parent_fd`.
bool name_is_free(int parent_fd, const std::string& name) {
  struct stat entry;
  return fstatat(parent_fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

// renameat2 arrived in Linux 3.15, and some sandboxes refuse it (EPERM).
// -1 with errno ENOSYS too when a file system cannot do what `flags` ask
// (EINVAL), so that callers have one case for "not here".
int rename_with_flags(int fd, const char* from, const char* to, unsigned flags) {
  if (syscall(SYS_renameat2, fd, from, fd, to, flags) == 0) return 0;
  if (errno == EINVAL || errno == EPERM) errno = ENOSYS;
  return -1;
}

// Removes `name` of `parent_fd`, and everything below it when it is a
// directory of the mount `home`.
void remove_entry(int parent_fd, const std::string& name, const std::string& path,
                  const MountIdentity& home) {
  if (unlinkat(parent_fd, name.c_str(), 0) == 0 || errno == ENOENT) return;
  int unlink_error = errno;
  if (unlink_error != EISDIR && unlink_error != EPERM)
    fail_at("cannot remove directory", path, errno);
  EntryStatus entry = status_of(parent_fd, name.c_str());
  if (!entry.exists || !S_ISDIR(entry.info.stx_mode))
    fail_at("cannot remove directory", path, unlink_error);
  if (!MountIdentity(entry.info).same(home))
    throw ContextError("cannot remove directory", path + ": a file system is mounted there");
  FileDescriptor directory(
      openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid() && errno == EACCES &&
      fchmodat(parent_fd, name.c_str(), (entry.info.stx_mode & 07777) | 0700, 0) == 0)
    directory = FileDescriptor(
        openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid()) fail_at("cannot remove directory", path, errno);
  // A read-only directory must let its owner take its entries out.
  if ((entry.info.stx_mode & 0700) != 0700)
    (void)fchmod(directory.get(), (entry.info.stx_mode & 07777) | 0700);

  std::vector<std::string> names;
  if (!list_directory(directory.get(), names)) fail_at("cannot remove directory", path, errno);
  // Whatever can go goes: one entry that stays leaves the least behind.
  std::exception_ptr first_failure;
  for (const std::string& entry_name : names) {
    try {
      remove_entry(directory.get(), entry_name, path + "/" + entry_name, home);
    } catch (const ContextError&) {
      if (!first_failure) first_failure = std::current_exception();
    }
  }
  if (first_failure) std::rethrow_exception(first_failure);
  if (unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
    fail_at("cannot remove directory", path, errno);
}

}  // namespace

std::shared_ptr<Directory> make_staging_directory(const Directory& parent, const std::string& leaf,
                                                  std::string& name) {
  for (unsigned attempt = 0;; ++attempt) {
    name = own_entry_name(attempt, staging_suffix);
    if (mkdirat(parent.fd.get(), name.c_str(), 0700) == 0) break;
    if (errno != EEXIST || attempt > 1000)
      fail_at("cannot create directory", child_path(parent.shown, name), errno);
  }
  auto staging = std::make_shared<Directory>();
  staging->fd = FileDescriptor(
      openat(parent.fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!staging->fd.valid()) {
    int error = errno;
    (void)unlinkat(parent.fd.get(), name.c_str(), AT_REMOVEDIR);
    fail_at("cannot create directory", child_path(parent.shown, name), error);
  }
  give_owner_access(staging->fd.get(), parent, name);
  staging->shown = child_path(parent.shown, leaf);
  staging->real = child_path(parent.real, name);
  staging->made = true;
  return staging;
}

FileDescriptor lock_entry(const Directory& parent, const std::string& name) {
  FileDescriptor entry(openat(parent.fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (entry.valid() && flock(entry.get(), LOCK_EX | LOCK_NB) != 0) entry.reset();
  return entry;
}

void remove_stale_entries(const Directory& directory) {
  FileDescriptor listed(openat(directory.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listed.valid()) return;
  std::vector<std::string> names;
  if (!list_directory(listed.get(), names)) return;
  for (const std::string& name : names) {
    pid_t owner = owner_of(name, staging_suffix);
    bool staging = owner != 0;
    if (!staging) owner = owner_of(name, temporary_suffix);
    if (owner == 0) continue;
    // A live run holds a lock on what it makes; where locks do not work,
    // a run that still exists is taken to be using it.
    FileDescriptor entry(
        openat(directory.fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!entry.valid()) continue;
    if (flock(entry.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK || kill(owner, 0) == 0 || errno != ESRCH) continue;
    }
    try {
      if (staging) check_tree_removable(directory, name, 0, [] {});
      remove_tree(directory, name);
    } catch (const ContextError&) {
      // Left for the user: it holds a mount, or cannot be removed.
    }
  }
}

bool exchange_entries(const Directory& parent, const std::string& a, const std::string& b) {
  int fd = parent.fd.get();
  if (rename_with_flags(fd, a.c_str(), b.c_str(), RENAME_EXCHANGE) == 0) return true;
  if (errno == EXDEV) return false;
  if (errno != ENOSYS) fail_at("cannot replace directory", child_path(parent.shown, b), errno);
  // No exchange on this kernel or file system: b steps aside for a moment.
  std::string aside;
  for (unsigned attempt = 0; aside.empty(); ++attempt) {
    std::string name = own_entry_name(attempt, aside_suffix);
    if (name_is_free(fd, name)) aside = name;
  }
  if (renameat(fd, b.c_str(), fd, aside.c_str()) != 0) {
    if (errno == EXDEV) return false;
    fail_at("cannot replace directory", child_path(parent.shown, b), errno);
  }
  if (renameat(fd, a.c_str(), fd, b.c_str()) != 0) {
    int error = errno;
    (void)renameat(fd, aside.c_str(), fd, b.c_str());
    fail_at("cannot replace directory", child_path(parent.shown, b), error);
  }
  (void)renameat(fd, aside.c_str(), fd, a.c_str());
  return true;
}

void rename_entry(const Directory& parent, const std::string& from, const std::string& to,
                  const char* message) {
  int fd = parent.fd.get();
  if (rename_with_flags(fd, from.c_str(), to.c_str(), RENAME_NOREPLACE) == 0) return;
  // Kernels and file systems without RENAME_NOREPLACE: look first, then
  // rename; the destination's lock keeps other installers out meanwhile.
  if (errno == ENOSYS) {
    struct stat entry;
    if (fstatat(fd, to.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0)
      errno = EEXIST;
    else if (errno == ENOENT && renameat(fd, from.c_str(), fd, to.c_str()) == 0)
      return;
  }
  fail_at(message, child_path(parent.shown, to), errno);
}

std::string free_name(const Directory& parent, const std::string& base) {
  std::string name = base;
  for (unsigned n = 2; !name_is_free(parent.fd.get(), name); ++n) {
    if (n > 1000) break;
    name = base + "-" + std::to_string(n);
  }
  return name;
}

void remove_tree(const Directory& parent, const std::string& name) {
  std::string path = child_path(parent.shown, name);
  EntryStatus holder = status_of(parent.fd.get(), "");
  if (!holder.exists) fail_at("cannot remove directory", path, errno);
  remove_entry(parent.fd.get(), name, path, MountIdentity(holder.info));
}
