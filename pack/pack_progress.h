#ifndef MORROWLINE_PACK_PACK_PROGRESS_H_
#define MORROWLINE_PACK_PACK_PROGRESS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// What a pack has done so far. The threads that read and write add to it;
// a progress line reads it.
struct PackCounters {
  std::atomic<uint64_t> files_done{0};  // members of files written
  std::atomic<uint64_t> bytes_read{0};  // of the files, each byte once
};

// How the progress line is shown: on a terminal, one line redrawn in place
// at most 10 times a second and cleared at the end; elsewhere, when asked
// for, a line at most once a second.
enum class ProgressShown { none, terminal, lines };

// How progress is shown on `fd`: `wanted` is what the command line asked
// for last (--progress true, --quiet false), if anything. On a terminal it
// is shown unless --quiet; elsewhere only for --progress.
ProgressShown progress_shown(std::optional<bool> wanted, int fd);

// One line of progress: the files done out of `total_files`, the bytes read
// as a share of `total_bytes`, the rate and the time left, never wider
// than `width` columns (0: no limit). Exposed for tests.
std::string progress_text(uint64_t files_done, uint64_t total_files, uint64_t bytes_read,
                          uint64_t total_bytes, double seconds, size_t width);

// Shows `counters` on the file descriptor `fd` (standard error) from a
// thread of its own, from construction until finish() or destruction,
// which end with the line cleared (terminal) or a last line. Shows nothing
// for ProgressShown::none. A pack that cannot start the thread goes on
// without it.
class ProgressLine {
 public:
  ProgressLine(ProgressShown shown, int fd, const PackCounters& counters, uint64_t total_files,
               uint64_t total_bytes);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Stops the line: cleared on a terminal, so that what follows (a note,
  // a failure) stands on a line of its own.
  void finish();

 private:
  void show_until_done();
  void show();
  size_t terminal_width() const;

  ProgressShown shown_;
  int fd_;
  const PackCounters& counters_;
  uint64_t total_files_;
  uint64_t total_bytes_;
  std::chrono::steady_clock::time_point start_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool done_ = false;
  bool drawn_ = false;  // a line is on the terminal
  std::thread thread_;
};

#endif  // MORROWLINE_PACK_PACK_PROGRESS_H_
