#ifndef MORROWLINE_LAUNCHER_AUTORUN_H_
#define MORROWLINE_LAUNCHER_AUTORUN_H_

#include <string>

// Body of the autorun thread. Without a command in `comment` (see
// autorun_command) it returns at once. Otherwise it runs the command
// through the shell in the working directory, ignores its status, flushes
// standard output and error and ends the process with status 0, running no
// process-wide destructors under the event loop still going on the main
// thread.
void autorun(const std::string& comment);

#endif  // MORROWLINE_LAUNCHER_AUTORUN_H_
