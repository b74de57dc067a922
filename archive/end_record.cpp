#include "archive/end_record.h"

#include "archive/byte_order.h"

namespace {

constexpr char end_signature[] = {'P', 'K', 5, 6};
constexpr char locator_signature[] = {'P', 'K', 6, 7};
constexpr char zip64_signature[] = {'P', 'K', 6, 6};
constexpr size_t locator_size = 20;
constexpr size_t zip64_fixed_size = 56;
constexpr size_t zip64_search_span = 65536;

bool has_signature(const char* p, const char (&signature)[4]) {
  return p[0] == signature[0] && p[1] == signature[1] && p[2] == signature[2] &&
         p[3] == signature[3];
}

}  // namespace

std::optional<EndRecord> find_end_record(const char* data, size_t size) {
  if (size < end_record_size) return std::nullopt;
  for (size_t p = size - end_record_size + 1; p-- > 0;) {
    if (!has_signature(data + p, end_signature)) continue;
    EndRecord record;
    record.position = p;
    record.comment_size = read_u16(data + p + 20);
    if (record.comment_size > size - p - end_record_size) continue;
    record.entries = read_u16(data + p + 10);
    record.directory_size = read_u32(data + p + 12);
    record.directory_offset = read_u32(data + p + 16);
    return record;
  }
  return std::nullopt;
}

std::optional<Zip64EndRecord> find_zip64_end_record(const char* data, size_t size,
                                                    const EndRecord& record) {
  if (record.position < locator_size || record.position > size) return std::nullopt;
  const char* locator = data + record.position - locator_size;
  if (!has_signature(locator, locator_signature)) return std::nullopt;
  // The ZIP64 record normally sits right before its locator; its own size
  // field says how long it is, so find the one whose end meets the locator.
  // Extensible data is rare; looking 64 KiB back is plenty.
  size_t locator_at = record.position - locator_size;
  if (locator_at < zip64_fixed_size) return std::nullopt;
  size_t lowest = locator_at > zip64_search_span ? locator_at - zip64_search_span : 0;
  for (size_t p = locator_at - zip64_fixed_size + 1; p-- > lowest;) {
    if (!has_signature(data + p, zip64_signature)) continue;
    uint64_t rest = read_u64(data + p + 4);
    if (rest > locator_at - p || p + 12 + rest != locator_at) continue;
    Zip64EndRecord zip64;
    zip64.position = p;
    zip64.entries = read_u64(data + p + 32);
    zip64.directory_size = read_u64(data + p + 40);
    zip64.directory_offset = read_u64(data + p + 48);
    zip64.record_offset = read_u64(locator + 8);
    return zip64;
  }
  return std::nullopt;
}
