#ifndef MORROWLINE_DESTINATION_TREES_H_
#define MORROWLINE_DESTINATION_TREES_H_

// Walking, checking, renaming and removing trees below the destination:
// the reinstall's walk before anything changes (removability.cpp), the
// staging directories, the exchange and the removals (trees.cpp). As in
// entries.cpp, every system call there is relative to an open directory,
// never follows a link, and never crosses into another mount.

#include <functional>
#include <memory>
#include <string>

#include "common/file_descriptor.h"
#include "destination/entries.h"

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
// (a root-owned leftover of an earlier sudo; a read-only subvolume), or
// more levels than the open-file limit lets a removal hold: one descriptor
// per level and one to list the deepest, beside those the process holds
// now and the `held_later` more it will hold then. `tick` is called now
// and then.
// Throws ContextError "cannot replace directory" (context: the tree's path
// and what blocks it, naming the first entry that does).
void check_tree_removable(const Directory& parent, const std::string& name, size_t held_later,
                          const std::function<void()>& tick);

// Removes the entry `name` of `parent` and, when it is a directory,
// everything below it, never following a link and never descending into
// another mount; directories that deny their owner access are opened up
// first. A missing entry is no error. Throws ContextError "cannot remove
// directory" (context: path and reason).
void remove_tree(const Directory& parent, const std::string& name);

#endif  // MORROWLINE_DESTINATION_TREES_H_
