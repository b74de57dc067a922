#include "pack/compression.h"

namespace {

struct NamedMethod {
  const char* name;
  uint16_t number;
};

constexpr NamedMethod named_methods[] = {
    {"store", method_stored}, {"deflate", method_deflate}, {"bzip2", method_bzip2},
    {"lzma", method_lzma},    {"zstd", method_zstd},       {"xz", method_xz},
};

}  // namespace

std::optional<CompressionMethod> compression_method_named(const std::string& name) {
  for (const NamedMethod& method : named_methods)
    // LZMA is read by the installer, never written.
    if (name == method.name && method.number != method_lzma)
      return static_cast<CompressionMethod>(method.number);
  return std::nullopt;
}

std::string compression_method_name(uint16_t method) {
  for (const NamedMethod& named : named_methods)
    if (named.number == method) return named.name;
  return "method " + std::to_string(method);
}
