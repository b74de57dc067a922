#include "extract/member_name.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/context_error.h"

namespace {

TEST(MemberName, RefusesNamesThatLeaveTheDestination) {
  for (const std::string& name : std::vector<std::string>{"", "/abs/x", "/", "../x", "a/../../x", "a/..", "..", "a\\..\\..\\x", "..\\x",
        std::string("a\0b", 3)}) {
    try {
      check_member_name(name);
      ADD_FAILURE() << "accepted " << printable(name);
    } catch (const ContextError& e) {
      EXPECT_STREQ(e.what(), "unsafe member name");
      EXPECT_EQ(e.context(), name);
    }
  }
}

TEST(MemberName, AcceptsOrdinaryNames) {
  for (const char* name : {"pkg/", "pkg/run.sh", "./", "./x", "a..b", "...", "a/.../b", "x.."})
    EXPECT_NO_THROW(check_member_name(name)) << name;
}

}  // namespace
