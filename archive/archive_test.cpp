#include "archive/archive.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "common/context_error.h"
#include "tests/fixture/fixture.h"

namespace {

std::string message_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

std::string failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return describe_failure(e);
  }
  return "no error";
}

// An Archive over `bytes`, opened.
void load(Archive& archive, const std::vector<char>& bytes) {
  archive.reset();
  archive.image.assign(bytes);
  archive.cut_comment();
  archive.start_reading();
}

void put_u32(std::vector<char>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// Offset of the n-th central header (counted from 0) of a libzip archive.
size_t central_header(const std::vector<char>& zip, int n) {
  std::string bytes(zip.begin(), zip.end());
  size_t at = bytes.find("PK\1\2");
  for (int i = 0; i < n; ++i) at = bytes.find("PK\1\2", at + 4);
  return at;
}

TEST(ArchiveState, ResetMakesTheEmptyArchiveImage) {
  Archive archive;
  archive.comment = "old";
  load(archive, make_zip({{"f", "x"}}));
  ASSERT_TRUE(archive.reading());
  archive.reset();
  EXPECT_FALSE(archive.reading());
  EXPECT_EQ(archive.image.read(0, archive.image.size()),
            std::vector<char>({'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0,
                               0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(archive.comment.empty());
  archive.start_reading();
  EXPECT_TRUE(archive.members().empty());
}

TEST(ArchiveState, ShortOrForeignImageIsBadZip) {
  Archive archive;
  archive.reset();
  archive.image.assign(std::vector<char>(21, 'x'));
  EXPECT_EQ(message_of([&] { archive.start_reading(); }), "bad zip");
  EXPECT_FALSE(archive.reading());
  archive.image.assign({});
  EXPECT_EQ(message_of([&] { archive.start_reading(); }), "bad zip");
  std::vector<char> noise(5000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 7919 % 251);
  archive.image.assign(noise);
  EXPECT_EQ(message_of([&] { archive.start_reading(); }), "bad zip");
}

TEST(ArchiveState, CutCommentKeepsTheArchiveWhole) {
  Archive archive;
  std::string comment(200, 'c');
  auto zip = make_zip({{"f", "data"}}, comment);
  // A signature inside the comment is only bytes when what follows it
  // cannot be a record (libzip's writer refuses such a comment).
  std::copy_n("PK\5\6", 4, zip.end() - 150);
  comment.replace(50, 4, "PK\5\6");
  load(archive, zip);
  EXPECT_EQ(archive.comment, comment);
  EXPECT_EQ(archive.members().size(), 1u);
  Archive none;
  none.reset();
  none.image.assign(std::vector<char>(30, 'z'));
  EXPECT_EQ(message_of([&] { none.cut_comment(); }),
            "didn't find end of central directory signature");
}

TEST(ArchiveMembers, ListsRecordsInDirectoryOrder) {
  Archive archive;
  load(archive, make_zip({{"pkg/", "", 040755}, {"pkg/run.sh", "echo hi\n", 0100755},
                          {"Zeta", "z", 0}}));
  auto members = archive.members();
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].name, "pkg/");
  EXPECT_EQ(members[0].external_attributes >> 16, 040755u);
  EXPECT_EQ(members[1].name, "pkg/run.sh");
  EXPECT_EQ(members[1].uncompressed_size, 8u);
  EXPECT_EQ(members[1].index, 1u);
  EXPECT_EQ(members[1].version_made_by >> 8, 3);
  EXPECT_GT(members[1].local_header_offset, 0u);
  EXPECT_GE(members[1].modified.year, 1980);
  EXPECT_EQ(members[2].external_attributes >> 16, 0u);
}

TEST(ArchiveLookup, FoldsAsciiCaseOnly) {
  Archive archive;
  load(archive, make_zip({{"Dir/File.TXT", "a"}, {"./dot", "b"}, {"caf\xC3\xA9", "c"}}));
  EXPECT_EQ(archive.member_info("dir/file.txt").name, "Dir/File.TXT");
  EXPECT_EQ(archive.member_info("DIR/FILE.TXT").name, "Dir/File.TXT");
  EXPECT_EQ(message_of([&] { archive.member_info("Dir/File.TXT/"); }), "not found");
  EXPECT_EQ(message_of([&] { archive.member_info("dot"); }), "not found");
  EXPECT_EQ(archive.member_info("./dot").name, "./dot");
  EXPECT_EQ(archive.member_info("CAF\xC3\xA9").name, "caf\xC3\xA9");
  EXPECT_EQ(message_of([&] { archive.member_info("CAF\xC3\x89"); }), "not found");
}

TEST(ArchiveLookup, PrefersTheExactName) {
  Archive archive;
  load(archive, make_zip({{"readme", "lower"}, {"README", "upper"}}));
  EXPECT_EQ(archive.read(archive.member_info("README")), "upper");
  EXPECT_EQ(archive.read(archive.member_info("readme")), "lower");
}

TEST(ArchiveLookup, FindsNamesStoredInAnotherCharset) {
  // Not valid UTF-8 and without the UTF-8 flag: libzip would convert it
  // from CP437; the stored bytes still find it.
  Archive archive;
  load(archive, make_zip({{"gr\x81n", "cp437"}}));
  EXPECT_EQ(archive.members()[0].name, "gr\x81n");
  EXPECT_EQ(archive.read(archive.member_info("GR\x81N")), "cp437");
}

TEST(ArchiveLookup, LongNamesComeWhole) {
  std::string name = std::string(150, 'a') + "/" + std::string(149, 'b');
  std::string comment(300, 'm');
  Archive archive;
  load(archive, make_zip({{name, "long"}}));
  EXPECT_EQ(archive.members()[0].name, name);
  EXPECT_EQ(archive.read(archive.member_info(name)), "long");
  EXPECT_EQ(message_of([&] { archive.member_info(name.substr(0, 259)); }), "not found");
}

TEST(ArchiveRead, InflatesEveryCommonMethod) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + "\n";
  Archive archive;
  load(archive, make_zip({{"stored", text, 0100644, ZIP_CM_STORE},
                          {"deflated", text, 0100644, ZIP_CM_DEFLATE},
                          {"bzip2", text, 0100644, ZIP_CM_BZIP2},
                          {"empty", ""},
                          {"dir/", "", 040755}}));
  for (const char* name : {"stored", "deflated", "bzip2"})
    EXPECT_EQ(archive.read(archive.member_info(name)), text) << name;
  EXPECT_EQ(archive.read(archive.member_info("empty")), "");
  EXPECT_EQ(archive.read(archive.member_info("dir/")), "");
  std::iostream& stream = archive.open_member(archive.member_info("stored"));
  std::ostringstream out;
  out << stream.rdbuf();
  EXPECT_EQ(out.str(), text);
}

TEST(ArchiveRead, FailuresNameTheMemberAndWhy) {
  auto zip = make_zip({{"data", "0123456789abcdef", 0100644, ZIP_CM_STORE},
                       {"short", std::string(5000, 's'), 0100644, ZIP_CM_STORE},
                       {"secret", "hidden", 0100644, ZIP_CM_STORE},
                       {"packed", "lzma", 0100644, ZIP_CM_STORE}});
  // The stored bytes follow the 30-byte local header and the name.
  zip[30 + 4 + 3] ^= 0x01;
  std::string bytes(zip.begin(), zip.end());
  // "short" claims more than it holds, "secret" is encrypted and "packed"
  // uses a method libzip does not read (implode): both headers each.
  for (size_t at : {bytes.find("PK\3\4", 10), central_header(zip, 1)}) {
    size_t size_field = at + (bytes[at + 2] == 3 ? 22 : 24);
    put_u32(zip, size_field, 6000);
  }
  size_t secret_local = bytes.find("PK\3\4", bytes.find("secret") - 40);
  for (size_t at : {secret_local, central_header(zip, 2)}) zip[at + (zip[at + 2] == 3 ? 6 : 8)] |= 1;
  size_t packed_local = bytes.find("PK\3\4", bytes.find("packed") - 40);
  for (size_t at : {packed_local, central_header(zip, 3)}) zip[at + (zip[at + 2] == 3 ? 8 : 10)] = 6;
  Archive archive;
  load(archive, zip);
  MemberInfo data = archive.member_info("data");
  EXPECT_EQ(failure_of([&] { archive.read(data); }), "file couldn't be read: data: CRC-32 mismatch");
  EXPECT_EQ(message_of([&] { archive.open_member(data); }), "file couldn't be read");
  EXPECT_EQ(failure_of([&] { archive.read(archive.member_info("short")); }),
            "file couldn't be read: short: truncated");
  EXPECT_EQ(failure_of([&] { archive.read(archive.member_info("secret")); }),
            "file couldn't be read: secret: encrypted");
  EXPECT_EQ(failure_of([&] { archive.read(archive.member_info("packed")); }),
            "file couldn't be read: packed: unsupported compression method 6");
  MemberInfo gone = data;
  gone.name = "missing";
  EXPECT_EQ(message_of([&] { archive.read(gone); }), "file couldn't be read");
}

TEST(ArchiveRead, MembersOfOneNameEachGiveTheirOwnBytes) {
  // libzip's writer refuses a second "same": "samf" is renamed in place.
  auto zip = make_zip({{"same", "first"}, {"samf", "second"}});
  for (size_t at = 0; at + 4 <= zip.size(); ++at)
    if (std::string(&zip[at], 4) == "samf") zip[at + 3] = 'e';
  Archive archive;
  load(archive, zip);
  auto members = archive.members();
  EXPECT_EQ(archive.read(members[0]), "first");
  EXPECT_EQ(archive.read(members[1]), "second");
}

TEST(ArchiveLayout, MembersSharingBytesAreRefused) {
  auto zip = make_zip({{"a", std::string(3000, 'a'), 0100644, ZIP_CM_STORE},
                       {"b", std::string(3000, 'b'), 0100644, ZIP_CM_STORE}});
  Archive archive;
  auto shared = zip;
  put_u32(shared, central_header(zip, 1) + 42, 0);  // b's header offset: a's
  EXPECT_EQ(failure_of([&] { load(archive, shared); }), "bad zip: overlapping members: a, b");
  auto long_tail = zip;
  put_u32(long_tail, central_header(zip, 1) + 20, 3100);  // b's compressed size
  EXPECT_EQ(failure_of([&] { load(archive, long_tail); }),
            "bad zip: member runs into the central directory: b");
  EXPECT_FALSE(archive.reading());
}

}  // namespace
