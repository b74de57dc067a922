#ifndef MORROWLINE_EXTRACT_INTERRUPTED_H_
#define MORROWLINE_EXTRACT_INTERRUPTED_H_

#include <string.h>

#include <string>

#include "common/context_error.h"

// Why a run was asked to stop, besides a signal's number.
enum StopReason : int {
  stop_cancelled = -1,     // the window was closed
  stop_display_lost = -2,  // the connection to the display broke
};

// A run stopped on request once it had cleaned up: "interrupted", with a
// signal's description as context (SIGINT, SIGTERM, SIGHUP); "cancelled";
// or "lost the connection to the display".
class Interrupted : public ContextError {
 public:
  explicit Interrupted(int reason)
      : ContextError(message_for(reason), reason > 0 ? strsignal(reason) : ""), signal(reason) {}

  int signal;  // the signal's number, or a StopReason

 private:
  static const char* message_for(int reason) {
    if (reason == stop_cancelled) return "cancelled";
    if (reason == stop_display_lost) return "lost the connection to the display";
    return "interrupted";
  }
};

#endif  // MORROWLINE_EXTRACT_INTERRUPTED_H_
