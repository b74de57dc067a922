#ifndef MORROWLINE_PACK_SHA256_H_
#define MORROWLINE_PACK_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 (FIPS 180-4) over bytes given in pieces of any size. The packer
// needs one hash for the .sha256 file beside a signed installer; no crypto
// library is linked for that.
class Sha256 {
 public:
  Sha256();
  void add(const void* bytes, size_t size);
  // The digest of everything added, as 64 lower-case hex digits. The object
  // is spent afterwards.
  std::string finish_hex();

 private:
  void compress(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> block_{};
  size_t block_used_ = 0;
  uint64_t total_bytes_ = 0;
};

// The SHA-256 of the file at `path`, as 64 lower-case hex digits. Throws
// ContextError "cannot read file" (context: path, reason).
std::string sha256_of_file(const std::string& path);

// One line as sha256sum writes it for a file named `name`:
// "DIGEST  NAME\n". A name holding a backslash, newline or carriage return
// is written escaped (\\, \n, \r) behind a leading backslash, so that
// sha256sum -c reads the name back.
std::string sha256sum_line(const std::string& digest, const std::string& name);

#endif  // MORROWLINE_PACK_SHA256_H_
