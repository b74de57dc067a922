#include "pack/autorun_comment.h"

#include <gtest/gtest.h>

#include "launcher/autorun.h"
#include "pack/test_support.h"

namespace {

TEST(PackAutorunComment, IsTheMarkerThenTheCommandByteForByte) {
  std::string command = "printf '%s\\n' \"a b\"\n\tcat x\xE9\n";
  EXPECT_EQ(autorun_comment(command), "$AUTORUN$>" + command);
  EXPECT_EQ(autorun_comment(""), "$AUTORUN$>");
  EXPECT_EQ(autorun_command(autorun_comment(command)), command);
}

TEST(PackAutorunComment, WholeCommentFitsTheEndRecord) {
  EXPECT_EQ(autorun_comment(std::string(65525, 'x')).size(), 65535u);
  EXPECT_EQ(failure_of([] { autorun_comment(std::string(65526, 'x')); }),
            "autorun command too long: 65526 bytes, at most 65525");
}

}  // namespace
