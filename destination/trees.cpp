#include "destination/trees.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "common/context_error.h"
#include "destination/mount_table.h"
#include "destination/target_path.h"

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

struct EntryStatus {
  struct statx info = {};
  bool exists = false;
};

// Kernels before 4.11 lack statx, and some sandboxes refuse it (EPERM);
// fstatat then tells all but the mount ID and the file attributes.
std::atomic<bool> statx_missing{false};

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

// Which mount an entry belongs to: its mount ID where the kernel gives
// one (Linux 5.8), else only its device, which a bind mount of a folder on
// the same file system shares.
struct MountIdentity {
  bool has_id = false;
  uint64_t id = 0;
  dev_t device = 0;

  explicit MountIdentity(const struct statx& info)
      : has_id(info.stx_mask & STATX_MNT_ID),
        id(info.stx_mnt_id),
        device(makedev(info.stx_dev_major, info.stx_dev_minor)) {}

  bool same(const MountIdentity& other) const {
    if (has_id && other.has_id) return id == other.id;
    return device == other.device;
  }
};

// Reads the names in an open directory, "." and ".." left out, into
// `names`. False, with errno set, when it cannot.
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

// The walk of check_tree_removable(): one entry at a time, depth first.
class RemovabilityWalk {
 public:
  RemovabilityWalk(const std::string& tree, const MountIdentity& home,
                   const std::function<void()>& tick)
      : tree_(tree), home_(home), tick_(tick), user_(geteuid()) {}

  void visit(int parent_fd, const std::string& name, const std::string& path, size_t depth,
             const struct statx& info);
  // Throws unless a removal fits the open-file limit (see
  // check_tree_removable).
  void check_open_file_limit(size_t held_later) const;

 private:
  [[noreturn]] void blocked(const std::string& what) const {
    throw ContextError("cannot replace directory", tree_ + ": " + what);
  }
  [[noreturn]] void too_deep(const std::string& path) const;
  void check_flags(int parent_fd, const std::string& name, const std::string& path,
                   const struct statx& info, int own_fd) const;
  // 0 when this user can empty the directory `name` of `parent_fd`, else
  // the errno that says why not.
  int why_not_emptied(int parent_fd, const std::string& name, const struct statx& info) const;

  std::string tree_;
  MountIdentity home_;
  const std::function<void()>& tick_;
  uid_t user_;
  size_t visited_ = 0;
  size_t deepest_ = 0;
  std::string deepest_path_;
};

void RemovabilityWalk::check_flags(int parent_fd, const std::string& name, const std::string& path,
                                   const struct statx& info, int own_fd) const {
  constexpr uint64_t pinned = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
  uint64_t attributes = info.stx_attributes;
  if ((info.stx_attributes_mask & pinned) != pinned) {
    // Not told by statx here: ask the file system, for what can be opened
    // without side effects.
    FileDescriptor opened;
    if (own_fd < 0 && S_ISREG(info.stx_mode)) {
      opened = FileDescriptor(openat(parent_fd, name.c_str(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      own_fd = opened.get();
    }
    int flags = 0;
    attributes = 0;
    if (own_fd >= 0 && ioctl(own_fd, FS_IOC_GETFLAGS, &flags) == 0) {
      if (flags & FS_IMMUTABLE_FL) attributes |= STATX_ATTR_IMMUTABLE;
      if (flags & FS_APPEND_FL) attributes |= STATX_ATTR_APPEND;
    }
  }
  if (attributes & STATX_ATTR_IMMUTABLE) blocked(path + " is immutable");
  if (attributes & STATX_ATTR_APPEND) blocked(path + " is append-only");
}

int RemovabilityWalk::why_not_emptied(int parent_fd, const std::string& name,
                                      const struct statx& info) const {
  // Its owner (and root) may open a directory up; anyone else needs to be
  // let in, to read, and to remove. Nobody may where it is read-only (a
  // read-only btrfs snapshot, which is no mount of its own), which only
  // asking tells.
  bool may_open_up = user_ == 0 || info.stx_uid == user_;
  int wanted = may_open_up ? W_OK : R_OK | W_OK | X_OK;
  if (faccessat(parent_fd, name.c_str(), wanted, AT_EACCESS) == 0) return 0;
  if (errno == EROFS) return EROFS;
  return may_open_up ? 0 : EACCES;
}

void RemovabilityWalk::visit(int parent_fd, const std::string& name, const std::string& path,
                             size_t depth, const struct statx& info) {
  if (++visited_ % 256 == 0) tick_();
  if (!MountIdentity(info).same(home_)) blocked("a file system is mounted at " + path);
  if (!S_ISDIR(info.stx_mode)) {
    check_flags(parent_fd, name, path, info, -1);
    return;
  }
  if (depth > deepest_) {
    deepest_ = depth;
    deepest_path_ = path;
  }
  if (int error = why_not_emptied(parent_fd, name, info))
    blocked(path + ": " + std::strerror(error));
  // A directory its owner shut is opened for the walk and shut again.
  bool opened_up = false;
  FileDescriptor directory(
      openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid() && errno == EACCES &&
      fchmodat(parent_fd, name.c_str(), (info.stx_mode & 07777) | 0700, 0) == 0) {
    opened_up = true;
    directory = FileDescriptor(
        openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  struct Reshut {
    int parent_fd;
    const std::string& name;
    mode_t mode;
    bool active;
    ~Reshut() {
      if (active) (void)fchmodat(parent_fd, name.c_str(), mode, 0);
    }
  } reshut{parent_fd, name, static_cast<mode_t>(info.stx_mode & 07777), opened_up};
  std::vector<std::string> children;
  if (!directory.valid() || !list_directory(directory.get(), children)) {
    if (errno == EMFILE || errno == ENFILE) too_deep(path);
    blocked(path + ": " + std::strerror(errno));
  }
  check_flags(parent_fd, name, path, info, directory.get());
  // In a sticky directory only an entry's owner may remove it.
  bool sticky = (info.stx_mode & S_ISVTX) && user_ != 0 && info.stx_uid != user_;
  for (const std::string& child : children) {
    EntryStatus entry = status_of(directory.get(), child.c_str());
    if (!entry.exists) continue;  // gone meanwhile
    std::string entry_path = path + "/" + child;
    if (sticky && entry.info.stx_uid != user_) blocked(entry_path + ": " + std::strerror(EPERM));
    visit(directory.get(), child, entry_path, depth + 1, entry.info);
  }
}

// The descriptors this process holds now.
size_t descriptors_open() {
  size_t open_now = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (readdir(fds)) ++open_now;
    closedir(fds);
    return open_now - 3;  // ".", ".." and the listing's own
  }
  // Without /proc: each descriptor below the limit, asked for in turn.
  struct rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  for (rlim_t fd = 0; fd < limit.rlim_cur && fd < 65536; ++fd)
    if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++open_now;
  return open_now;
}

void RemovabilityWalk::check_open_file_limit(size_t held_later) const {
  struct rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  size_t held = descriptors_open() + held_later;
  if (held + deepest_ + 1 <= limit.rlim_cur) return;
  blocked(deepest_path_ + ": nested too deep to remove within the open-file limit of " +
          std::to_string(limit.rlim_cur) + " (a descriptor for each of its " +
          std::to_string(deepest_) + " levels and one more, beside the " + std::to_string(held) +
          " the run holds)");
}

void RemovabilityWalk::too_deep(const std::string& path) const {
  struct rlimit limit = {};
  getrlimit(RLIMIT_NOFILE, &limit);
  blocked(path + ": nested too deep to remove within the open-file limit of " +
          std::to_string(limit.rlim_cur));
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

void check_tree_removable(const Directory& parent, const std::string& name, size_t held_later,
                          const std::function<void()>& tick) {
  std::string path = child_path(parent.shown, name);
  EntryStatus holder = status_of(parent.fd.get(), "");
  EntryStatus tree = status_of(parent.fd.get(), name.c_str());
  if (!holder.exists || !tree.exists) fail_at("cannot replace directory", path, errno);
  MountIdentity home(holder.info);
  RemovabilityWalk walk(path, home, tick);
  if (!home.has_id) {
    // No mount IDs: the kernel's table names what is mounted below.
    FileDescriptor opened(openat(parent.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", opened.get());
    std::string real(4096, '\0');
    ssize_t length = opened.valid() ? readlink(link, real.data(), real.size()) : -1;
    std::string mountinfo = read_mount_table();
    // Without /proc (some chroots) a bind mount of this same file system
    // could not be told from the tree's own folders.
    if (length <= 0 || static_cast<size_t>(length) >= real.size() || mountinfo.empty())
      throw ContextError("cannot replace directory",
                         path + ": cannot tell what is mounted in it without /proc");
    real.resize(static_cast<size_t>(length));
    std::vector<std::string> mounted = mount_points_below(mountinfo, real);
    if (!mounted.empty())
      throw ContextError(
          "cannot replace directory",
          path + ": a file system is mounted at " + path + mounted.front().substr(real.size()));
  }
  walk.visit(parent.fd.get(), name, path, 1, tree.info);
  walk.check_open_file_limit(held_later);
}

void remove_tree(const Directory& parent, const std::string& name) {
  std::string path = child_path(parent.shown, name);
  EntryStatus holder = status_of(parent.fd.get(), "");
  if (!holder.exists) fail_at("cannot remove directory", path, errno);
  remove_entry(parent.fd.get(), name, path, MountIdentity(holder.info));
}
