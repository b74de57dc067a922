#ifndef MORROWLINE_ARCHIVE_CENTRAL_DIRECTORY_H_
#define MORROWLINE_ARCHIVE_CENTRAL_DIRECTORY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ArchiveImage;

// The fields of one central-directory header that libzip keeps to itself,
// and the name and comment as whole bytes (zero bytes included). The name
// is the one a member is unpacked under: the UTF-8 name of an Info-ZIP
// Unicode Path field whose CRC-32 matches the stored name, and '/' for '\'
// in archives made on MS-DOS or Windows (host 0); else the stored bytes.
// Sizes and the offset have the ZIP64 extra field applied.
struct CentralEntry {
  uint16_t version_made_by = 0;
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint32_t internal_attributes = 0;
  uint64_t local_header_offset = 0;
  uint64_t data_offset = 0;  // where the compressed bytes start, once the layout is checked
  uint64_t compressed_size = 0;
  std::optional<int64_t> unix_mtime;  // from an extended-timestamp field
  std::string name;
  std::string comment;
};

struct CentralDirectory {
  uint64_t offset = 0;  // from the archive's first byte
  std::vector<CentralEntry> entries;
};

// Walks the central directory of `image`, which begins at the archive's
// first byte and ends with its end record. Returns the entries in
// directory order. Throws std::runtime_error "bad zip" when a record is
// missing or runs outside the image.
CentralDirectory read_central_directory(const ArchiveImage& image);

#endif  // MORROWLINE_ARCHIVE_CENTRAL_DIRECTORY_H_
