#include "extract/stored_mode.h"

#include <sys/stat.h>

std::optional<unsigned> member_permissions(uint32_t external_attributes, bool directory) {
  unsigned mode = stored_mode(external_attributes);
  if (mode == 0) return std::nullopt;
  unsigned type = mode & S_IFMT;
  if (type != 0 && type != (directory ? S_IFDIR : S_IFREG)) return std::nullopt;
  return mode & 07777;
}
