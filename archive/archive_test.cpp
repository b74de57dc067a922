#include "archive/archive.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <stdexcept>
#include <string>

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

// An Archive over `bytes`, opened.
void load(Archive& archive, const std::vector<char>& bytes) {
  archive.reset();
  archive.image = bytes;
  archive.cut_comment();
  archive.start_reading();
}

TEST(ArchiveState, ResetMakesTheEmptyArchiveImage) {
  Archive archive;
  archive.comment = "old";
  load(archive, make_zip({{"f", "x"}}));
  ASSERT_TRUE(archive.reading());
  archive.reset();
  EXPECT_FALSE(archive.reading());
  EXPECT_EQ(archive.image, std::vector<char>({'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0,
                                              0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(archive.comment.empty());
  archive.start_reading();
  EXPECT_TRUE(archive.members().empty());
}

TEST(ArchiveState, ShortOrForeignImageIsBadZip) {
  Archive archive;
  archive.reset();
  archive.image.assign(21, 'x');
  EXPECT_EQ(message_of([&] { archive.start_reading(); }), "bad zip");
  EXPECT_FALSE(archive.reading());
  archive.image.clear();
  EXPECT_EQ(message_of([&] { archive.start_reading(); }), "bad zip");
  std::vector<char> noise(5000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 7919 % 251);
  archive.image = noise;
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
  none.image.assign(30, 'z');
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

TEST(ArchiveRead, DamagedDataCannotBeRead) {
  auto zip = make_zip({{"data", "0123456789abcdef", 0100644, ZIP_CM_STORE}});
  // The stored bytes follow the 30-byte local header and the name.
  zip[30 + 4 + 3] ^= 0x01;
  Archive archive;
  load(archive, zip);
  MemberInfo info = archive.member_info("data");
  EXPECT_EQ(message_of([&] { archive.read(info); }), "file couldn't be read");
  EXPECT_EQ(message_of([&] { archive.open_member(info); }), "file couldn't be read");
  MemberInfo gone = info;
  gone.name = "missing";
  EXPECT_EQ(message_of([&] { archive.read(gone); }), "file couldn't be read");
}

TEST(ArchiveRead, EncryptedMemberCannotBeRead) {
  TempDir scratch;
  std::string path = scratch / "secret.zip";
  int error = 0;
  zip_t* writer = zip_open(path.c_str(), ZIP_CREATE, &error);
  ASSERT_TRUE(writer);
  const char secret[] = "secret";
  zip_int64_t index =
      zip_file_add(writer, "s", zip_source_buffer(writer, secret, 6, 0), 0);
  if (zip_file_set_encryption(writer, index, ZIP_EM_AES_256, "pw") != 0) {
    zip_discard(writer);
    GTEST_SKIP() << "libzip built without encryption";
  }
  ASSERT_EQ(zip_close(writer), 0);
  std::string bytes = read_file(path);
  Archive archive;
  load(archive, std::vector<char>(bytes.begin(), bytes.end()));
  EXPECT_EQ(message_of([&] { archive.read(archive.member_info("s")); }),
            "file couldn't be read");
}

}  // namespace
