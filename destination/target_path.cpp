#include "destination/target_path.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/context_error.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

}  // namespace

std::string child_path(const std::string& directory, const std::string& name) {
  if (name.empty()) return directory;
  return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string canonical_path(const std::string& path) {
  // realpath allocates the result itself, so no fixed buffer is ever read
  // unfilled or cut short.
  std::unique_ptr<char, FreeDeleter> resolved(realpath(path.c_str(), nullptr));
  if (!resolved) throw ContextError("cannot resolve path", path + ": " + std::strerror(errno));
  return resolved.get();
}

bool is_inside(const std::string& root, const std::string& path) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

std::string target_path(const std::string& destination, const std::string& name,
                        LeafRule leaf) {
  std::vector<std::string> parts = name_components(name);
  std::string place = destination;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == "..") throw ContextError("path leads outside the destination", name);
    std::string next = child_path(place, parts[i]);
    bool last = i + 1 == parts.size();
    struct stat entry;
    if (lstat(next.c_str(), &entry) != 0 || (last && leaf == LeafRule::keep) ||
        !S_ISLNK(entry.st_mode)) {
      place = std::move(next);
      continue;
    }
    std::string resolved = canonical_path(next);
    if (!is_inside(destination, resolved))
      throw ContextError("path leads outside the destination", next + " -> " + resolved);
    place = std::move(resolved);
  }
  return place;
}

std::vector<std::string> name_components(const std::string& name) {
  std::vector<std::string> parts;
  // Called for every member before anything is written: one allocation
  // for the list, not one per doubling.
  parts.reserve(static_cast<size_t>(std::count(name.begin(), name.end(), '/')) + 1);
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/') {
      bool dot = i - start == 1 && name[start] == '.';
      if (i > start && !dot)
        parts.emplace_back(name, start, i - start);
      start = i + 1;
    }
  }
  return parts;
}
