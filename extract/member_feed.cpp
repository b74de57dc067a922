#include "extract/member_feed.h"

#include <cstring>

#include "extract/interrupted.h"

namespace {

constexpr size_t queue_limit_bytes = size_t{8} << 20;
constexpr size_t queue_limit_pieces = 4096;

// Thrown through the archive's reading when the feed closes early.
struct Closing {};

}  // namespace

MemberFeed::MemberFeed(Archive& archive, const std::vector<MemberInfo>& members,
                       std::vector<size_t> wanted, const std::atomic<int>* stop)
    : archive_(archive), members_(members), wanted_(std::move(wanted)), stop_(stop) {
  reader_ = std::thread([this] { read_all(); });
}

MemberFeed::~MemberFeed() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  drained_.notify_all();
  reader_.join();
}

void MemberFeed::read_all() {
  read_wanted();
  std::lock_guard<std::mutex> lock(mutex_);
  reader_done_ = true;
  if (writer_waits_) filled_.notify_one();
}

void MemberFeed::read_wanted() {
  for (size_t index : wanted_) {
    try {
      archive_.read_chunks(members_[index], [this, index](const char* data, size_t size) {
        if (stop_ && stop_->load(std::memory_order_relaxed) != 0) throw Closing{};
        Piece piece;
        piece.index = index;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (!spare_.empty()) {
            piece.bytes = std::move(spare_.back());
            spare_.pop_back();
          }
        }
        piece.bytes.assign(data, data + size);
        push(std::move(piece));
      });
      Piece end;
      end.index = index;
      end.last = true;
      push(std::move(end));
    } catch (const Closing&) {
      return;
    } catch (...) {
      Piece failed;
      failed.index = index;
      failed.last = true;
      failed.failure = std::current_exception();
      try {
        push(std::move(failed));
      } catch (const Closing&) {
      }
      return;
    }
  }
}

void MemberFeed::push(Piece piece) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!closing_ && (queued_bytes_ >= queue_limit_bytes || pieces_.size() >= queue_limit_pieces)) {
    reader_waits_ = true;
    drained_.wait(lock);
    reader_waits_ = false;
  }
  if (closing_) throw Closing{};
  queued_bytes_ += piece.bytes.size();
  pieces_.push_back(std::move(piece));
  // Woken only when the writer really waits: most pieces pass unnoticed.
  if (writer_waits_) filled_.notify_one();
}

void MemberFeed::take(size_t index, const std::function<void(const char*, size_t)>& sink) {
  for (;;) {
    Piece piece;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (pieces_.empty()) {
        // Done with nothing left for a wanted member: a signal stopped it.
        if (reader_done_) throw Interrupted(stop_ ? stop_->load() : 0);
        writer_waits_ = true;
        filled_.wait(lock);
        writer_waits_ = false;
      }
      piece = std::move(pieces_.front());
      pieces_.pop_front();
      queued_bytes_ -= piece.bytes.size();
      // The reader resumes once half the room is free, not at every piece.
      if (reader_waits_ && queued_bytes_ <= queue_limit_bytes / 2 &&
          pieces_.size() <= queue_limit_pieces / 2)
        drained_.notify_one();
    }
    if (piece.index != index) throw std::logic_error("member feed taken out of order");
    if (piece.failure) std::rethrow_exception(piece.failure);
    if (!piece.bytes.empty()) sink(piece.bytes.data(), piece.bytes.size());
    if (piece.last) return;
    piece.bytes.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.size() < 8) spare_.push_back(std::move(piece.bytes));
  }
}
