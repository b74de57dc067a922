#ifndef MORROWLINE_DESTINATION_DIRECTORY_H_
#define MORROWLINE_DESTINATION_DIRECTORY_H_

// The bottom of destination/: an open directory, and the way below it. A
// name below the destination is only ever opened relative to an open
// directory and never beyond it (openat2 with RESOLVE_BENEATH, or a walk
// of target_path() on kernels without it), so that no link leads a run
// outside.

#include <memory>
#include <string>

#include "common/file_descriptor.h"

// An open directory, with the absolute path people know it by (`shown`:
// what observers hear and messages name) and the path where it lies now
// (`real`; they differ only inside a reinstall's staging directory).
struct Directory {
  FileDescriptor fd;
  std::string shown;
  std::string real;
  bool made = false;  // created by this run, mode 0700 until the run's end
};

// Opens the directory at `path`, which must be canonical. Throws ContextError
// "cannot open directory" with the path and reason.
std::shared_ptr<Directory> open_directory(const std::string& path);

// The directory at `relative` (components joined by '/') below `root`,
// links followed only while they stay below `root`. nullptr when a
// component is missing or not a directory. Throws ContextError "path leads
// outside the destination" (context: the link and where it leads) or
// "cannot resolve path".
std::shared_ptr<Directory> open_below(const Directory& root, const std::string& relative);

// The directory at `relative` below `root` ("" for `root` itself), opened
// for reading as open_below() finds it; invalid, with errno set, when it
// cannot be.
FileDescriptor open_directory_below(const Directory& root, const std::string& relative);

// Throws ContextError `message` with the context "PATH: REASON", the
// reason being strerror(error).
[[noreturn]] void fail_at(const char* message, const std::string& path, int error);

#endif  // MORROWLINE_DESTINATION_DIRECTORY_H_
