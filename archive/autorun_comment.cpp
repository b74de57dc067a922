#include "archive/autorun_comment.h"

#include "archive/end_record.h"
#include "common/context_error.h"

std::optional<std::string> autorun_command(const std::string& comment) {
  if (comment.compare(0, autorun_marker_size, autorun_marker) != 0) return std::nullopt;
  return comment.substr(autorun_marker_size);
}

std::string autorun_comment(const std::string& command) {
  constexpr size_t max_command_size = max_comment_size - autorun_marker_size;
  if (command.size() > max_command_size)
    throw ContextError(
        "autorun command too long",
        std::to_string(command.size()) + " bytes, at most " + std::to_string(max_command_size));
  return autorun_marker + command;
}
