#ifndef MORROWLINE_PACK_MEMBER_ENCODER_H_
#define MORROWLINE_PACK_MEMBER_ENCODER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "pack/compression.h"

// Receives a member's compressed bytes as the encoder produces them.
using EncodedSink = std::function<void(const char* data, size_t size)>;

// Compresses one member's bytes into the data its method stores: raw
// deflate (8), a bzip2 stream (12), one Zstandard frame (93) or one
// complete .xz stream (95).
class MemberEncoder {
 public:
  virtual ~MemberEncoder() = default;
  // Takes the next bytes of the member; compressed bytes may reach the sink.
  virtual void write(const char* data, size_t size) = 0;
  // Ends the stream: every remaining compressed byte reaches the sink.
  virtual void finish() = 0;
};

// An encoder for `compression`, which must not store, for a member of
// exactly `size` bytes that begins with `head` (as much of it as the
// caller has read; it chooses filters, so it must not depend on piece
// sizes chosen at run time). Zstandard and XZ use up to `threads` threads;
// the bytes they produce are the same for any number. Throws ContextError
// "cannot compress" (context: the library's reason) here or from the
// encoder's calls.
std::unique_ptr<MemberEncoder> make_member_encoder(const Compression& compression, uint64_t size,
                                                   std::string_view head, unsigned threads,
                                                   EncodedSink sink);

// A raw deflate encoder for one piece of a member's stream, which the
// pieces before and after it continue: it starts from `dictionary` (the
// up to 32 KiB before the piece; empty for the first) and, unless it
// `ends_stream`, stops on a byte boundary with an empty stored block that
// does not end the stream. The pieces' data joined is one deflate stream.
std::unique_ptr<MemberEncoder> make_deflate_piece_encoder(int level, std::string_view dictionary,
                                                          bool ends_stream, EncodedSink sink);

// Whether `head` begins an x86-64 ELF executable or shared library, whose
// code XZ members pass through the x86 branch filter first.
bool is_x86_64_program(std::string_view head);

#endif  // MORROWLINE_PACK_MEMBER_ENCODER_H_
