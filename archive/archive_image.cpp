#include "archive/archive_image.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr size_t read_ahead_size = size_t{64} << 10;

// What libzip's reader keeps of the image: where it stands in it.
struct SourceState {
  const ArchiveImage* image;
  BufferedImageReader reader;
  uint64_t position = 0;
  zip_error_t error;
};

zip_int64_t serve(void* state_pointer, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* state = static_cast<SourceState*>(state_pointer);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      state->position = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      int64_t got = state->reader.read_at(state->position, static_cast<char*>(data),
                                          static_cast<size_t>(length));
      if (got < 0) {
        zip_error_set(&state->error, ZIP_ER_READ, errno);
        return -1;
      }
      state->position += static_cast<uint64_t>(got);
      return got;
    }
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* stat = static_cast<zip_stat_t*>(data);
      zip_stat_init(stat);
      stat->size = state->image->size();
      stat->valid |= ZIP_STAT_SIZE;
      return sizeof *stat;
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&state->error, data, length);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&state->error);
      delete state;
      return 0;
    case ZIP_SOURCE_SEEK: {
      zip_int64_t position = zip_source_seek_compute_offset(
          state->position, state->image->size(), data, length, &state->error);
      if (position < 0) return -1;
      state->position = static_cast<uint64_t>(position);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(state->position);
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                            ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS,
                                            -1);
    default:
      zip_error_set(&state->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace

void ArchiveImage::assign(std::vector<char> bytes) {
  file_.reset();
  memory_ = std::move(bytes);
  start_ = 0;
  size_ = memory_.size();
  zero_begin_ = zero_end_ = 0;
}

void ArchiveImage::assign_file(std::shared_ptr<const FileDescriptor> file, uint64_t start,
                               uint64_t size) {
  memory_.clear();
  memory_.shrink_to_fit();
  file_ = std::move(file);
  start_ = start;
  size_ = size;
  zero_begin_ = zero_end_ = 0;
}

void ArchiveImage::shrink(uint64_t size) {
  if (size >= size_) return;
  size_ = size;
  if (!file_) memory_.resize(static_cast<size_t>(size));
}

void ArchiveImage::zero(uint64_t offset, uint64_t count) {
  offset = std::min(offset, size_);
  count = std::min(count, size_ - offset);
  if (!file_) {
    std::fill_n(memory_.begin() + static_cast<std::ptrdiff_t>(offset), count, '\0');
    return;
  }
  zero_begin_ = offset;
  zero_end_ = offset + count;
}

int64_t ArchiveImage::read_at(uint64_t offset, char* out, size_t count) const {
  if (offset >= size_) return 0;
  count = static_cast<size_t>(std::min<uint64_t>(count, size_ - offset));
  if (count == 0) return 0;  // memcpy wants a real pointer even for nothing
  if (!file_) {
    std::memcpy(out, memory_.data() + offset, count);
    return static_cast<int64_t>(count);
  }
  size_t done = 0;
  while (done < count) {
    ssize_t got = pread(file_->get(), out + done, count - done,
                        static_cast<off_t>(start_ + offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;  // the file shrank under us
    done += static_cast<size_t>(got);
  }
  // Bytes made to read as zero that fall into this piece.
  uint64_t begin = std::max(offset, zero_begin_);
  uint64_t end = std::min<uint64_t>(offset + done, zero_end_);
  if (begin < end) std::memset(out + (begin - offset), 0, static_cast<size_t>(end - begin));
  return static_cast<int64_t>(done);
}

std::vector<char> ArchiveImage::read(uint64_t offset, size_t count) const {
  if (offset > size_ || count > size_ - offset) throw std::runtime_error("bad zip");
  std::vector<char> bytes(count);
  if (read_at(offset, bytes.data(), count) != static_cast<int64_t>(count))
    throw std::runtime_error("bad zip");
  return bytes;
}

zip_source* ArchiveImage::make_source(zip_error* error) const {
  auto* state = new SourceState{this, BufferedImageReader(*this), 0, {}};
  zip_error_init(&state->error);
  zip_source_t* source = zip_source_function_create(serve, state, error);
  if (!source) {
    zip_error_fini(&state->error);
    delete state;
  }
  return source;
}

int64_t BufferedImageReader::read_at(uint64_t offset, char* out, size_t count) {
  if (count >= read_ahead_size) return image_.read_at(offset, out, count);
  uint64_t end = buffer_offset_ + buffer_.size();
  if (offset < buffer_offset_ || offset + count > end) {
    buffer_.resize(read_ahead_size);
    int64_t got = image_.read_at(offset, buffer_.data(), buffer_.size());
    if (got < 0) {
      buffer_.clear();
      return -1;
    }
    buffer_.resize(static_cast<size_t>(got));
    buffer_offset_ = offset;
    end = offset + buffer_.size();
  }
  size_t available = static_cast<size_t>(std::min<uint64_t>(count, end - offset));
  std::memcpy(out, buffer_.data() + (offset - buffer_offset_), available);
  return static_cast<int64_t>(available);
}
