#ifndef MORROWLINE_DESTINATION_ENTRIES_H_
#define MORROWLINE_DESTINATION_ENTRIES_H_

// Making and writing entries below the destination: every system call
// that does so lives in entries.cpp, and every one that walks,
// renames or removes a tree in trees.cpp, each relative to an
// open directory, so that the rules "never outside the destination" and
// "never through a link" can be read in those two files alone.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/file_descriptor.h"
#include "destination/directory.h"

// Gives the directory this run just made, `leaf` of `parent` and open at
// `fd`, its owner's read, write and search bits (mode 0700) when the
// umask took them away (umask 0222 or 0777), so that it can be filled;
// its own mode comes at the run's end.
void give_owner_access(int fd, const Directory& parent, const std::string& leaf);

// Takes an exclusive lock on `directory` for as long as it stays open.
// Throws ContextError "another installer is extracting here" (context: the
// directory) when another process holds it.
void lock_directory(const Directory& directory);

// Makes the directory `leaf` in `parent`, mode 0700 so that nobody else
// sees into it before it is complete, and opens it; an existing directory,
// or a link to one below `root`, is opened as it is. Throws ContextError
// "cannot create directory" (context: path and reason), also when
// something else stands there.
std::shared_ptr<Directory> make_directory(const Directory& root, const Directory& parent,
                                          const std::string& relative, const std::string& leaf);

// Which entry a descriptor or a name stands for.
struct EntryIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};
// The identity of the entry open at `fd`; zeros when it cannot be told.
EntryIdentity identity_of(int fd);
// True when `name` of `parent` is that very entry (not a link, nor another
// entry put at the name), or when `identity` could not be told.
bool entry_is(const Directory& parent, const std::string& name, const EntryIdentity& identity);
// Why a name the run has just given an entry of its own is found holding
// another: someone renamed entries of the folder meanwhile.
constexpr char swapped_during_run[] = "something else was put in its place during the run";

// Files written beside their names (over an old entry, or where none
// stood), renamed to them only once everything written is on the disk: a
// crash at any moment leaves the old file, or none, or the new one, whole.
// Those still pending when this goes are removed.
class PendingRenames {
 public:
  PendingRenames() = default;
  ~PendingRenames();
  PendingRenames(const PendingRenames&) = delete;
  PendingRenames& operator=(const PendingRenames&) = delete;

  // `written`: the file at `temporary`, which its name must lead to after
  // the rename.
  void add(std::shared_ptr<Directory> parent, std::string temporary, std::string leaf,
           EntryIdentity written);
  bool empty() const { return pending_.empty(); }
  // Renames each over its entry, in the order added. Throws ContextError
  // "cannot create file" (context: path and reason) at the first that
  // fails, or whose name then leads elsewhere (swapped_during_run).
  void rename_all();
  // Removes those still pending.
  void discard();

 private:
  struct Pending {
    std::shared_ptr<Directory> parent;
    std::string temporary;
    std::string leaf;
    EntryIdentity written;
  };
  std::vector<Pending> pending_;
};

// A member's bytes on their way into `leaf` of `parent`. The file is made
// right there when nothing stands at that name; otherwise, or when it is
// to be written `beside` its name in any case, under a hidden temporary
// name, and it takes its own (replacing a file, or a link, which is never
// followed) only on commit() or later. A failure, or destruction before
// commit(), removes what was written: no complete-looking file is left.
// Throws ContextError "cannot create file" or "cannot write file"
// (context: path and reason).
class NewFile {
 public:
  NewFile(std::shared_ptr<Directory> parent, std::string leaf, mode_t create_mode, bool beside);
  // As above, for bytes already written to `unnamed` (see
  // make_unnamed_file): it is linked in at `leaf`, or beside it when
  // something stands there, and writing goes on at its end. Where it
  // cannot be linked (another file system, no /proc), its bytes are copied
  // into a new file.
  NewFile(std::shared_ptr<Directory> parent, std::string leaf, FileDescriptor unnamed, bool beside);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  void write(const char* data, size_t size);
  // True when the file is written beside its name: an entry stood there
  // and is being replaced, or it was to be written beside.
  bool replaces() const { return !temporary_.empty(); }
  // The file's descriptor, open for writing until commit().
  int descriptor() const { return fd_.get(); }
  // Sets the permission bits (when given) and the modification time,
  // makes the file durable first when `sync` asks for it (fsync; throws
  // ContextError "cannot write to disk"), then puts the file in place.
  // With `later`, a file written beside its name stays there and goes to
  // `later` instead, to be renamed once everything is durable.
  void commit(std::optional<mode_t> permissions, int64_t mtime, bool sync, PendingRenames* later);

 private:
  void create(mode_t create_mode);
  [[noreturn]] void fail(const char* message, int error) const;

  std::shared_ptr<Directory> parent_;
  std::string leaf_;
  bool beside_;
  std::string temporary_;  // empty when made at its own name
  FileDescriptor fd_;
  bool placed_ = false;
  uint64_t written_ = 0;
  uint64_t flushed_ = 0;  // written out so far (start_writeback)
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
// are ignored: some file systems keep neither. Returns the directory, open
// for reading, when it could be opened.
FileDescriptor set_directory_mode_and_time(const Directory& root, const std::string& relative,
                                           std::optional<mode_t> permissions,
                                           std::optional<int64_t> mtime);

// True when `leaf` of `parent` is a directory itself, not a link to one.
bool is_real_directory(const Directory& parent, const std::string& leaf);
// True when anything (a link too) stands at `leaf` of `parent`, or it
// cannot be told.
bool entry_exists(const Directory& parent, const std::string& leaf);
// Removes the directory at `relative` below `root` when it is empty.
void remove_if_empty(const Directory& root, const std::string& relative);

// The hidden entries this program makes beside what it writes are named
// ".morrowline-PID-N" and a suffix: a staging directory (".new"), a file
// written beside the one it replaces (".part"), a tree stepping aside for a
// moment (".old"). own_entry_name gives the name for attempt N.
constexpr char own_entry_prefix[] = ".morrowline-";
constexpr char staging_suffix[] = ".new";
constexpr char temporary_suffix[] = ".part";
constexpr char aside_suffix[] = ".old";
std::string own_entry_name(unsigned attempt, const char* suffix);

#endif  // MORROWLINE_DESTINATION_ENTRIES_H_
