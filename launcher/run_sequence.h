#ifndef MORROWLINE_LAUNCHER_RUN_SEQUENCE_H_
#define MORROWLINE_LAUNCHER_RUN_SEQUENCE_H_

#include <cstddef>
#include <exception>

class Extractor;

// Exit statuses of the program.
constexpr int status_done = 0;         // window closed, or the autorun command returned
constexpr int status_no_display = 1;   // set by the toolkit itself
constexpr int status_no_members = 2;   // no archive, or an empty one
constexpr int status_failed = 3;       // a run stopped by an error

// Prints one line on standard error naming the failure.
void report_failure(const std::exception& failure);

// Shows and draws the window with the command line before anything on disk
// changes, extracts every member on a worker thread while the window
// follows, then starts the autorun command on a detached thread and runs
// the event loop. Returns the exit status: 0 once the window is closed, 3
// after a failed extraction (shown in the window until it is closed).
// Ends the process itself: with 1 when the display cannot be opened, 3
// when the toolkit fails otherwise, the window is closed during the
// extraction ("cancelled") or the display is lost (after the clean-up),
// and by the signal that interrupted the extraction.
int run_sequence(Extractor& extractor, std::size_t member_count, int argc, char** argv);

// For a failure met before anything could be extracted, already reported
// on standard error: shows the window with the command line in its failure
// state until it is closed. Returns 3, also when no display can be opened
// (the toolkit's own message is then left out).
int run_failure_window(const std::exception& failure, int argc, char** argv);

#endif  // MORROWLINE_LAUNCHER_RUN_SEQUENCE_H_
