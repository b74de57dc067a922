#include "destination/entries.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/context_error.h"
#include "destination/sync.h"
#include "destination/target_path.h"

namespace {

// Where temporary names start: a run writes many beside their names in one
// directory, and each tries the next free one from here.
std::atomic<unsigned> next_temporary{0};

}  // namespace

void give_owner_access(int fd, const Directory& parent, const std::string& leaf) {
  struct stat made;
  if (fstat(fd, &made) != 0 || (made.st_mode & 0700) == 0700) return;
  // fchmod() refuses a descriptor opened with O_PATH; its /proc link is the
  // directory itself, never a name that could be swapped meanwhile.
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  if (chmod(link, 0700) != 0) (void)fchmodat(parent.fd.get(), leaf.c_str(), 0700, 0);
}

namespace {

bool is_link(int parent_fd, const std::string& name) {
  struct stat entry;
  return fstatat(parent_fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(entry.st_mode);
}

}  // namespace

std::string own_entry_name(unsigned attempt, const char* suffix) {
  return own_entry_prefix + std::to_string(getpid()) + "-" + std::to_string(attempt) + suffix;
}

void lock_directory(const Directory& directory) {
  // File systems without locks (some network ones) run unlocked.
  if (flock(directory.fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
    throw ContextError("another installer is extracting here", directory.shown);
}

std::shared_ptr<Directory> make_directory(const Directory& root, const Directory& parent,
                                          const std::string& relative, const std::string& leaf) {
  std::string path = child_path(parent.shown, leaf);
  bool created = mkdirat(parent.fd.get(), leaf.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) fail_at("cannot create directory", path, errno);
  auto made = std::make_shared<Directory>();
  made->fd = FileDescriptor(
      openat(parent.fd.get(), leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (made->fd.valid()) {
    made->shown = path;
    made->real = child_path(parent.real, leaf);
    made->made = created;
    if (created) give_owner_access(made->fd.get(), parent, leaf);
    return made;
  }
  if (errno == ENOTDIR && is_link(parent.fd.get(), leaf)) {
    if (auto target = open_below(root, relative)) return target;
  }
  fail_at("cannot create directory", path, errno == EEXIST ? ENOTDIR : errno);
}

NewFile::NewFile(std::shared_ptr<Directory> parent, std::string leaf, mode_t create_mode,
                 bool beside)
    : parent_(std::move(parent)), leaf_(std::move(leaf)), beside_(beside) {
  create(create_mode);
}

NewFile::NewFile(std::shared_ptr<Directory> parent, std::string leaf, FileDescriptor unnamed,
                 bool beside)
    : parent_(std::move(parent)), leaf_(std::move(leaf)), beside_(beside) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", unnamed.get());
  int fd = parent_->fd.get();
  // Written so far, for start_writeback(); what was written out already is
  // skipped there at no cost.
  off_t end = lseek(unnamed.get(), 0, SEEK_CUR);
  written_ = end > 0 ? static_cast<uint64_t>(end) : 0;
  if (!beside_ && linkat(AT_FDCWD, link, fd, leaf_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    fd_ = std::move(unnamed);
    return;
  }
  if (beside_) errno = EEXIST;
  for (unsigned attempt = 0; errno == EEXIST && attempt <= 1000; ++attempt) {
    std::string name = own_entry_name(next_temporary++, temporary_suffix);
    if (linkat(AT_FDCWD, link, fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temporary_ = name;
      fd_ = std::move(unnamed);
      (void)flock(fd_.get(), LOCK_EX | LOCK_NB);  // in use: not a killed run's
      return;
    }
  }
  struct stat written;
  if (fstat(unnamed.get(), &written) != 0) fail("cannot create file", errno);
  create(written.st_mode & 07777);
  written_ = 0;
  try {
    std::vector<char> bytes(size_t{1} << 16);
    for (off_t at = 0;;) {
      ssize_t got = pread(unnamed.get(), bytes.data(), bytes.size(), at);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) fail("cannot write file", errno);
      if (got == 0) break;
      write(bytes.data(), static_cast<size_t>(got));
      at += got;
    }
  } catch (...) {
    // No destructor runs for an object whose constructor throws.
    fd_.reset();
    unlinkat(parent_->fd.get(), (temporary_.empty() ? leaf_ : temporary_).c_str(), 0);
    throw;
  }
}

void NewFile::create(mode_t create_mode) {
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  if (!beside_) {
    fd_ = FileDescriptor(openat(parent_->fd.get(), leaf_.c_str(), flags, create_mode));
    if (fd_.valid()) return;
    if (errno != EEXIST) fail("cannot create file", errno);
  }
  // Something stands there, or it must wait: the new file goes beside it
  // until complete. A short name of our own, so that a name near the
  // length limit still fits.
  for (unsigned attempt = 0; !fd_.valid(); ++attempt) {
    temporary_ = own_entry_name(next_temporary++, temporary_suffix);
    fd_ = FileDescriptor(openat(parent_->fd.get(), temporary_.c_str(), flags, create_mode));
    if (fd_.valid()) (void)flock(fd_.get(), LOCK_EX | LOCK_NB);  // in use: not a killed run's
    if (!fd_.valid() && (errno != EEXIST || attempt > 1000)) {
      int error = errno;
      temporary_.clear();
      placed_ = true;  // nothing of ours to remove
      fail("cannot create file", error);
    }
  }
}

NewFile::~NewFile() {
  if (placed_) return;
  fd_.reset();
  unlinkat(parent_->fd.get(), (temporary_.empty() ? leaf_ : temporary_).c_str(), 0);
}

void NewFile::write(const char* data, size_t size) {
  if (int error = write_fully(fd_.get(), data, size)) fail("cannot write file", error);
  written_ += size;
  start_writeback(fd_.get(), flushed_, written_, false);
}

int write_fully(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

void NewFile::commit(std::optional<mode_t> permissions, int64_t mtime, bool sync,
                     PendingRenames* later) {
  // Failures to set the mode or time are ignored, as some file systems keep
  // neither; the bytes are what counts.
  if (permissions) (void)fchmod(fd_.get(), *permissions);
  const struct timespec times[2] = {{static_cast<time_t>(mtime), 0},
                                    {static_cast<time_t>(mtime), 0}};
  (void)futimens(fd_.get(), times);
  start_writeback(fd_.get(), flushed_, written_, true);
  // Before the rename, so that the name never leads to bytes not yet on
  // the disk.
  if (sync && fsync(fd_.get()) != 0) fail("cannot write to disk", errno);
  // Some file systems report a full disk only when the file is closed.
  EntryIdentity written = later ? identity_of(fd_.get()) : EntryIdentity{};
  if (close(fd_.release()) != 0) fail("cannot write file", errno);
  if (!temporary_.empty() && later) {
    later->add(parent_, temporary_, leaf_, written);
  } else if (!temporary_.empty() && renameat(parent_->fd.get(), temporary_.c_str(),
                                             parent_->fd.get(), leaf_.c_str()) != 0) {
    fail("cannot create file", errno);
  }
  placed_ = true;
}

PendingRenames::~PendingRenames() { discard(); }

void PendingRenames::discard() {
  for (const Pending& file : pending_)
    (void)unlinkat(file.parent->fd.get(), file.temporary.c_str(), 0);
  pending_.clear();
}

void PendingRenames::add(std::shared_ptr<Directory> parent, std::string temporary, std::string leaf,
                         EntryIdentity written) {
  pending_.push_back(Pending{std::move(parent), std::move(temporary), std::move(leaf), written});
}

void PendingRenames::rename_all() {
  for (auto file = pending_.begin(); file != pending_.end(); ++file) {
    int fd = file->parent->fd.get();
    bool renamed = renameat(fd, file->temporary.c_str(), fd, file->leaf.c_str()) == 0;
    int error = errno;
    if (renamed && entry_is(*file->parent, file->leaf, file->written)) continue;
    std::string path = child_path(file->parent->shown, file->leaf);
    pending_.erase(pending_.begin(), file + (renamed ? 1 : 0));  // in place already, or gone
    if (renamed) throw ContextError("cannot create file", path + ": " + swapped_during_run);
    fail_at("cannot create file", path, error);
  }
  pending_.clear();
}

void NewFile::fail(const char* message, int error) const {
  fail_at(message, child_path(parent_->shown, leaf_), error);
}

FileDescriptor make_unnamed_file(const Directory& directory, mode_t mode) {
  return FileDescriptor(openat(directory.fd.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
}

FileDescriptor set_directory_mode_and_time(const Directory& root, const std::string& relative,
                                           std::optional<mode_t> permissions,
                                           std::optional<int64_t> mtime) {
  FileDescriptor directory = open_directory_below(root, relative);
  if (!directory.valid()) return directory;
  if (permissions) (void)fchmod(directory.get(), *permissions);
  if (!mtime) return directory;
  const struct timespec times[2] = {{static_cast<time_t>(*mtime), 0},
                                    {static_cast<time_t>(*mtime), 0}};
  (void)futimens(directory.get(), times);
  return directory;
}

EntryIdentity identity_of(int fd) {
  struct stat entry;
  if (fstat(fd, &entry) != 0) return EntryIdentity{};
  return EntryIdentity{entry.st_dev, entry.st_ino};
}

bool entry_is(const Directory& parent, const std::string& name, const EntryIdentity& identity) {
  if (identity.device == 0 && identity.inode == 0) return true;
  struct stat entry;
  return fstatat(parent.fd.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
         entry.st_dev == identity.device && entry.st_ino == identity.inode;
}

bool is_real_directory(const Directory& parent, const std::string& leaf) {
  struct stat entry;
  return fstatat(parent.fd.get(), leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(entry.st_mode);
}

bool entry_exists(const Directory& parent, const std::string& leaf) {
  struct stat entry;
  return fstatat(parent.fd.get(), leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 ||
         errno != ENOENT;
}

void remove_if_empty(const Directory& root, const std::string& relative) {
  (void)unlinkat(root.fd.get(), relative.c_str(), AT_REMOVEDIR);
}
