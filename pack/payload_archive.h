#ifndef MORROWLINE_PACK_PAYLOAD_ARCHIVE_H_
#define MORROWLINE_PACK_PAYLOAD_ARCHIVE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pack/compression.h"
#include "pack/pack_progress.h"
#include "pack/package_tree.h"

struct PayloadSettings {
  Compression compression;            // files' method and level
  std::optional<int64_t> fixed_time;  // every member's time, when set
};

// Writes into the open file `fd`, from its current offset on, the ZIP
// archive holding `entries` in order, each with its mode as Unix external
// attributes (mode << 16, host system Unix) and its time; files compressed
// as the settings say, or stored when that does not make them smaller;
// `comment` as the archive comment. Offsets count from the file's first
// byte. It uses the cores this process may run on (Zstandard and XZ up to
// 8 of them); the bytes are the same on any machine. Progress is shown on
// standard error as `progress` says, and cleared before this returns or
// throws. `path` names the file in messages. Throws ContextError as
// ZipWriter does.
void write_payload_archive(int fd, const std::string& path, const std::vector<PackEntry>& entries,
                           const PayloadSettings& settings, const std::string& comment,
                           ProgressShown progress = ProgressShown::none);

#endif  // MORROWLINE_PACK_PAYLOAD_ARCHIVE_H_
