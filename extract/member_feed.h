#ifndef MORROWLINE_EXTRACT_MEMBER_FEED_H_
#define MORROWLINE_EXTRACT_MEMBER_FEED_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/archive.h"

// Reads the bytes of a run's file members on a thread of its own, in
// archive order and a bounded way ahead of the thread that writes them, so
// that inflating and checking the next bytes overlaps writing the last
// ones on a second core. At most about 8 MiB wait at any time. While the
// feed lives, nobody else may use the archive.
class MemberFeed {
 public:
  // Reads members[i] for each i in `wanted`, which is in increasing order.
  // Stops early once `*stop` is non-zero.
  MemberFeed(Archive& archive, const std::vector<MemberInfo>& members, std::vector<size_t> wanted,
             const std::atomic<int>* stop);
  // Stops the reader and waits for it.
  ~MemberFeed();
  MemberFeed(const MemberFeed&) = delete;
  MemberFeed& operator=(const MemberFeed&) = delete;

  // Hands the bytes of members[index] to `sink` as they come, and returns
  // once the member is complete and has passed its CRC-32 check. Throws
  // what reading it threw, or Interrupted once `*stop` has stopped the
  // reader. Members are taken in the order of `wanted`.
  void take(size_t index, const std::function<void(const char* data, size_t size)>& sink);

 private:
  struct Piece {
    size_t index = 0;
    std::vector<char> bytes;
    bool last = false;
    std::exception_ptr failure;
  };

  void read_all();
  void read_wanted();
  void push(Piece piece);

  Archive& archive_;
  const std::vector<MemberInfo>& members_;
  std::vector<size_t> wanted_;
  const std::atomic<int>* stop_;

  std::mutex mutex_;
  std::condition_variable filled_;
  std::condition_variable drained_;
  std::deque<Piece> pieces_;
  std::vector<std::vector<char>> spare_;  // buffers handed back for reuse
  size_t queued_bytes_ = 0;
  bool reader_waits_ = false;
  bool writer_waits_ = false;
  bool closing_ = false;
  bool reader_done_ = false;
  std::thread reader_;
};

#endif  // MORROWLINE_EXTRACT_MEMBER_FEED_H_
