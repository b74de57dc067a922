#ifndef MORROWLINE_PACK_PENDING_FILE_H_
#define MORROWLINE_PACK_PENDING_FILE_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "common/file_descriptor.h"

// While it lives, `path` is removed should SIGINT, SIGTERM or SIGHUP end
// the process (which then ends by that signal, as it would have): a
// temporary file of a pack stopped by Ctrl-C is not left behind. Only
// SIGKILL and a crash still leave it.
class RemovedOnSignal {
 public:
  explicit RemovedOnSignal(const std::string& path);
  ~RemovedOnSignal();
  RemovedOnSignal(const RemovedOnSignal&) = delete;
  RemovedOnSignal& operator=(const RemovedOnSignal&) = delete;

 private:
  size_t slot_;
};

// An empty file (mode 0600) under a fresh hidden name beside `target`
// (".NAME" + suffix + six random characters), open for writing. It is
// removed when the object goes, unless place() has made it the target, and
// when a signal ends the process (see RemovedOnSignal). Being in the
// target's directory, it can replace the target by a rename, all at once.
class PendingFile {
 public:
  // Throws ContextError "cannot write installer" (context: path, reason).
  PendingFile(const std::string& target, const std::string& suffix);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& path() const { return path_; }
  // Open for writing until place().
  int descriptor() const { return fd_.get(); }
  // The folder that holds it and the target: "." for a bare name.
  const std::string& folder() const { return folder_; }

  // Puts what was written on stable storage (fsync). Throws ContextError
  // "cannot write installer" (context: path, reason), also for a disk that
  // fails only when its cached writes are flushed.
  void make_durable();

  // Gives the file `mode`, closes it and renames it to the target,
  // replacing any file there. Throws ContextError "cannot write installer";
  // the file then still goes with the object.
  void place(mode_t mode);

 private:
  std::string target_;
  std::string path_;
  std::string folder_;
  FileDescriptor fd_;
  std::unique_ptr<RemovedOnSignal> removed_on_signal_;
  bool placed_ = false;
};

// Makes the entries of `folder` durable (fsync of the folder), so that
// renames made in it survive a power cut. Throws ContextError "the new
// files are in place but perhaps not yet on disk" (context: the folder and
// the reason).
void make_folder_durable(const std::string& folder);

#endif  // MORROWLINE_PACK_PENDING_FILE_H_
