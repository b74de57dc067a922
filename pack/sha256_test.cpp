#include "pack/sha256.h"

#include <gtest/gtest.h>

#include "pack/test_support.h"

namespace {

// 56 bytes leave no room for the length: the padding takes a block of its
// own; the million bytes take many reads.
TEST(PackSha256, HashesAFileOrSaysWhyNot) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> known = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [bytes, digest] : known) {
    write_file(dir / "file", bytes);
    EXPECT_EQ(sha256_of_file(dir / "file"), digest) << bytes.size() << " bytes";
  }
  EXPECT_EQ(failure_of([&] { sha256_of_file(dir / "none"); }),
            "cannot read file: " + (dir / "none") + ": No such file or directory");
}

TEST(PackSha256, WritesLinesSha256sumReadsBack) {
  const std::string digest(64, 'f');
  EXPECT_EQ(sha256sum_line(digest, "x.run"), digest + "  x.run\n");
  EXPECT_EQ(sha256sum_line(digest, "a\\b\nc\rd"), "\\" + digest + "  a\\\\b\\nc\\rd\n");
}

}  // namespace
