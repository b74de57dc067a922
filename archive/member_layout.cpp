#include "archive/member_layout.h"

#include <algorithm>

#include "common/context_error.h"

void check_member_layout(std::vector<MemberExtent> extents, uint64_t directory_offset) {
  std::sort(extents.begin(), extents.end(),
            [](const MemberExtent& a, const MemberExtent& b) { return a.begin < b.begin; });
  for (size_t i = 0; i < extents.size(); ++i) {
    const MemberExtent& extent = extents[i];
    if (extent.end > directory_offset)
      throw ContextError("bad zip", "member runs into the central directory: " + extent.name);
    if (i + 1 < extents.size() && extents[i + 1].begin < extent.end)
      throw ContextError("bad zip",
                         "overlapping members: " + extent.name + ", " + extents[i + 1].name);
  }
}
