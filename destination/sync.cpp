#include "destination/sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>

#include "common/context_error.h"
#include "common/thread_start.h"

namespace {

// statfs's f_type of the file systems that decide the method.
constexpr int64_t tmpfs_magic = 0x01021994;
constexpr int64_t ramfs_magic = 0x858458F6;
constexpr int64_t passed_on_magics[] = {
    0x65735546,  // FUSE (fuseblk and virtiofs too)
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x01021997,  // 9p
    0x00C36400,  // Ceph
    0x5346414F,  // AFS
    0x6B414653,  // kAFS
    0x73757245,  // Coda
    0x794C7630,  // overlay
    0xF15F,      // eCryptfs
    0x786F4256,  // VirtualBox shared folders
};

constexpr std::chrono::milliseconds tick_interval{50};
constexpr uint64_t writeback_step = uint64_t{8} << 20;
constexpr uint64_t writeback_at_end = uint64_t{1} << 20;
// An early sync once this many files or bytes came since the last began.
constexpr uint64_t early_sync_files = 512;
constexpr uint64_t early_sync_bytes = uint64_t{32} << 20;

bool reports_writeback_errors(const std::string& release) {
  unsigned major = 0, minor = 0;
  if (std::sscanf(release.c_str(), "%u.%u", &major, &minor) != 2) return false;
  return major > 5 || (major == 5 && minor >= 8);
}

const std::string& running_kernel() {
  static const std::string release = [] {
    struct utsname names;
    return std::string(uname(&names) == 0 ? names.release : "");
  }();
  return release;
}

}  // namespace

SyncMethod sync_method_for(int64_t magic, const std::string& release) {
  if (magic == tmpfs_magic || magic == ramfs_magic) return SyncMethod::none;
  for (int64_t passed_on : passed_on_magics)
    if (magic == passed_on) return SyncMethod::each_entry;
  return reports_writeback_errors(release) ? SyncMethod::file_system : SyncMethod::each_entry;
}

SyncMethod sync_method_of(int fd) {
  // What cannot be told is synced entry by entry, which works everywhere.
  struct statfs kind;
  if (fstatfs(fd, &kind) != 0) return SyncMethod::each_entry;
  return sync_method_for(static_cast<int64_t>(kind.f_type), running_kernel());
}

const DurableWrites::FileSystem& DurableWrites::file_system_of(int fd, const Directory* holder) {
  struct stat entry;
  dev_t device = fstat(fd, &entry) == 0 ? entry.st_dev : 0;
  for (const FileSystem& known : file_systems_)
    if (known.device == device) return known;
  FileSystem added;
  added.device = device;
  // Its own descriptor: the one given is closed long before the sync. For
  // a file, one of the directory that holds it: a file kept open until the
  // run ends would outlive its removal after a failure, and FUSE keeps
  // such a file as a hidden .fuse_hidden* entry, which leaves its folder,
  // the staging directory, impossible to remove.
  if (holder)
    added.handle =
        FileDescriptor(openat(holder->fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!added.handle.valid()) added.handle = FileDescriptor(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (device != 0 && added.handle.valid()) added.method = sync_method_of(added.handle.get());
  file_systems_.push_back(std::move(added));
  return file_systems_.back();
}

void DurableWrites::sync_later(const std::shared_ptr<Directory>& root,
                               const std::string& relative) {
  directories_.emplace(root, relative);
}

bool DurableWrites::file_in(const std::shared_ptr<Directory>& parent, int file_fd) {
  // Members come grouped by directory: one look per directory, not per file.
  if (parent != last_parent_) {
    last_parent_ = parent;
    last_parent_each_entry_ =
        file_system_of(file_fd, parent.get()).method == SyncMethod::each_entry;
  }
  return last_parent_each_entry_;
}

void DurableWrites::directory_in(const std::shared_ptr<Directory>& root,
                                 const std::string& relative, int fd) {
  if (file_system_of(fd).method != SyncMethod::each_entry) return;
  sync_later(root, relative);
  // Its own entry lies in its parent; the root's is its owner's to sync.
  if (!relative.empty()) {
    size_t slash = relative.rfind('/');
    sync_later(root, slash == std::string::npos ? "" : relative.substr(0, slash));
  }
}

std::vector<int> DurableWrites::synced_whole() const {
  std::vector<int> handles;
  for (const FileSystem& file_system : file_systems_)
    if (file_system.method == SyncMethod::file_system) handles.push_back(file_system.handle.get());
  return handles;
}

int DurableWrites::sync_whole(const std::vector<int>& handles) {
  for (int handle : handles)
    if (syncfs(handle) != 0) return errno;
  return 0;
}

void DurableWrites::take_early_result() {
  int error = early_sync_.get();
  if (!early_error_) early_error_ = error;
}

void DurableWrites::file_written(uint64_t size) {
  ++files_since_early_;
  bytes_since_early_ += size;
  if (files_since_early_ < early_sync_files && bytes_since_early_ < early_sync_bytes) return;
  if (early_sync_.valid()) {
    if (early_sync_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    take_early_result();
  }
  files_since_early_ = 0;
  bytes_since_early_ = 0;
  std::vector<int> handles = synced_whole();
  if (handles.empty()) return;
  try {
    // syncfs() reports a writeback error once per descriptor: what this
    // one finds the final sync would not see again.
    early_sync_ = start_thread_as_future([handles] { return sync_whole(handles); });
  } catch (const ThreadNotStarted&) {
    // Only a head start: the final sync does all of it then.
  }
}

int DurableWrites::sync_everything() const {
  if (int error = sync_whole(synced_whole())) return error;
  for (const DirectoryPlace& place : directories_) {
    FileDescriptor directory = open_directory_below(*place.first, place.second);
    // One that cannot be read cannot be synced either; its files were.
    if (directory.valid() && fsync(directory.get()) != 0) return errno;
  }
  return 0;
}

void DurableWrites::make_durable(const std::string& shown, const std::function<void()>& tick) {
  if (early_sync_.valid()) {
    while (early_sync_.wait_for(tick_interval) != std::future_status::ready) tick();
    take_early_result();
  }
  if (early_error_) fail_at("cannot write to disk", shown, early_error_);
  if (synced_whole().empty() && directories_.empty()) return;
  // A sync can take seconds: the window stays drawn and hears a close
  // request meanwhile. A future made by std::async waits for its thread
  // when it goes, also when `tick` throws.
  int error = 0;
  try {
    std::future<int> result = start_thread_as_future([this] { return sync_everything(); });
    while (result.wait_for(tick_interval) != std::future_status::ready) tick();
    error = result.get();
  } catch (const ThreadNotStarted&) {
    // Under a process limit the sync still comes, without the window.
    error = sync_everything();
  }
  if (error) fail_at("cannot write to disk", shown, error);
}

void start_writeback(int fd, uint64_t& flushed, uint64_t written, bool final) {
  if (final ? written < writeback_at_end : written - flushed < writeback_step) return;
  // From `flushed` on; a length of 0 runs to the file's end.
  (void)sync_file_range(fd, static_cast<off_t>(flushed),
                        final ? 0 : static_cast<off_t>(written - flushed), SYNC_FILE_RANGE_WRITE);
  flushed = written;
}

int sync_directory(const Directory& directory, int fallback) {
  if (fallback >= 0 && sync_method_of(fallback) == SyncMethod::none) return 0;
  FileDescriptor readable(openat(directory.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable.valid()) return fsync(readable.get()) == 0 ? 0 : errno;
  if (fallback >= 0) return syncfs(fallback) == 0 ? 0 : errno;
  return 0;
}
