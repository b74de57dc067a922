#ifndef MORROWLINE_PACK_PACKAGE_TREE_H_
#define MORROWLINE_PACK_PACKAGE_TREE_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// One member to be: a directory or a regular file of the packed folder.
struct PackEntry {
  std::string name;   // the folder's name, then the path below it; '/' ends a directory
  std::string path;   // where its bytes are read from
  unsigned mode = 0;  // st_mode (file type and permission bits), of a link's target
  int64_t mtime = 0;  // seconds since the epoch
  uint64_t size = 0;
  dev_t device = 0;  // of a file, with its inode: which file it is
  ino_t inode = 0;

  bool is_directory() const { return !name.empty() && name.back() == '/'; }
};

// The member name of the packed folder itself, "pkg/" for "pkg", "pkg/",
// "a/b/pkg" or "/abs/pkg//". A path ending in "." or ".." names the folder
// it leads to. Throws ContextError "folder has no name" for the root.
std::string folder_member_name(const std::string& folder);

// Every directory and regular file of `folder`, the folder first, sorted by
// name bytes, so that each directory precedes its contents. Symbolic links
// are followed. Throws ContextError, before any file is written: "cannot
// read folder" (context: path and reason), "not a folder", "cannot read
// file", "cannot pack special file" (a fifo, socket or device), "dangling
// symbolic link", "symbolic link loop" (a link back to a directory that
// holds it) and check_member_name's "unsafe member name".
std::vector<PackEntry> collect_package_tree(const std::string& folder);

#endif  // MORROWLINE_PACK_PACKAGE_TREE_H_
