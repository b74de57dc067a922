#include "archive/member_layout.h"

#include <algorithm>

#include "common/context_error.h"

void check_member_layout(std::vector<MemberExtent> extents, uint64_t directory_offset) {
  auto earlier = [](const MemberExtent& a, const MemberExtent& b) { return a.begin < b.begin; };
  // Archives are written in directory order: sorted already, mostly.
  if (!std::is_sorted(extents.begin(), extents.end(), earlier))
    std::sort(extents.begin(), extents.end(), earlier);
  for (size_t i = 0; i < extents.size(); ++i) {
    const MemberExtent& extent = extents[i];
    if (extent.end > directory_offset)
      throw ContextError("bad zip", "member runs into the central directory: " + *extent.name);
    if (i + 1 < extents.size() && extents[i + 1].begin < extent.end)
      throw ContextError("bad zip",
                         "overlapping members: " + *extent.name + ", " + *extents[i + 1].name);
  }
}
