#include "pack/installer_report.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "archive/autorun_comment.h"
#include "common/context_error.h"
#include "extract/extractor.h"
#include "extract/member_name.h"
#include "extract/stored_mode.h"
#include "pack/architecture.h"
#include "pack/compression.h"

namespace {

char type_letter(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return 'd';
    case S_IFREG:
      return '-';
    case S_IFLNK:
      return 'l';
    case S_IFIFO:
      return 'p';
    case S_IFSOCK:
      return 's';
    case S_IFCHR:
      return 'c';
    case S_IFBLK:
      return 'b';
    default:
      return '?';
  }
}

// The execute place of one class, showing its special bit as ls does.
char execute_letter(unsigned mode, unsigned execute, unsigned special, char shown) {
  if (mode & special) return (mode & execute) ? shown : static_cast<char>(shown - 'a' + 'A');
  return (mode & execute) ? 'x' : '-';
}

// The Extractor is made over no file, so that load_archive's answer can
// tell a file without an archive from one with an empty archive.
std::unique_ptr<Extractor> open_installer(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0)
    throw ContextError("cannot open file", path + ": " + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) throw ContextError("cannot open file", path + ": not a regular file");
  auto extractor = std::make_unique<Extractor>(std::string());
  if (!extractor->load_archive(path)) throw ContextError("no archive", path);
  return extractor;
}

}  // namespace

std::string mode_text(unsigned mode) {
  std::string text(10, '-');
  text[0] = type_letter(mode);
  text[1] = (mode & S_IRUSR) ? 'r' : '-';
  text[2] = (mode & S_IWUSR) ? 'w' : '-';
  text[3] = execute_letter(mode, S_IXUSR, S_ISUID, 's');
  text[4] = (mode & S_IRGRP) ? 'r' : '-';
  text[5] = (mode & S_IWGRP) ? 'w' : '-';
  text[6] = execute_letter(mode, S_IXGRP, S_ISGID, 's');
  text[7] = (mode & S_IROTH) ? 'r' : '-';
  text[8] = (mode & S_IWOTH) ? 'w' : '-';
  text[9] = execute_letter(mode, S_IXOTH, S_ISVTX, 't');
  return text;
}

void list_installer(const std::string& path, std::ostream& out) {
  std::unique_ptr<Extractor> extractor = open_installer(path);
  std::string architecture = program_architecture(program_header(path));
  out << "architecture: "
      << (architecture.empty() ? "unknown (no ELF program in front)" : architecture) << '\n';
  for (const MemberInfo& member : extractor->archive->members()) {
    char size[32];
    std::snprintf(size, sizeof size, "%10" PRIu64, member.uncompressed_size);
    char method[16];
    std::snprintf(method, sizeof method, "%-7s", compression_method_name(member.method).c_str());
    out << mode_text(stored_mode(member.external_attributes)) << ' ' << size << ' ' << method << ' '
        << printable(member.name) << '\n';
  }
  std::optional<std::string> command = autorun_command(extractor->comment());
  out << "autorun: " << (command ? printable(*command) : "none");
  if (command && command->find('\0') != std::string::npos)
    out << "  (holds a NUL byte: the installer runs only what comes before it)";
  out << '\n';
}

CheckReport check_installer(const std::string& path) {
  std::unique_ptr<Extractor> extractor = open_installer(path);
  CheckReport report;
  for (const MemberInfo& member : extractor->archive->members()) {
    ++report.members;
    try {
      check_member_name(member.name);
    } catch (const ContextError& e) {
      report.failures.push_back(describe_failure(e));  // its context is the name
      continue;
    }
    try {
      extractor->archive->read_chunks(member, [](const char*, size_t) {});
      report.bytes += member.uncompressed_size;
    } catch (const std::exception& e) {
      report.failures.push_back(describe_failure(e));  // names the member and why
    }
  }
  // The shell sees a command only up to its first NUL byte.
  std::optional<std::string> command = autorun_command(extractor->comment());
  if (command && command->find('\0') != std::string::npos)
    report.failures.push_back("autorun command holds a NUL byte: " + printable(*command));
  return report;
}
