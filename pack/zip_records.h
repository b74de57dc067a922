#ifndef MORROWLINE_PACK_ZIP_RECORDS_H_
#define MORROWLINE_PACK_ZIP_RECORDS_H_

// The pieces of ZIP records that the writer puts together: bytes in ZIP's
// order, versions, DOS times, name flags, the timestamp field.

#include <cstdint>
#include <string>

// A record's bytes, little-endian as ZIP has them.
class Record {
 public:
  void u16(uint64_t value) { put(value, 2); }
  void u32(uint64_t value) { put(value, 4); }
  void u64(uint64_t value) { put(value, 8); }
  void bytes(const std::string& data) { bytes_ += data; }
  const std::string& data() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  void put(uint64_t value, int count) {
    for (int i = 0; i < count; ++i) bytes_ += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  std::string bytes_;
};

// The "version needed to extract" of a member compressed with `method`.
uint16_t version_needed_for(uint16_t method, bool directory);

struct DosTime {
  uint16_t time = 0;
  uint16_t date = 0;
};

// Local calendar time, in the range DOS times hold: 1980 to 2107.
DosTime dos_time(int64_t mtime);

// Valid UTF-8 holding at least one non-ASCII character: such names get the
// UTF-8 flag, so that unzip and 7-Zip show them as they are meant. Others
// stay unflagged bytes, as libzip left them.
bool is_utf8_beyond_ascii(const std::string& name);

// The extended-timestamp field with the modification time, which the
// installer and unzip prefer to the DOS time (whole seconds, no time
// zone). Its field is 32 bits wide: times outside it have none.
std::string timestamp_extra(int64_t mtime);

#endif  // MORROWLINE_PACK_ZIP_RECORDS_H_
