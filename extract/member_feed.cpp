#include "extract/member_feed.h"

#include <algorithm>

#include "common/thread_start.h"
#include "destination/entries.h"
#include "destination/sync.h"
#include "extract/interrupted.h"

namespace {

constexpr size_t piece_size = size_t{256} << 10;
constexpr size_t lane_limit_pieces = 2048;
constexpr size_t spare_buffers = 16;
// Files a lane has written and the writer not yet named: each holds a
// descriptor, which stay few.
constexpr size_t most_queued_files = 4;

// Thrown through a reader when the feed closes early.
struct Closing {};

// Reads `member` into out[0, room) until it is full or the member ends
// (then `last` is set); returns the bytes read.
size_t fill(MemberReader& member, char* out, size_t room, bool& last) {
  size_t filled = 0;
  while (filled < room) {
    size_t got = member.read(out + filled, room - filled);
    if (got == 0) {
      last = true;
      break;
    }
    filled += got;
  }
  return filled;
}

}  // namespace

MemberFeed::MemberFeed(Archive& archive, const std::vector<MemberInfo>& members,
                       std::vector<size_t> wanted, size_t lanes, size_t lane_bytes,
                       const std::atomic<int>* stop, FileMaker second_lane_files)
    : members_(members),
      lane_bytes_(lane_bytes),
      stop_(stop),
      second_lane_files_(std::move(second_lane_files)),
      lane_of_(members.size(), 0) {
  lanes = std::max<size_t>(1, std::min<size_t>(lanes, 2));
  for (size_t i = 0; i < lanes; ++i) lanes_.push_back(std::make_unique<Lane>());
  for (size_t j = 0; j < wanted.size(); ++j) {
    lane_of_[wanted[j]] = j % lanes;
    lanes_[j % lanes]->members.push_back(wanted[j]);
  }
  try {
    start_readers(archive);
  } catch (const ContextError&) {
    close();  // those that started
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
        read_members(lane, i > 0 ? *lane.copy : archive, i > 0 && second_lane_files_);
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

MemberFeed::~MemberFeed() { close(); }

void MemberFeed::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  for (auto& lane : lanes_) lane->drained.notify_all();
  for (auto& lane : lanes_)
    if (lane->reader.joinable()) lane->reader.join();
}

void MemberFeed::read_members(Lane& lane, Archive& archive, bool writes_files) {
  Buffer own_buffer;
  BufferedImageReader nearby(archive.image);
  for (size_t index : lane.members) {
    try {
      MemberReader member(archive, members_[index], &nearby);
      FileDescriptor file;
      if (writes_files) file = second_lane_files_(index);
      if (file.valid()) {
        if (!write_member(lane, member, index, std::move(file), own_buffer)) return;
        continue;
      }
      for (;;) {
        if (stop_ && stop_->load(std::memory_order_relaxed) != 0) return;
        // Straight into the piece, which is filled unless the member ends
        // first: the bytes are copied only into the file, and a small
        // member travels as one piece.
        size_t room = static_cast<size_t>(std::min<uint64_t>(piece_size, member.size() + 1));
        Piece piece;
        piece.index = index;
        piece.buffer = spare_buffer(room);
        piece.size = fill(member, piece.buffer.data.get(), room, piece.last);
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

// Writes the member's bytes into `file` as they are read, telling the
// writer how far it got; false when the feed stopped it.
bool MemberFeed::write_member(Lane& lane, MemberReader& member, size_t index,
                              FileDescriptor file, Buffer& buffer) {
  if (!buffer.data) buffer = Buffer{std::unique_ptr<char[]>(new char[piece_size]), piece_size};
  uint64_t written = 0, flushed = 0;
  int error = 0;
  for (;;) {
    if (stop_ && stop_->load(std::memory_order_relaxed) != 0) return false;
    bool last = false;
    size_t got = fill(member, buffer.data.get(), buffer.capacity, last);
    if (got > 0 && error == 0) {
      error = write_fully(file.get(), buffer.data.get(), got);
      if (error == 0) start_writeback(file.get(), flushed, written + got, false);
    }
    written += got;
    Piece piece;
    piece.index = index;
    piece.on_disk = true;
    piece.size = got;
    piece.last = last;
    if (last) {
      piece.file = std::move(file);
      piece.error = error;
    }
    push(lane, std::move(piece));
    if (last) return true;
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
  // What a lane wrote itself only adds to the count its writer shows.
  if (piece.on_disk && !piece.last && !lane.pieces.empty()) {
    Piece& before = lane.pieces.back();
    if (before.on_disk && before.index == piece.index && !before.last) {
      before.size += piece.size;
      return;
    }
  }
  bool carries_file = piece.file.valid();
  while (!closing_ &&
         (lane.queued_bytes >= lane_bytes_ || lane.pieces.size() >= lane_limit_pieces ||
          (carries_file && lane.queued_files >= most_queued_files))) {
    lane.reader_waits = true;
    lane.drained.wait(lock);
    lane.reader_waits = false;
  }
  if (closing_) throw Closing{};
  if (!piece.on_disk) lane.queued_bytes += piece.size;
  if (carries_file) ++lane.queued_files;
  lane.pieces.push_back(std::move(piece));
  // Woken only when the writer really waits: most pieces pass unnoticed.
  if (writer_waits_) filled_.notify_one();
}

std::optional<MemberFeed::Piece> MemberFeed::take(size_t index,
                                                  std::chrono::milliseconds patience) {
  Lane& from = *lanes_[lane_of_[index]];
  std::unique_lock<std::mutex> lock(mutex_);
  while (from.pieces.empty()) {
    // Done with nothing left for a wanted member: a signal stopped it.
    if (from.done) throw Interrupted(stop_ ? stop_->load() : 0);
    writer_waits_ = true;
    std::cv_status waited = filled_.wait_for(lock, patience);
    writer_waits_ = false;
    if (waited == std::cv_status::timeout) return std::nullopt;
  }
  Piece piece = std::move(from.pieces.front());
  from.pieces.pop_front();
  if (!piece.on_disk) from.queued_bytes -= piece.size;
  bool freed_file = piece.file.valid();
  if (freed_file) --from.queued_files;
  // The reader resumes once half its room is free, not at every piece.
  if (from.reader_waits &&
      (freed_file || (from.queued_bytes <= lane_bytes_ / 2 &&
                      from.pieces.size() <= lane_limit_pieces / 2)))
    from.drained.notify_one();
  if (piece.index != index) throw std::logic_error("member feed taken out of order");
  return piece;
}

void MemberFeed::recycle(Buffer buffer) {
  if (buffer.capacity != piece_size) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (spare_.size() < spare_buffers) spare_.push_back(std::move(buffer));
}
