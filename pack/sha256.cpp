#include "pack/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "common/context_error.h"
#include "common/file_descriptor.h"

namespace {

constexpr size_t file_piece_size = size_t{1} << 16;

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

[[noreturn]] void cannot_compute(const std::string& path) {
  throw ContextError("cannot compute SHA-256", path);
}

}  // namespace

std::string sha256_of_file(const std::string& path) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) throw ContextError("cannot read file", path + ": " + std::strerror(errno));
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
    cannot_compute(path);
  std::vector<char> piece(file_piece_size);
  for (;;) {
    ssize_t got = read(file.get(), piece.data(), piece.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ContextError("cannot read file", path + ": " + std::strerror(errno));
    if (got == 0) break;
    if (EVP_DigestUpdate(context.get(), piece.data(), static_cast<size_t>(got)) != 1)
      cannot_compute(path);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) cannot_compute(path);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += digits[digest[i] >> 4];
    hex += digits[digest[i] & 0xF];
  }
  return hex;
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
