#include "extract/extractor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "common/context_error.h"
#include "destination/target_path.h"
#include "tests/fixture/fixture.h"

namespace {

// An "installer": some program bytes with an archive appended.
std::string make_installer(const TempDir& dir, const std::vector<char>& zip) {
  std::string path = dir / "installer";
  std::string program(3000, '\x7F');
  write_file(path, program + std::string(zip.begin(), zip.end()));
  return path;
}

std::string failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return describe_failure(e);
  }
  return "no error";
}

class Recorder : public ProgressObserver {
 public:
  Recorder(std::vector<std::string>& log, std::string tag) : log_(log), tag_(std::move(tag)) {}
  void on_member(const std::string& target_path) override {
    struct stat entry;
    bool exists = lstat(target_path.c_str(), &entry) == 0;
    log_.push_back(tag_ + target_path + (exists ? " (exists)" : ""));
  }

 private:
  std::vector<std::string>& log_;
  std::string tag_;
};

TEST(ArchiveLoading, FindsTheArchiveBehindTheProgram) {
  TempDir dir;
  Extractor extractor(make_installer(dir, make_zip({{"a/", "", 040755}, {"a/b", "x"}}, "note")));
  EXPECT_EQ(extractor.member_names(), (std::vector<std::string>{"a/", "a/b"}));
  EXPECT_EQ(extractor.comment(), "note");
  EXPECT_EQ(extractor.archive->image.read(0, 1)[0], 'P');  // the image starts at the archive
}

TEST(ArchiveLoading, NoArchiveMeansNoMembers) {
  TempDir dir;
  write_file(dir / "plain", std::string(100000, 'x'));
  write_file(dir / "tiny", std::string("PK\5\6"));
  write_file(dir / "empty.zip", std::string("PK\5\6") + std::string(18, '\0'));
  for (const char* name : {"plain", "tiny", "empty.zip", "missing"}) {
    Extractor extractor(dir / name);
    EXPECT_TRUE(extractor.member_names().empty()) << name;
  }
}

TEST(ArchiveLoading, LongestCommentIsFound) {
  TempDir dir;
  std::string comment(65535, 'k');
  Extractor extractor(make_installer(dir, make_zip({{"f", "x"}}, comment)));
  EXPECT_EQ(extractor.comment(), comment);
  EXPECT_EQ(extractor.member_names().size(), 1u);
}

TEST(ArchiveLoading, DamagedArchivesAreBadZip) {
  TempDir dir;
  auto zip = make_zip({{"one", "1"}, {"two", "2"}});
  auto truncated = zip;
  truncated.erase(truncated.begin() + 40, truncated.begin() + 60);
  auto pointing_outside = zip;
  pointing_outside[pointing_outside.size() - 6] = 0x7F;  // directory offset
  for (const auto& bytes : {truncated, pointing_outside}) {
    std::string path = dir / "bad";
    write_file(path, bytes);
    EXPECT_EQ(failure_of([&] { Extractor extractor(path); extractor.member_names(); }),
              "bad zip");
  }
}

class Extraction : public ::testing::Test {
 protected:
  TempDir dir;
  TempDir dest_dir;
  std::string dest = canonical_path(dest_dir.path());

  std::unique_ptr<Extractor> extractor_for(const std::vector<TestMember>& members) {
    return std::make_unique<Extractor>(make_installer(dir, make_zip(members)));
  }
  std::string failure_extracting(const std::vector<TestMember>& members) {
    auto extractor = extractor_for(members);
    return failure_of([&] { extractor->extract_all(dest); });
  }
};

TEST_F(Extraction, WritesTreeBytesAndModes) {
  umask(077);
  auto extractor = extractor_for({{"pkg/", "", 040755, 8, 1500000000},
                                  {"pkg/run.sh", "#!/bin/sh\necho hi\n", 0100755, 8, 1600000000},
                                  {"pkg/empty", "", 0100640},
                                  {"pkg/suid", "s", 0104711},
                                  {"pkg/link", "run.sh", 0120777}});
  extractor->extract_all(dest);
  umask(022);
  struct stat entry;
  ASSERT_EQ(stat((dest + "/pkg/run.sh").c_str(), &entry), 0);
  EXPECT_EQ(entry.st_mtime, 1600000000);
  ASSERT_EQ(stat((dest + "/pkg").c_str(), &entry), 0);
  EXPECT_EQ(entry.st_mtime, 1500000000);  // set after its files were written
  EXPECT_EQ(mode_of(dest + "/pkg"), 0755);
  EXPECT_EQ(read_file(dest + "/pkg/run.sh"), "#!/bin/sh\necho hi\n");
  EXPECT_EQ(mode_of(dest + "/pkg/run.sh"), 0755);
  EXPECT_EQ(read_file(dest + "/pkg/empty"), "");
  EXPECT_EQ(mode_of(dest + "/pkg/empty"), 0640);
  EXPECT_EQ(mode_of(dest + "/pkg/suid"), 0711);  // set-ID bits never come from an archive
  // Link members become ordinary files holding the link text, with the
  // default mode rather than the link's 0777.
  ASSERT_EQ(lstat((dest + "/pkg/link").c_str(), &entry), 0);
  EXPECT_TRUE(S_ISREG(entry.st_mode));
  EXPECT_EQ(read_file(dest + "/pkg/link"), "run.sh");
  EXPECT_EQ(mode_of(dest + "/pkg/link"), 0600);
}

TEST_F(Extraction, ObserversHearFullTargetsBeforeCreation) {
  std::vector<std::string> log;
  auto extractor = extractor_for({{"pkg/", "", 040755}, {"pkg/bin/tool", "t"}, {"top", "x"}});
  extractor->add_observer(std::make_shared<Recorder>(log, "1:"));
  extractor->add_observer(std::make_shared<Recorder>(log, "2:"));
  extractor->extract_all(dest);
  EXPECT_EQ(log, (std::vector<std::string>{"1:" + dest + "/pkg", "2:" + dest + "/pkg",
                                           "1:" + dest + "/pkg/bin/tool",
                                           "2:" + dest + "/pkg/bin/tool", "1:" + dest + "/top",
                                           "2:" + dest + "/top"}));
  // Missing directories are made for a file member.
  EXPECT_EQ(read_file(dest + "/pkg/bin/tool"), "t");
}

TEST_F(Extraction, FirstDirectoryIsClearedOthersKeepTheirContents) {
  mkdir((dest + "/pkg").c_str(), 0755);
  write_file(dest + "/pkg/old", "stale");
  mkdir((dest + "/other").c_str(), 0755);
  write_file(dest + "/other/keep", "mine");
  extractor_for({{"pkg/", "", 040755}, {"pkg/new", "n"}, {"other/", "", 040755},
                 {"other/add", "a"}})
      ->extract_all(dest);
  EXPECT_EQ(mode_of(dest + "/pkg/old"), -1);
  EXPECT_EQ(read_file(dest + "/pkg/new"), "n");
  EXPECT_EQ(read_file(dest + "/other/keep"), "mine");
  EXPECT_EQ(read_file(dest + "/other/add"), "a");
}

TEST_F(Extraction, ClearingNeverFollowsALinkOrTouchesTheDestination) {
  TempDir outside;
  write_file(outside / "precious", "keep");
  ASSERT_EQ(symlink(outside.path().c_str(), (dest + "/pkg").c_str()), 0);
  EXPECT_EQ(failure_extracting({{"pkg/", "", 040755}, {"pkg/f", "x"}}),
            "path leads outside the destination: " + dest + "/pkg -> " +
                canonical_path(outside.path()));
  EXPECT_EQ(read_file(outside / "precious"), "keep");

  write_file(dest + "/mine", "kept");
  chmod(dest.c_str(), 0750);
  for (uint32_t mode : {040000u, 040777u}) {
    extractor_for({{"./", "", mode}, {".//", "", mode}, {"f", "x"}})->extract_all(dest);
    EXPECT_EQ(read_file(dest + "/mine"), "kept");
    EXPECT_EQ(mode_of(dest), 0750);  // never re-moded by a member naming it
  }
}

TEST_F(Extraction, DirectoryMemberOverAFileFails) {
  write_file(dest + "/pkg", "a file");
  EXPECT_EQ(failure_extracting({{"pkg/", "", 040755}, {"pkg/f", "x"}}),
            "cannot create directory: " + dest + "/pkg: Not a directory");
  EXPECT_EQ(read_file(dest + "/pkg"), "a file");
}

TEST_F(Extraction, UnsafeNamesStopTheRunBeforeAnythingChanges) {
  mkdir((dest + "/pkg").c_str(), 0755);
  write_file(dest + "/pkg/old", "stale");
  for (const char* bad : {"../x", "a/../../x", "/abs/x"}) {
    EXPECT_EQ(failure_extracting({{"pkg/", "", 040755}, {"pkg/new", "n"}, {bad, "evil"}}),
              std::string("unsafe member name: ") + bad);
    EXPECT_EQ(read_file(dest + "/pkg/old"), "stale");
    EXPECT_EQ(mode_of(dest + "/pkg/new"), -1);
  }
}

TEST_F(Extraction, LinkOnTheWayOutsideStopsAtThatMember) {
  TempDir outside;
  ASSERT_EQ(symlink(outside.path().c_str(), (dest + "/d").c_str()), 0);
  EXPECT_EQ(failure_extracting({{"first", "1"}, {"d/f", "evil"}, {"last", "2"}}).substr(0, 34),
            "path leads outside the destination");
  EXPECT_EQ(read_file(dest + "/first"), "1");
  EXPECT_EQ(mode_of(outside / "f"), -1);
  EXPECT_EQ(mode_of(dest + "/last"), -1);
}

TEST_F(Extraction, LinksAtAFilePlaceAreReplacedNotFollowed) {
  TempDir outside;
  write_file(outside / "target", "outside");
  ASSERT_EQ(symlink((outside / "target").c_str(), (dest + "/soft").c_str()), 0);
  write_file(dest + "/original", "shared");
  ASSERT_EQ(link((dest + "/original").c_str(), (dest + "/hard").c_str()), 0);
  extractor_for({{"soft", "new soft"}, {"hard", "new hard"}})->extract_all(dest);
  EXPECT_EQ(read_file(outside / "target"), "outside");
  EXPECT_EQ(read_file(dest + "/original"), "shared");
  EXPECT_EQ(read_file(dest + "/soft"), "new soft");
  EXPECT_EQ(read_file(dest + "/hard"), "new hard");
  struct stat entry;
  ASSERT_EQ(lstat((dest + "/soft").c_str(), &entry), 0);
  EXPECT_TRUE(S_ISREG(entry.st_mode));
}

TEST_F(Extraction, ReadOnlyDirectoryStillReceivesItsFiles) {
  extractor_for({{"ro/", "", 040555}, {"ro/sub/", "", 040500}, {"ro/sub/f", "x", 0100444}})
      ->extract_all(dest);
  EXPECT_EQ(mode_of(dest + "/ro"), 0555);
  EXPECT_EQ(mode_of(dest + "/ro/sub"), 0500);
  EXPECT_EQ(read_file(dest + "/ro/sub/f"), "x");
}

TEST_F(Extraction, NoStoredModeMeansDefaultPermissions) {
  umask(022);
  extractor_for({{"win/", "", 0}, {"win/f.txt", "dos", 0}})->extract_all(dest);
  EXPECT_EQ(mode_of(dest + "/win"), 0755);
  EXPECT_EQ(mode_of(dest + "/win/f.txt"), 0644);
}

TEST_F(Extraction, DamagedMemberLeavesTheOldFileAlone) {
  write_file(dest + "/data", "old contents");
  auto zip = make_zip({{"data", "0123456789abcdef", 0100644, 0}});
  zip[30 + 4 + 3] ^= 0x01;
  Extractor extractor(make_installer(dir, zip));
  EXPECT_EQ(failure_of([&] { extractor.extract_all(dest); }),
            "file couldn't be read: data: CRC-32 mismatch");
  EXPECT_EQ(read_file(dest + "/data"), "old contents");
  EXPECT_EQ(boost::filesystem::directory_iterator(dest)->path().filename(), "data");
}

TEST_F(Extraction, FileMemberOverADirectoryFails) {
  mkdir((dest + "/taken").c_str(), 0755);
  EXPECT_EQ(failure_extracting({{"first", "1"}, {"taken", "x"}}),
            "cannot create file: " + dest + "/taken: Is a directory");
}

TEST_F(Extraction, WriteFailureNamesThePath) {
  // A file-size limit fails the write as a full disk would, even for root;
  // the run must report it rather than die of SIGXFSZ.
  auto extractor = extractor_for({{"big", std::string(5000, 'b')}});
  struct rlimit old_limit;
  getrlimit(RLIMIT_FSIZE, &old_limit);
  struct rlimit small = old_limit;
  small.rlim_cur = 1000;
  setrlimit(RLIMIT_FSIZE, &small);
  std::string failure = failure_of([&] { extractor->extract_all(dest); });
  setrlimit(RLIMIT_FSIZE, &old_limit);
  EXPECT_EQ(failure, "cannot write file: " + dest + "/big: File too large");
  EXPECT_EQ(mode_of(dest + "/big"), -1);
  EXPECT_EQ(boost::filesystem::directory_iterator(dest), boost::filesystem::directory_iterator());
}

TEST_F(Extraction, UnwritableDestinationFails) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  chmod(dest.c_str(), 0555);
  EXPECT_EQ(failure_extracting({{"f", "x"}}).substr(0, 18), "cannot create file");
  chmod(dest.c_str(), 0755);
}

TEST_F(Extraction, OfTwoMembersOfOneNameTheLastWins) {
  std::vector<std::string> log;
  // libzip's writer refuses a second "same"; rename "samf" in place.
  auto zip = make_zip({{"same", "first"}, {"samf", "second"}});
  std::string bytes(zip.begin(), zip.end());
  for (size_t at; (at = bytes.find("samf")) != std::string::npos;) bytes[at + 3] = 'e';
  auto extractor = std::make_unique<Extractor>(
      make_installer(dir, std::vector<char>(bytes.begin(), bytes.end())));
  extractor->add_observer(std::make_shared<Recorder>(log, ""));
  extractor->extract_all(dest);
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(read_file(dest + "/same"), "second");
}

// What stands in `path` and below, for comparing trees.
std::string tree_of(const std::string& path) {
  std::vector<std::string> lines;
  for (boost::filesystem::recursive_directory_iterator it(path), end; it != end; ++it) {
    std::string name = it->path().string().substr(path.size());
    bool file = boost::filesystem::is_regular_file(it->path());
    lines.push_back(name + (file ? "=" + read_file(it->path().string()) : "/") + "\n");
  }
  std::sort(lines.begin(), lines.end());
  std::string listing;
  for (const std::string& line : lines) listing += line;
  return listing;
}

TEST_F(Extraction, FailedReinstallLeavesTheOldTreeWhole) {
  mkdir((dest + "/pkg").c_str(), 0755);
  mkdir((dest + "/pkg/sub").c_str(), 0555);
  write_file(dest + "/pkg/notes.txt", "the user's own");
  std::string before = tree_of(dest);
  auto zip = make_zip({{"pkg/", "", 040755}, {"pkg/a", std::string(300000, 'a')},
                       {"pkg/data", "0123456789abcdef", 0100644, 0}, {"pkg/z", "z"}});
  std::string bytes(zip.begin(), zip.end());
  zip[bytes.find("0123456789abcdef") + 3] ^= 0x01;
  Extractor extractor(make_installer(dir, zip));
  EXPECT_EQ(failure_of([&] { extractor.extract_all(dest); }),
            "file couldn't be read: pkg/data: CRC-32 mismatch");
  EXPECT_EQ(tree_of(dest), before);  // no staging directory, no partial file

  // Interrupted after the second member: the same.
  std::atomic<int> stop{0};
  struct StopAfter : ProgressObserver {
    std::atomic<int>& stop;
    int left;
    StopAfter(std::atomic<int>& s, int n) : stop(s), left(n) {}
    void on_member(const std::string&) override {
      if (--left == 0) stop = SIGTERM;
    }
  };
  auto good = extractor_for({{"pkg/", "", 040755}, {"pkg/a", "a"}, {"pkg/b", "b"}});
  good->add_observer(std::make_shared<StopAfter>(stop, 2));
  good->stop_signal = &stop;
  EXPECT_EQ(failure_of([&] { good->extract_all(dest); }), "interrupted: Terminated");
  EXPECT_EQ(tree_of(dest), before);

  // Completed, the new tree replaces the old one, read-only parts and all.
  stop = 0;
  good->extract_all(dest);
  EXPECT_EQ(tree_of(dest), "/pkg/\n/pkg/a=a\n/pkg/b=b\n");
}

TEST_F(Extraction, MembersReadAheadStillLandAndFailInArchiveOrder) {
  // Big members go through two lanes: the next one's bytes are written
  // ahead, unnamed, while this one's are written.
  std::string big(3 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
  write_file(dest + "/b", "old b");
  write_file(dest + "/c", "old c");
  auto zip = make_zip({{"a", big, 0100644, 0}, {"b", big, 0100600, 0}, {"c", big, 0100644, 0}});
  Extractor good(make_installer(dir, zip));
  good.extract_all(dest);
  for (const char* name : {"a", "b", "c"}) EXPECT_EQ(read_file(dest + "/" + name), big) << name;
  EXPECT_EQ(mode_of(dest + "/b"), 0600);

  TempDir again;
  std::string there = canonical_path(again.path());
  write_file(there + "/c", "old c");
  std::string bytes(zip.begin(), zip.end());
  zip[bytes.find(big, bytes.find(big) + big.size()) + 5] ^= 1;  // b's bytes
  Extractor damaged(make_installer(dir, zip));
  EXPECT_EQ(failure_of([&] { damaged.extract_all(there); }),
            "file couldn't be read: b: CRC-32 mismatch");
  EXPECT_EQ(read_file(there + "/a"), big);
  EXPECT_EQ(mode_of(there + "/b"), -1);
  EXPECT_EQ(read_file(there + "/c"), "old c");
  EXPECT_EQ(tree_of(there), "/a=" + big + "\n/c=old c\n");  // nothing hidden left
}

TEST_F(Extraction, ASecondRunInTheSameDirectoryIsRefused) {
  int held = open(dest.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  EXPECT_EQ(failure_extracting({{"f", "x"}}), "another installer is extracting here: " + dest);
  EXPECT_EQ(mode_of(dest + "/f"), -1);
  close(held);
  EXPECT_EQ(failure_extracting({{"f", "x"}}), "no error");
}

}  // namespace
