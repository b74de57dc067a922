#ifndef MORROWLINE_ARCHIVE_ARCHIVE_IMAGE_H_
#define MORROWLINE_ARCHIVE_ARCHIVE_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/file_descriptor.h"

struct zip_source;
struct zip_error;

// The bytes of an archive, from its first byte to its end record: a block
// in memory, or a range of an open file that is read in place, so that an
// archive of any size costs no memory of its own. A range of bytes can be
// made to read as zero (the comment length once the comment is cut). Safe
// to read from several threads at once; not to change while read.
class ArchiveImage {
 public:
  void assign(std::vector<char> bytes);
  // Bytes [start, start + size) of `file`, which must not change while the
  // image is read.
  void assign_file(std::shared_ptr<const FileDescriptor> file, uint64_t start, uint64_t size);

  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Drops every byte from `size` on; never grows the image.
  void shrink(uint64_t size);
  // Makes bytes [offset, offset + count) read as zero.
  void zero(uint64_t offset, uint64_t count);

  // Copies up to `count` bytes from `offset` into `out`: fewer only at the
  // image's end. Returns the number copied, or -1 with errno set when the
  // file cannot be read.
  int64_t read_at(uint64_t offset, char* out, size_t count) const;
  // Bytes [offset, offset + count), whole. Throws std::runtime_error "bad
  // zip" when they run past the image or cannot be read.
  std::vector<char> read(uint64_t offset, size_t count) const;

  // A new libzip source over the image, for one reader; the image must
  // outlive it. Null, with `error` set, when it cannot be made.
  zip_source* make_source(zip_error* error) const;

 private:
  std::vector<char> memory_;
  std::shared_ptr<const FileDescriptor> file_;
  uint64_t start_ = 0;
  uint64_t size_ = 0;
  uint64_t zero_begin_ = 0;
  uint64_t zero_end_ = 0;
};

// Reads an image through a buffer of its own, so that many short reads at
// nearby offsets (headers and names, member after member) cost one system
// call per 64 KiB; long reads go straight through. One per thread.
class BufferedImageReader {
 public:
  explicit BufferedImageReader(const ArchiveImage& image) : image_(image) {}
  // As ArchiveImage::read_at.
  int64_t read_at(uint64_t offset, char* out, size_t count);

 private:
  const ArchiveImage& image_;
  std::vector<char> buffer_;
  uint64_t buffer_offset_ = 0;
};

#endif  // MORROWLINE_ARCHIVE_ARCHIVE_IMAGE_H_
