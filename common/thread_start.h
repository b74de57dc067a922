#ifndef MORROWLINE_COMMON_THREAD_START_H_
#define MORROWLINE_COMMON_THREAD_START_H_

#include <future>
#include <system_error>
#include <thread>
#include <utility>

#include "common/context_error.h"

// Starting a thread fails under a process limit (RLIMIT_NPROC) or without
// memory; the standard library then throws std::system_error, which would
// end the program if it escaped a thread. These turn it into a failure
// like any other: ThreadNotStarted, a ContextError "cannot start a
// thread" with the reason.

class ThreadNotStarted : public ContextError {
 public:
  explicit ThreadNotStarted(const std::system_error& error)
      : ContextError("cannot start a thread", error.code().message()) {}
};

[[noreturn]] inline void thread_not_started(const std::system_error& error) {
  throw ThreadNotStarted(error);
}

template <typename... Arguments>
std::thread start_thread(Arguments&&... arguments) {
  try {
    return std::thread(std::forward<Arguments>(arguments)...);
  } catch (const std::system_error& error) {
    thread_not_started(error);
  }
}

// The function's result, computed on a thread of its own; the future waits
// for that thread when it goes.
template <typename Function>
auto start_thread_as_future(Function&& function) {
  try {
    return std::async(std::launch::async, std::forward<Function>(function));
  } catch (const std::system_error& error) {
    thread_not_started(error);
  }
}

#endif  // MORROWLINE_COMMON_THREAD_START_H_
