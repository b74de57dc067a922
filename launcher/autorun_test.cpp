#include "launcher/autorun.h"

#include <gtest/gtest.h>

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

}  // namespace
