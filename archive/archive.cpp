#include "archive/archive.h"

#include <zip.h>

#include <ctime>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "archive/byte_order.h"
#include "archive/end_record.h"
#include "archive/member_decoder.h"
#include "archive/member_layout.h"
#include "archive/zip_format.h"
#include "common/context_error.h"

namespace {

constexpr char empty_archive[end_record_size] = {'P', 'K', 5, 6};
constexpr size_t read_piece_size = size_t{256} << 10;
// Compressed bytes are read from the image this much at a time.
constexpr size_t compressed_piece_size = size_t{1} << 20;
// A stored size is a claim; reserve no more than this for it up front.
constexpr size_t max_reserve = size_t{64} << 20;

[[noreturn]] void cannot_read(const std::string& name, const std::string& reason) {
  throw ContextError("file couldn't be read", name + ": " + reason);
}

char fold_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string folded(std::string name) {
  for (char& c : name) c = fold_ascii(c);
  return name;
}

MemberTime local_time(time_t when) {
  // Members mostly share a few times; a conversion is worth keeping.
  thread_local std::optional<std::pair<time_t, MemberTime>> last;
  if (last && last->first == when) return last->second;
  struct tm parts = {};
  localtime_r(&when, &parts);
  MemberTime converted{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                       parts.tm_hour,        parts.tm_min,     parts.tm_sec};
  last.emplace(when, converted);
  return converted;
}

}  // namespace

void Archive::ReaderCloser::operator()(zip* reader) const { zip_discard(reader); }

Archive::Archive() = default;
Archive::~Archive() = default;

void Archive::reset() {
  reader.reset();
  entries_.clear();
  member_list_.clear();
  exact_names_.clear();
  folded_names_.clear();
  comment.clear();
  image.assign(std::vector<char>(empty_archive, empty_archive + end_record_size));
}

std::unique_ptr<zip, Archive::ReaderCloser> Archive::open_reader(const ArchiveImage& bytes) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = bytes.make_source(&error);
  zip_error_fini(&error);
  if (!source) throw std::runtime_error("bad zip");
  zip_error_init(&error);
  zip_t* opened = zip_open_from_source(source, ZIP_RDONLY, &error);
  zip_error_fini(&error);
  if (!opened) {
    zip_source_free(source);  // still ours after a failed open
    throw std::runtime_error("bad zip");
  }
  return std::unique_ptr<zip, ReaderCloser>(opened);
}

std::unique_ptr<Archive> Archive::open_copy() const {
  auto copy = std::make_unique<Archive>();
  copy->image = image;
  copy->comment = comment;
  copy->entries_ = entries_;
  copy->reader = open_reader(copy->image);
  return copy;
}

void Archive::start_reading() {
  if (reading()) return;
  // libzip opens a 0-byte block as an empty archive; the smallest real
  // archive is a bare end record.
  if (image.size() < end_record_size) throw std::runtime_error("bad zip");
  std::unique_ptr<zip, ReaderCloser> handle = open_reader(image);
  zip_t* opened = handle.get();
  CentralDirectory directory = read_central_directory(image);
  if (directory.entries.size() != static_cast<uint64_t>(zip_get_num_entries(opened, 0)))
    throw std::runtime_error("bad zip");
  check_layout(directory);
  entries_ = std::move(directory.entries);
  reader = std::move(handle);
}

void Archive::check_layout(CentralDirectory& directory) {
  std::vector<MemberExtent> extents;
  extents.reserve(directory.entries.size());
  // Members mostly lie in directory order: one read covers many headers.
  BufferedImageReader headers(image);
  char header[local_header_size];
  for (CentralEntry& entry : directory.entries) {
    if (headers.read_at(entry.local_header_offset, header, sizeof header) !=
            static_cast<int64_t>(sizeof header) ||
        read_u32(header) != local_header_signature)
      throw ContextError("bad zip", "no local header for member: " + entry.name);
    uint64_t data = entry.local_header_offset + local_header_size + read_u16(header + 26) +
                    read_u16(header + 28);
    entry.data_offset = data;
    // A ZIP64 size may claim up to 2^64 - 1 bytes: no sum may wrap.
    uint64_t end = entry.compressed_size > UINT64_MAX - data ? UINT64_MAX
                                                              : data + entry.compressed_size;
    extents.push_back(MemberExtent{entry.local_header_offset, end, &entry.name});
  }
  check_member_layout(std::move(extents), directory.offset);
}

void Archive::cut_comment() {
  if (image.empty()) return;
  // The end record sits within the last 65,557 bytes of the image.
  uint64_t tail_start = image.size() - std::min<uint64_t>(image.size(), end_record_search_span);
  std::vector<char> tail = image.read(tail_start, static_cast<size_t>(image.size() - tail_start));
  auto record = find_end_record(tail.data(), tail.size());
  if (!record)
    throw std::runtime_error("didn't find end of central directory signature");
  size_t fixed_end = record->position + end_record_size;
  if (record->comment_size > 0) comment.assign(tail.data() + fixed_end, record->comment_size);
  // Drop the comment and anything behind it; the record then says it has
  // no comment, and the image is the same archive without one.
  if (record->comment_size > 0 || tail.size() > fixed_end) {
    image.shrink(tail_start + fixed_end);
    image.zero(tail_start + fixed_end - 2, 2);
  }
}

MemberInfo Archive::build_member_info(uint64_t index) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(reader.get(), index, ZIP_FL_ENC_RAW, &stat) != 0)
    throw std::runtime_error("bad zip");
  const CentralEntry& entry = entries_[index];
  MemberInfo info;
  info.name = entry.name;
  info.comment = entry.comment;
  if (stat.valid & ZIP_STAT_MTIME) {
    info.modified = local_time(stat.mtime);
    info.mtime = stat.mtime;
  }
  if (entry.unix_mtime) info.mtime = *entry.unix_mtime;
  info.method = static_cast<uint16_t>(stat.comp_method);
  info.version_made_by = entry.version_made_by;
  info.version_needed = entry.version_needed;
  info.flags = entry.flags;
  info.index = stat.index;
  info.internal_attributes = entry.internal_attributes;
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(reader.get(), index, 0, &system, &attributes) == 0)
    info.external_attributes = attributes;
  info.local_header_offset = entry.local_header_offset;
  info.crc32 = stat.crc;
  info.compressed_size = stat.comp_size;
  info.uncompressed_size = stat.size;
  return info;
}

const std::vector<MemberInfo>& Archive::members() {
  start_reading();
  // Built once per opening: a run asks several times, and with tens of
  // thousands of members each build (a time conversion per member) counts.
  if (member_list_.size() != entries_.size()) {
    member_list_.clear();
    member_list_.reserve(entries_.size());
    for (uint64_t i = 0; i < entries_.size(); ++i) member_list_.push_back(build_member_info(i));
  }
  return member_list_;
}

int64_t Archive::locate(const std::string& name) {
  // libzip's exact look-up is hashed but compares names as it converted
  // them, so a hit is confirmed against the stored bytes.
  zip_int64_t hit = zip_name_locate(reader.get(), name.c_str(), 0);
  if (hit >= 0 && static_cast<uint64_t>(hit) < entries_.size() && entries_[hit].name == name)
    return hit;
  if (exact_names_.empty() && !entries_.empty()) {
    for (uint64_t i = 0; i < entries_.size(); ++i) {
      exact_names_.emplace(entries_[i].name, i);  // the first of equal names wins
      folded_names_.emplace(folded(entries_[i].name), i);
    }
  }
  auto exact = exact_names_.find(name);
  if (exact != exact_names_.end()) return static_cast<int64_t>(exact->second);
  auto loose = folded_names_.find(folded(name));
  if (loose != folded_names_.end()) return static_cast<int64_t>(loose->second);
  return -1;
}

MemberInfo Archive::member_info(const std::string& name) {
  start_reading();
  int64_t index = locate(name);
  if (index < 0) throw std::runtime_error("not found");
  return build_member_info(static_cast<uint64_t>(index));
}

uint64_t Archive::index_of(const MemberInfo& info) {
  if (!reading()) throw std::runtime_error("file couldn't be read");
  // By index, so that of two members with one name each gives its own bytes.
  if (info.index < entries_.size() && entries_[info.index].name == info.name) return info.index;
  int64_t index = locate(info.name);
  if (index < 0) throw std::runtime_error("file couldn't be read");
  return static_cast<uint64_t>(index);
}

void Archive::read_chunks(const MemberInfo& info,
                          const std::function<void(const char*, size_t)>& sink) {
  MemberReader member(*this, info);
  std::vector<char> piece(
      static_cast<size_t>(std::min<uint64_t>(read_piece_size, std::max<uint64_t>(member.size(), 1))));
  while (size_t got = member.read(piece.data(), piece.size())) sink(piece.data(), got);
}

MemberReader::MemberReader(Archive& archive, const MemberInfo& info, BufferedImageReader* nearby)
    : image_(archive.image), nearby_(nearby), name_(info.name) {
  uint64_t index = archive.index_of(info);
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive.reader.get(), index, 0, &stat) != 0) fail("damaged data");
  const CentralEntry& entry = archive.entries_[index];
  size_ = stat.size;
  expected_crc_ = stat.crc;
  next_in_ = entry.data_offset;
  left_in_ = entry.compressed_size;
  if (entry.flags & 1) fail("encrypted");
  uint16_t method = static_cast<uint16_t>(stat.comp_method);
  if (method != method_stored) {
    decoder_ = make_member_decoder(method, size_, entry.flags);
    if (!decoder_) fail(("unsupported compression method " + std::to_string(method)).c_str());
    input_.resize(static_cast<size_t>(std::min<uint64_t>(left_in_, compressed_piece_size)));
  }
}

MemberReader::~MemberReader() {
  try {
    keep_member_decoder(std::move(decoder_));
  } catch (const std::bad_alloc&) {
    // Then the next member makes its own.
  }
}

void MemberReader::fail(const char* reason) const { cannot_read(name_, reason); }

int64_t MemberReader::read_image(uint64_t offset, char* out, size_t count) const {
  return nearby_ ? nearby_->read_at(offset, out, count) : image_.read_at(offset, out, count);
}

size_t MemberReader::read(char* out, size_t size) {
  if (checked_) return 0;
  size_t got = 0;
  if (!ended_) {
    // Never more than the member claims: a stream that runs on is damaged
    // however long it is.
    uint64_t left = size_ - total_;
    size_t room = left < size ? static_cast<size_t>(left) + 1 : size;
    got = decode(out, room);
    total_ += got;
    if (total_ > size_) fail("damaged data");
    crc_ = zip_crc32(crc_, out, got);
    if (got > 0) return got;
  }
  if (total_ != size_) fail(total_ < size_ ? "truncated" : "damaged data");
  if (crc_ != expected_crc_) fail("CRC-32 mismatch");
  checked_ = true;
  return 0;
}

size_t MemberReader::decode(char* out, size_t size) {
  if (!decoder_) {
    // Stored: the bytes are the content, read straight into place.
    size_t want = static_cast<size_t>(std::min<uint64_t>(size, left_in_));
    if (want == 0) {
      ended_ = true;
      return 0;
    }
    int64_t got = read_image(next_in_, out, want);
    if (got <= 0) fail(got < 0 ? "damaged data" : "truncated");
    next_in_ += static_cast<uint64_t>(got);
    left_in_ -= static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
  }
  size_t produced = 0;
  while (produced == 0 && !ended_) {
    if (in_begin_ == in_end_ && left_in_ > 0) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(input_.size(), left_in_));
      int64_t got = read_image(next_in_, input_.data(), want);
      if (got <= 0) fail(got < 0 ? "damaged data" : "truncated");
      next_in_ += static_cast<uint64_t>(got);
      left_in_ -= static_cast<uint64_t>(got);
      in_begin_ = 0;
      in_end_ = static_cast<size_t>(got);
    }
    size_t consumed = 0;
    MemberDecoder::Result result = decoder_->decode(input_.data() + in_begin_, in_end_ - in_begin_,
                                                    consumed, out, size, produced);
    in_begin_ += consumed;
    if (result == MemberDecoder::Result::damaged) fail("damaged data");
    bool input_left = in_begin_ < in_end_ || left_in_ > 0;
    // A Zstandard frame may be followed by another; the others end once.
    if (result == MemberDecoder::Result::end && !(input_left && total_ + produced < size_))
      ended_ = true;
    else if (consumed == 0 && produced == 0)
      fail(input_left ? "damaged data" : "truncated");
  }
  return produced;
}

std::string Archive::read(const MemberInfo& info) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(std::min<uint64_t>(info.uncompressed_size, max_reserve)));
  read_chunks(info, [&bytes](const char* data, size_t size) { bytes.append(data, size); });
  return bytes;
}

std::iostream& Archive::open_member(const MemberInfo& info) {
  std::string bytes = read(info);
  if (!member_stream) member_stream = std::make_shared<std::stringstream>();
  member_stream->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return *member_stream;
}
