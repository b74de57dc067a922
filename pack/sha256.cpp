#include "pack/sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "archive/context_error.h"
#include "archive/file_descriptor.h"

namespace {

// The first 32 bits of the fractional parts of the cube roots of the first
// 64 primes (FIPS 180-4, 4.2.2).
constexpr uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The first 32 bits of the fractional parts of the square roots of the
// first 8 primes (FIPS 180-4, 5.3.3).
constexpr std::array<uint32_t, 8> initial_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr size_t file_piece_size = size_t{1} << 16;

constexpr uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

Sha256::Sha256() : state_(initial_state) {}

void Sha256::compress(const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 |
           uint32_t{block[4 * i + 2]} << 8 | uint32_t{block[4 * i + 3]};
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t sum1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
    uint32_t choice = (e & f) ^ (~e & g);
    uint32_t t1 = h + sum1 + choice + round_constants[i] + w[i];
    uint32_t sum0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
    uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256::add(const void* bytes, size_t size) {
  const uint8_t* in = static_cast<const uint8_t*>(bytes);
  total_bytes_ += size;
  while (size > 0) {
    size_t take = std::min(size, block_.size() - block_used_);
    std::memcpy(block_.data() + block_used_, in, take);
    block_used_ += take;
    in += take;
    size -= take;
    if (block_used_ == block_.size()) {
      compress(block_.data());
      block_used_ = 0;
    }
  }
}

std::string Sha256::finish_hex() {
  // Padding: a 1 bit, zeros up to 8 bytes short of a block's end, then the
  // message length in bits, big-endian.
  uint64_t total_bits = total_bytes_ * 8;
  uint8_t padding[72] = {0x80};
  size_t zeros_end = block_used_ < 56 ? 56 : 120;
  size_t padding_size = zeros_end - block_used_;
  for (int i = 0; i < 8; ++i)
    padding[padding_size + i] = static_cast<uint8_t>(total_bits >> (56 - 8 * i));
  add(padding, padding_size + 8);

  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : state_)
    for (int shift = 28; shift >= 0; shift -= 4) hex += digits[(word >> shift) & 0xF];
  return hex;
}

std::string sha256_of_file(const std::string& path) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) throw ContextError("cannot read file", path + ": " + std::strerror(errno));
  Sha256 hash;
  std::vector<char> piece(file_piece_size);
  for (;;) {
    ssize_t got = read(file.get(), piece.data(), piece.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ContextError("cannot read file", path + ": " + std::strerror(errno));
    if (got == 0) break;
    hash.add(piece.data(), static_cast<size_t>(got));
  }
  return hash.finish_hex();
}

std::string sha256sum_line(const std::string& digest, const std::string& name) {
  std::string escaped;
  for (char c : name) {
    if (c == '\\')
      escaped += "\\\\";
    else if (c == '\n')
      escaped += "\\n";
    else if (c == '\r')
      escaped += "\\r";
    else
      escaped += c;
  }
  std::string line = digest + "  " + escaped + "\n";
  return escaped.size() == name.size() ? line : "\\" + line;
}
