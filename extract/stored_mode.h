#ifndef MORROWLINE_EXTRACT_STORED_MODE_H_
#define MORROWLINE_EXTRACT_STORED_MODE_H_

#include <cstdint>
#include <string>

// The Unix mode an archive stores in the upper 16 bits of a member's
// external attributes; 0 when the maker stored none (Windows, DOS).
inline unsigned stored_mode(uint32_t external_attributes) { return external_attributes >> 16; }

// Gives `path` the twelve permission bits of `mode` (set-user-ID,
// set-group-ID and sticky included). A mode of 0 means "none stored" and
// leaves the path as created. Failures are ignored: some file systems keep
// no Unix modes.
void apply_stored_mode(const std::string& path, unsigned mode);

#endif  // MORROWLINE_EXTRACT_STORED_MODE_H_
