#ifndef MORROWLINE_ARCHIVE_MEMBER_LAYOUT_H_
#define MORROWLINE_ARCHIVE_MEMBER_LAYOUT_H_

#include <cstdint>
#include <string>
#include <vector>

// Where one member's local header and compressed data lie, from the
// archive's first byte: [begin, end).
struct MemberExtent {
  uint64_t begin = 0;
  uint64_t end = 0;
  const std::string* name = nullptr;  // the member's, which outlives the check
};

// Every member owns its bytes: no two extents share one, and none runs into
// the central directory, which starts at `directory_offset`. A crafted
// archive whose entries share data would otherwise unpack to many times its
// size. Throws ContextError "bad zip" with the reason ("overlapping members:
// A, B" or "member runs into the central directory: A").
void check_member_layout(std::vector<MemberExtent> extents, uint64_t directory_offset);

#endif  // MORROWLINE_ARCHIVE_MEMBER_LAYOUT_H_
