#include "archive/end_record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string record(uint16_t comment_size, const std::string& comment) {
  std::string r = {'P', 'K', 5, 6};
  r += std::string(8, '\0');
  r += std::string("\x10\x00\x00\x00", 4);  // directory size 16
  r += std::string("\x20\x00\x00\x00", 4);  // directory offset 32
  r += static_cast<char>(comment_size & 0xFF);
  r += static_cast<char>(comment_size >> 8);
  return r + comment;
}

TEST(EndRecord, FindsRecordAndReadsItsFields) {
  std::string data = "prefix" + record(3, "abc");
  auto found = find_end_record(data.data(), data.size());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->position, 6u);
  EXPECT_EQ(found->directory_size, 16u);
  EXPECT_EQ(found->directory_offset, 32u);
  EXPECT_EQ(found->comment_size, 3u);
}

TEST(EndRecord, LastValidSignatureWins) {
  // A comment holding a whole record of its own (with an empty comment)
  // makes that inner record the last one.
  std::string inner = record(0, "");
  std::string data = record(static_cast<uint16_t>(inner.size()), inner);
  auto found = find_end_record(data.data(), data.size());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->position, end_record_size);
}

TEST(EndRecord, SkipsSignatureTooCloseToTheEnd) {
  std::string data = record(4, std::string("PK\5\6", 4));
  auto found = find_end_record(data.data(), data.size());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->position, 0u);
}

TEST(EndRecord, SkipsRecordWhoseCommentRunsPastTheData) {
  std::string data = record(0, "") + record(500, "short");
  auto found = find_end_record(data.data(), data.size());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->position, 0u);
  EXPECT_FALSE(find_end_record(data.data() + end_record_size, data.size() - end_record_size));
}

TEST(EndRecord, NothingInShortOrForeignData) {
  EXPECT_FALSE(find_end_record("PK\5\6", 4));
  std::string noise(100000, 'x');
  EXPECT_FALSE(find_end_record(noise.data(), noise.size()));
}

TEST(EndRecord, LongestCommentPutsRecordAtTheSearchSpan) {
  std::string data = record(65535, std::string(65535, 'c'));
  ASSERT_EQ(data.size(), end_record_search_span);
  auto found = find_end_record(data.data(), data.size());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->position, 0u);
}

}  // namespace
