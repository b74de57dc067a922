#include "pack/zip_writer.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/zip_format.h"
#include "common/context_error.h"
#include "common/file_descriptor.h"
#include "pack/member_encoder.h"
#include "pack/zip_records.h"

namespace {

// Host Unix, and version 6.3 of the format, the first to name Zstandard
// and XZ.
constexpr uint16_t version_made_by = host_unix << 8 | 63;
constexpr uint16_t version_zip64 = 45;
constexpr uint16_t utf8_name_flag = 1 << 11;
constexpr size_t zip64_end_record_size = 56;
constexpr size_t max_comment_bytes = 65535;
constexpr size_t input_piece_size = size_t{1} << 18;
constexpr size_t output_buffer_size = size_t{1} << 20;
// Jobs submitted and not yet written, per worker: enough that a worker
// always finds one while the writer waits for the oldest.
constexpr size_t jobs_per_worker = 4;
// Members without jobs (folders, empty files) wait at most this many
// deep before they are written.
constexpr size_t most_pending_members = 4096;
// Small members share a job up to encoding_piece_size bytes, or this many.
constexpr size_t most_members_in_a_job = 256;
// Zstandard and XZ gain little from more threads on an installer's files,
// and each takes memory.
constexpr unsigned most_library_threads = 8;

std::string with_reason(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

// A name's length has a 16-bit field.
void check_name(const std::string& name) {
  if (name.size() > saturated16)
    throw ContextError("cannot write archive", "member name longer than 65,535 bytes: " + name);
}

// The fields the local and central headers share, in that order.
template <typename Entry>
void write_common_fields(Record& header, const Entry& entry) {
  header.u16(entry.version_needed);
  header.u16(entry.flags);
  header.u16(entry.method);
  header.u16(entry.modified.time);
  header.u16(entry.modified.date);
  header.u32(entry.crc);
}

}  // namespace

// Buffered writes at the end of the archive, with the two ways back that
// writing members needs: patching a local header once its sizes are
// known, and dropping a member's data to write it again stored.
class ZipWriter::Output {
 public:
  Output(int fd, std::string path) : fd_(fd), path_(std::move(path)), buffer_(output_buffer_size) {
    off_t start = lseek(fd_, 0, SEEK_CUR);
    if (start < 0) fail(errno);
    position_ = static_cast<uint64_t>(start);
  }

  uint64_t position() const { return position_; }

  void append(const char* data, size_t size) {
    if (used_ + size > buffer_.size()) flush();
    if (size >= buffer_.size()) {
      write_all(data, size);
    } else {
      std::memcpy(buffer_.data() + used_, data, size);
      used_ += size;
    }
    position_ += size;
  }

  void append(const std::string& bytes) { append(bytes.data(), bytes.size()); }

  void flush() {
    write_all(buffer_.data(), used_);
    used_ = 0;
  }

  // Drops every byte from `position` on.
  void rewind(uint64_t position) {
    uint64_t flushed = position_ - used_;
    if (position >= flushed) {
      used_ = static_cast<size_t>(position - flushed);
    } else {
      used_ = 0;
      off_t at = static_cast<off_t>(position);
      if (ftruncate(fd_, at) != 0 || lseek(fd_, at, SEEK_SET) < 0) fail(errno);
    }
    position_ = position;
  }

  // Overwrites bytes already appended.
  void patch(uint64_t position, const std::string& bytes) {
    uint64_t flushed = position_ - used_;
    if (position >= flushed) {
      std::memcpy(buffer_.data() + (position - flushed), bytes.data(), bytes.size());
      return;
    }
    flush();
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done,
                         static_cast<off_t>(position + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail(errno);
      done += static_cast<size_t>(n);
    }
  }

 private:
  void write_all(const char* data, size_t size) {
    while (size > 0) {
      ssize_t n = ::write(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail(errno);
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  [[noreturn]] void fail(int error) {
    throw ContextError("cannot write archive", with_reason(path_, error));
  }

  int fd_;
  std::string path_;
  uint64_t position_ = 0;  // from the file's first byte
  std::vector<char> buffer_;
  size_t used_ = 0;
};

struct ZipWriter::Entry {
  ZipMember member;
  uint16_t method = 0;
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  DosTime modified;
  uint32_t crc = 0;
  uint64_t compressed_size = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  bool zip64_local = false;  // sizes in the local header's ZIP64 field
};

// A member on its way into the archive: its jobs are submitted as it is
// added, and it is written once every member before it is.
struct ZipWriter::Pending {
  Entry entry;
  bool directory = false;
  std::string source;
  Compression compression;
  // The jobs holding its data, each with the index of its part there;
  // submitted or in the batch being filled, not yet taken.
  std::deque<std::pair<std::shared_ptr<EncodingJob>, size_t>> jobs;
  bool all_submitted = false;
  bool started = false;  // its local header is written
  uint64_t data_start = 0;
  uint64_t written = 0;  // its data so far
  uint32_t crc = 0;
  bool stored = false;       // a job stored it whole
  bool not_smaller = false;  // its data reached its size: it is stored instead
  std::string window;        // the last piece's end, which the next one starts from
};

ZipWriter::ZipWriter(int fd, std::string path, unsigned threads, ZipLimits limits,
                     PackCounters* counters)
    : out_(std::make_unique<Output>(fd, std::move(path))),
      threads_(std::max(threads, 1u)),
      limits_(limits),
      counters_(counters) {}

ZipWriter::~ZipWriter() = default;

void ZipWriter::write_local_header(const Entry& entry) {
  Record header;
  header.u32(local_header_signature);
  write_common_fields(header, entry);
  header.u32(entry.zip64_local ? saturated32 : entry.compressed_size);
  header.u32(entry.zip64_local ? saturated32 : entry.size);
  std::string timestamp = timestamp_extra(entry.member.mtime);
  header.u16(entry.member.name.size());
  header.u16((entry.zip64_local ? 20 : 0) + timestamp.size());
  header.bytes(entry.member.name);
  if (entry.zip64_local) {
    header.u16(zip64_extra_id);
    header.u16(16);
    header.u64(entry.size);
    header.u64(entry.compressed_size);
  }
  header.bytes(timestamp);
  if (entry.offset == out_->position())
    out_->append(header.data());
  else
    out_->patch(entry.offset, header.data());
}

void ZipWriter::add_directory(const ZipMember& member) {
  check_name(member.name);
  Pending pending;
  pending.entry.member = member;
  pending.directory = true;
  pending.all_submitted = true;
  pending_.push_back(std::move(pending));
  if (pending_.size() > most_pending_members) write_next();
}

void ZipWriter::add_file(const ZipMember& member, const std::string& source, uint64_t size,
                         const Compression& compression) {
  check_name(member.name);
  Pending pending;
  pending.entry.member = member;
  pending.entry.size = size;
  pending.source = source;
  pending.compression = compression;
  // Zstandard and XZ members use threads of their own: written in turn.
  if (size > 0 && !compression.stores() &&
      (compression.method == CompressionMethod::zstd ||
       compression.method == CompressionMethod::xz)) {
    write_all_pending();
    FileDescriptor file = open_source(source);
    start_member(pending);
    if (!compress_file(pending.entry, file, source, compression)) {
      out_->rewind(pending.data_start);
      store_file(pending.entry, file, source);
    }
    end_member(pending);
    return;
  }
  if (!pipeline_ && size > 0)
    pipeline_ = std::make_unique<EncodingPipeline>(threads_, counters_ ? &counters_->bytes_read
                                                                       : nullptr);
  pending_.push_back(std::move(pending));
  Pending& added = pending_.back();
  auto part_of = [&](uint64_t offset, uint64_t length) {
    EncodingPart part;
    part.path = source;
    part.offset = offset;
    part.length = length;
    part.member_size = size;
    return part;
  };
  if (size > 0 && size <= held_member_size) {
    if (batch_ && !(batch_->compression == compression)) submit_batch();
    if (!batch_) {
      make_room_for_a_job();
      batch_ = std::make_shared<EncodingJob>();
      batch_->compression = compression;
      batch_input_ = 0;
    }
    added.jobs.emplace_back(batch_, batch_->parts.size());
    batch_->parts.push_back(part_of(0, size));
    batch_input_ += size;
    if (batch_input_ >= encoding_piece_size || batch_->parts.size() >= most_members_in_a_job)
      submit_batch();
  } else if (size > 0) {
    submit_batch();
    // A deflate member in pieces; others whole.
    uint64_t piece = compression.method == CompressionMethod::deflate && !compression.stores()
                         ? encoding_piece_size
                         : size;
    for (uint64_t offset = 0; offset < size && !added.not_smaller; offset += piece) {
      make_room_for_a_job();
      auto job = std::make_shared<EncodingJob>();
      job->compression = compression;
      job->streams = true;
      job->parts.push_back(part_of(offset, std::min(piece, size - offset)));
      added.jobs.emplace_back(job, 0);
      ++jobs_in_flight_;
      pipeline_->submit(std::move(job));
    }
  }
  added.all_submitted = true;
  if (pending_.size() > most_pending_members) write_next();
}

// Workers take jobs in the order submitted, and the writer takes their
// output in the members' order: the two orders agree, so the job the
// writer waits for is always running or done.
void ZipWriter::submit_batch() {
  if (!batch_) return;
  ++jobs_in_flight_;
  pipeline_->submit(std::move(batch_));
  batch_.reset();
}

void ZipWriter::make_room_for_a_job() {
  while (jobs_in_flight_ >= jobs_per_worker * threads_) write_next();
}

void ZipWriter::start_member(Pending& member) {
  Entry& entry = member.entry;
  entry.offset = out_->position();
  entry.flags = is_utf8_beyond_ascii(entry.member.name) ? utf8_name_flag : 0;
  entry.modified = dos_time(entry.member.mtime);
  if (member.directory) {
    entry.version_needed = version_needed_for(0, true);
    if (entry.offset > limits_.max_value) entry.version_needed = version_zip64;
  } else {
    // The local header's size is fixed before the data: whether it has
    // ZIP64 sizes must not depend on how well the data compresses. Data
    // that does not shrink is stored, so the compressed size never exceeds
    // this one.
    entry.zip64_local = entry.size > limits_.max_value;
  }
  write_local_header(entry);
  member.started = true;
  member.data_start = out_->position();
}

// The entry's method, CRC and sizes are known: the local header takes
// them.
void ZipWriter::end_member(Pending& member) {
  Entry& entry = member.entry;
  if (!member.directory) {
    bool zip64 = entry.zip64_local || entry.offset > limits_.max_value;
    entry.version_needed = zip64 ? std::max(version_zip64, version_needed_for(entry.method, false))
                                 : version_needed_for(entry.method, false);
    write_local_header(entry);
    if (counters_) ++counters_->files_done;
  }
  entries_.push_back(std::move(entry));
}

// Writes the oldest pending member's next job, waiting for it, and the
// member itself once it has no more.
void ZipWriter::write_next() {
  Pending& member = pending_.front();
  if (!member.started) start_member(member);
  if (!member.jobs.empty()) {
    auto [job, index] = std::move(member.jobs.front());
    member.jobs.pop_front();
    if (job == batch_) submit_batch();
    take_job_output(member, *job, index);
    if (++job->parts_written == job->parts.size()) --jobs_in_flight_;
  }
  if (!member.all_submitted || !member.jobs.empty()) return;
  Entry& entry = member.entry;
  if (!member.directory) {
    bool compresses = !member.compression.stores() && entry.size > 0 && !member.stored;
    // An empty file is read too: it may have grown since it was listed.
    if (entry.size == 0 || (compresses && (member.not_smaller || member.written >= entry.size))) {
      out_->rewind(member.data_start);
      store_file(entry, open_source(member.source), member.source);
    } else {
      entry.method = static_cast<uint16_t>(compresses ? member.compression.method
                                                      : CompressionMethod::store);
      entry.crc = member.crc;
      entry.compressed_size = member.written;
    }
  }
  end_member(member);
  pending_.pop_front();
}

void ZipWriter::write_all_pending() {
  while (!pending_.empty()) write_next();
}

void ZipWriter::take_job_output(Pending& member, EncodingJob& job, size_t index) {
  std::string bytes;
  const bool compresses = !member.compression.stores();
  while (pipeline_->take_output(job, bytes)) {
    if (member.not_smaller) continue;
    out_->append(bytes.data(), bytes.size());
    member.written += bytes.size();
    // Certain to be stored: the rest of it need not be compressed.
    if (compresses && member.written >= member.entry.size) {
      member.not_smaller = true;
      for (const auto& later : member.jobs) pipeline_->cancel(*later.first);
      pipeline_->cancel(job);
    }
  }
  // What goes wrong reading a member that is to be stored shows again
  // as it is read for that.
  if (member.not_smaller) return;
  EncodingPart& part = job.parts[index];
  if (part.error) std::rethrow_exception(part.error);
  if (!job.streams) {
    out_->append(part.output.data(), part.output.size());
    member.written += part.output.size();
    std::string().swap(part.output);
  }
  // Each piece started from the end of the one before as it was read
  // then: if the file changed in between, the pieces would not decode to
  // what their CRC-32 covers.
  if (part.offset > 0 && part.dictionary != member.window)
    throw ContextError("cannot read file", member.source + ": changed while packing");
  member.window = std::move(part.tail);
  member.crc = part.offset == 0 ? part.crc
                                : static_cast<uint32_t>(crc32_combine(
                                      member.crc, part.crc, static_cast<z_off_t>(part.length)));
  member.stored = member.stored || part.stored;
}

FileDescriptor ZipWriter::open_source(const std::string& source) {
  FileDescriptor file(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) throw ContextError("cannot read file", with_reason(source, errno));
  return file;
}

void ZipWriter::store_file(Entry& entry, const FileDescriptor& file, const std::string& source) {
  std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(input_piece_size, entry.size)));
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t done = 0; done < entry.size;) {
    size_t got = static_cast<size_t>(std::min<uint64_t>(piece.size(), entry.size - done));
    read_member_bytes(file, source, done, piece.data(), got);
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(piece.data()), got);
    out_->append(piece.data(), got);
    done += got;
  }
  check_member_end(file, source, entry.size);
  entry.method = static_cast<uint16_t>(CompressionMethod::store);
  entry.crc = static_cast<uint32_t>(crc);
  entry.compressed_size = entry.size;
}

// False when the data came out no smaller than it went in; it stops as
// soon as that is certain, and leaves what it wrote for the caller to drop.
bool ZipWriter::compress_file(Entry& entry, const FileDescriptor& file, const std::string& source,
                              const Compression& compression) {
  std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(input_piece_size, entry.size)));
  size_t got = piece.size();
  read_member_bytes(file, source, 0, piece.data(), got);
  uint64_t start = out_->position();
  Output& out = *out_;
  std::unique_ptr<MemberEncoder> encoder = make_member_encoder(
      compression, entry.size, std::string_view(piece.data(), got),
      std::min(threads_, most_library_threads),
      [&out](const char* data, size_t size) { out.append(data, size); });
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t done = 0;;) {
    if (counters_) counters_->bytes_read += got;
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(piece.data()), got);
    encoder->write(piece.data(), got);
    if (out_->position() - start >= entry.size) return false;
    done += got;
    if (done == entry.size) break;
    got = static_cast<size_t>(std::min<uint64_t>(piece.size(), entry.size - done));
    read_member_bytes(file, source, done, piece.data(), got);
  }
  check_member_end(file, source, entry.size);
  encoder->finish();
  entry.compressed_size = out_->position() - start;
  if (entry.compressed_size >= entry.size) return false;
  entry.method = static_cast<uint16_t>(compression.method);
  entry.crc = static_cast<uint32_t>(crc);
  return true;
}

void ZipWriter::finish(const std::string& comment) {
  if (comment.size() > max_comment_bytes)
    throw ContextError("cannot write archive", "comment longer than 65,535 bytes");
  write_all_pending();
  const uint64_t max = limits_.max_value;
  uint64_t directory_offset = out_->position();
  for (const Entry& entry : entries_) {
    // Only the values that overflow go to the ZIP64 field, in this order.
    Record zip64;
    if (entry.size > max) zip64.u64(entry.size);
    if (entry.compressed_size > max) zip64.u64(entry.compressed_size);
    if (entry.offset > max) zip64.u64(entry.offset);
    std::string timestamp = timestamp_extra(entry.member.mtime);
    Record header;
    header.u32(central_header_signature);
    header.u16(version_made_by);
    write_common_fields(header, entry);
    header.u32(entry.compressed_size > max ? saturated32 : entry.compressed_size);
    header.u32(entry.size > max ? saturated32 : entry.size);
    header.u16(entry.member.name.size());
    header.u16((zip64.size() > 0 ? 4 + zip64.size() : 0) + timestamp.size());
    header.u16(0);  // comment
    header.u16(0);  // disk
    header.u16(0);  // internal attributes
    header.u32(static_cast<uint32_t>(entry.member.mode) << 16);
    header.u32(entry.offset > max ? saturated32 : entry.offset);
    header.bytes(entry.member.name);
    if (zip64.size() > 0) {
      header.u16(zip64_extra_id);
      header.u16(zip64.size());
      header.bytes(zip64.data());
    }
    header.bytes(timestamp);
    out_->append(header.data());
  }
  uint64_t directory_size = out_->position() - directory_offset;
  uint64_t count = entries_.size();
  bool zip64 = count > limits_.max_entries || directory_size > max || directory_offset > max;
  if (zip64) {
    uint64_t record_offset = out_->position();
    Record record;
    record.u32(zip64_end_record_signature);
    record.u64(zip64_end_record_size - 12);  // what follows this field
    record.u16(version_made_by);
    record.u16(version_zip64);
    record.u32(0);  // this disk
    record.u32(0);  // the directory's disk
    record.u64(count);
    record.u64(count);
    record.u64(directory_size);
    record.u64(directory_offset);
    record.u32(zip64_locator_signature);
    record.u32(0);  // the record's disk
    record.u64(record_offset);
    record.u32(1);  // disks
    out_->append(record.data());
  }
  Record end;
  end.u32(end_record_signature);
  end.u16(0);
  end.u16(0);
  uint64_t classic_count = count > limits_.max_entries ? saturated16 : count;
  end.u16(classic_count);
  end.u16(classic_count);
  end.u32(directory_size > max ? saturated32 : directory_size);
  end.u32(directory_offset > max ? saturated32 : directory_offset);
  end.u16(comment.size());
  end.bytes(comment);
  out_->append(end.data());
  out_->flush();
}
