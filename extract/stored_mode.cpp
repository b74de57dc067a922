#include "extract/stored_mode.h"

#include <sys/stat.h>

void apply_stored_mode(const std::string& path, unsigned mode) {
  if (mode == 0) return;
  (void)chmod(path.c_str(), static_cast<mode_t>(mode & 07777));
}
