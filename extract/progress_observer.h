#ifndef MORROWLINE_EXTRACT_PROGRESS_OBSERVER_H_
#define MORROWLINE_EXTRACT_PROGRESS_OBSERVER_H_

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
  // a window stays drawn and hears a close request.
  virtual void on_working() {}
};

#endif  // MORROWLINE_EXTRACT_PROGRESS_OBSERVER_H_
