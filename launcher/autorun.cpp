#include "launcher/autorun.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

std::optional<std::string> autorun_command(const std::string& comment) {
  if (comment.compare(0, autorun_marker_size, autorun_marker) != 0) return std::nullopt;
  return comment.substr(autorun_marker_size);
}

void autorun(const std::string& comment) {
  std::optional<std::string> command = autorun_command(comment);
  if (!command) return;
  // The program ignores SIGPIPE for its own sake; the command's pipelines
  // ("yes | head") need the usual end.
  signal(SIGPIPE, SIG_DFL);
  (void)std::system(command->c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(0);
}
