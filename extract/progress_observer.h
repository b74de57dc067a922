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
};

#endif  // MORROWLINE_EXTRACT_PROGRESS_OBSERVER_H_
