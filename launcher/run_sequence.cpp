#include "launcher/run_sequence.h"

#include <FL/Fl.H>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "archive/autorun_comment.h"
#include "common/context_error.h"
#include "common/thread_start.h"
#include "extract/extractor.h"
#include "launcher/autorun.h"
#include "launcher/stop_signals.h"
#include "launcher/time_zone.h"
#include "ui/display_connection.h"
#include "ui/progress_window.h"
#include "ui/toolkit_files.h"

namespace {

// showing_failure: the window shows a failure met before the run began.
enum class Phase { loading, setting_up, extracting, finished, showing_failure };
std::atomic<Phase> phase{Phase::loading};
std::atomic<bool> autorun_running{false};
std::atomic<int> finished_status{status_done};

// Ends the process without touching the toolkit again: its display may be
// gone, and the autorun thread may still be on its way.
[[noreturn]] void leave_now(int status) {
  std::fflush(stderr);
  _exit(status);
}

// Prints a message of the toolkit's as one line of ours; returns it.
std::string print_toolkit_message(const char* format, va_list arguments) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, arguments);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
    message.pop_back();
  std::fprintf(stderr, "morrowline-sfx: %s\n", printable(message).c_str());
  return message;
}

// The toolkit gives up: no display, no fonts, no memory. Everything it
// needs is set up before anything on disk changes, so this comes first.
void toolkit_fatal(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  if (phase.load() == Phase::showing_failure) leave_now(status_failed);  // said already
  std::string message = print_toolkit_message(format, arguments);
  va_end(arguments);
  bool no_display = message.compare(0, 18, "Can't open display") == 0;
  leave_now(no_display ? status_no_display : status_failed);
}

// The toolkit's notes, which a person cannot act on: "XOpenIM() failed" is
// what it says about the input method this program declines to open.
void toolkit_warning(const char*, ...) {}

// Messages the toolkit gives while it goes on.
void toolkit_error(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  print_toolkit_message(format, arguments);
  va_end(arguments);
}

// Some of the toolkit's failures (no usable fonts) end in exit(1) right
// after a message: while the window is being set up, that is a failed run.
void toolkit_exit() {
  Phase now = phase.load();
  if (now == Phase::setting_up || now == Phase::showing_failure) leave_now(status_failed);
}

void display_lost(bool survivable) {
  if (phase.load() == Phase::showing_failure) leave_now(status_failed);
  if (phase.load() != Phase::finished) {
    // The extraction cleans up as for a signal and ends the run.
    int none = 0;
    StopSignals::caught.compare_exchange_strong(none, stop_display_lost);
    if (survivable) return;
  }
  report_failure(Interrupted(stop_display_lost));
  // A running autorun command goes on to its end, which ends the process.
  while (autorun_running.load()) pause();
  leave_now(phase.load() == Phase::finished ? finished_status.load() : status_failed);
}

void run_autorun(const std::string& comment) {
  if (autorun_command(comment)) autorun_running = true;
  autorun(comment);
}

// The toolkit's messages and exits become the run's, from `starting` on.
void take_toolkit_messages(Phase starting) {
  Fl::fatal = toolkit_fatal;
  Fl::error = toolkit_error;
  Fl::warning = toolkit_warning;
  std::atexit(toolkit_exit);
  phase = starting;
  keep_toolkit_files_unwritten();
}

}  // namespace

void report_failure(const std::exception& failure) {
  std::fprintf(stderr, "morrowline-sfx: %s\n", describe_failure(failure).c_str());
}

int run_failure_window(const std::exception& failure, int argc, char** argv) {
  take_toolkit_messages(Phase::showing_failure);
  auto window = std::make_shared<ProgressWindow>(1);
  window->show(argc, argv);
  watch_display_connection(display_lost);
  window->draw_now();
  window->show_failure(describe_failure(failure));
  Fl::run();
  window.reset();
  return status_failed;
}

int run_sequence(Extractor& extractor, std::size_t member_count, int argc, char** argv) {
  take_toolkit_messages(Phase::setting_up);
  auto window = std::make_shared<ProgressWindow>(member_count);
  for (const MemberInfo& member : extractor.archive->members())
    window->member_sizes.push_back(member.uncompressed_size);
  extractor.add_observer(window);
  window->stop_request = &StopSignals::caught;
  window->show(argc, argv);
  watch_display_connection(display_lost);
  window->draw_now();
  if (StopSignals::caught.load() == stop_display_lost) {
    report_failure(Interrupted(stop_display_lost));
    leave_now(status_failed);
  }

  // The main thread waits in the join and touches nothing meanwhile, so
  // the worker alone uses the toolkit (through the observer calls) and the
  // archive.
  std::exception_ptr failure;
  phase = Phase::extracting;
  {
    StopSignals stop_signals;
    extractor.stop_signal = &StopSignals::caught;
    try {
      std::thread extraction = start_thread([&extractor, &failure] {
        try {
          extractor.extract_all();
        } catch (...) {
          failure = std::current_exception();
        }
      });
      extraction.join();
    } catch (const ContextError&) {
      failure = std::current_exception();  // no thread: nothing was touched
    }
    extractor.stop_signal = nullptr;
  }
  // One thread again, and what follows may run the command.
  release_time_zone();

  if (failure) {
    finished_status = status_failed;
    phase = Phase::finished;
    try {
      std::rethrow_exception(failure);
    } catch (const Interrupted& e) {
      // The run has removed its partial file and staging directory by now.
      report_failure(e);
      if (e.signal > 0) end_by_signal(e.signal);
      leave_now(status_failed);  // cancelled, or the display is gone
    } catch (const std::exception& e) {
      report_failure(e);
      if (window->shown()) window->show_failure(describe_failure(e));
    } catch (...) {
      std::fprintf(stderr, "morrowline-sfx: extraction failed\n");
      if (window->shown()) window->show_failure("extraction failed");
    }
    if (window->shown()) Fl::run();
    window.reset();
    return status_failed;
  }

  // Everything is in place: what comes now cannot undo it.
  phase = Phase::finished;
  for (const std::string& warning : extractor.warnings)
    std::fprintf(stderr, "morrowline-sfx: warning: %s\n", printable(warning).c_str());
  int stop = StopSignals::caught.load();
  // A signal that came once all was in place ends the process as it would
  // have, without a command.
  if (stop > 0) end_by_signal(stop);
  if (stop == stop_display_lost) {
    report_failure(Interrupted(stop_display_lost));
    run_autorun(extractor.comment());
    leave_now(status_done);
  }
  window->extraction_ended();
  if (!window->shown()) {
    // Closed just as the extraction ended: the command still runs.
    run_autorun(extractor.comment());
    return status_done;
  }
  try {
    start_thread(run_autorun, extractor.comment()).detach();
  } catch (const ContextError& e) {
    // Everything is in place, but the command cannot run.
    report_failure(e);
    window->show_failure(describe_failure(e));
    Fl::run();
    window.reset();
    return status_failed;
  }
  int status = Fl::run();
  window.reset();
  return status;
}
