#include "launcher/autorun.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "archive/autorun_comment.h"

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
