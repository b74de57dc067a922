#ifndef MORROWLINE_ARCHIVE_MEMBER_INFO_H_
#define MORROWLINE_ARCHIVE_MEMBER_INFO_H_

#include <cstdint>
#include <string>

// Local calendar time, fields as people write them (year with four digits,
// month 1 to 12).
struct MemberTime {
  int32_t year = 0;
  int32_t month = 0;
  int32_t day = 0;
  int32_t hours = 0;
  int32_t minutes = 0;
  int32_t seconds = 0;
};

// One member as its central-directory entry gives it; a plain value.
// `name` holds the stored bytes, whole: no character-set conversion, no cut
// at a zero byte; only a matching Unicode Path field and the '\' of
// MS-DOS hosts change it (see CentralEntry). A directory member's name ends
// with '/'.
struct MemberInfo {
  std::string name;
  MemberTime modified;
  // Modification time in seconds since the epoch: the extended-timestamp
  // field where the maker stored one, else the DOS time read as local time.
  int64_t mtime = 0;
  std::string comment;
  std::string extra_field;  // not copied: always empty
  uint16_t method = 0;
  uint16_t version_made_by = 0;  // upper byte: host system, 3 for Unix
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint64_t index = 0;
  uint32_t internal_attributes = 0;
  uint32_t external_attributes = 0;  // upper 16 bits: Unix mode, if any
  uint64_t local_header_offset = 0;  // from the archive's first byte
  uint32_t crc32 = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
};

#endif  // MORROWLINE_ARCHIVE_MEMBER_INFO_H_
