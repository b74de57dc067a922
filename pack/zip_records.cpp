#include "pack/zip_records.h"

#include <ctime>
#include <limits>

#include "archive/zip_format.h"
#include "pack/compression.h"

uint16_t version_needed_for(uint16_t method, bool directory) {
  if (directory) return 20;
  switch (static_cast<CompressionMethod>(method)) {
    case CompressionMethod::store:
      return 10;
    case CompressionMethod::deflate:
      return 20;
    case CompressionMethod::bzip2:
      return 46;
    case CompressionMethod::zstd:
    case CompressionMethod::xz:
      return 63;
  }
  return 63;
}

DosTime dos_time(int64_t mtime) {
  time_t when = static_cast<time_t>(mtime);
  struct tm t = {};
  if (!localtime_r(&when, &t) || t.tm_year < 80) return DosTime{0, 1 << 5 | 1};
  if (t.tm_year > 207) return DosTime{23 << 11 | 59 << 5 | 29, 127 << 9 | 12 << 5 | 31};
  return DosTime{static_cast<uint16_t>(t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec / 2),
                 static_cast<uint16_t>((t.tm_year - 80) << 9 | (t.tm_mon + 1) << 5 | t.tm_mday)};
}

bool is_utf8_beyond_ascii(const std::string& name) {
  bool beyond_ascii = false;
  for (size_t i = 0; i < name.size();) {
    unsigned char lead = static_cast<unsigned char>(name[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || lead == 0xC0 || lead == 0xC1 || i + length > name.size())
      return false;
    uint32_t code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(name[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    beyond_ascii = true;
    i += length;
  }
  return beyond_ascii;
}

std::string timestamp_extra(int64_t mtime) {
  if (mtime < std::numeric_limits<int32_t>::min() || mtime > std::numeric_limits<int32_t>::max())
    return "";
  Record extra;
  extra.u16(timestamp_extra_id);
  extra.u16(5);
  extra.bytes(std::string(1, '\1'));  // the modification time only
  extra.u32(static_cast<uint32_t>(static_cast<int32_t>(mtime)));
  return extra.data();
}
