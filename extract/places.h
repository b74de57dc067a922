#ifndef MORROWLINE_EXTRACT_PLACES_H_
#define MORROWLINE_EXTRACT_PLACES_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "destination/entries.h"

// components[0, count) joined by '/': a path relative to a root.
std::string relative_path(const std::vector<std::string>& components, size_t count);

// Finds the directories members land in below a root (the destination, or a
// reinstall's staging directory): opened below it, links followed only
// while they stay below, and made where missing. The last few stay open,
// since members come grouped by directory.
class Places {
 public:
  struct Lookup {
    std::shared_ptr<Directory> directory;  // the deepest one that exists
    size_t found = 0;                      // how many components it stands for
  };

  // The deepest existing directory on the way to components[0, count) below
  // `root`. Throws as open_below().
  Lookup find(const std::shared_ptr<Directory>& root, const std::vector<std::string>& components,
              size_t count);

  // Makes components[lookup.found, count) below lookup.directory and
  // returns the last of them. Appends to `made` the component count of
  // each directory this made (mode 0700 until the run gives it its own).
  // Throws as make_directory().
  std::shared_ptr<Directory> create(const std::shared_ptr<Directory>& root,
                                    const std::vector<std::string>& components, size_t count,
                                    Lookup lookup, std::vector<size_t>& made);

  // Closes every directory it keeps open: no member is to be placed any
  // more, and the removal of an old tree takes descriptors of its own.
  void close_all() { recent_.clear(); }

  // Forgets what was opened at or below components[0, count) of `root`: an
  // entry there has been replaced.
  void forget(const Directory& root, const std::vector<std::string>& components, size_t count);

  // The path people know components[0, count) below `root` by, as far as
  // `lookup` found it, the rest as named.
  static std::string shown_path(const Lookup& lookup, const std::vector<std::string>& components,
                                size_t count);

 private:
  struct Entry {
    const Directory* root;
    std::string key;
    std::shared_ptr<Directory> directory;
  };

  std::shared_ptr<Directory> recall(const Directory& root, const std::string& key);
  void remember(const Directory& root, std::string key, std::shared_ptr<Directory> directory);

  std::vector<Entry> recent_;  // most recently used first
};

#endif  // MORROWLINE_EXTRACT_PLACES_H_
