#ifndef MORROWLINE_EXTRACT_PROGRESS_OBSERVER_H_
#define MORROWLINE_EXTRACT_PROGRESS_OBSERVER_H_

#include <cstdint>
#include <string>

// Hears each member of an extraction run, in archive order, just before the
// member is created on disk. Called on the extracting thread; the path is
// valid only during the call.
class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  virtual void on_member(const std::string& target_path) = 0;
  // Called on the extracting thread at least ten times a second while the
  // run is busy between two members (a big member, a slow reader), so that
  // a window stays drawn and hears a close request. `member_bytes_written`:
  // how many bytes of the member last heard of are on disk so far.
  virtual void on_working(uint64_t member_bytes_written) { (void)member_bytes_written; }
  // Called once every member is written, while the folder at `target_path`
  // (the first member's, or the destination) is made durable; on_working
  // calls follow until that is done and the run has ended.
  virtual void on_syncing(const std::string& target_path) { (void)target_path; }
};

#endif  // MORROWLINE_EXTRACT_PROGRESS_OBSERVER_H_
