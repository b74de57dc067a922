#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/context_error.h"
#include "destination/mount_table.h"
#include "destination/target_path.h"
#include "destination/tree_entries.h"
#include "destination/trees.h"

namespace {

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
