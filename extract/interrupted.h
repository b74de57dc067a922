#ifndef MORROWLINE_EXTRACT_INTERRUPTED_H_
#define MORROWLINE_EXTRACT_INTERRUPTED_H_

#include <string.h>

#include <string>

#include "archive/context_error.h"

// A run stopped by a signal (SIGINT, SIGTERM, SIGHUP) once it had cleaned
// up: "interrupted", with the signal's description as context.
class Interrupted : public ContextError {
 public:
  explicit Interrupted(int signal_number)
      : ContextError("interrupted", signal_number > 0 ? strsignal(signal_number) : "signal"),
        signal(signal_number) {}

  int signal;
};

#endif  // MORROWLINE_EXTRACT_INTERRUPTED_H_
