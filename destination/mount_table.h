#ifndef MORROWLINE_DESTINATION_MOUNT_TABLE_H_
#define MORROWLINE_DESTINATION_MOUNT_TABLE_H_

#include <string>
#include <vector>

// The mount points at or below `path` (absolute, canonical), in the order
// `mountinfo` (the text of /proc/self/mountinfo) lists them, with the
// kernel's octal escapes ("\040" for a blank) undone. Kernels before 5.8
// give no mount IDs, and a bind mount of a folder on the same file system
// shows nowhere else.
std::vector<std::string> mount_points_below(const std::string& mountinfo, const std::string& path);

// The text of /proc/self/mountinfo; empty when it cannot be read.
std::string read_mount_table();

#endif  // MORROWLINE_DESTINATION_MOUNT_TABLE_H_
