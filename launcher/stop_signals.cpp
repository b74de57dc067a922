#include "launcher/stop_signals.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>

namespace {

// SIGQUIT (Ctrl-\) too: it ends the process by the same signal after the
// clean-up, so that a core dump, where one is wanted, still comes.
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int stop_signal_count = sizeof stop_signals / sizeof *stop_signals;

void keep_first(int signal) {
  int none = 0;
  StopSignals::caught.compare_exchange_strong(none, signal);
}

}  // namespace

std::atomic<int> StopSignals::caught{0};

StopSignals::StopSignals() {
  struct sigaction action = {};
  action.sa_handler = keep_first;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < stop_signal_count; ++i) {
    sigaction(stop_signals[i], nullptr, &saved_[i]);
    // A signal the program was started to ignore (nohup, a background job)
    // stays ignored.
    if (saved_[i].sa_handler != SIG_IGN) sigaction(stop_signals[i], &action, nullptr);
  }
}

StopSignals::~StopSignals() {
  for (int i = 0; i < stop_signal_count; ++i) sigaction(stop_signals[i], &saved_[i], nullptr);
}

void end_by_signal(int signal) {
  std::fflush(stderr);
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  _exit(128 + signal);  // should the signal be blocked after all
}
