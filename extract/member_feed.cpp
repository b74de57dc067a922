#include "extract/member_feed.h"

#include <algorithm>

#include "common/thread_start.h"
#include "extract/interrupted.h"

namespace {

constexpr size_t piece_size = size_t{256} << 10;
constexpr size_t lane_limit_pieces = 2048;
constexpr size_t spare_buffers = 16;

// Thrown through a reader when the feed closes early.
struct Closing {};

}  // namespace

MemberFeed::MemberFeed(Archive& archive, const std::vector<MemberInfo>& members,
                       std::vector<size_t> wanted, size_t lanes, size_t lane_bytes,
                       const std::atomic<int>* stop)
    : members_(members), lane_bytes_(lane_bytes), stop_(stop), lane_of_(members.size(), 0) {
  lanes = std::max<size_t>(1, std::min<size_t>(lanes, 2));
  for (size_t i = 0; i < lanes; ++i) lanes_.push_back(std::make_unique<Lane>());
  for (size_t j = 0; j < wanted.size(); ++j) {
    lane_of_[wanted[j]] = j % lanes;
    lanes_[j % lanes]->members.push_back(wanted[j]);
  }
  try {
    start_readers(archive);
  } catch (const ContextError&) {
    close_and_join();  // those that started
    throw;
  }
}

void MemberFeed::start_readers(Archive& archive) {
  for (size_t i = 0; i < lanes_.size(); ++i) {
    Lane& lane = *lanes_[i];
    lane.reader = start_thread([this, &lane, &archive, i] {
      // The second lane opens its own reader on its own thread, while the
      // first is already at work.
      try {
        if (i > 0) lane.copy = archive.open_copy();
        read_members(lane, i > 0 ? *lane.copy : archive);
      } catch (...) {
        Piece failed;
        failed.index = lane.members.empty() ? 0 : lane.members.front();
        failed.last = true;
        failed.failure = std::current_exception();
        try {
          push(lane, std::move(failed));
        } catch (const Closing&) {
        }
      }
      std::lock_guard<std::mutex> lock(mutex_);
      lane.done = true;
      if (writer_waits_) filled_.notify_one();
    });
  }
}

MemberFeed::~MemberFeed() { close_and_join(); }

void MemberFeed::close_and_join() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  for (auto& lane : lanes_) lane->drained.notify_all();
  for (auto& lane : lanes_)
    if (lane->reader.joinable()) lane->reader.join();
}

void MemberFeed::read_members(Lane& lane, Archive& archive) {
  for (size_t index : lane.members) {
    try {
      MemberReader member(archive, members_[index]);
      for (;;) {
        if (stop_ && stop_->load(std::memory_order_relaxed) != 0) return;
        // Straight into the piece, which is filled unless the member ends
        // first: the bytes are copied only into the file, and a small
        // member travels as one piece.
        size_t room = static_cast<size_t>(std::min<uint64_t>(piece_size, member.size() + 1));
        Piece piece;
        piece.index = index;
        piece.buffer = spare_buffer(room);
        while (piece.size < room) {
          size_t got = member.read(piece.buffer.data.get() + piece.size, room - piece.size);
          if (got == 0) {
            piece.last = true;
            break;
          }
          piece.size += got;
        }
        bool last = piece.last;
        push(lane, std::move(piece));
        if (last) break;
      }
    } catch (const Closing&) {
      return;
    } catch (...) {
      Piece failed;
      failed.index = index;
      failed.last = true;
      failed.failure = std::current_exception();
      try {
        push(lane, std::move(failed));
      } catch (const Closing&) {
      }
      return;
    }
  }
}

MemberFeed::Buffer MemberFeed::spare_buffer(size_t room) {
  if (room == piece_size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spare_.empty()) {
      Buffer buffer = std::move(spare_.back());
      spare_.pop_back();
      return buffer;
    }
  }
  return Buffer{std::unique_ptr<char[]>(new char[room]), room};
}

void MemberFeed::push(Lane& lane, Piece piece) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!closing_ &&
         (lane.queued_bytes >= lane_bytes_ || lane.pieces.size() >= lane_limit_pieces)) {
    lane.reader_waits = true;
    lane.drained.wait(lock);
    lane.reader_waits = false;
  }
  if (closing_) throw Closing{};
  lane.queued_bytes += piece.size;
  lane.pieces.push_back(std::move(piece));
  // Woken only when the writer really waits: most pieces pass unnoticed.
  if (writer_waits_) filled_.notify_one();
}

std::optional<MemberFeed::Piece> MemberFeed::take(size_t index, size_t ahead,
                                                  std::chrono::milliseconds patience) {
  Lane* lane = lanes_[lane_of_[index]].get();
  Lane* other = ahead != no_member ? lanes_[lane_of_[ahead]].get() : nullptr;
  if (other == lane) other = nullptr;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!lane->pieces.empty()) break;
    if (other && !other->pieces.empty() && other->pieces.front().index == ahead) {
      lane = other;
      index = ahead;
      break;
    }
    // Done with nothing left for a wanted member: a signal stopped it.
    if (lane->done) throw Interrupted(stop_ ? stop_->load() : 0);
    writer_waits_ = true;
    std::cv_status waited = filled_.wait_for(lock, patience);
    writer_waits_ = false;
    if (waited == std::cv_status::timeout) return std::nullopt;
  }
  Lane& from = *lane;
  Piece piece = std::move(from.pieces.front());
  from.pieces.pop_front();
  from.queued_bytes -= piece.size;
  // The reader resumes once half its room is free, not at every piece.
  if (from.reader_waits && from.queued_bytes <= lane_bytes_ / 2 &&
      from.pieces.size() <= lane_limit_pieces / 2)
    from.drained.notify_one();
  if (piece.index != index) throw std::logic_error("member feed taken out of order");
  return piece;
}

void MemberFeed::recycle(Buffer buffer) {
  if (buffer.capacity != piece_size) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (spare_.size() < spare_buffers) spare_.push_back(std::move(buffer));
}
