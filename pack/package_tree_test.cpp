#include "pack/package_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pack/test_support.h"

namespace {

std::vector<std::string> names_of(const std::vector<PackEntry>& entries) {
  std::vector<std::string> names;
  for (const PackEntry& entry : entries) names.push_back(entry.name);
  return names;
}

TEST(PackFolderName, IsTheFoldersOwnName) {
  TempDir dir;
  make_directory(dir / "pkg");
  make_directory(dir / "pkg/sub");
  EXPECT_EQ(folder_member_name("pkg"), "pkg/");
  EXPECT_EQ(folder_member_name("pkg//"), "pkg/");
  EXPECT_EQ(folder_member_name("/abs/where/pkg"), "pkg/");
  EXPECT_EQ(folder_member_name(dir / "pkg/."), "pkg/");
  EXPECT_EQ(folder_member_name(dir / "pkg/sub/.."), "pkg/");
  EXPECT_EQ(failure_of([] { folder_member_name("/"); }), "folder has no name: /");
  EXPECT_EQ(failure_of([] { folder_member_name("//"); }), "folder has no name: //");
}

TEST(PackageTree, FolderFirstThenByteOrderEachDirectoryBeforeItsContents) {
  TempDir dir;
  std::string pkg = dir / "pkg";
  make_directory(pkg);
  make_directory(pkg + "/sub", 0750);
  make_directory(pkg + "/sub/empty", 0700);
  write_file_with_mode(pkg + "/sub/x", "12345", 0600);
  write_file_with_mode(pkg + "/sub-file", "", 0644);  // '-' sorts before '/'
  write_file_with_mode(pkg + "/setup.sh", "#!/bin/sh\n", 0755);
  write_file_with_mode(pkg + "/B", "b", 0444);
  write_file_with_mode(pkg + "/caf\xC3\xA9 \xE9", "c", 0644);

  std::vector<PackEntry> entries = collect_package_tree(pkg + "/");
  EXPECT_EQ(names_of(entries),
            (std::vector<std::string>{"pkg/", "pkg/B", "pkg/caf\xC3\xA9 \xE9", "pkg/setup.sh",
                                      "pkg/sub-file", "pkg/sub/", "pkg/sub/empty/", "pkg/sub/x"}));
  EXPECT_EQ(entries[0].mode, 040755u);
  EXPECT_EQ(entries[1].mode, 0100444u);
  EXPECT_EQ(entries[3].mode, 0100755u);
  EXPECT_EQ(entries[5].mode, 040750u);
  EXPECT_EQ(entries[6].mode, 040700u);
  EXPECT_EQ(entries[7].mode, 0100600u);
  EXPECT_EQ(entries[7].size, 5u);
  EXPECT_EQ(entries[7].path, pkg + "/sub/x");
}

TEST(PackageTree, FollowsLinksToFilesAndDirectories) {
  TempDir dir;
  std::string pkg = dir / "pkg";
  make_directory(pkg);
  make_directory(dir / "elsewhere", 0711);
  write_file_with_mode(dir / "elsewhere/data", "outside", 0640);
  write_file_with_mode(pkg + "/real", "inside", 0700);
  ASSERT_EQ(symlink("real", (pkg + "/alias").c_str()), 0);
  ASSERT_EQ(symlink("../elsewhere", (pkg + "/linked").c_str()), 0);

  std::vector<PackEntry> entries = collect_package_tree(pkg);
  EXPECT_EQ(names_of(entries), (std::vector<std::string>{"pkg/", "pkg/alias", "pkg/linked/",
                                                         "pkg/linked/data", "pkg/real"}));
  EXPECT_EQ(entries[1].mode, 0100700u);  // the target's type and bits
  EXPECT_EQ(entries[1].size, 6u);
  EXPECT_EQ(entries[2].mode, 040711u);
  EXPECT_EQ(entries[3].mode, 0100640u);
}

TEST(PackageTree, RefusesWhatCannotBePackedFaithfully) {
  TempDir dir;
  auto folder_with = [&](const std::string& name, const std::function<void(std::string)>& make) {
    std::string folder = dir / name;
    make_directory(folder);
    make(folder);
    return folder;
  };
  std::string fifo =
      folder_with("fifo", [](std::string f) { ASSERT_EQ(mkfifo((f + "/pipe").c_str(), 0600), 0); });
  std::string dangling = folder_with(
      "dangling", [](std::string f) { ASSERT_EQ(symlink("gone", (f + "/l").c_str()), 0); });
  std::string self =
      folder_with("self", [](std::string f) { ASSERT_EQ(symlink("l", (f + "/l").c_str()), 0); });
  std::string ancestor = folder_with("ancestor", [](std::string f) {
    make_directory(f + "/a");
    ASSERT_EQ(symlink("..", (f + "/a/up").c_str()), 0);
  });
  std::string unsafe = folder_with("unsafe", [](std::string f) { write_file(f + "/..\\x", "x"); });
  write_file(dir / "plain", "x");

  EXPECT_EQ(failure_of([&] { collect_package_tree(dir / "missing"); }),
            "cannot read folder: " + (dir / "missing") + ": No such file or directory");
  EXPECT_EQ(failure_of([&] { collect_package_tree(dir / "plain"); }),
            "not a folder: " + (dir / "plain"));
  EXPECT_EQ(failure_of([&] { collect_package_tree(fifo); }),
            "cannot pack special file: " + fifo + "/pipe (fifo)");
  EXPECT_EQ(failure_of([&] { collect_package_tree(dangling); }),
            "dangling symbolic link: " + dangling + "/l");
  EXPECT_EQ(failure_of([&] { collect_package_tree(self); }), "symbolic link loop: " + self + "/l");
  EXPECT_EQ(failure_of([&] { collect_package_tree(ancestor); }),
            "symbolic link loop: " + ancestor + "/a/up");
  EXPECT_EQ(failure_of([&] { collect_package_tree(unsafe); }), "unsafe member name: unsafe/..\\x");
}

}  // namespace
