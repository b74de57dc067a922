#include "pack/package_builder.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <ctime>

#include "extract/extractor.h"
#include "extract/stored_mode.h"
#include "pack/test_support.h"

namespace {

const std::string stub_bytes =
    "\x7F"
    "ELF stand-in for the installer program\n" +
    std::string(3000, '\0');
const std::string readme = [] {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + " of the readme\n";
  return text;
}();
// Bytes deflate cannot shrink, the same on every run.
const std::string noise = [] {
  std::string bytes;
  uint32_t state = 12345;
  for (int i = 0; i < 4000; ++i) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(state >> 24);
  }
  return bytes;
}();

// A folder to pack, a stand-in for the installer program, and an output
// directory whose listing shows what a run leaves there.
class PackageBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    make_directory(dir / "src");
    make_directory(pkg);
    make_directory(pkg + "/docs");
    make_directory(pkg + "/var", 0700);
    write_file_with_mode(pkg + "/setup.sh", "#!/bin/sh\necho hi\n", 0755);
    write_file_with_mode(pkg + "/docs/README.txt", readme, 0644);
    write_file_with_mode(pkg + "/docs/noise.bin", noise, 0600);
    write_file_with_mode(pkg + "/empty", "", 0644);
    make_directory(dir / "out");
    write_file(dir / "stub", stub_bytes);
  }

  PackageRequest request() const {
    PackageRequest request;
    request.folder = pkg;
    request.output = output;
    request.stub = dir / "stub";
    return request;
  }

  std::vector<std::string> output_listing() const {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir((dir / "out").c_str()), closedir);
    while (dirent* entry = readdir(listing.get())) names.push_back(entry->d_name);
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir;
  std::string pkg = dir / "src/pkg";
  std::string output = dir / "out/installer.run";
};

std::vector<MemberInfo> members_of(Extractor& installer) { return installer.archive->members(); }

const MemberInfo& member_named(const std::vector<MemberInfo>& members, const std::string& name) {
  for (const MemberInfo& member : members)
    if (member.name == name) return member;
  throw std::runtime_error("no member " + name);
}

TEST_F(PackageBuild, InstallerIsTheProgramThenTheFolderWithItsModes) {
  build_installer(request());
  EXPECT_EQ(read_file(output).compare(0, stub_bytes.size(), stub_bytes), 0);
  EXPECT_EQ(mode_of(output), 0755);

  Extractor installer(output);
  std::vector<MemberInfo> members = members_of(installer);
  std::vector<std::string> names;
  for (const MemberInfo& member : members) names.push_back(member.name);
  EXPECT_EQ(names, (std::vector<std::string>{"pkg/", "pkg/docs/", "pkg/docs/README.txt",
                                             "pkg/docs/noise.bin", "pkg/empty", "pkg/setup.sh",
                                             "pkg/var/"}));
  const std::vector<unsigned> modes = {040755, 040755, 0100644, 0100600, 0100644, 0100755, 040700};
  for (size_t i = 0; i < members.size() && i < modes.size(); ++i) {
    EXPECT_EQ(stored_mode(members[i].external_attributes), modes[i]) << members[i].name;
    EXPECT_EQ(members[i].version_made_by >> 8, 3) << members[i].name;  // Unix
  }
  EXPECT_EQ(installer.archive->read(member_named(members, "pkg/docs/README.txt")), readme);
  EXPECT_EQ(installer.archive->read(member_named(members, "pkg/docs/noise.bin")), noise);
  EXPECT_EQ(installer.archive->read(member_named(members, "pkg/setup.sh")), "#!/bin/sh\necho hi\n");
  EXPECT_EQ(installer.comment(), "");
}

TEST_F(PackageBuild, DeflatesOnlyWhatShrinks) {
  build_installer(request());
  Extractor installer(output);
  std::vector<MemberInfo> members = members_of(installer);
  const MemberInfo& text = member_named(members, "pkg/docs/README.txt");
  EXPECT_EQ(text.method, 8);
  EXPECT_LT(text.compressed_size, text.uncompressed_size);
  for (const char* name : {"pkg/docs/noise.bin", "pkg/setup.sh", "pkg/empty"}) {
    const MemberInfo& member = member_named(members, name);
    EXPECT_EQ(member.method, 0) << name;
    EXPECT_EQ(member.compressed_size, member.uncompressed_size) << name;
    EXPECT_EQ(member.version_needed, 10) << name;  // no ZIP64 fields for a stored file
  }

  PackageRequest stored = request();
  stored.payload.compression.level = 0;
  build_installer(stored);
  Extractor all_stored(output);
  for (const MemberInfo& member : members_of(all_stored))
    EXPECT_EQ(member.method, 0) << member.name;
}

TEST_F(PackageBuild, CommentCarriesTheCommandByteForByte) {
  PackageRequest commented = request();
  commented.run_command = "printf '%s\\n' \"it's\" > out.txt\n\tsh pkg/setup.sh # caf\xE9\n";
  build_installer(commented);
  Extractor installer(output);
  EXPECT_EQ(installer.comment(), "$AUTORUN$>" + *commented.run_command);

  commented.run_command = "";
  build_installer(commented);
  EXPECT_EQ(Extractor(output).comment(), "$AUTORUN$>");
}

MemberTime local_time(time_t when) {
  struct tm parts = {};
  localtime_r(&when, &parts);
  return MemberTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                    parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

bool same_time(const MemberTime& a, const MemberTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hours == b.hours &&
         a.minutes == b.minutes && a.seconds == b.seconds;
}

void set_time(const std::string& path, time_t when) {
  struct utimbuf times = {when, when};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

TEST_F(PackageBuild, FixedTimeMakesTheBytesIndependentOfTheFiles) {
  PackageRequest fixed = request();
  fixed.payload.fixed_time = 1700000000;  // even: DOS times count in 2 s steps
  build_installer(fixed);
  std::string first = read_file(output);
  for (const char* path : {"", "/docs", "/var", "/setup.sh", "/docs/README.txt", "/empty"})
    set_time(pkg + path, 1500000000);
  build_installer(fixed);
  EXPECT_TRUE(read_file(output) == first);
  Extractor installer(output);
  for (const MemberInfo& member : members_of(installer))
    EXPECT_TRUE(same_time(member.modified, local_time(1700000000))) << member.name;

  set_time(pkg + "/empty", 1600000000);
  build_installer(request());
  Extractor own_times(output);
  EXPECT_TRUE(
      same_time(member_named(members_of(own_times), "pkg/empty").modified, local_time(1600000000)));
}

TEST_F(PackageBuild, FailuresLeaveNoFileBehind) {
  write_file(output, "old installer");
  make_directory(dir / "out/taken");
  const std::vector<std::string> before = output_listing();
  auto failure_with = [&](const std::function<void(PackageRequest&)>& change) {
    PackageRequest failing = request();
    change(failing);
    return failure_of([&] { build_installer(failing); });
  };

  EXPECT_EQ(failure_with([&](PackageRequest& r) { r.folder = dir / "src/missing"; }),
            "cannot read folder: " + (dir / "src/missing") + ": No such file or directory");
  EXPECT_EQ(failure_with([&](PackageRequest& r) { r.run_command = std::string(65526, 'x'); }),
            "autorun command too long: 65526 bytes, at most 65525");
  EXPECT_EQ(failure_with([&](PackageRequest& r) { r.stub = dir / "nothing"; }),
            "installer program not found: " + (dir / "nothing") + ": No such file or directory");
  EXPECT_EQ(failure_with([&](PackageRequest& r) { r.stub = dir / "src"; }),
            "installer program not found: " + (dir / "src") + ": not a regular file");
  EXPECT_EQ(failure_with([&](PackageRequest& r) { r.architecture = Architecture::aarch64; }),
            "installer program for another architecture: " + (dir / "stub") +
                ": not an ELF program, not aarch64");
  ASSERT_EQ(mkfifo((pkg + "/docs/pipe").c_str(), 0600), 0);
  EXPECT_EQ(failure_with([](PackageRequest&) {}),
            "cannot pack special file: " + pkg + "/docs/pipe (fifo)");
  ASSERT_EQ(unlink((pkg + "/docs/pipe").c_str()), 0);
  // A rename cannot replace a directory: refused before any file is made.
  EXPECT_EQ(failure_with([&](PackageRequest& r) { r.output = dir / "out/taken"; }),
            "cannot write installer: " + (dir / "out/taken") + ": Is a directory");

  EXPECT_EQ(output_listing(), before);
  EXPECT_EQ(read_file(output), "old installer");
  EXPECT_EQ(failure_with([&](PackageRequest& r) {
              r.output = dir / "out/none/x.run";
            }).rfind("cannot write installer: " + (dir / "out/none/.x.run."), 0),
            0u);
}

}  // namespace
