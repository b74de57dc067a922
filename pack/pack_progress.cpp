#include "pack/pack_progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/thread_start.h"

namespace {

constexpr auto terminal_interval = std::chrono::milliseconds(100);
constexpr auto lines_interval = std::chrono::seconds(1);

// 96.1 MB: decimal units, as file managers show sizes.
std::string amount(double bytes) {
  const char* units[] = {"B", "kB", "MB", "GB", "TB"};
  size_t unit = 0;
  while (bytes >= 1000 && unit + 1 < sizeof units / sizeof units[0]) {
    bytes /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

// 0:07, 12:30, 1:02:03.
std::string duration(double seconds) {
  auto whole = static_cast<unsigned long long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                  whole % 60);
  else
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  return text;
}

void write_text(int fd, const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // progress is worth no failure
    data += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

ProgressShown progress_shown(std::optional<bool> wanted, int fd) {
  if (wanted == false) return ProgressShown::none;
  if (isatty(fd)) return ProgressShown::terminal;
  return wanted == true ? ProgressShown::lines : ProgressShown::none;
}

std::string progress_text(uint64_t files_done, uint64_t total_files, uint64_t bytes_read,
                          uint64_t total_bytes, double seconds, size_t width) {
  std::string text = "morrowline-pack: " + std::to_string(files_done) + " of " +
                     std::to_string(total_files) + " files";
  // The share of the bytes, or of the files when there are no bytes.
  double done = total_bytes > 0   ? static_cast<double>(bytes_read) / total_bytes
                : total_files > 0 ? static_cast<double>(files_done) / total_files
                                  : 1;
  char share[16];
  std::snprintf(share, sizeof share, "%.0f%%", done * 100 > 100 ? 100 : done * 100);
  text += std::string(", ") + share + " of " + amount(static_cast<double>(total_bytes));
  if (seconds > 0 && bytes_read > 0) {
    double rate = bytes_read / seconds;
    text += ", " + amount(rate) + "/s";
    if (done < 1) text += ", " + duration((1 - done) * seconds / done) + " left";
  }
  // A line one column short of the width never wraps.
  if (width > 0 && text.size() >= width) text.resize(width - 1);
  return text;
}

ProgressLine::ProgressLine(ProgressShown shown, int fd, const PackCounters& counters,
                           uint64_t total_files, uint64_t total_bytes)
    : shown_(shown),
      fd_(fd),
      counters_(counters),
      total_files_(total_files),
      total_bytes_(total_bytes),
      start_(std::chrono::steady_clock::now()) {
  if (shown_ == ProgressShown::none) return;
  try {
    thread_ = start_thread(&ProgressLine::show_until_done, this);
  } catch (const ThreadNotStarted&) {
    shown_ = ProgressShown::none;
  }
}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::finish() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (done_) return;
    done_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (shown_ == ProgressShown::terminal && drawn_)
    write_text(fd_, "\r\033[K");
  else if (shown_ == ProgressShown::lines)
    show();
}

void ProgressLine::show_until_done() {
  auto interval = shown_ == ProgressShown::terminal
                      ? std::chrono::duration_cast<std::chrono::milliseconds>(terminal_interval)
                      : std::chrono::duration_cast<std::chrono::milliseconds>(lines_interval);
  std::unique_lock<std::mutex> hold(lock_);
  while (!wake_.wait_for(hold, interval, [this] { return done_; })) show();
}

void ProgressLine::show() {
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::string text = progress_text(counters_.files_done, total_files_, counters_.bytes_read,
                                   total_bytes_, seconds, terminal_width());
  if (shown_ == ProgressShown::terminal) {
    write_text(fd_, "\r" + text + "\033[K");
    drawn_ = true;
  } else {
    write_text(fd_, text + "\n");
  }
}

size_t ProgressLine::terminal_width() const {
  if (shown_ != ProgressShown::terminal) return 0;
  struct winsize size = {};
  if (ioctl(fd_, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}
