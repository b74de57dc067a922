#include "pack/package_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/context_error.h"
#include "extract/member_name.h"

namespace {

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

struct MallocFree {
  void operator()(char* block) const { std::free(block); }
};

struct DirectoryId {
  dev_t device;
  ino_t inode;
};

std::string with_reason(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string last_component(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* special_kind(mode_t mode) {
  if (S_ISFIFO(mode)) return "fifo";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  return "unknown type";
}

// The entry at `path` as it is used: through a link to what it names.
struct stat followed_status(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return info;
  int error = errno;
  struct stat link;
  bool is_link = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  if (is_link && (error == ENOENT || error == ENOTDIR))
    throw ContextError("dangling symbolic link", path);
  if (is_link && error == ELOOP) throw ContextError("symbolic link loop", path);
  throw ContextError("cannot read file", with_reason(path, error));
}

// Names are read whole before descending, so that a deep tree holds one
// open directory at a time.
std::vector<std::string> directory_names(const std::string& path) {
  std::unique_ptr<DIR, DirectoryCloser> directory(opendir(path.c_str()));
  if (!directory) throw ContextError("cannot read folder", with_reason(path, errno));
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = readdir(directory.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  if (errno != 0) throw ContextError("cannot read folder", with_reason(path, errno));
  return names;
}

// Refused now rather than halfway through writing the archive.
void check_readable(const std::string& path) {
  int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) throw ContextError("cannot read file", with_reason(path, errno));
  close(descriptor);
}

class TreeWalk {
 public:
  void add_directory(const std::string& path, const std::string& name, const struct stat& info);
  std::vector<PackEntry> entries;

 private:
  void add_child(const std::string& path, const std::string& name);

  // The directory being read and every one that holds it: a link that
  // leads to one of them would make the tree endless.
  std::vector<DirectoryId> open_directories_;
};

void TreeWalk::add_directory(const std::string& path, const std::string& name,
                             const struct stat& info) {
  for (const DirectoryId& open : open_directories_) {
    if (open.device == info.st_dev && open.inode == info.st_ino)
      throw ContextError("symbolic link loop", path);
  }
  entries.push_back(PackEntry{name, path, info.st_mode, info.st_mtime, 0});
  open_directories_.push_back(DirectoryId{info.st_dev, info.st_ino});
  for (const std::string& child : directory_names(path))
    add_child(path + "/" + child, name + child);
  open_directories_.pop_back();
}

void TreeWalk::add_child(const std::string& path, const std::string& name) {
  struct stat info = followed_status(path);
  if (S_ISDIR(info.st_mode)) {
    add_directory(path, name + "/", info);
  } else if (S_ISREG(info.st_mode)) {
    check_readable(path);
    entries.push_back(PackEntry{name, path, info.st_mode, info.st_mtime,
                                static_cast<uint64_t>(info.st_size), info.st_dev, info.st_ino});
  } else {
    throw ContextError("cannot pack special file", path + " (" + special_kind(info.st_mode) + ")");
  }
}

}  // namespace

std::string folder_member_name(const std::string& folder) {
  std::string base = last_component(without_trailing_slashes(folder));
  if (base.empty() || base == "." || base == "..") {
    std::unique_ptr<char, MallocFree> resolved(realpath(folder.c_str(), nullptr));
    if (!resolved) throw ContextError("cannot read folder", with_reason(folder, errno));
    base = last_component(resolved.get());
  }
  if (base.empty()) throw ContextError("folder has no name", folder);
  return base + "/";
}

std::vector<PackEntry> collect_package_tree(const std::string& folder) {
  std::string root = without_trailing_slashes(folder);
  struct stat info;
  if (stat(root.c_str(), &info) != 0)
    throw ContextError("cannot read folder", with_reason(folder, errno));
  if (!S_ISDIR(info.st_mode)) throw ContextError("not a folder", folder);

  TreeWalk walk;
  walk.add_directory(root, folder_member_name(folder), info);
  std::vector<PackEntry>& entries = walk.entries;
  // Byte order keeps a directory's contents right behind it, since its
  // name is a prefix of theirs, and makes the order independent of readdir.
  std::sort(entries.begin(), entries.end(),
            [](const PackEntry& a, const PackEntry& b) { return a.name < b.name; });
  for (const PackEntry& entry : entries) check_member_name(entry.name);
  return std::move(walk.entries);
}
