#ifndef MORROWLINE_ARCHIVE_MEMBER_DECODER_H_
#define MORROWLINE_ARCHIVE_MEMBER_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "archive/zip_format.h"

// Turns a member's compressed bytes into its content, streaming: memory is
// bounded whatever the member's size (each decoder refuses streams that
// ask for more than about 128 MiB of window or dictionary).
class MemberDecoder {
 public:
  enum class Result {
    more,     // wants more input or more room
    end,      // the stream is complete
    damaged,  // the bytes are no valid stream of this method
  };

  virtual ~MemberDecoder() = default;

  // Makes the decoder ready for another member of its method.
  virtual void restart(uint64_t uncompressed_size, uint16_t flags) = 0;

  // Decodes what it can of in[0, in_size) into out[0, out_size), adding to
  // `consumed` and `produced` what it took and gave.
  virtual Result decode(const char* in, size_t in_size, size_t& consumed, char* out,
                        size_t out_size, size_t& produced) = 0;

  uint16_t method = 0;
};

// A decoder for `method`, which is not stored (that needs none), ready for
// a member's first byte: the one this thread last handed back to
// keep_member_decoder, or a new one. Null when this program cannot decode
// the method. `uncompressed_size` and `flags` (the general-purpose bit
// flags) matter to LZMA, whose members may end without an end marker.
// Throws std::bad_alloc when the decoder cannot be made.
std::unique_ptr<MemberDecoder> make_member_decoder(uint16_t method, uint64_t uncompressed_size,
                                                   uint16_t flags);

// Keeps `decoder` for this thread's next member of its method: one per
// method, freed when the thread ends.
void keep_member_decoder(std::unique_ptr<MemberDecoder> decoder);

// The CRC-32 of ZIP, gzip and zlib, continued from `crc` over data[0, size).
uint32_t zip_crc32(uint32_t crc, const char* data, size_t size);

#endif  // MORROWLINE_ARCHIVE_MEMBER_DECODER_H_
