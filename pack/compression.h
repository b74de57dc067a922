#ifndef MORROWLINE_PACK_COMPRESSION_H_
#define MORROWLINE_PACK_COMPRESSION_H_

#include <cstdint>
#include <optional>
#include <string>

#include "archive/zip_format.h"

// The ZIP compression methods the packer writes, by their numbers in the
// ZIP format.
enum class CompressionMethod : uint16_t {
  store = method_stored,
  deflate = method_deflate,
  bzip2 = method_bzip2,
  zstd = method_zstd,
  xz = method_xz,
};

// zlib's own default: a fair trade of time for size, for every method.
constexpr int default_level = 6;
constexpr int max_level = 9;

// How the members' bytes are to be packed: a method and a level from 0 to
// 9, which maps onto the method's own range (see the man page). Level 0
// stores, whatever the method.
struct Compression {
  CompressionMethod method = CompressionMethod::deflate;
  int level = default_level;

  bool stores() const { return method == CompressionMethod::store || level == 0; }
  bool operator==(const Compression& other) const {
    return method == other.method && level == other.level;
  }
};

// The method --method names ("store", "deflate", "bzip2", "zstd", "xz"),
// or none.
std::optional<CompressionMethod> compression_method_named(const std::string& name);

// The name --list shows for a member's method: one of those above, "lzma"
// for 14, else "method N".
std::string compression_method_name(uint16_t method);

#endif  // MORROWLINE_PACK_COMPRESSION_H_
