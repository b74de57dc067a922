#ifndef MORROWLINE_EXTRACT_DESTINATION_H_
#define MORROWLINE_EXTRACT_DESTINATION_H_

// Every system call that touches the destination lives in destination.cpp,
// relative to directory descriptors: the rules "never outside the
// destination" and "never through a link" can be read there whole.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/file_descriptor.h"

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

// Takes an exclusive lock on `directory` for as long as it stays open.
// Throws ContextError "another installer is extracting here" (context: the
// directory) when another process holds it.
void lock_directory(const Directory& directory);

// The directory at `relative` (components joined by '/') below `root`,
// links followed only while they stay below `root`. nullptr when a
// component is missing or not a directory. Throws ContextError "path leads
// outside the destination" (context: the link and where it leads) or
// "cannot resolve path".
std::shared_ptr<Directory> open_below(const Directory& root, const std::string& relative);

// Makes the directory `leaf` in `parent`, mode 0700 so that nobody else
// sees into it before it is complete, and opens it; an existing directory,
// or a link to one below `root`, is opened as it is. Throws ContextError "cannot create directory" (context: path and
// reason), also when something else stands there.
std::shared_ptr<Directory> make_directory(const Directory& root, const Directory& parent,
                                          const std::string& relative, const std::string& leaf);

// A member's bytes on their way into `leaf` of `parent`. The file is made
// right there when nothing stands at that name; otherwise beside it, under
// a hidden temporary name, and it replaces the old entry (a file, or a link,
// which is never followed) only on commit(). A failure, or destruction
// before commit(), removes what was written: no complete-looking file is
// left. Throws ContextError "cannot create file" or "cannot write file"
// (context: path and reason). `parent` must outlive the object.
class NewFile {
 public:
  NewFile(const Directory& parent, std::string leaf, mode_t create_mode);
  // As above, for bytes already written to `unnamed` (see
  // make_unnamed_file): it is linked in at `leaf`, or beside it when
  // something stands there, and writing goes on at its end. Where it
  // cannot be linked (another file system, no /proc), its bytes are copied
  // into a new file.
  NewFile(const Directory& parent, std::string leaf, FileDescriptor unnamed);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  void write(const char* data, size_t size);
  // True when an entry stood at the name and is being replaced.
  bool replaces() const { return !temporary_.empty(); }
  // Sets the permission bits (when given) and the modification time, then
  // puts the file in place.
  void commit(std::optional<mode_t> permissions, int64_t mtime);

 private:
  void create(mode_t create_mode);
  [[noreturn]] void fail(const char* message, int error) const;

  const Directory& parent_;
  std::string leaf_;
  std::string temporary_;  // empty when made at its own name
  FileDescriptor fd_;
  bool placed_ = false;
};

// A file without a name in `directory`'s file system (O_TMPFILE): bytes
// written to it appear nowhere until NewFile links it in, and vanish with
// it when it is closed first. Invalid, with errno set, when the file
// system cannot make one.
FileDescriptor make_unnamed_file(const Directory& directory, mode_t mode);

// Writes all `size` bytes to `fd`; 0, or the errno of the failure.
int write_fully(int fd, const char* data, size_t size);

// Gives the directory at `relative` below `root` ("" for `root` itself)
// the permission bits and the modification time, each when given. Failures
// are ignored: some file systems keep neither.
void set_directory_mode_and_time(const Directory& root, const std::string& relative,
                                 std::optional<mode_t> permissions, std::optional<int64_t> mtime);

// True when `leaf` of `parent` is a directory itself, not a link to one.
bool is_real_directory(const Directory& parent, const std::string& leaf);
// True when anything (a link too) stands at `leaf` of `parent`, or it
// cannot be told.
bool entry_exists(const Directory& parent, const std::string& leaf);
// Removes the directory at `relative` below `root` when it is empty.
void remove_if_empty(const Directory& root, const std::string& relative);

// A fresh hidden directory in `parent` (mode 0700), named after this
// process, for building the tree that is to take the place of `leaf` of
// `parent`; people know it by that path. Sets `name` to its own name.
std::shared_ptr<Directory> make_staging_directory(const Directory& parent, const std::string& leaf,
                                                  std::string& name);

// Locks the entry `name` of `parent` (a staging directory or a temporary
// file) for as long as the descriptor lives, so that other runs see it is
// in use. Invalid where the file system has no locks.
FileDescriptor lock_entry(const Directory& parent, const std::string& name);

// Removes what killed runs left in `directory`: staging directories and
// temporary files under this program's own names that no live run holds.
// Never crosses a mount; what cannot go stays, silently.
void remove_stale_entries(const Directory& directory);

// Swaps the entries `a` and `b` of `parent`: in one step where the file
// system can (so that at no moment is either name missing), else in two
// renames through a third name. False, with nothing changed, when `b`
// cannot be moved at all (a directory in an overlay's lower layer). Throws
// ContextError "cannot replace directory" (context: path and reason); both
// entries stay then.
bool exchange_entries(const Directory& parent, const std::string& a, const std::string& b);

// Renames the entry `from` of `parent` to `to`, which must not exist.
// Throws ContextError `message` (context: the path of `to` and reason).
void rename_entry(const Directory& parent, const std::string& from, const std::string& to,
                  const char* message);

// `base`, or `base`-2, `base`-3, ...: the first name free in `parent`.
std::string free_name(const Directory& parent, const std::string& base);

// Refuses, before anything on disk changes, a tree that a removal could
// not take whole: a file system mounted at or anywhere below it (a bind
// mount of a folder on the same file system too), an immutable or
// append-only entry, a directory this user can neither empty nor open up
// (a root-owned leftover of an earlier sudo), or more levels than the
// open-file limit lets a removal hold. `tick` is called now and then.
// Throws ContextError "cannot replace directory" (context: the tree's path
// and what blocks it, naming the first entry that does).
void check_tree_removable(const Directory& parent, const std::string& name,
                          const std::function<void()>& tick);

// Removes the entry `name` of `parent` and, when it is a directory,
// everything below it, never following a link and never descending into
// another mount; directories that deny their owner access are opened up
// first. A missing entry is no error. Throws ContextError "cannot remove
// directory" (context: path and reason).
void remove_tree(const Directory& parent, const std::string& name);

#endif  // MORROWLINE_EXTRACT_DESTINATION_H_
