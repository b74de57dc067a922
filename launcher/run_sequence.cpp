#include "launcher/run_sequence.h"

#include <FL/Fl.H>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "archive/context_error.h"
#include "extract/extractor.h"
#include "launcher/autorun.h"
#include "launcher/stop_signals.h"
#include "ui/progress_window.h"

void report_failure(const std::exception& failure) {
  std::fprintf(stderr, "morrowline-sfx: %s\n", describe_failure(failure).c_str());
}

int run_sequence(Extractor& extractor, std::size_t member_count, int argc, char** argv) {
  auto window = std::make_shared<ProgressWindow>(member_count);
  for (const MemberInfo& member : extractor.archive->members())
    window->member_sizes.push_back(member.uncompressed_size);
  extractor.add_observer(window);
  window->show(argc, argv);

  // The main thread waits in the join and touches nothing meanwhile, so
  // the worker alone uses the toolkit (through on_member) and the archive.
  std::exception_ptr failure;
  int stopped_by = 0;
  {
    StopSignals stop_signals;
    extractor.stop_signal = &StopSignals::caught;
    std::thread extraction([&extractor, &failure] {
      try {
        extractor.extract_all();
      } catch (...) {
        failure = std::current_exception();
      }
    });
    extraction.join();
    extractor.stop_signal = nullptr;
    stopped_by = StopSignals::caught.load();
  }
  // The run has removed its partial file and staging directory by now.
  if (stopped_by != 0) {
    report_failure(Interrupted(stopped_by));
    end_by_signal(stopped_by);
  }

  int status = status_done;
  if (failure) {
    status = status_failed;
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      report_failure(e);
      if (window->shown()) window->show_failure(describe_failure(e));
    } catch (...) {
      std::fprintf(stderr, "morrowline-sfx: extraction failed\n");
      if (window->shown()) window->show_failure("extraction failed");
    }
    if (window->shown()) Fl::run();
  } else {
    std::thread(autorun, extractor.comment()).detach();
    status = Fl::run();
  }
  window.reset();
  return status;
}
