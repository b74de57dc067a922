#ifndef MORROWLINE_PACK_ZIP_WRITER_H_
#define MORROWLINE_PACK_ZIP_WRITER_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/file_descriptor.h"
#include "pack/compression.h"
#include "pack/encoding_pipeline.h"
#include "pack/pack_progress.h"

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
// Nothing else may write to the file until finish() has returned. `path`
// names the file in messages.
//
// Deflate, bzip2 and stored members are read and encoded on `threads`
// worker threads while earlier members are written: a call may return
// before its member is in the file, and a failure may come from a later
// call than the one whose member it names. Failures are still raised in
// the members' order. Deflate members are cut into pieces of
// encoding_piece_size, each a job of its own, so that one big member uses
// every worker too. The bytes written do not depend on `threads`, and
// memory stays bounded whatever the members' sizes: a few MiB a thread.
class ZipWriter {
 public:
  // `threads`: the workers, and how many Zstandard and XZ may use (at most
  // 8). `counters`, when given, counts the files written and the bytes read.
  ZipWriter(int fd, std::string path, unsigned threads = 1, ZipLimits limits = {},
            PackCounters* counters = nullptr);
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // A directory member: stored, no data.
  void add_directory(const ZipMember& member);

  // A member holding the `size` bytes of the file at `source`, compressed
  // as `compression` says, or stored when that does not make them smaller.
  // Throws ContextError "cannot read file" (context: the path and why;
  // "changed while packing" when it no longer holds `size` bytes, or
  // changed between two of its pieces), "cannot compress" or "cannot
  // write archive" (context: `path` and why).
  void add_file(const ZipMember& member, const std::string& source, uint64_t size,
                const Compression& compression);

  // Writes every member still pending, then the central directory and the
  // end records, ZIP64 ones where needed, with `comment` (at most 65,535
  // bytes) as the archive comment. Throws as add_file does, and
  // ContextError "cannot write archive".
  void finish(const std::string& comment);

 private:
  class Output;
  struct Entry;
  struct Pending;

  void write_local_header(const Entry& entry);
  void start_member(Pending& member);
  void end_member(Pending& member);
  void submit_batch();
  void make_room_for_a_job();
  void write_next();
  void write_all_pending();
  void take_job_output(Pending& member, EncodingJob& job, size_t index);
  static FileDescriptor open_source(const std::string& source);
  void store_file(Entry& entry, const FileDescriptor& file, const std::string& source);
  bool compress_file(Entry& entry, const FileDescriptor& file, const std::string& source,
                     const Compression& compression);

  std::unique_ptr<Output> out_;
  unsigned threads_;
  ZipLimits limits_;
  PackCounters* counters_;
  std::vector<Entry> entries_;
  // Members not yet wholly written, in order, and the jobs submitted for
  // them that the writer has not taken.
  std::deque<Pending> pending_;
  size_t jobs_in_flight_ = 0;
  // Small members gathered into one job, not yet submitted.
  std::shared_ptr<EncodingJob> batch_;
  uint64_t batch_input_ = 0;
  // Declared last: the workers stop before the rest goes.
  std::unique_ptr<EncodingPipeline> pipeline_;  // started by the first job
};

#endif  // MORROWLINE_PACK_ZIP_WRITER_H_
