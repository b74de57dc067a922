#ifndef MORROWLINE_EXTRACT_STORED_MODE_H_
#define MORROWLINE_EXTRACT_STORED_MODE_H_

#include <cstdint>
#include <optional>

// The Unix mode an archive stores in the upper 16 bits of a member's
// external attributes; 0 when the maker stored none (Windows, DOS).
inline unsigned stored_mode(uint32_t external_attributes) { return external_attributes >> 16; }

// The permission bits a member ends with: those of its stored mode, the
// sticky bit included but never set-user-ID or set-group-ID, when the mode
// is of the member's own kind, or carries no type. nullopt: the defaults, 0666 or
// 0777 less the umask, for members stored without a mode and for links and
// other special files, which are written as regular files; their stored
// 0777 would make a file anyone may change.
std::optional<unsigned> member_permissions(uint32_t external_attributes, bool directory);

#endif  // MORROWLINE_EXTRACT_STORED_MODE_H_
