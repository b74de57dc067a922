#ifndef MORROWLINE_DESTINATION_TARGET_PATH_H_
#define MORROWLINE_DESTINATION_TARGET_PATH_H_

#include <string>
#include <vector>

// `name` in the directory at `directory`: "/a" + "b" gives "/a/b", "/" + "b"
// gives "/b", and an empty name the directory itself.
std::string child_path(const std::string& directory, const std::string& name);

// The canonical absolute form of an existing path. Throws ContextError
// "cannot resolve path" when there is none.
std::string canonical_path(const std::string& path);

// True when `path` (canonical) is `root` (canonical) or lies below it.
bool is_inside(const std::string& root, const std::string& path);

// The '/'-separated components of a name, empty and "." ones dropped:
// where the member lands below the destination. None for a name that
// names the destination itself ("./", ".", ".//").
std::vector<std::string> name_components(const std::string& name);

enum class LeafRule { follow, keep };

// Where the member `name` lands below `destination` (canonical): its place
// with every symbolic link that exists on the way resolved, '.' components
// and repeated '/' dropped, and the missing rest appended as named, with no
// trailing '/'. With LeafRule::keep the last component stays as named even
// when a link stands there (a file member replaces it). Throws ContextError
// "path leads outside the destination" when a link points outside, or
// "cannot resolve path" for a link that leads nowhere.
std::string target_path(const std::string& destination, const std::string& name,
                        LeafRule leaf);

#endif  // MORROWLINE_DESTINATION_TARGET_PATH_H_
