#include "extract/places.h"

#include <algorithm>

#include "destination/target_path.h"

namespace {

constexpr size_t kept_open = 16;

}  // namespace

std::string relative_path(const std::vector<std::string>& components, size_t count) {
  std::string path;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) path += '/';
    path += components[i];
  }
  return path;
}

Places::Lookup Places::find(const std::shared_ptr<Directory>& root,
                            const std::vector<std::string>& components, size_t count) {
  for (size_t n = count; n > 0; --n) {
    std::string key = relative_path(components, n);
    if (auto known = recall(*root, key)) return Lookup{known, n};
    if (auto opened = open_below(*root, key)) {
      remember(*root, key, opened);
      return Lookup{opened, n};
    }
  }
  return Lookup{root, 0};
}

std::shared_ptr<Directory> Places::create(const std::shared_ptr<Directory>& root,
                                          const std::vector<std::string>& components,
                                          size_t count, Lookup lookup,
                                          std::vector<size_t>& made) {
  std::shared_ptr<Directory> directory = lookup.directory;
  for (size_t i = lookup.found; i < count; ++i) {
    std::string key = relative_path(components, i + 1);
    directory = make_directory(*root, *directory, key, components[i]);
    if (directory->made) made.push_back(i + 1);
    remember(*root, key, directory);
  }
  return directory;
}

void Places::forget(const Directory& root, const std::vector<std::string>& components,
                    size_t count) {
  std::string key = relative_path(components, count);
  recent_.erase(std::remove_if(recent_.begin(), recent_.end(),
                               [&](const Entry& entry) {
                                 return entry.root == &root &&
                                        (entry.key == key ||
                                         entry.key.compare(0, key.size() + 1, key + "/") == 0);
                               }),
                recent_.end());
}

std::string Places::shown_path(const Lookup& lookup, const std::vector<std::string>& components,
                               size_t count) {
  // Built in place: it is made for every member.
  std::string path = lookup.directory->shown;
  for (size_t i = lookup.found; i < count; ++i) {
    if (path != "/") path += '/';
    path += components[i];
  }
  return path;
}

std::shared_ptr<Directory> Places::recall(const Directory& root, const std::string& key) {
  for (size_t i = 0; i < recent_.size(); ++i) {
    if (recent_[i].root != &root || recent_[i].key != key) continue;
    std::rotate(recent_.begin(), recent_.begin() + static_cast<std::ptrdiff_t>(i),
                recent_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    return recent_.front().directory;
  }
  return nullptr;
}

void Places::remember(const Directory& root, std::string key, std::shared_ptr<Directory> directory) {
  if (recent_.size() >= kept_open) recent_.pop_back();
  recent_.insert(recent_.begin(), Entry{&root, std::move(key), std::move(directory)});
}
