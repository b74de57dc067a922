#include "launcher/autorun.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr char marker[] = "$AUTORUN$>";
constexpr size_t marker_size = sizeof marker - 1;

}  // namespace

std::optional<std::string> autorun_command(const std::string& comment) {
  if (comment.compare(0, marker_size, marker) != 0) return std::nullopt;
  return comment.substr(marker_size);
}

void autorun(const std::string& comment) {
  std::optional<std::string> command = autorun_command(comment);
  if (!command) return;
  (void)std::system(command->c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(0);
}
