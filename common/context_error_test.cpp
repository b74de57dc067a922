#include "common/context_error.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Printable, EscapesEveryControlByteAndNothingElse) {
  EXPECT_EQ(printable(std::string("a\0\n\x1B[31m\x7F", 9)), "a\\x00\\x0A\\x1B[31m\\x7F");
  // C1 controls, encoded or stray, would drive an 8-bit terminal.
  EXPECT_EQ(printable("\xC2\x9B" "2J|\x9B"), "\\xC2\\x9B2J|\\x9B");
  // Other text passes whole, valid UTF-8 or Latin-1.
  EXPECT_EQ(printable("caf\xC3\xA9 \xE9 \xE6\x97\xA5"), "caf\xC3\xA9 \xE9 \xE6\x97\xA5");
}

TEST(Printable, FailuresAreOneEscapedLine) {
  ContextError failure("file couldn't be read", "pkg/\x1B[2Jevil\nmorrowline-sfx: ok");
  EXPECT_EQ(describe_failure(failure),
            "file couldn't be read: pkg/\\x1B[2Jevil\\x0Amorrowline-sfx: ok");
}

}  // namespace
