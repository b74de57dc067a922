#include "pack/pending_file.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "common/context_error.h"

namespace {

[[noreturn]] void cannot_write(const std::string& path) {
  throw ContextError("cannot write installer", path + ": " + std::strerror(errno));
}

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};
// More than a pack ever has at once: the installer, its signature and its
// checksum, and the file ssh-keygen writes.
constexpr size_t most_removed = 16;
// Paths copied into memory that is never freed, so that a handler reading
// one while its owner goes reads a path still.
struct RemovedSlot {
  std::atomic<bool> used{false};
  char path[4096];
};
RemovedSlot removed_on_signal[most_removed];

// unlink() and raise() are safe in a signal handler.
void remove_and_end(int signal) {
  for (RemovedSlot& slot : removed_on_signal)
    if (slot.used.load()) unlink(slot.path);
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  // Delivered as this handler returns, by the default action now.
  raise(signal);
}

void install_handlers() {
  struct sigaction action = {};
  action.sa_handler = remove_and_end;
  sigemptyset(&action.sa_mask);
  for (int signal : ending_signals) sigaddset(&action.sa_mask, signal);
  for (int signal : ending_signals) {
    struct sigaction old = {};
    // A signal the packer was started to ignore (nohup) stays ignored.
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
      sigaction(signal, &action, nullptr);
  }
}

}  // namespace

RemovedOnSignal::RemovedOnSignal(const std::string& path) : slot_(most_removed) {
  static std::once_flag installed;
  std::call_once(installed, install_handlers);
  if (path.size() >= sizeof removed_on_signal[0].path) return;
  static std::mutex slots;
  std::lock_guard<std::mutex> lock(slots);
  for (size_t i = 0; i < most_removed && slot_ == most_removed; ++i) {
    if (removed_on_signal[i].used.load()) continue;
    std::memcpy(removed_on_signal[i].path, path.c_str(), path.size() + 1);
    removed_on_signal[i].used = true;
    slot_ = i;
  }
}

RemovedOnSignal::~RemovedOnSignal() {
  if (slot_ < most_removed) removed_on_signal[slot_].used = false;
}

PendingFile::PendingFile(const std::string& target, const std::string& suffix) : target_(target) {
  size_t slash = target.rfind('/');
  std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  folder_ = directory.empty() ? "." : directory;
  std::string pattern = directory + "." + name + suffix + ".XXXXXX";
  fd_ = FileDescriptor(mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd_.valid()) cannot_write(pattern);
  path_ = pattern;
  removed_on_signal_ = std::make_unique<RemovedOnSignal>(path_);
}

PendingFile::~PendingFile() {
  if (!placed_) unlink(path_.c_str());
}

void PendingFile::make_durable() {
  if (fsync(fd_.get()) != 0) cannot_write(path_);
}

void PendingFile::place(mode_t mode) {
  if (fchmod(fd_.get(), mode) != 0) cannot_write(path_);
  // Some file systems report a full disk only when the file is closed.
  if (close(fd_.release()) != 0) cannot_write(path_);
  if (rename(path_.c_str(), target_.c_str()) != 0) cannot_write(target_);
  removed_on_signal_.reset();
  placed_ = true;
}

void make_folder_durable(const std::string& folder) {
  FileDescriptor directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid() || fsync(directory.get()) != 0)
    throw ContextError("the new files are in place but perhaps not yet on disk",
                       folder + ": " + std::strerror(errno));
}
