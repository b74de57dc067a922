#include "archive/central_directory.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/fixture/fixture.h"

namespace {

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
  std::string image = directory_with("dir/name.txt", "", 1234, "a note");
  auto entries = read_central_directory(image.data(), image.size());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].version_made_by, 0x031E);
  EXPECT_EQ(entries[0].version_needed, 45);
  EXPECT_EQ(entries[0].flags, 0x0800);
  EXPECT_EQ(entries[0].internal_attributes, 1u);
  EXPECT_EQ(entries[0].local_header_offset, 1234u);
  EXPECT_EQ(entries[0].name, "dir/name.txt");
  EXPECT_EQ(entries[0].comment, "a note");
}

TEST(CentralDirectory, TakesHeaderOffsetFromZip64Extra) {
  // Sizes are not saturated, so the offset is the extra field's first value.
  std::string extra = u16(0x5455) + u16(1) + "\x03" + u16(0x0001) + u16(8) + u64(0x123456789);
  std::string image = directory_with("big", extra, 0xFFFFFFFF);
  auto entries = read_central_directory(image.data(), image.size());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].local_header_offset, 0x123456789u);
}

TEST(CentralDirectory, KeepsWholeNamesWithZeroBytes) {
  std::string name = std::string(300, 'n') + std::string("\0tail", 5);
  std::string image = directory_with(name, "", 0);
  auto entries = read_central_directory(image.data(), image.size());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, name);
}

TEST(CentralDirectory, RefusesDirectoryOutsideTheImage) {
  std::string image = directory_with("x", "", 0);
  // Claim a longer directory than the bytes before the end record.
  image[image.size() - 10] = 0x7F;
  EXPECT_THROW(read_central_directory(image.data(), image.size()), std::runtime_error);
  std::string cut = directory_with("x", "", 0).substr(10);
  EXPECT_THROW(read_central_directory(cut.data(), cut.size()), std::runtime_error);
}

TEST(CentralDirectory, MatchesArchivesMadeByLibzip) {
  auto zip = make_zip({{"a/", "", 040755}, {"a/one", "1111"}, {"a/two", "22"}});
  auto entries = read_central_directory(zip.data(), zip.size());
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].local_header_offset, 0u);
  EXPECT_LT(entries[1].local_header_offset, entries[2].local_header_offset);
  EXPECT_EQ(entries[1].version_made_by >> 8, 3);  // Unix
  EXPECT_EQ(entries[2].name, "a/two");
}

}  // namespace
