#include "pack/package_builder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

#include "archive/autorun_comment.h"
#include "archive/context_error.h"
#include "archive/end_record.h"
#include "pack/installer_signature.h"
#include "pack/installer_stub.h"
#include "pack/package_tree.h"
#include "pack/pending_file.h"
#include "pack/sha256.h"

namespace {

constexpr mode_t installer_mode = 0755;
constexpr mode_t published_mode = 0644;  // the .sig and .sha256 files
constexpr size_t copy_piece_size = size_t{1} << 16;

[[noreturn]] void cannot_write(const std::string& path) {
  throw ContextError("cannot write installer", path + ": " + std::strerror(errno));
}

// Copies up to `count` bytes; the caller checks both streams.
void copy_bytes(std::istream& in, std::ostream& out, uint64_t count) {
  std::vector<char> piece(copy_piece_size);
  while (count > 0 && in) {
    in.read(piece.data(), static_cast<std::streamsize>(std::min<uint64_t>(count, piece.size())));
    std::streamsize got = in.gcount();
    out.write(piece.data(), got);
    count -= static_cast<uint64_t>(got);
  }
}

void append_program(std::ostream& out, const std::string& stub, const std::string& out_path) {
  std::ifstream in(stub, std::ios::binary);
  if (!in) throw ContextError("installer program not found", stub + ": " + std::strerror(errno));
  copy_bytes(in, out, std::numeric_limits<uint64_t>::max());
  if (in.bad()) throw ContextError("installer program not found", stub + ": cannot be read");
  if (!out) cannot_write(out_path);
}

// The comment is written here rather than through libzip, which refuses
// archive comments that are not valid UTF-8; the installer takes it byte
// for byte. libzip ends the archive with its end record, comment size 0:
// that size is written anew, with the comment behind it.
void append_archive(std::ostream& out, const std::string& archive, const std::string& comment,
                    const std::string& out_path) {
  std::ifstream in(archive, std::ios::binary | std::ios::ate);
  uint64_t size = in ? static_cast<uint64_t>(static_cast<std::streamoff>(in.tellg())) : 0;
  char record[end_record_size] = {};
  if (size >= end_record_size) {
    in.seekg(static_cast<std::streamoff>(size - end_record_size));
    in.read(record, end_record_size);
  }
  if (!in || std::memcmp(record, "PK\5\6", 4) != 0 || record[20] != 0 || record[21] != 0)
    throw ContextError("cannot write archive", archive + ": no end record at its end");
  in.seekg(0);
  copy_bytes(in, out, size - 2);
  const char comment_size[2] = {static_cast<char>(comment.size() & 0xFF),
                                static_cast<char>(comment.size() >> 8)};
  out.write(comment_size, 2);
  out.write(comment.data(), static_cast<std::streamsize>(comment.size()));
  if (!in) throw ContextError("cannot write archive", archive + ": cannot be read");
  if (!out) cannot_write(out_path);
}

void write_installer(const std::string& path, const std::string& stub, const std::string& archive,
                     const std::string& comment) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) cannot_write(path);
  append_program(out, stub, path);
  append_archive(out, archive, comment, path);
  out.close();
  if (!out) cannot_write(path);
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) cannot_write(path);
}

// A rename cannot put a file over a directory: that is found before any
// file is made, since the installer's companions take their places first.
void refuse_directory(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    throw ContextError("cannot write installer", path + ": " + std::strerror(EISDIR));
}

std::string base_name(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void build_installer(const PackageRequest& request) {
  std::string comment = request.run_command ? autorun_comment(*request.run_command) : "";
  std::vector<PackEntry> entries = collect_package_tree(request.folder);
  std::string stub = locate_installer_stub(request.stub);
  refuse_directory(request.output);
  if (request.signing_key) {
    check_signing_key(*request.signing_key);
    refuse_directory(request.output + ".sig");
    refuse_directory(request.output + ".sha256");
  }

  PendingFile archive(request.output, ".zip");
  write_payload_archive(archive.path(), entries, request.payload);
  PendingFile installer(request.output, "");
  write_installer(installer.path(), stub, archive.path(), comment);
  if (request.signing_key) {
    PendingFile signature(request.output + ".sig", "");
    write_text(signature.path(), sign_file(installer.path(), *request.signing_key));
    PendingFile checksum(request.output + ".sha256", "");
    // The file's own name, so that sha256sum -c works in its folder.
    write_text(checksum.path(),
               sha256sum_line(sha256_of_file(installer.path()), base_name(request.output)));
    // The installer takes its place last: whoever sees it finds its
    // signature beside it.
    signature.place(published_mode);
    checksum.place(published_mode);
  }
  installer.place(installer_mode);
}
