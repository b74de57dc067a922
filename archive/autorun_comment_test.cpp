#include "archive/autorun_comment.h"

#include <gtest/gtest.h>

#include "common/context_error.h"

namespace {

TEST(AutorunCommand, TakesEverythingAfterALeadingMarker) {
  EXPECT_EQ(autorun_command("$AUTORUN$>sh pkg/setup.sh"), "sh pkg/setup.sh");
  EXPECT_EQ(autorun_command("$AUTORUN$>"), "");
  std::string multi = "$AUTORUN$> echo 'a  b' \"c\"\nprintf '%s\\n' x\n";
  EXPECT_EQ(autorun_command(multi), multi.substr(10));
}

TEST(AutorunCommand, NoCommandWithoutALeadingMarker) {
  EXPECT_FALSE(autorun_command(""));
  EXPECT_FALSE(autorun_command("$autorun$>sh x"));
  EXPECT_FALSE(autorun_command(" $AUTORUN$>sh x"));
  EXPECT_FALSE(autorun_command("note $AUTORUN$>rm -rf x"));
  EXPECT_FALSE(autorun_command("$AUTORUN$"));
}

TEST(AutorunComment, IsTheMarkerThenTheCommandByteForByte) {
  std::string command = "printf '%s\\n' \"a b\"\n\tcat x\xE9\n";
  EXPECT_EQ(autorun_comment(command), "$AUTORUN$>" + command);
  EXPECT_EQ(autorun_comment(""), "$AUTORUN$>");
  EXPECT_EQ(autorun_command(autorun_comment(command)), command);
}

TEST(AutorunComment, WholeCommentFitsTheEndRecord) {
  EXPECT_EQ(autorun_comment(std::string(65525, 'x')).size(), 65535u);
  try {
    autorun_comment(std::string(65526, 'x'));
    ADD_FAILURE() << "no error";
  } catch (const ContextError& e) {
    EXPECT_EQ(describe_failure(e), "autorun command too long: 65526 bytes, at most 65525");
  }
}

}  // namespace
