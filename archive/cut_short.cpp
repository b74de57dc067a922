#include "archive/cut_short.h"

#include <algorithm>
#include <vector>

#include "archive/byte_order.h"

namespace {

constexpr size_t elf_header_size = 64;  // ELF64
constexpr size_t program_header_size = 56;
constexpr uint16_t most_program_headers = 256;
// The packer pads each program to the room of the largest it ships, some
// tens of KiB more.
constexpr size_t padding_reach = size_t{64} << 10;
constexpr char member_signature[] = {'P', 'K', 3, 4};

// Where the ELF64 image at the start of `file` ends: past its last
// segment and its section headers, which the linker puts last. 0 when it
// is no such image.
uint64_t image_end(const ArchiveImage& file, uint64_t size) {
  char header[elf_header_size];
  if (file.read_at(0, header, sizeof header) != static_cast<int64_t>(sizeof header)) return 0;
  // Little-endian, 64-bit: the installer programs' own kind.
  if (header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F' ||
      header[4] != 2 || header[5] != 1)
    return 0;
  uint64_t program_headers = read_u64(header + 32);
  uint64_t section_headers = read_u64(header + 40);
  uint16_t program_entry = read_u16(header + 54), program_count = read_u16(header + 56);
  uint16_t section_entry = read_u16(header + 58), section_count = read_u16(header + 60);
  uint64_t end = section_headers + uint64_t{section_entry} * section_count;
  if (program_entry != program_header_size || program_count > most_program_headers) return 0;
  std::vector<char> table(size_t{program_count} * program_header_size);
  if (file.read_at(program_headers, table.data(), table.size()) !=
      static_cast<int64_t>(table.size()))
    return 0;
  for (uint16_t i = 0; i < program_count; ++i) {
    const char* entry = table.data() + size_t{i} * program_header_size;
    end = std::max(end, read_u64(entry + 8) + read_u64(entry + 32));  // offset + file size
  }
  return end <= size ? end : 0;
}

}  // namespace

IncompleteInstaller::IncompleteInstaller(uint64_t size, const std::string& path)
    : ContextError(
          "the installer is incomplete (cut short at " + std::to_string(size) + " of its bytes?)",
          path) {}

bool looks_cut_short(const ArchiveImage& file, uint64_t size) {
  uint64_t end = image_end(file, size);
  if (end == 0 || end >= size) return false;
  std::vector<char> behind(static_cast<size_t>(std::min<uint64_t>(padding_reach, size - end)));
  int64_t got = file.read_at(end, behind.data(), behind.size());
  if (got <= 0) return false;
  auto first = std::find_if(behind.begin(), behind.begin() + got, [](char c) { return c != 0; });
  return behind.begin() + got - first >= 4 && std::equal(first, first + 4, member_signature);
}
