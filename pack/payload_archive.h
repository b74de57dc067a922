#ifndef MORROWLINE_PACK_PAYLOAD_ARCHIVE_H_
#define MORROWLINE_PACK_PAYLOAD_ARCHIVE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pack/package_tree.h"

struct PayloadSettings {
  int level = 6;                      // deflate level; 0 stores everything
  std::optional<int64_t> fixed_time;  // every member's time, when set
};

// Writes the ZIP archive `path` (replacing what is there) holding `entries`
// in order, each with its mode as Unix external attributes (mode << 16,
// host system Unix) and its time; files deflated at the settings' level,
// or stored when the level is 0 or deflating does not make them smaller.
// No archive comment. Throws ContextError "cannot write archive" (context:
// libzip's reason, with the member's path where there is one).
void write_payload_archive(const std::string& path, const std::vector<PackEntry>& entries,
                           const PayloadSettings& settings);

#endif  // MORROWLINE_PACK_PAYLOAD_ARCHIVE_H_
