#ifndef MORROWLINE_ARCHIVE_ARCHIVE_H_
#define MORROWLINE_ARCHIVE_ARCHIVE_H_

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/archive_image.h"
#include "archive/central_directory.h"
#include "archive/member_info.h"

struct zip;

// The loaded archive: where its bytes are, the libzip reader over them, the
// comment and the stream through which open_member passes members.
//
// States: Idle (no reader open) and Reading (reader open over `image`).
// While Reading, libzip reads `image` in place: it must stay unchanged.
// Used by one thread at a time.
class Archive {
 public:
  Archive();
  ~Archive();
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  // Closes the reader and makes `image` the 22-byte empty archive (signature
  // 50 4B 05 06, then 18 zero bytes); empties `comment`. Idle afterwards.
  void reset();

  // Opens the reader over `image` unless it is open. Throws
  // std::runtime_error "bad zip" when the bytes are no archive, and
  // ContextError "bad zip" with the reason when members share bytes or
  // lack their local header; stays Idle.
  void start_reading();

  bool reading() const { return reader != nullptr; }

  // Another Archive over the same bytes, already Reading, for reading
  // members on a second thread: the file is shared, bytes held in memory
  // are copied. Must be Reading. Throws "bad zip".
  std::unique_ptr<Archive> open_copy() const;

  // Moves the archive comment out of `image` into `comment`, so that `image`
  // becomes the same archive without one. Throws std::runtime_error "didn't
  // find end of central directory signature" when `image` holds no end
  // record. Does nothing on an empty image.
  void cut_comment();

  // One record per central-directory entry, in directory order. Opens the
  // reader when Idle ("bad zip"). The list stays valid until reset().
  const std::vector<MemberInfo>& members();

  // The member of that name, ASCII letters matching their other case and
  // every other byte exactly. Throws "not found", or "bad zip" from Idle.
  MemberInfo member_info(const std::string& name);

  // The member's uncompressed bytes, inflated and checked against its
  // stored CRC-32 and size. The member is the one at `info.index` when that
  // entry carries `info.name`, else the one found by name. Throws
  // ContextError "file couldn't be read" whose context is the member's name
  // and the reason: "encrypted", "unsupported compression method N",
  // "CRC-32 mismatch", "damaged data" or "truncated".
  std::string read(const MemberInfo& info);

  // As read(), but hands the bytes to `sink` piece by piece as they are
  // inflated, so a member is never held whole. The CRC-32 and size are
  // known good only once this returns; an exception from `sink` passes on.
  void read_chunks(const MemberInfo& info,
                   const std::function<void(const char* data, size_t size)>& sink);

  // Appends the member's bytes to `member_stream`, made on the first call,
  // and returns it. Fails as read().
  std::iostream& open_member(const MemberInfo& info);

  std::string comment;
  struct ReaderCloser {
    void operator()(zip* reader) const;
  };
  std::unique_ptr<zip, ReaderCloser> reader;
  ArchiveImage image;
  // Shared, so that a program that never calls open_member carries no
  // iostreams (they would add about 440 KB to the installer program).
  std::shared_ptr<std::stringstream> member_stream;

 private:
  friend class MemberReader;

  static std::unique_ptr<zip, ReaderCloser> open_reader(const ArchiveImage& bytes);
  MemberInfo build_member_info(uint64_t index);
  // Index of the member called `name`, or -1.
  int64_t locate(const std::string& name);
  // Index of the member `info` describes; throws "file couldn't be read".
  uint64_t index_of(const MemberInfo& info);
  // Refuses members that share bytes or lack their local header; notes
  // where each member's data starts.
  void check_layout(CentralDirectory& directory);

  // Filled when the reader opens: what libzip does not tell.
  std::vector<CentralEntry> entries_;
  std::vector<MemberInfo> member_list_;  // what members() gives, once built
  // Built on the first look-up that libzip's exact hash cannot answer.
  std::unordered_map<std::string, uint64_t> exact_names_;
  std::unordered_map<std::string, uint64_t> folded_names_;
};

class MemberDecoder;

// One member's bytes, read piece by piece into the caller's buffer, as
// Archive::read finds and checks them: its compressed bytes are read
// straight from the image in big pieces and decoded here (stored, deflate,
// bzip2, LZMA, Zstandard, XZ). The archive must stay Reading, and be used
// by nobody else, while this lives.
class MemberReader {
 public:
  // Throws ContextError "file couldn't be read" (the member's name and why).
  // With `nearby`, a reader over the same image kept from member to member,
  // small members' bytes come through its buffer: one system call for
  // hundreds of them.
  MemberReader(Archive& archive, const MemberInfo& info, BufferedImageReader* nearby = nullptr);
  ~MemberReader();
  MemberReader(const MemberReader&) = delete;
  MemberReader& operator=(const MemberReader&) = delete;

  // Fills up to `size` bytes of `out` and returns how many: 0 once the
  // member is complete and has passed its CRC-32 and size checks. Throws
  // as the constructor.
  size_t read(char* out, size_t size);

  // The uncompressed size the archive states.
  uint64_t size() const { return size_; }

 private:
  size_t decode(char* out, size_t size);
  [[noreturn]] void fail(const char* reason) const;

  // Bytes [offset, offset + count) of the image, as ArchiveImage::read_at.
  int64_t read_image(uint64_t offset, char* out, size_t count) const;

  const ArchiveImage& image_;
  BufferedImageReader* nearby_;
  std::string name_;
  uint64_t size_ = 0;
  uint32_t expected_crc_ = 0;
  uint64_t next_in_ = 0;       // image offset of the next compressed byte to read
  uint64_t left_in_ = 0;       // compressed bytes not read yet
  std::vector<char> input_;    // read, not yet decoded: input_[in_begin_, in_end_)
  size_t in_begin_ = 0;
  size_t in_end_ = 0;
  std::unique_ptr<MemberDecoder> decoder_;  // none for stored members
  bool ended_ = false;
  bool checked_ = false;
  uint64_t total_ = 0;
  uint32_t crc_ = 0;
};

#endif  // MORROWLINE_ARCHIVE_ARCHIVE_H_
