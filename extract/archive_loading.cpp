// Finding the archive behind the program image and loading it into memory.
#include <cstdint>
#include <fstream>
#include <iterator>

#include "archive/end_record.h"
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

// Bytes from the archive's first byte to the end record: the central
// directory lies right before the record, and its offset counts from the
// archive's first byte. An archive whose offsets count from the start of
// the whole file gives 0 here, the right answer for it too.
uint64_t archive_span(const std::vector<char>& tail, const EndRecord& record,
                      size_t& record_position) {
  record_position = record.position;
  // With a ZIP64 record the directory ends where that record begins, even
  // when the classic fields are not saturated (as Python's zipfile writes).
  if (auto zip64 = find_zip64_end_record(tail.data(), tail.size(), record)) {
    record_position = zip64->position;
    return zip64->directory_size + zip64->directory_offset;
  }
  return uint64_t{record.directory_size} + record.directory_offset;
}

}  // namespace

bool Extractor::load_archive(const std::string& path) {
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file.good()) return false;
  file.seekg(0, std::ios::end);
  uint64_t size = static_cast<uint64_t>(static_cast<std::streamoff>(file.tellg()));
  file.seekg(0, std::ios::beg);
  if (size > end_record_search_span)
    file.seekg(-static_cast<std::streamoff>(end_record_search_span), std::ios::end);
  return read_archive(file);
}

bool Extractor::read_archive(std::istream& in) {
  std::streamoff tail_start = in.tellg();
  std::vector<char> tail = read_to_end(in);
  if (tail.size() < 5) return false;
  auto record = find_end_record(tail.data(), tail.size());
  if (!record) return false;

  size_t record_position = 0;
  uint64_t span = archive_span(tail, *record, record_position);
  uint64_t record_in_file = static_cast<uint64_t>(tail_start) + record_position;
  archive->reset();
  archive->image.clear();
  // A first byte before the file's start means the record lies; the empty
  // image then fails to open as "bad zip".
  if (span <= record_in_file) {
    in.clear();
    if (in.seekg(static_cast<std::streamoff>(record_in_file - span))) {
      archive->image = read_to_end(in);
    }
  }
  archive->cut_comment();
  archive->start_reading();
  return true;
}
