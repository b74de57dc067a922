#ifndef MORROWLINE_ARCHIVE_END_RECORD_H_
#define MORROWLINE_ARCHIVE_END_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <optional>

// The end-of-central-directory record closes every ZIP archive. Its fixed
// part is 22 bytes and the comment that follows holds at most 65,535, so the
// record starts at most 65,557 bytes before the archive's end.
constexpr size_t end_record_size = 22;
constexpr size_t max_comment_size = 65535;
constexpr size_t end_record_search_span = end_record_size + max_comment_size;

struct EndRecord {
  size_t position = 0;  // offset of the signature within the searched bytes
  uint16_t entries = 0;
  uint32_t directory_size = 0;
  uint32_t directory_offset = 0;  // from the archive's first byte
  uint16_t comment_size = 0;
};

// Finds the last end record in data[0, size): the last signature 50 4B 05 06
// that has its whole fixed part and whole comment inside the data. A hit too
// close to the end, or whose comment would run past it, is skipped and the
// search goes on backwards. Nothing outside the data is read.
std::optional<EndRecord> find_end_record(const char* data, size_t size);

// The ZIP64 end record and its locator, which stand just before the classic
// end record when an archive's counts or offsets overflow 16 or 32 bits.
struct Zip64EndRecord {
  size_t position = 0;  // offset of its signature within the searched bytes
  uint64_t entries = 0;
  uint64_t directory_size = 0;
  uint64_t directory_offset = 0;  // from the archive's first byte
  uint64_t record_offset = 0;     // its own offset, as the locator gives it
};

// Reads the ZIP64 end record that belongs to `record`, found in the same
// bytes; nullopt when the locator or the record is missing or incomplete.
// Where it exists, its values hold over the classic record's.
std::optional<Zip64EndRecord> find_zip64_end_record(const char* data, size_t size,
                                                    const EndRecord& record);

#endif  // MORROWLINE_ARCHIVE_END_RECORD_H_
