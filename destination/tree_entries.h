#ifndef MORROWLINE_DESTINATION_TREE_ENTRIES_H_
#define MORROWLINE_DESTINATION_TREE_ENTRIES_H_

// What the walks of trees.cpp and removability.cpp see of an entry: its
// status, the mount it belongs to, the names in a directory. Used inside
// destination/ only.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct EntryStatus {
  struct statx info = {};
  bool exists = false;
};

// The entry `name` of `parent_fd` ("" for `parent_fd` itself), links not
// followed: type, mode, owner, device and, where the kernel gives it, mount
// ID.
EntryStatus status_of(int parent_fd, const char* name);

// Which mount an entry belongs to: its mount ID where the kernel gives
// one (Linux 5.8), else only its device, which a bind mount of a folder on
// the same file system shares.
struct MountIdentity {
  bool has_id = false;
  uint64_t id = 0;
  dev_t device = 0;

  explicit MountIdentity(const struct statx& info)
      : has_id(info.stx_mask & STATX_MNT_ID),
        id(info.stx_mnt_id),
        device(makedev(info.stx_dev_major, info.stx_dev_minor)) {}

  bool same(const MountIdentity& other) const {
    if (has_id && other.has_id) return id == other.id;
    return device == other.device;
  }
};

// Reads the names in an open directory, "." and ".." left out, into
// `names`. False, with errno set, when it cannot.
bool list_directory(int fd, std::vector<std::string>& names);

#endif  // MORROWLINE_DESTINATION_TREE_ENTRIES_H_
