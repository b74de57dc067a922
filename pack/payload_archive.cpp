#include "pack/payload_archive.h"

#include <unistd.h>

#include "pack/encoding_pipeline.h"
#include "pack/zip_writer.h"

void write_payload_archive(int fd, const std::string& path, const std::vector<PackEntry>& entries,
                           const PayloadSettings& settings, const std::string& comment,
                           ProgressShown progress) {
  uint64_t files = 0, bytes = 0;
  for (const PackEntry& entry : entries) {
    if (entry.is_directory()) continue;
    ++files;
    bytes += entry.size;
  }
  PackCounters counters;
  ProgressLine line(progress, STDERR_FILENO, counters, files, bytes);
  {
    // The writer's threads stop before the line goes.
    ZipWriter writer(fd, path, usable_cores(), {}, &counters);
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
  line.finish();
}
