#ifndef MORROWLINE_EXTRACT_THREAD_START_H_
#define MORROWLINE_EXTRACT_THREAD_START_H_

#include <future>
#include <system_error>
#include <thread>
#include <utility>

#include "archive/context_error.h"

// Starting a thread fails under a process limit (RLIMIT_NPROC) or without
// memory; the standard library then throws std::system_error, which would
// end the program if it escaped a thread. These turn it into a failure
// like any other: ContextError "cannot start a thread" with the reason.

[[noreturn]] inline void thread_not_started(const std::system_error& error) {
  throw ContextError("cannot start a thread", error.code().message());
}

template <typename Function>
std::thread start_thread(Function&& function) {
  try {
    return std::thread(std::forward<Function>(function));
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

#endif  // MORROWLINE_EXTRACT_THREAD_START_H_
