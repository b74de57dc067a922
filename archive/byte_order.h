#ifndef MORROWLINE_ARCHIVE_BYTE_ORDER_H_
#define MORROWLINE_ARCHIVE_BYTE_ORDER_H_

#include <cstddef>
#include <cstdint>

// Little-endian field readers for ZIP records. The caller guarantees that
// the bytes read lie inside its buffer.
inline uint16_t read_u16(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

inline uint32_t read_u32(const char* p) {
  return static_cast<uint32_t>(read_u16(p)) | (static_cast<uint32_t>(read_u16(p + 2)) << 16);
}

inline uint64_t read_u64(const char* p) {
  return static_cast<uint64_t>(read_u32(p)) | (static_cast<uint64_t>(read_u32(p + 4)) << 32);
}

#endif  // MORROWLINE_ARCHIVE_BYTE_ORDER_H_
