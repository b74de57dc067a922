#include "pack/payload_archive.h"

#include <algorithm>
#include <thread>

#include "pack/zip_writer.h"

namespace {

// Enough to keep Zstandard and XZ busy on large members; more would mostly
// add memory.
constexpr unsigned max_threads = 8;

}  // namespace

void write_payload_archive(int fd, const std::string& path, const std::vector<PackEntry>& entries,
                           const PayloadSettings& settings, const std::string& comment) {
  ZipWriter writer(fd, path, std::clamp(std::thread::hardware_concurrency(), 1u, max_threads));
  for (const PackEntry& entry : entries) {
    ZipMember member{entry.name, entry.mode,
                     settings.fixed_time ? *settings.fixed_time : entry.mtime};
    if (entry.is_directory())
      writer.add_directory(member);
    else
      writer.add_file(member, entry.path, entry.size, settings.compression);
  }
  writer.finish(comment);
}
