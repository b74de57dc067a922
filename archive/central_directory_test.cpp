#include "archive/central_directory.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "archive/archive_image.h"
#include "tests/fixture/fixture.h"

namespace {

std::vector<CentralEntry> entries_of(const std::string& bytes) {
  ArchiveImage image;
  image.assign(std::vector<char>(bytes.begin(), bytes.end()));
  return read_central_directory(image).entries;
}

std::string u16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string u32(uint32_t v) { return u16(v & 0xFFFF) + u16(v >> 16); }
std::string u64(uint64_t v) { return u32(v & 0xFFFFFFFF) + u32(v >> 32); }

// One central header, then the end record; no member data is needed to
// read the directory.
std::string directory_with(const std::string& name, const std::string& extra,
                           uint32_t offset_field, const std::string& comment = "") {
  std::string header = u32(0x02014B50) + u16(0x031E) + u16(45) + u16(0x0800) + u16(8) +
                       u32(0) + u32(0xCAFEBABE) + u32(5) + u32(7) + u16(name.size()) +
                       u16(extra.size()) + u16(comment.size()) + u16(0) + u16(1) +
                       u32(0x81A40000) + u32(offset_field) + name + extra + comment;
  std::string end = u32(0x06054B50) + u16(0) + u16(0) + u16(1) + u16(1) + u32(header.size()) +
                    u32(0) + u16(0);
  return header + end;
}

TEST(CentralDirectory, ReadsFieldsLibzipKeepsToItself) {
  std::string timestamp = u16(0x5455) + u16(5) + "\x01" + u32(1600000000);
  auto entries = entries_of(directory_with("dir/name.txt", timestamp, 1234, "a note"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].version_made_by, 0x031E);
  EXPECT_EQ(entries[0].version_needed, 45);
  EXPECT_EQ(entries[0].flags, 0x0800);
  EXPECT_EQ(entries[0].internal_attributes, 1u);
  EXPECT_EQ(entries[0].local_header_offset, 1234u);
  EXPECT_EQ(entries[0].name, "dir/name.txt");
  EXPECT_EQ(entries[0].comment, "a note");
  EXPECT_EQ(entries[0].unix_mtime, 1600000000);
}

TEST(CentralDirectory, TakesHeaderOffsetFromZip64Extra) {
  // Sizes are not saturated, so the offset is the extra field's first value.
  std::string extra = u16(0x5455) + u16(1) + "\x03" + u16(0x0001) + u16(8) + u64(0x123456789);
  auto entries = entries_of(directory_with("big", extra, 0xFFFFFFFF));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].local_header_offset, 0x123456789u);
  EXPECT_FALSE(entries[0].unix_mtime);  // a timestamp field without the time
}

TEST(CentralDirectory, KeepsWholeNamesWithZeroBytes) {
  std::string name = std::string(300, 'n') + std::string("\0tail", 5);
  auto entries = entries_of(directory_with(name, "", 0));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, name);
}

TEST(CentralDirectory, RefusesDirectoryOutsideTheImage) {
  std::string image = directory_with("x", "", 0);
  // Claim a longer directory than the bytes before the end record.
  image[image.size() - 10] = 0x7F;
  EXPECT_THROW(entries_of(image), std::runtime_error);
  EXPECT_THROW(entries_of(directory_with("x", "", 0).substr(10)), std::runtime_error);
}

TEST(CentralDirectory, MatchesArchivesMadeByLibzip) {
  auto zip = make_zip({{"a/", "", 040755}, {"a/one", "1111"}, {"a/two", "22"}});
  auto entries = entries_of(std::string(zip.begin(), zip.end()));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].local_header_offset, 0u);
  EXPECT_LT(entries[1].local_header_offset, entries[2].local_header_offset);
  EXPECT_EQ(entries[1].version_made_by >> 8, 3);  // Unix
  EXPECT_EQ(entries[2].name, "a/two");
}

}  // namespace
