#ifndef MORROWLINE_ARCHIVE_CENTRAL_DIRECTORY_H_
#define MORROWLINE_ARCHIVE_CENTRAL_DIRECTORY_H_

#include <cstdint>
#include <string>
#include <vector>

// The fields of one central-directory header that libzip keeps to itself,
// and the name and comment as whole stored bytes (zero bytes included).
struct CentralEntry {
  uint16_t version_made_by = 0;
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint32_t internal_attributes = 0;
  uint64_t local_header_offset = 0;  // ZIP64 extra field applied
  std::string name;
  std::string comment;
};

// Walks the central directory of the archive held in image[0, size), which
// must begin at the archive's first byte and end with its end record.
// Returns the entries in directory order. Throws std::runtime_error
// "bad zip" when a record is missing or runs outside the image.
std::vector<CentralEntry> read_central_directory(const char* image, size_t size);

#endif  // MORROWLINE_ARCHIVE_CENTRAL_DIRECTORY_H_
