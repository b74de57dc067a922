#include "pack/installer_report.h"

#include <gtest/gtest.h>

#include <sstream>

#include "archive/byte_order.h"
#include "pack/test_support.h"

namespace {

// An installer: program bytes with the archive appended.
std::string make_installer(const TempDir& dir, const std::vector<char>& zip) {
  std::string path = dir / "installer.run";
  write_file(path, std::string(2000, '\x7F') + std::string(zip.begin(), zip.end()));
  return path;
}

std::string listing(const std::string& path) {
  std::ostringstream out;
  list_installer(path, out);
  return out.str();
}

TEST(PackModeText, ShowsModesAsLsDoes) {
  EXPECT_EQ(mode_text(040755), "drwxr-xr-x");
  EXPECT_EQ(mode_text(0100644), "-rw-r--r--");
  EXPECT_EQ(mode_text(0120777), "lrwxrwxrwx");
  EXPECT_EQ(mode_text(0104755), "-rwsr-xr-x");
  EXPECT_EQ(mode_text(0102644), "-rw-r-Sr--");
  EXPECT_EQ(mode_text(041777), "drwxrwxrwt");
  EXPECT_EQ(mode_text(041776), "drwxrwxrwT");
  EXPECT_EQ(mode_text(010600), "prw-------");
  EXPECT_EQ(mode_text(0), "?---------");  // stored without a Unix mode
  EXPECT_EQ(mode_text(0640), "?rw-r-----");
}

// Gives the member called `name` another method number in both its headers.
void set_method(std::vector<char>& zip, const std::string& name, uint16_t method) {
  std::string bytes(zip.begin(), zip.end());
  for (size_t at = bytes.find("PK\1\2"); at != std::string::npos;
       at = bytes.find("PK\1\2", at + 1)) {
    if (bytes.compare(at + 46, read_u16(&bytes[at + 28]), name) != 0) continue;
    for (size_t field : {at + 10, size_t{read_u32(&bytes[at + 42])} + 8}) {
      zip[field] = static_cast<char>(method & 0xFF);
      zip[field + 1] = static_cast<char>(method >> 8);
    }
  }
}

TEST(PackListing, ListsMembersWithTheirMethodsThenTheCommand) {
  TempDir dir;
  std::vector<char> zip = make_zip({{"pkg/", "", 040750},
                                    {"pkg/run me", std::string(12345, 'x'), 0100755},
                                    {"pkg/a\nb", "1", 0, 0},
                                    {"pkg/old", "2", 0100644, 0},
                                    {"pkg/odd", "3", 0100644, 0},
                                    {"pkg/bz", std::string(900, 'b'), 0100644, 12}},
                                   "$AUTORUN$>sh 'pkg/run me'\necho done");
  set_method(zip, "pkg/old", 14);
  set_method(zip, "pkg/odd", 77);
  EXPECT_EQ(listing(make_installer(dir, zip)),
            "architecture: unknown (no ELF program in front)\n"
            "drwxr-x---          0 store   pkg/\n"
            "-rwxr-xr-x      12345 deflate pkg/run me\n"
            "?---------          1 store   pkg/a\\x0Ab\n"
            "-rw-r--r--          1 lzma    pkg/old\n"
            "-rw-r--r--          1 method 77 pkg/odd\n"
            "-rw-r--r--        900 bzip2   pkg/bz\n"
            "autorun: sh 'pkg/run me'\\x0Aecho done\n");
}

TEST(PackListing, NoMarkerNoCommand) {
  TempDir dir;
  EXPECT_EQ(listing(make_installer(dir, make_zip({{"a", "x", 0100644, 0}}, "just a note"))),
            "architecture: unknown (no ELF program in front)\n"
            "-rw-r--r--          1 store   a\nautorun: none\n");
}

// An ELF header naming `machine` (little-endian), padded as a program.
std::vector<char> elf_program(uint16_t machine) {
  std::string header = std::string(
                           "\x7f"
                           "ELF\x02\x01\x01",
                           7) +
                       std::string(11, '\0');
  header += static_cast<char>(machine & 0xFF);
  header += static_cast<char>(machine >> 8);
  header.resize(4000, '\0');
  return std::vector<char>(header.begin(), header.end());
}

TEST(PackListing, NamesTheArchitectureOfTheProgramInFront) {
  TempDir dir;
  std::vector<char> zip = make_zip({{"a", "x", 0100644, 0}});
  for (auto [machine, name] :
       {std::pair<uint16_t, std::string>{62, "x86_64"}, {183, "aarch64"}, {40, "ELF machine 40"}}) {
    std::vector<char> bytes = elf_program(machine);
    bytes.insert(bytes.end(), zip.begin(), zip.end());
    std::string path = dir / "installer.run";
    write_file(path, std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(listing(path).substr(0, listing(path).find('\n')), "architecture: " + name);
  }
}

TEST(PackCheck, ReadsEveryMember) {
  TempDir dir;
  CheckReport report =
      check_installer(make_installer(dir, make_zip({{"pkg/", "", 040755},
                                                    {"pkg/a", std::string(5000, 'a')},
                                                    {"pkg/b", "bb", 0100644, 0}})));
  EXPECT_EQ(report.members, 3u);
  EXPECT_EQ(report.bytes, 5002u);
  EXPECT_TRUE(report.failures.empty());
}

TEST(PackCheck, NamesEveryMemberTheInstallerWouldFailOn) {
  TempDir dir;
  std::vector<char> zip = make_zip({{"pkg/", "", 040755},
                                    {"pkg/good", "untouched data", 0100644, 0},
                                    {"pkg/bad", "data to be damaged", 0100644, 0},
                                    {"../escape", "x"}});
  std::string data(zip.begin(), zip.end());
  size_t damaged = data.find("to be damaged");
  ASSERT_NE(damaged, std::string::npos);
  zip[damaged] ^= 0x20;

  CheckReport report = check_installer(make_installer(dir, zip));
  EXPECT_EQ(report.members, 4u);
  EXPECT_EQ(report.failures,
            (std::vector<std::string>{"file couldn't be read: pkg/bad: CRC-32 mismatch",
                                      "unsafe member name: ../escape"}));
}

TEST(PackCheck, ACommandCutShortByANulByteFails) {
  TempDir dir;
  // libzip writes no NUL in a comment: it goes in over a placeholder.
  std::string comment = std::string("$AUTORUN$>sh a") + '\0' + "; rm -rf b";
  std::vector<char> zip = make_zip({{"a", "x"}}, std::string(comment.size(), 'c'));
  std::copy(comment.begin(), comment.end(), zip.end() - static_cast<long>(comment.size()));
  std::string installer = make_installer(dir, zip);
  EXPECT_EQ(listing(installer),
            "architecture: unknown (no ELF program in front)\n"
            "-rw-r--r--          1 deflate a\nautorun: sh a\\x00; rm -rf b  (holds a NUL byte: the "
            "installer "
            "runs only what comes before it)\n");
  EXPECT_EQ(check_installer(installer).failures,
            std::vector<std::string>{"autorun command holds a NUL byte: sh a\\x00; rm -rf b"});
}

TEST(PackReport, RefusesFilesWithoutAnArchive) {
  TempDir dir;
  write_file(dir / "plain", std::string(70000, 'x'));
  EXPECT_EQ(failure_of([&] { listing(dir / "plain"); }), "no archive: " + (dir / "plain"));
  EXPECT_EQ(failure_of([&] { check_installer(dir / "plain"); }), "no archive: " + (dir / "plain"));
  EXPECT_EQ(failure_of([&] { listing(dir / "missing"); }),
            "cannot open file: " + (dir / "missing") + ": No such file or directory");
  EXPECT_EQ(failure_of([&] { check_installer(dir.path()); }),
            "cannot open file: " + dir.path() + ": not a regular file");
}

}  // namespace
