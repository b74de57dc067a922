#ifndef MORROWLINE_ARCHIVE_ZIP_FORMAT_H_
#define MORROWLINE_ARCHIVE_ZIP_FORMAT_H_

#include <cstddef>
#include <cstdint>

// The ZIP format's numbers, as the reader and the packer's writer both use
// them (PKWARE's application note).

// Record signatures, as little-endian 32-bit values ("PK" and two bytes).
constexpr uint32_t local_header_signature = 0x04034B50;
constexpr uint32_t central_header_signature = 0x02014B50;
constexpr uint32_t end_record_signature = 0x06054B50;
constexpr uint32_t zip64_end_record_signature = 0x06064B50;
constexpr uint32_t zip64_locator_signature = 0x07064B50;

// Sizes of the records' fixed parts.
constexpr size_t local_header_size = 30;
constexpr size_t central_header_size = 46;

// Extra fields.
constexpr uint16_t zip64_extra_id = 0x0001;
constexpr uint16_t timestamp_extra_id = 0x5455;     // extended timestamp, "UT"
constexpr uint16_t unicode_path_extra_id = 0x7075;  // Info-ZIP Unicode Path, "up"

// A 32-bit size or offset that stands in for the ZIP64 field's value, and
// a 16-bit count that stands in for the ZIP64 end record's.
constexpr uint32_t saturated32 = 0xFFFFFFFF;
constexpr uint16_t saturated16 = 0xFFFF;

// The hosts in the upper byte of "version made by".
constexpr uint8_t host_ms_dos = 0;
constexpr uint8_t host_unix = 3;

// Compression methods.
constexpr uint16_t method_stored = 0;
constexpr uint16_t method_deflate = 8;
constexpr uint16_t method_bzip2 = 12;
constexpr uint16_t method_lzma = 14;
constexpr uint16_t method_zstd = 93;
constexpr uint16_t method_xz = 95;

#endif  // MORROWLINE_ARCHIVE_ZIP_FORMAT_H_
