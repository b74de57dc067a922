#include "pack/zip_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdlib>

#include "archive/byte_order.h"
#include "common/file_descriptor.h"
#include "extract/extractor.h"
#include "extract/stored_mode.h"
#include "pack/test_support.h"

namespace {

const std::string prefix = "program bytes before the archive\n";
constexpr int64_t odd_time = 1700000001;  // DOS times cannot hold odd seconds

std::string text_of(size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i)
    text += "line " + std::to_string(i % 977) + " of a text that compresses well\n";
  text.resize(size);
  return text;
}

std::string noise_of(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

// The start of this test program: an x86-64 ELF file.
std::string program_head() { return read_file("/proc/self/exe").substr(0, 300000); }

struct Source {
  std::string name;
  std::string bytes;
  unsigned mode = 0100644;
};

// Writes `sources` (names ending in '/' are directories) behind `prefix`
// into `path` and returns the file's bytes.
std::string write_archive(const TempDir& dir, const std::string& path,
                          const std::vector<Source>& sources, const Compression& compression,
                          unsigned threads = 1, ZipLimits limits = {}) {
  FileDescriptor out(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  EXPECT_EQ(write(out.get(), prefix.data(), prefix.size()), static_cast<ssize_t>(prefix.size()));
  ZipWriter writer(out.get(), path, threads, limits);
  for (size_t i = 0; i < sources.size(); ++i) {
    const Source& source = sources[i];
    ZipMember member{source.name, source.mode, odd_time};
    if (source.name.back() == '/') {
      writer.add_directory(member);
    } else {
      std::string file = dir / ("source" + std::to_string(i));
      write_file(file, source.bytes);
      writer.add_file(member, file, source.bytes.size(), compression);
    }
  }
  writer.finish("$AUTORUN$>true");
  return read_file(path);
}

// A member's stored data, found through its local header; its offset
// counts from the file's first byte.
std::string member_data(const std::string& file, const MemberInfo& member) {
  const char* header = file.data() + member.local_header_offset;
  size_t start = 30 + read_u16(header + 26) + read_u16(header + 28);
  return file.substr(member.local_header_offset + start,
                     static_cast<size_t>(member.compressed_size));
}

uint32_t crc_of(const std::string& bytes) {
  return static_cast<uint32_t>(
      crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

std::string zstd_decoded(const std::string& frame) {
  // One frame, stating the member's size, is all the data holds.
  EXPECT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size());
  unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
  EXPECT_LT(size, uint64_t{1} << 30);
  std::string bytes(static_cast<size_t>(size), '\0');
  EXPECT_EQ(ZSTD_decompress(bytes.data(), bytes.size(), frame.data(), frame.size()), size);
  return bytes;
}

// A whole .xz stream, which must end exactly where the data does.
std::string xz_decoded(const std::string& stream, size_t size) {
  std::string bytes(size, '\0');
  uint64_t memlimit = UINT64_MAX;
  size_t in_pos = 0, out_pos = 0;
  EXPECT_EQ(lzma_stream_buffer_decode(
                &memlimit, 0, nullptr, reinterpret_cast<const uint8_t*>(stream.data()), &in_pos,
                stream.size(), reinterpret_cast<uint8_t*>(bytes.data()), &out_pos, bytes.size()),
            LZMA_OK);
  EXPECT_EQ(in_pos, stream.size());
  EXPECT_EQ(out_pos, size);
  return bytes;
}

// How many filters the first block of an .xz stream has: its header's
// flags byte follows the 12-byte stream header and the block header size.
int xz_filter_count(const std::string& stream) { return (stream[13] & 3) + 1; }

class ZipWriting : public ::testing::Test {
 protected:
  std::vector<Source> sources() const {
    return {{"pkg/", "", 040750},
            {"pkg/text.txt", text, 0100644},
            {"pkg/noise.bin", noise, 0100600},
            {"pkg/empty", "", 0100644},
            {"pkg/bin/tool", program, 0104755},
            {"pkg/caf\xC3\xA9", "x"},
            {"pkg/latin\xE9", "y"}};
  }

  TempDir dir;
  std::string path = dir / "out.zip";
  const std::string text = text_of(200000);
  const std::string noise = noise_of(5000, 7);
  const std::string program = program_head();
};

TEST_F(ZipWriting, StoreDeflateAndBzip2RoundTripThroughTheReader) {
  const std::vector<std::pair<CompressionMethod, uint16_t>> methods = {
      {CompressionMethod::store, 10},
      {CompressionMethod::deflate, 20},
      {CompressionMethod::bzip2, 46}};
  for (const auto& [method, version] : methods) {
    SCOPED_TRACE(static_cast<int>(method));
    const std::vector<Source> expected = sources();
    write_archive(dir, path, expected, Compression{method, 6});
    Extractor installer(path);
    EXPECT_EQ(installer.comment(), "$AUTORUN$>true");
    std::vector<MemberInfo> members = installer.archive->members();
    ASSERT_EQ(members.size(), expected.size());
    for (size_t i = 0; i < members.size(); ++i) {
      const MemberInfo& member = members[i];
      const Source& source = expected[i];
      SCOPED_TRACE(member.name);
      EXPECT_EQ(member.name, source.name);
      EXPECT_EQ(installer.archive->read(member), source.bytes);
      EXPECT_EQ(stored_mode(member.external_attributes), source.mode);
      EXPECT_EQ(member.version_made_by >> 8, 3);
      EXPECT_EQ(member.mtime, odd_time);  // from the extended timestamp
      bool shrinks = source.name == "pkg/text.txt" || source.name == "pkg/bin/tool";
      EXPECT_EQ(member.method, shrinks ? static_cast<uint16_t>(method) : 0);
      uint16_t needed = source.name == "pkg/" ? 20 : shrinks ? version : 10;
      EXPECT_EQ(member.version_needed, needed);
      EXPECT_EQ(member.flags, source.name == "pkg/caf\xC3\xA9" ? 0x800 : 0);
    }
  }
}

TEST_F(ZipWriting, ZstdMembersAreOneFrameAndXzMembersOneStream) {
  std::string file = write_archive(dir, path, sources(), Compression{CompressionMethod::zstd, 6});
  for (const MemberInfo& member : std::vector<MemberInfo>(Extractor(path).archive->members())) {
    if (member.method == 0) continue;
    EXPECT_EQ(member.method, 93);
    EXPECT_EQ(member.version_needed, 63);
    std::string bytes = zstd_decoded(member_data(file, member));
    EXPECT_EQ(crc_of(bytes), member.crc32) << member.name;
    EXPECT_EQ(bytes.size(), member.uncompressed_size) << member.name;
  }

  file = write_archive(dir, path, sources(), Compression{CompressionMethod::xz, 6});
  std::vector<std::string> compressed;
  for (const MemberInfo& member : std::vector<MemberInfo>(Extractor(path).archive->members())) {
    if (member.method == 0) continue;
    compressed.push_back(member.name);
    EXPECT_EQ(member.method, 95);
    EXPECT_EQ(member.version_needed, 63);
    std::string data = member_data(file, member);
    std::string bytes = xz_decoded(data, static_cast<size_t>(member.uncompressed_size));
    EXPECT_EQ(crc_of(bytes), member.crc32) << member.name;
    // The x86 branch filter goes before LZMA2 for programs alone.
    EXPECT_EQ(xz_filter_count(data), member.name == "pkg/bin/tool" ? 2 : 1) << member.name;
  }
  EXPECT_EQ(compressed, (std::vector<std::string>{"pkg/text.txt", "pkg/bin/tool"}));
}

TEST_F(ZipWriting, SameBytesOnEveryRunWithAnyNumberOfThreads) {
  // Several deflate pieces, Zstandard jobs and XZ blocks at level 1; a
  // member of random bytes that deflate gives up on, and an empty one.
  std::vector<Source> big = {{"pkg/", "", 040755},
                             {"pkg/big", text_of(6000000) + noise_of(1500000, 3)},
                             {"pkg/empty", ""},
                             {"pkg/noise", noise_of(3000000, 9)},
                             {"pkg/tool", program}};
  for (CompressionMethod method : {CompressionMethod::deflate, CompressionMethod::bzip2,
                                   CompressionMethod::zstd, CompressionMethod::xz}) {
    SCOPED_TRACE(static_cast<int>(method));
    std::string one = write_archive(dir, path, big, Compression{method, 1}, 1);
    EXPECT_TRUE(write_archive(dir, path, big, Compression{method, 1}, 1) == one);
    EXPECT_TRUE(write_archive(dir, path, big, Compression{method, 1}, 3) == one);
    Extractor installer(path);
    std::vector<MemberInfo> members = installer.archive->members();
    ASSERT_EQ(members.size(), big.size());
    EXPECT_EQ(members[1].method, static_cast<uint16_t>(method));
    EXPECT_TRUE(installer.archive->read(members[1]) == big[1].bytes);
    EXPECT_EQ(members[3].method, 0);
  }
}

// Limits lowered to a few bytes and entries: every kind of ZIP64 field on
// a small archive, as the reader and other tools must take them.
TEST_F(ZipWriting, Zip64RecordsWhereSizesOffsetsOrCountsOverflow) {
  std::vector<Source> members = {{"pkg/", "", 040755},
                                 {"pkg/small", "under the limit"},
                                 {"pkg/text", text_of(3000)},      // sizes past it, deflated
                                 {"pkg/noise", noise_of(300, 5)},  // stored, sizes past it
                                 {"pkg/last/", "", 040700}};
  write_archive(dir, path, members, Compression{CompressionMethod::deflate, 6}, 1,
                ZipLimits{100, 3});
  std::string file = read_file(path);
  EXPECT_NE(file.find("PK\x06\x06"), std::string::npos);
  EXPECT_NE(file.find("PK\x06\x07"), std::string::npos);

  Extractor installer(path);
  std::vector<MemberInfo> read = installer.archive->members();
  ASSERT_EQ(read.size(), members.size());
  for (size_t i = 0; i < read.size(); ++i) {
    SCOPED_TRACE(read[i].name);
    EXPECT_EQ(installer.archive->read(read[i]), members[i].bytes);
    bool zip64 = read[i].uncompressed_size > 100 || read[i].local_header_offset > 100;
    EXPECT_EQ(read[i].version_needed >= 45, zip64);
  }
  EXPECT_EQ(read[2].method, 8);
  EXPECT_EQ(read[3].method, 0);
  EXPECT_GT(read[4].local_header_offset, 100u);

  // unzip and 7-Zip read every ZIP64 field their own way.
  std::string quiet = " >/dev/null 2>&1";
  EXPECT_EQ(std::system(("unzip -tqq " + path + quiet).c_str()), 0);
  EXPECT_EQ(std::system(("7z t " + path + quiet).c_str()), 0);
}

// Members are read on other threads, so a failure may come from a later
// call; it still names the first member that failed.
TEST_F(ZipWriting, RefusesFilesThatChangedOrCannotBeRead) {
  write_file(dir / "file", "12345");
  Compression deflate{CompressionMethod::deflate, 6};
  Compression store{CompressionMethod::store, 0};
  ZipMember member{"pkg/file", 0100644, 0};
  auto packed = [&](const std::vector<std::pair<std::string, uint64_t>>& files,
                    const Compression& compression) {
    FileDescriptor out(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ZipWriter writer(out.get(), path, 2);
    return failure_of([&] {
      for (const auto& [file, size] : files) writer.add_file(member, dir / file, size, compression);
      writer.finish("");
    });
  };
  std::string changed = "cannot read file: " + (dir / "file") + ": changed while packing";
  EXPECT_EQ(packed({{"file", 6}}, deflate), changed);
  EXPECT_EQ(packed({{"file", 4}}, store), changed);
  EXPECT_EQ(packed({{"file", 4}, {"gone", 4}}, deflate), changed);
  EXPECT_EQ(packed({{"gone", 4}, {"file", 4}}, deflate),
            "cannot read file: " + (dir / "gone") + ": No such file or directory");
}

}  // namespace
