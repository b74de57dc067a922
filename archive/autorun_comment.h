#ifndef MORROWLINE_ARCHIVE_AUTORUN_COMMENT_H_
#define MORROWLINE_ARCHIVE_AUTORUN_COMMENT_H_

#include <cstddef>
#include <optional>
#include <string>

// The archive comment that names a command to run after unpacking: the
// installer reads it, the packer writes it, both through this file.

// What an archive comment begins with when it names a command to run.
constexpr char autorun_marker[] = "$AUTORUN$>";
constexpr size_t autorun_marker_size = sizeof autorun_marker - 1;

// The command an archive comment names: everything after a leading
// "$AUTORUN$>", byte for byte. A comment that does not begin with the marker
// (case counts) names none, even if the marker stands further in.
std::optional<std::string> autorun_command(const std::string& comment);

// The archive comment that makes the installer run `command`: the marker,
// then the command byte for byte. Throws ContextError "autorun command too
// long" (context: its size and the limit) past max_comment_size in all.
std::string autorun_comment(const std::string& command);

#endif  // MORROWLINE_ARCHIVE_AUTORUN_COMMENT_H_
