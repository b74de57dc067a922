#include "destination/mount_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/file_descriptor.h"
#include "destination/target_path.h"

namespace {

std::string unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> mount_points_below(const std::string& mountinfo, const std::string& path) {
  std::vector<std::string> found;
  // Each line: ID, parent ID, major:minor, root, mount point, and more;
  // fields are separated by single blanks (blanks inside are escaped).
  for (size_t line = 0; line < mountinfo.size();) {
    size_t end = mountinfo.find('\n', line);
    if (end == std::string::npos) end = mountinfo.size();
    size_t field = line;
    for (int skip = 0; skip < 4 && field < end; ++skip) {
      size_t blank = mountinfo.find(' ', field);
      field = blank == std::string::npos || blank > end ? end : blank + 1;
    }
    size_t stop = std::min(mountinfo.find(' ', field), end);
    if (field < end) {
      std::string mount_point = unescape(mountinfo.substr(field, stop - field));
      if (is_inside(path, mount_point)) found.push_back(mount_point);
    }
    line = end + 1;
  }
  return found;
}

std::string read_mount_table() {
  std::string text;
  FileDescriptor file(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  char piece[4096];
  while (file.valid()) {
    ssize_t got = read(file.get(), piece, sizeof piece);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(piece, static_cast<size_t>(got));
  }
  return text;
}
