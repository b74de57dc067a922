#ifndef MORROWLINE_PACK_ZIP_WRITER_H_
#define MORROWLINE_PACK_ZIP_WRITER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pack/compression.h"

// The largest values the classic 32- and 16-bit fields hold; a size or
// offset above `max_value`, or more than `max_entries` members, takes
// ZIP64 records. Lowered only by tests, to see those records on small
// archives.
struct ZipLimits {
  uint64_t max_value = 0xFFFFFFFE;
  uint64_t max_entries = 0xFFFE;
};

struct ZipMember {
  std::string name;   // stored byte for byte; '/' ends a directory
  unsigned mode = 0;  // st_mode, stored as external attributes mode << 16 (host Unix)
  int64_t mtime = 0;  // seconds since the epoch; as DOS time (local) and extended timestamp
};

// Writes a ZIP archive into the open file `fd` from its current offset on,
// one member after the other. Offsets in the archive count from the file's
// first byte, as `zip -A` leaves them, so that tools which look for the
// archive's records where its offsets say find them behind a program.
// Memory stays bounded whatever the files' sizes. Nothing else may write
// to the file until finish() has returned. `path` names the file in
// messages. The same calls give the same bytes.
class ZipWriter {
 public:
  // `threads`: how many Zstandard and XZ may use; the bytes do not depend
  // on it.
  ZipWriter(int fd, std::string path, unsigned threads = 1, ZipLimits limits = {});
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // A directory member: stored, no data.
  void add_directory(const ZipMember& member);

  // A member holding the `size` bytes of the file at `source`, compressed
  // as `compression` says, or stored when that does not make them smaller.
  // Throws ContextError "cannot read file" (context: the path and why;
  // "changed while packing" when it no longer holds `size` bytes),
  // "cannot compress" or "cannot write archive" (context: `path` and why).
  void add_file(const ZipMember& member, const std::string& source, uint64_t size,
                const Compression& compression);

  // The central directory and the end records, ZIP64 ones where needed,
  // with `comment` (at most 65,535 bytes) as the archive comment. Throws
  // ContextError "cannot write archive".
  void finish(const std::string& comment);

 private:
  class Output;
  struct Entry;

  void write_local_header(const Entry& entry);
  void store_file(Entry& entry, const std::string& source);
  bool compress_file(Entry& entry, const std::string& source, const Compression& compression);

  std::unique_ptr<Output> out_;
  unsigned threads_;
  ZipLimits limits_;
  std::vector<Entry> entries_;
};

#endif  // MORROWLINE_PACK_ZIP_WRITER_H_
