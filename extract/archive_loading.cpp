// Finding the archive behind the program image and loading it: from a
// file, the archive is read in place; from a stream, into memory.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <istream>
#include <optional>

#include "archive/cut_short.h"
#include "archive/end_record.h"
#include "common/context_error.h"
#include "extract/extractor.h"

namespace {

std::vector<char> read_to_end(std::istream& in) {
  std::vector<char> bytes;
  std::streampos here = in.tellg();
  in.seekg(0, std::ios::end);
  std::streampos end = in.tellg();
  if (here < 0 || end < here || !in.seekg(here)) return bytes;
  bytes.resize(static_cast<size_t>(end - here));
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

// Where the archive begins in a file whose last bytes are `tail`, starting
// at `tail_start`: the central directory lies right before the end record,
// and its offset counts from the archive's first byte. An archive whose
// offsets count from the start of the whole file gives 0 here, the right
// answer for it too. nullopt: no end record. Negative: the record lies.
std::optional<int64_t> archive_start(const std::vector<char>& tail, uint64_t tail_start) {
  if (tail.size() < 5) return std::nullopt;
  auto record = find_end_record(tail.data(), tail.size());
  if (!record) return std::nullopt;
  size_t record_position = record->position;
  uint64_t span = uint64_t{record->directory_size} + record->directory_offset;
  // With a ZIP64 record the directory ends where that record begins, even
  // when the classic fields are not saturated (as Python's zipfile writes).
  if (auto zip64 = find_zip64_end_record(tail.data(), tail.size(), *record)) {
    record_position = zip64->position;
    span = zip64->directory_size + zip64->directory_offset;
  }
  uint64_t record_in_file = tail_start + record_position;
  if (span > record_in_file) return -1;
  return static_cast<int64_t>(record_in_file - span);
}

[[noreturn]] void cannot_open(const std::string& path, const std::string& reason) {
  throw ContextError("cannot open installer", path + ": " + reason);
}

}  // namespace

bool Extractor::load_archive(const std::string& path) {
  auto file = std::make_shared<FileDescriptor>(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file->valid()) {
    // A program that is not there has no archive; one that is there but
    // cannot be read is a failure the user must hear about.
    if (errno == ENOENT || errno == ENOTDIR) return false;
    cannot_open(path, std::strerror(errno));
  }
  struct stat info;
  if (fstat(file->get(), &info) != 0) cannot_open(path, std::strerror(errno));
  if (!S_ISREG(info.st_mode)) cannot_open(path, "not a regular file");
  auto size = static_cast<uint64_t>(info.st_size);
  uint64_t tail_start = size > end_record_search_span ? size - end_record_search_span : 0;

  ArchiveImage whole;
  whole.assign_file(file, 0, size);
  std::vector<char> tail(static_cast<size_t>(size - tail_start));
  int64_t got = whole.read_at(tail_start, tail.data(), tail.size());
  if (got < 0) cannot_open(path, std::strerror(errno));
  tail.resize(static_cast<size_t>(got));

  std::optional<int64_t> start = archive_start(tail, tail_start);
  if (!start) {
    // A download that stopped early has the program and the first members,
    // but not the end record.
    if (looks_cut_short(whole, size)) throw IncompleteInstaller(size, path);
    return false;
  }
  archive->reset();
  // A first byte before the file's start means the record lies; the empty
  // image then fails to open as "bad zip".
  if (*start >= 0)
    archive->image.assign_file(file, static_cast<uint64_t>(*start),
                               size - static_cast<uint64_t>(*start));
  else
    archive->image.assign({});
  archive->cut_comment();
  archive->start_reading();
  return true;
}

bool Extractor::read_archive(std::istream& in) {
  std::streamoff tail_start = in.tellg();
  std::vector<char> tail = read_to_end(in);
  std::optional<int64_t> start = archive_start(tail, static_cast<uint64_t>(tail_start));
  if (!start) return false;
  archive->reset();
  std::vector<char> bytes;
  if (*start >= 0) {
    in.clear();
    if (in.seekg(static_cast<std::streamoff>(*start))) bytes = read_to_end(in);
  }
  archive->image.assign(std::move(bytes));
  archive->cut_comment();
  archive->start_reading();
  return true;
}
