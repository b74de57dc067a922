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

std::string with_reason(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

// A name's length has a 16-bit field.
void check_name(const std::string& name) {
  if (name.size() > saturated16)
    throw ContextError("cannot write archive", "member name longer than 65,535 bytes: " + name);
}

// The first `size` bytes of a file, read in pieces, and the check that
// there are no more.
class SourceFile {
 public:
  SourceFile(const std::string& path, uint64_t size) : path_(path), remaining_(size) {
    descriptor_ = FileDescriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!descriptor_.valid()) throw ContextError("cannot read file", with_reason(path, errno));
  }

  // Fills `buffer` up to its size or the rest of the file: the pieces are
  // the same on every run.
  size_t read(std::vector<char>& buffer) {
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(buffer.size(), remaining_));
    size_t got = 0;
    while (got < wanted) {
      ssize_t n = ::read(descriptor_.get(), buffer.data() + got, wanted - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw ContextError("cannot read file", with_reason(path_, errno));
      if (n == 0) changed();
      got += static_cast<size_t>(n);
    }
    remaining_ -= got;
    return got;
  }

  // A file that grew since it was listed would not match its header.
  void check_end() {
    char extra;
    ssize_t n;
    do n = ::read(descriptor_.get(), &extra, 1);
    while (n < 0 && errno == EINTR);
    if (n < 0) throw ContextError("cannot read file", with_reason(path_, errno));
    if (n > 0) changed();
  }

 private:
  [[noreturn]] void changed() {
    throw ContextError("cannot read file", path_ + ": changed while packing");
  }

  std::string path_;
  uint64_t remaining_;
  FileDescriptor descriptor_;
};

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

ZipWriter::ZipWriter(int fd, std::string path, unsigned threads, ZipLimits limits)
    : out_(std::make_unique<Output>(fd, std::move(path))), threads_(threads), limits_(limits) {}

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
  Entry entry;
  entry.member = member;
  entry.offset = out_->position();
  entry.version_needed = version_needed_for(0, true);
  if (entry.offset > limits_.max_value) entry.version_needed = version_zip64;
  entry.flags = is_utf8_beyond_ascii(member.name) ? utf8_name_flag : 0;
  entry.modified = dos_time(member.mtime);
  write_local_header(entry);
  entries_.push_back(std::move(entry));
}

void ZipWriter::add_file(const ZipMember& member, const std::string& source, uint64_t size,
                         const Compression& compression) {
  check_name(member.name);
  Entry entry;
  entry.member = member;
  entry.offset = out_->position();
  entry.size = size;
  // The local header's size is fixed before the data: whether it has ZIP64
  // sizes must not depend on how well the data compresses. Data that does
  // not shrink is stored, so the compressed size never exceeds this one.
  entry.zip64_local = size > limits_.max_value;
  entry.flags = is_utf8_beyond_ascii(member.name) ? utf8_name_flag : 0;
  entry.modified = dos_time(member.mtime);
  write_local_header(entry);
  uint64_t data_start = out_->position();
  // An empty file cannot shrink.
  if (compression.stores() || size == 0 || !compress_file(entry, source, compression)) {
    out_->rewind(data_start);
    store_file(entry, source);
  }
  bool zip64 = entry.zip64_local || entry.offset > limits_.max_value;
  entry.version_needed = zip64 ? std::max(version_zip64, version_needed_for(entry.method, false))
                               : version_needed_for(entry.method, false);
  write_local_header(entry);
  entries_.push_back(std::move(entry));
}

void ZipWriter::store_file(Entry& entry, const std::string& source) {
  SourceFile in(source, entry.size);
  std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(input_piece_size, entry.size)));
  uLong crc = crc32(0, nullptr, 0);
  while (size_t got = in.read(piece)) {
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(piece.data()), got);
    out_->append(piece.data(), got);
  }
  in.check_end();
  entry.method = static_cast<uint16_t>(CompressionMethod::store);
  entry.crc = static_cast<uint32_t>(crc);
  entry.compressed_size = entry.size;
}

// False when the data came out no smaller than it went in; it stops as
// soon as that is certain, and leaves what it wrote for the caller to drop.
bool ZipWriter::compress_file(Entry& entry, const std::string& source,
                              const Compression& compression) {
  SourceFile in(source, entry.size);
  std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(input_piece_size, entry.size)));
  size_t got = in.read(piece);
  uint64_t start = out_->position();
  Output& out = *out_;
  std::unique_ptr<MemberEncoder> encoder =
      make_member_encoder(compression, entry.size, std::string_view(piece.data(), got), threads_,
                          [&out](const char* data, size_t size) { out.append(data, size); });
  uLong crc = crc32(0, nullptr, 0);
  while (got > 0) {
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(piece.data()), got);
    encoder->write(piece.data(), got);
    if (out_->position() - start >= entry.size) return false;
    got = in.read(piece);
  }
  in.check_end();
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
