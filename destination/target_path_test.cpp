#include "destination/target_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/context_error.h"
#include "tests/fixture/fixture.h"

namespace {

class TargetPath : public ::testing::Test {
 protected:
  TempDir dir;
  std::string root = canonical_path(dir.path());
};

TEST_F(TargetPath, MissingPlacesComeWhole) {
  EXPECT_EQ(target_path(root, "pkg/", LeafRule::follow), root + "/pkg");
  EXPECT_EQ(target_path(root, "pkg/bin/tool", LeafRule::keep), root + "/pkg/bin/tool");
  EXPECT_EQ(target_path(root, "./a//b/./c", LeafRule::keep), root + "/a/b/c");
  EXPECT_EQ(target_path(root, "./", LeafRule::follow), root);
}

TEST_F(TargetPath, ResolvesLinksInsideTheDestination) {
  mkdir((root + "/real").c_str(), 0755);
  ASSERT_EQ(symlink("real", (root + "/alias").c_str()), 0);
  EXPECT_EQ(target_path(root, "alias/f", LeafRule::keep), root + "/real/f");
  EXPECT_EQ(target_path(root, "alias/", LeafRule::follow), root + "/real");
  EXPECT_EQ(target_path(root, "alias", LeafRule::keep), root + "/alias");
}

TEST_F(TargetPath, RefusesLinksThatLeadOutside) {
  TempDir outside;
  ASSERT_EQ(symlink(outside.path().c_str(), (root + "/d").c_str()), 0);
  ASSERT_EQ(symlink("/", (root + "/up").c_str()), 0);
  for (const char* name : {"d/f", "d/", "up/etc/x"}) {
    try {
      target_path(root, name, LeafRule::follow);
      ADD_FAILURE() << name;
    } catch (const ContextError& e) {
      EXPECT_STREQ(e.what(), "path leads outside the destination");
    }
  }
  // A file member replaces a leaf link instead of following it.
  EXPECT_EQ(target_path(root, "d", LeafRule::keep), root + "/d");
}

TEST_F(TargetPath, DanglingLinkOnTheWayCannotBeResolved) {
  ASSERT_EQ(symlink("nowhere", (root + "/gone").c_str()), 0);
  try {
    target_path(root, "gone/f", LeafRule::keep);
    ADD_FAILURE();
  } catch (const ContextError& e) {
    EXPECT_STREQ(e.what(), "cannot resolve path");
  }
}

TEST(IsInside, ComparesWholeComponents) {
  EXPECT_TRUE(is_inside("/a/b", "/a/b"));
  EXPECT_TRUE(is_inside("/a/b", "/a/b/c"));
  EXPECT_FALSE(is_inside("/a/b", "/a/bc"));
  EXPECT_FALSE(is_inside("/a/b", "/a"));
  EXPECT_TRUE(is_inside("/", "/anything"));
}

TEST(NameComponents, SayWhereAMemberLands) {
  EXPECT_EQ(name_components("./a//b/./c/"), (std::vector<std::string>{"a", "b", "c"}));
  for (const char* destination : {"./", ".", ".//", "./."})
    EXPECT_TRUE(name_components(destination).empty()) << destination;
}

}  // namespace
