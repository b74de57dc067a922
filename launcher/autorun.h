#ifndef MORROWLINE_LAUNCHER_AUTORUN_H_
#define MORROWLINE_LAUNCHER_AUTORUN_H_

#include <cstddef>
#include <optional>
#include <string>

// What an archive comment begins with when it names a command to run.
constexpr char autorun_marker[] = "$AUTORUN$>";
constexpr size_t autorun_marker_size = sizeof autorun_marker - 1;

// The command an archive comment names: everything after a leading
// "$AUTORUN$>", byte for byte. A comment that does not begin with the marker
// (case counts) names none, even if the marker stands further in.
std::optional<std::string> autorun_command(const std::string& comment);

// Body of the autorun thread. Without a command it returns at once.
// Otherwise it runs the command through the shell in the working directory,
// ignores its status, flushes standard output and error and ends the
// process with status 0, running no process-wide destructors under the
// event loop still going on the main thread.
void autorun(const std::string& comment);

#endif  // MORROWLINE_LAUNCHER_AUTORUN_H_
