#ifndef MORROWLINE_EXTRACT_MEMBER_FEED_H_
#define MORROWLINE_EXTRACT_MEMBER_FEED_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "common/file_descriptor.h"

// Reads the bytes of a run's file members on threads of their own, in
// archive order and a bounded way ahead of the thread that writes them, so
// that inflating and checking the next bytes overlaps writing the last
// ones. With two lanes, two readers take the members in turn (the second
// over its own copy of the archive): the next member inflates while this
// one does, on a second core, as far as its lane has room. At most about
// `lane_bytes` per lane wait at any time. Given a FileMaker, the second
// lane writes its members itself, each into a file without a name that it
// makes, so that two members are written at once too; the writer then
// only names them, in order. While the feed lives, nobody else may use the
// archive.
class MemberFeed {
 public:
  // Room for bytes, not zeroed when made: the reader fills it at once.
  struct Buffer {
    std::unique_ptr<char[]> data;
    size_t capacity = 0;
  };

  struct Piece {
    size_t index = 0;  // into the run's members
    Buffer buffer;
    size_t size = 0;
    bool last = false;  // the member is complete and its CRC-32 checked
    std::exception_ptr failure;  // what reading the member threw
    // The lane wrote the `size` bytes itself, into `file`, which the last
    // piece carries; `error` says why writing them failed, if it did.
    bool on_disk = false;
    FileDescriptor file;
    int error = 0;
  };

  // A new file without a name for members[index], or an invalid
  // descriptor: the lane then hands that member's bytes over.
  using FileMaker = std::function<FileDescriptor(size_t index)>;

  // Reads members[i] for each i in `wanted`, which is in increasing order;
  // `lanes` is 1 or 2. Stops early once `*stop` is non-zero. Throws
  // ContextError "cannot start a thread" when a reader cannot start.
  MemberFeed(Archive& archive, const std::vector<MemberInfo>& members, std::vector<size_t> wanted,
             size_t lanes, size_t lane_bytes, const std::atomic<int>* stop,
             FileMaker second_lane_files = nullptr);
  // Stops the readers and waits for them.
  ~MemberFeed();
  MemberFeed(const MemberFeed&) = delete;
  MemberFeed& operator=(const MemberFeed&) = delete;

  // The next piece of members[index]. Members are taken in the order of
  // `wanted`. Nothing when no piece came within `patience`. Throws
  // Interrupted once `*stop` has stopped the readers.
  std::optional<Piece> take(size_t index, std::chrono::milliseconds patience);

  // Whether members[index] is read on a lane that writes its members
  // itself (as far as it can make files for them).
  bool lane_writes(size_t index) const { return lane_of_[index] > 0 && second_lane_files_; }

  // Stops the readers and waits for them: nothing the FileMaker uses is
  // touched once this returns.
  void close();

  // Hands a piece's buffer back for reuse.
  void recycle(Buffer buffer);

 private:
  struct Lane {
    std::vector<size_t> members;
    std::unique_ptr<Archive> copy;  // the second lane's own archive
    std::deque<Piece> pieces;
    size_t queued_bytes = 0;
    size_t queued_files = 0;  // written by the lane, waiting for their names
    bool reader_waits = false;
    bool done = false;
    std::condition_variable drained;
    std::thread reader;
  };

  // One reading thread per lane. Throws ContextError "cannot start a
  // thread" when one cannot be started.
  void start_readers(Archive& archive);
  void read_members(Lane& lane, Archive& archive, bool writes_files);
  bool write_member(Lane& lane, MemberReader& member, size_t index, FileDescriptor file,
                    Buffer& buffer);
  void push(Lane& lane, Piece piece);
  Buffer spare_buffer(size_t room);

  const std::vector<MemberInfo>& members_;
  const size_t lane_bytes_;
  const std::atomic<int>* stop_;
  const FileMaker second_lane_files_;
  std::vector<size_t> lane_of_;  // per member index

  std::mutex mutex_;
  std::condition_variable filled_;
  bool writer_waits_ = false;
  bool closing_ = false;
  std::vector<Buffer> spare_;
  std::vector<std::unique_ptr<Lane>> lanes_;
};

#endif  // MORROWLINE_EXTRACT_MEMBER_FEED_H_
