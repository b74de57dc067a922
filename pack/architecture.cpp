#include "pack/architecture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "common/file_descriptor.h"

namespace {

// e_ident, then e_type, then e_machine: both byte orders are read, so a
// big-endian program is named too.
constexpr size_t machine_offset = 18;
constexpr size_t header_size = machine_offset + 2;
constexpr unsigned machine_x86_64 = 62;
constexpr unsigned machine_aarch64 = 183;

}  // namespace

std::string architecture_name(Architecture architecture) {
  return architecture == Architecture::aarch64 ? "aarch64" : "x86_64";
}

std::optional<Architecture> architecture_named(const std::string& name) {
  if (name == "x86_64") return Architecture::x86_64;
  if (name == "aarch64") return Architecture::aarch64;
  return std::nullopt;
}

std::string known_architectures() { return "x86_64 or aarch64"; }

std::string program_architecture(const std::string& header) {
  if (header.size() < header_size || header.compare(0, 4, "\177ELF") != 0) return "";
  auto byte = [&header](size_t at) {
    return static_cast<unsigned>(static_cast<uint8_t>(header[at]));
  };
  // EI_CLASS (32 or 64 bits), EI_DATA (byte order), EI_VERSION.
  if (byte(4) < 1 || byte(4) > 2 || byte(5) < 1 || byte(5) > 2 || byte(6) != 1) return "";
  bool big_endian = byte(5) == 2;
  unsigned machine = big_endian ? byte(machine_offset) << 8 | byte(machine_offset + 1)
                                : byte(machine_offset + 1) << 8 | byte(machine_offset);
  if (machine == machine_x86_64 && !big_endian) return architecture_name(Architecture::x86_64);
  if (machine == machine_aarch64 && !big_endian) return architecture_name(Architecture::aarch64);
  return "ELF machine " + std::to_string(machine);
}

std::string program_header(const std::string& path) {
  std::string header(header_size, '\0');
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ssize_t got = file.valid() ? pread(file.get(), header.data(), header.size(), 0) : -1;
  header.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return header;
}
