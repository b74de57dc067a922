#include "extract/stored_mode.h"

#include <sys/stat.h>

std::optional<unsigned> member_permissions(uint32_t external_attributes, bool directory) {
  unsigned mode = stored_mode(external_attributes);
  if (mode == 0) return std::nullopt;
  unsigned type = mode & S_IFMT;
  if (type != 0 && type != (directory ? S_IFDIR : S_IFREG)) return std::nullopt;
  // Set-user-ID and set-group-ID bits never come from an archive: run by
  // root, an installer would otherwise hand out root's powers.
  return mode & 07777 & ~static_cast<unsigned>(S_ISUID | S_ISGID);
}
