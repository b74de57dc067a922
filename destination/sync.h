#ifndef MORROWLINE_DESTINATION_SYNC_H_
#define MORROWLINE_DESTINATION_SYNC_H_

// Making what a run wrote durable before it reports success: a power cut
// after that must find the new tree whole, never zero-length files. Every
// system call that syncs the destination lives in sync.cpp.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/file_descriptor.h"
#include "destination/directory.h"

// How the entries written on one file system reach stable storage.
enum class SyncMethod {
  none,         // tmpfs, ramfs: nothing there outlives the machine anyway
  file_system,  // one syncfs(), which reports every writeback error
  each_entry,   // fsync() of every file and directory written
};

// The method for a file system of type `magic` (statfs's f_type) under
// the kernel `release` (uname's, "6.1.0-13-amd64"). syncfs() reports
// writeback errors only since Linux 5.8; FUSE servers never see it, and
// network and stacked file systems (NFS, SMB, 9p, Ceph, AFS, overlay,
// eCryptfs) report through it nothing of what their files met. Those get
// an fsync() of each entry, which each of them passes on.
SyncMethod sync_method_for(int64_t magic, const std::string& release);
// The method for the file system that holds the open entry `fd`: each
// entry where that cannot be told.
SyncMethod sync_method_of(int fd);

// What a run wrote, file system by file system, until it is made durable.
// Used by the extracting thread only.
class DurableWrites {
 public:
  // Notes a file being written, open at `file_fd`, in `parent`; true when
  // it needs an fsync() of its own before it is closed, and its parent a
  // sync_later().
  bool file_in(const std::shared_ptr<Directory>& parent, int file_fd);
  // Notes a directory the run made or set up, open at `fd` (for reading),
  // at `relative` below `root`.
  void directory_in(const std::shared_ptr<Directory>& root, const std::string& relative, int fd);
  // The directory at `relative` below `root` is to have its entries synced
  // one by one.
  void sync_later(const std::shared_ptr<Directory>& root, const std::string& relative);
  // Notes a file of `size` bytes written whole. Every so many files or
  // bytes, a sync of the file systems synced whole starts on a thread of
  // its own, while the run goes on: the disk takes the many small files
  // of a run as they come, and the final sync waits for few. Its failure
  // is make_durable()'s.
  void file_written(uint64_t size);

  // Makes every entry noted durable, on another thread (on this one when
  // none can be started); `tick` runs about every 50 ms meanwhile, and may
  // throw (the wait ends first). Throws ContextError "cannot write to
  // disk" (context: `shown` and the reason) when the file system reports a
  // failure.
  void make_durable(const std::string& shown, const std::function<void()>& tick);

 private:
  struct FileSystem {
    dev_t device = 0;
    SyncMethod method = SyncMethod::each_entry;
    FileDescriptor handle;  // any entry of it, for syncfs()
  };
  using DirectoryPlace = std::pair<std::shared_ptr<Directory>, std::string>;

  // The file system of the entry open at `fd`, noted with a handle of its
  // own when it is new: a descriptor of `holder`, the directory that
  // holds the entry, where one is given and can be opened for reading.
  const FileSystem& file_system_of(int fd, const Directory* holder = nullptr);
  // The handles of the file systems synced whole.
  std::vector<int> synced_whole() const;
  // syncfs() of each; 0, or the errno of the first failure.
  static int sync_whole(const std::vector<int>& handles);
  // 0, or the errno of the first failure.
  int sync_everything() const;
  // Keeps the failure of the early sync that has ended, if it is the first.
  void take_early_result();

  std::vector<FileSystem> file_systems_;
  std::set<DirectoryPlace> directories_;  // on file systems synced entry by entry
  std::shared_ptr<Directory> last_parent_;
  bool last_parent_each_entry_ = false;
  // The early sync under way (see file_written), one at a time; it uses
  // the handles above, so it goes first. 0, or its errno.
  std::future<int> early_sync_;
  int early_error_ = 0;
  uint64_t files_since_early_ = 0;
  uint64_t bytes_since_early_ = 0;
};

// Starts writing a file's bytes out once a big piece of it lies in memory:
// every 8 MiB written, and at the end (`final`) of a file of 1 MiB or
// more. `flushed`: how far that has been done. The final sync then waits
// for little, and unwritten pages do not pile up. Only a hint: failures
// show at the sync.
void start_writeback(int fd, uint64_t& flushed, uint64_t written, bool final);

// Makes the entries of `directory` durable: fsync() of it, or, where it
// cannot be opened for reading, syncfs() through `fallback` (an open entry
// of the same file system); nothing on a file system that keeps nothing
// over a power cut. 0, or the errno of the failure.
int sync_directory(const Directory& directory, int fallback);

#endif  // MORROWLINE_DESTINATION_SYNC_H_
