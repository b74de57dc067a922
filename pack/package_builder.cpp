#include "pack/package_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "archive/autorun_comment.h"
#include "common/context_error.h"
#include "common/file_descriptor.h"
#include "extract/extractor.h"
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

void write_all(int fd, const char* data, size_t size, const std::string& path) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) cannot_write(path);
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Copies the program, then zeros up to `room` bytes in all.
void append_program(int out, const std::string& stub, uint64_t room, const std::string& out_path) {
  FileDescriptor in(open(stub.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid())
    throw ContextError("installer program not found", stub + ": " + std::strerror(errno));
  std::vector<char> piece(copy_piece_size);
  uint64_t written = 0;
  for (;;) {
    ssize_t n = read(in.get(), piece.data(), piece.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ContextError("installer program not found", stub + ": cannot be read");
    if (n == 0) break;
    write_all(out, piece.data(), static_cast<size_t>(n), out_path);
    written += static_cast<uint64_t>(n);
  }
  std::fill(piece.begin(), piece.end(), '\0');
  while (written < room) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(room - written, piece.size()));
    write_all(out, piece.data(), n, out_path);
    written += n;
  }
}

// The archive goes straight behind the program and its padding, with no
// copy in between.
void write_installer(const PendingFile& out, const std::string& stub, uint64_t room,
                     const std::vector<PackEntry>& entries, const PayloadSettings& payload,
                     const std::string& comment, ProgressShown progress) {
  append_program(out.descriptor(), stub, room, out.path());
  write_payload_archive(out.descriptor(), out.path(), entries, payload, comment, progress);
}

void write_text(const PendingFile& out, const std::string& text) {
  write_all(out.descriptor(), text.data(), text.size(), out.path());
}

// A rename cannot put a file over a directory: that is found before any
// file is made, since the installer's companions take their places first.
// An ELF program with an archive behind it.
bool is_installer(const std::string& path) {
  if (program_architecture(program_header(path)).empty()) return false;
  try {
    Extractor probe(path);
    return probe.archive->reading();
  } catch (const std::exception&) {
    return false;  // damaged: an installer of nobody's
  }
}

void refuse_directory(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    throw ContextError("cannot write installer", path + ": " + std::strerror(EISDIR));
}

// The output as an entry of the folder: an installer made there by an
// earlier run is left out, as tar and zip leave out their archive; any
// other file would be overwritten by what is made from it.
std::vector<std::string> leave_out_output(std::vector<PackEntry>& entries,
                                          const std::string& output) {
  std::vector<std::string> notes;
  struct stat info;
  if (stat(output.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return notes;
  for (auto entry = entries.begin(); entry != entries.end();) {
    if (entry->is_directory() || entry->device != info.st_dev || entry->inode != info.st_ino) {
      ++entry;
      continue;
    }
    if (!is_installer(entry->path)) throw ContextError("output is one of the inputs", entry->path);
    notes.push_back(entry->path + ": the installer being made; not packed");
    entry = entries.erase(entry);
  }
  return notes;
}

std::string base_name(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<std::string> build_installer(const PackageRequest& request) {
  std::string comment = request.run_command ? autorun_comment(*request.run_command) : "";
  std::vector<PackEntry> entries = collect_package_tree(request.folder);
  std::vector<std::string> notes = leave_out_output(entries, request.output);
  std::string stub = locate_installer_stub(request.stub, request.architecture);
  refuse_directory(request.output);
  if (request.signing_key) {
    check_signing_key(*request.signing_key);
    refuse_directory(request.output + ".sig");
    refuse_directory(request.output + ".sha256");
  }

  // A program of one's own choosing goes in as it is.
  uint64_t room = request.stub.empty() ? installer_program_room() : 0;
  PendingFile installer(request.output, "");
  write_installer(installer, stub, room, entries, request.payload, comment, request.progress);
  std::optional<PendingFile> signature, checksum;
  if (request.signing_key) {
    signature.emplace(request.output + ".sig", "");
    write_text(*signature, sign_file(installer.path(), *request.signing_key));
    checksum.emplace(request.output + ".sha256", "");
    // The file's own name, so that sha256sum -c works in its folder.
    write_text(*checksum,
               sha256sum_line(sha256_of_file(installer.path()), base_name(request.output)));
  }
  // Every file is on the disk before any takes its name, and the names
  // before "done": a power cut, or a disk that fails only as it flushes
  // what it cached, leaves the previous files or the new ones, each whole.
  installer.make_durable();
  if (signature) {
    signature->make_durable();
    checksum->make_durable();
    // The installer takes its place last: whoever sees it finds its
    // signature beside it.
    signature->place(published_mode);
    checksum->place(published_mode);
  }
  installer.place(installer_mode);
  make_folder_durable(installer.folder());
  return notes;
}
