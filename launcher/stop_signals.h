#ifndef MORROWLINE_LAUNCHER_STOP_SIGNALS_H_
#define MORROWLINE_LAUNCHER_STOP_SIGNALS_H_

#include <signal.h>

#include <atomic>

// While it lives, SIGINT, SIGTERM, SIGHUP and SIGQUIT do not end the
// process: the first one's number is kept in `caught` for the extraction
// to see, so that it can remove what it was writing first. Destroyed, it
// puts the old actions back.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  static std::atomic<int> caught;

 private:
  struct sigaction saved_[4] = {};
};

// Ends the process as `signal` would have, had it not been caught.
[[noreturn]] void end_by_signal(int signal);

#endif  // MORROWLINE_LAUNCHER_STOP_SIGNALS_H_
