#include "pack/compression.h"

namespace {

struct NamedMethod {
  const char* name;
  uint16_t number;
};

constexpr NamedMethod named_methods[] = {
    {"store", 0}, {"deflate", 8}, {"bzip2", 12}, {"lzma", 14}, {"zstd", 93}, {"xz", 95},
};

constexpr uint16_t lzma_method = 14;  // read by the installer, never written

}  // namespace

std::optional<CompressionMethod> compression_method_named(const std::string& name) {
  for (const NamedMethod& method : named_methods)
    if (name == method.name && method.number != lzma_method)
      return static_cast<CompressionMethod>(method.number);
  return std::nullopt;
}

std::string compression_method_name(uint16_t method) {
  for (const NamedMethod& named : named_methods)
    if (named.number == method) return named.name;
  return "method " + std::to_string(method);
}
