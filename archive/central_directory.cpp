#include "archive/central_directory.h"

#include <stdexcept>

#include "archive/byte_order.h"
#include "archive/end_record.h"

namespace {

constexpr size_t header_size = 46;
constexpr uint16_t zip64_extra_id = 0x0001;

[[noreturn]] void bad_zip() { throw std::runtime_error("bad zip"); }

// The ZIP64 extra field lists, in this order, only the values whose classic
// field is saturated: uncompressed size, compressed size, header offset.
uint64_t zip64_header_offset(const char* extra, size_t size, uint32_t uncompressed,
                             uint32_t compressed, uint32_t offset) {
  if (offset != 0xFFFFFFFF) return offset;
  for (size_t p = 0; p + 4 <= size;) {
    uint16_t id = read_u16(extra + p);
    uint16_t length = read_u16(extra + p + 2);
    if (length > size - p - 4) break;
    if (id == zip64_extra_id) {
      size_t at = p + 4;
      if (uncompressed == 0xFFFFFFFF) at += 8;
      if (compressed == 0xFFFFFFFF) at += 8;
      if (at + 8 > p + 4 + length) bad_zip();
      return read_u64(extra + at);
    }
    p += 4 + length;
  }
  return offset;
}

}  // namespace

std::vector<CentralEntry> read_central_directory(const char* image, size_t size) {
  auto record = find_end_record(image, size);
  if (!record) bad_zip();
  uint64_t entries = record->entries;
  uint64_t offset = record->directory_offset;
  uint64_t directory_size = record->directory_size;
  if (auto zip64 = find_zip64_end_record(image, size, *record)) {
    entries = zip64->entries;
    offset = zip64->directory_offset;
    directory_size = zip64->directory_size;
  }
  if (offset > size || directory_size > size - offset) bad_zip();
  // Each header takes at least 46 bytes; a count beyond that is a lie.
  if (entries > directory_size / header_size) bad_zip();

  std::vector<CentralEntry> result;
  result.reserve(entries);
  const char* end = image + offset + directory_size;
  const char* p = image + offset;
  for (uint64_t i = 0; i < entries; ++i) {
    if (end - p < static_cast<std::ptrdiff_t>(header_size) || read_u32(p) != 0x02014B50)
      bad_zip();
    size_t name_size = read_u16(p + 28);
    size_t extra_size = read_u16(p + 30);
    size_t comment_size = read_u16(p + 32);
    if (static_cast<size_t>(end - p) < header_size + name_size + extra_size + comment_size)
      bad_zip();
    CentralEntry entry;
    entry.version_made_by = read_u16(p + 4);
    entry.version_needed = read_u16(p + 6);
    entry.flags = read_u16(p + 8);
    entry.internal_attributes = read_u16(p + 36);
    const char* name = p + header_size;
    const char* extra = name + name_size;
    entry.name.assign(name, name_size);
    entry.comment.assign(extra + extra_size, comment_size);
    entry.local_header_offset = zip64_header_offset(extra, extra_size, read_u32(p + 24),
                                                    read_u32(p + 20), read_u32(p + 42));
    result.push_back(std::move(entry));
    p = extra + extra_size + comment_size;
  }
  return result;
}
