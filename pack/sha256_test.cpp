#include "pack/sha256.h"

#include <gtest/gtest.h>

#include "pack/test_support.h"

namespace {

std::string hash_in_pieces(const std::string& bytes, size_t piece) {
  Sha256 hash;
  for (size_t at = 0; at < bytes.size(); at += piece)
    hash.add(bytes.data() + at, std::min(piece, bytes.size() - at));
  return hash.finish_hex();
}

// 56 bytes leave no room for the length: the padding takes a block of its own.
TEST(PackSha256, MatchesKnownDigestsHoweverTheBytesArrive) {
  const std::vector<std::pair<std::string, std::string>> known = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [bytes, digest] : known)
    for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, size_t{1000}, bytes.size() + 1})
      EXPECT_EQ(hash_in_pieces(bytes, piece), digest) << bytes.size() << " in " << piece;
}

TEST(PackSha256, HashesAFileOrSaysWhyNot) {
  TempDir dir;
  write_file(dir / "abc", "abc");
  EXPECT_EQ(sha256_of_file(dir / "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(failure_of([&] { sha256_of_file(dir / "none"); }),
            "cannot read file: " + (dir / "none") + ": No such file or directory");
}

TEST(PackSha256, WritesLinesSha256sumReadsBack) {
  const std::string digest(64, 'f');
  EXPECT_EQ(sha256sum_line(digest, "x.run"), digest + "  x.run\n");
  EXPECT_EQ(sha256sum_line(digest, "a\\b\nc\rd"), "\\" + digest + "  a\\\\b\\nc\\rd\n");
}

}  // namespace
