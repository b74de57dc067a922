#include "archive/central_directory.h"

#include <algorithm>
#include <stdexcept>

#include "archive/archive_image.h"
#include "archive/byte_order.h"
#include "archive/end_record.h"
#include "archive/zip_format.h"

namespace {

// The end record, a ZIP64 locator and a ZIP64 record (with up to 64 KiB of
// extensible data) all lie within this many bytes of the image's end.
constexpr size_t tail_span = end_record_search_span + 20 + 56 + 65536;

[[noreturn]] void bad_zip() { throw std::runtime_error("bad zip"); }

struct Extra {
  const char* data;
  size_t size;
};

// The body of the first extra block with that id, if any.
std::optional<Extra> find_extra(const char* extra, size_t size, uint16_t wanted) {
  for (size_t p = 0; p + 4 <= size;) {
    uint16_t id = read_u16(extra + p);
    uint16_t length = read_u16(extra + p + 2);
    if (length > size - p - 4) break;
    if (id == wanted) return Extra{extra + p + 4, length};
    p += 4 + length;
  }
  return std::nullopt;
}

// The ZIP64 extra field lists, in this order, only the values whose classic
// field is saturated: uncompressed size, compressed size, header offset.
void apply_zip64(const char* extra, size_t size, uint32_t uncompressed, CentralEntry& entry) {
  bool compressed_saturated = entry.compressed_size == saturated32;
  bool offset_saturated = entry.local_header_offset == saturated32;
  if (!compressed_saturated && !offset_saturated) return;
  auto zip64 = find_extra(extra, size, zip64_extra_id);
  if (!zip64) return;
  size_t at = uncompressed == saturated32 ? 8 : 0;
  if (compressed_saturated) {
    if (at + 8 > zip64->size) bad_zip();
    entry.compressed_size = read_u64(zip64->data + at);
    at += 8;
  }
  if (offset_saturated) {
    if (at + 8 > zip64->size) bad_zip();
    entry.local_header_offset = read_u64(zip64->data + at);
  }
}

// The central form of the extended timestamp holds its flags and, when the
// first flag is set, the modification time in seconds since the epoch.
std::optional<int64_t> extended_mtime(const char* extra, size_t size) {
  auto stamp = find_extra(extra, size, timestamp_extra_id);
  if (!stamp || stamp->size < 5 || !(stamp->data[0] & 1)) return std::nullopt;
  return static_cast<int32_t>(read_u32(stamp->data + 1));
}

uint32_t crc32_of(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

// The name a member is unpacked under. Windows tools that store names in
// a code page add Info-ZIP's Unicode Path field: its UTF-8 name counts
// while its CRC-32 still matches the stored name (a later tool may have
// renamed the member and left the field). Archives made on MS-DOS and
// Windows separate directories with '\'.
std::string used_name(std::string stored, const char* extra, size_t extra_size,
                      uint16_t version_made_by) {
  auto unicode = find_extra(extra, extra_size, unicode_path_extra_id);
  if (unicode && unicode->size >= 5 && unicode->data[0] == 1 &&
      read_u32(unicode->data + 1) == crc32_of(stored))
    stored.assign(unicode->data + 5, unicode->size - 5);
  if (version_made_by >> 8 == host_ms_dos)
    for (char& c : stored)
      if (c == '\\') c = '/';
  return stored;
}

}  // namespace

CentralDirectory read_central_directory(const ArchiveImage& image) {
  uint64_t tail_start = image.size() - std::min<uint64_t>(image.size(), tail_span);
  std::vector<char> tail =
      image.read(tail_start, static_cast<size_t>(image.size() - tail_start));
  auto record = find_end_record(tail.data(), tail.size());
  if (!record) bad_zip();
  uint64_t entries = record->entries;
  CentralDirectory directory;
  directory.offset = record->directory_offset;
  uint64_t directory_size = record->directory_size;
  if (auto zip64 = find_zip64_end_record(tail.data(), tail.size(), *record)) {
    entries = zip64->entries;
    directory.offset = zip64->directory_offset;
    directory_size = zip64->directory_size;
  }
  if (directory.offset > image.size() || directory_size > image.size() - directory.offset)
    bad_zip();
  // Each header takes at least 46 bytes; a count beyond that is a lie.
  if (entries > directory_size / central_header_size) bad_zip();

  std::vector<char> bytes = image.read(directory.offset, static_cast<size_t>(directory_size));
  directory.entries.reserve(entries);
  const char* end = bytes.data() + bytes.size();
  const char* p = bytes.data();
  for (uint64_t i = 0; i < entries; ++i) {
    if (end - p < static_cast<std::ptrdiff_t>(central_header_size) ||
        read_u32(p) != central_header_signature)
      bad_zip();
    size_t name_size = read_u16(p + 28);
    size_t extra_size = read_u16(p + 30);
    size_t comment_size = read_u16(p + 32);
    if (static_cast<size_t>(end - p) < central_header_size + name_size + extra_size + comment_size)
      bad_zip();
    CentralEntry entry;
    entry.version_made_by = read_u16(p + 4);
    entry.version_needed = read_u16(p + 6);
    entry.flags = read_u16(p + 8);
    entry.compressed_size = read_u32(p + 20);
    entry.internal_attributes = read_u16(p + 36);
    entry.local_header_offset = read_u32(p + 42);
    const char* name = p + central_header_size;
    const char* extra = name + name_size;
    entry.name = used_name(std::string(name, name_size), extra, extra_size, entry.version_made_by);
    entry.comment.assign(extra + extra_size, comment_size);
    apply_zip64(extra, extra_size, read_u32(p + 24), entry);
    entry.unix_mtime = extended_mtime(extra, extra_size);
    directory.entries.push_back(std::move(entry));
    p = extra + extra_size + comment_size;
  }
  return directory;
}
