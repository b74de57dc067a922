#include "archive/member_decoder.h"

#include <bzlib.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

// What any one decoder may claim for its window or dictionary.
constexpr uint64_t memory_limit = uint64_t{128} << 20;
constexpr int zstd_window_log_limit = 27;  // 128 MiB
// Decoders that count in 32 bits take this much at a time.
constexpr size_t largest_step = size_t{1} << 30;

unsigned char* bytes(const char* p) {
  return reinterpret_cast<unsigned char*>(const_cast<char*>(p));
}

// Raw deflate through ISA-L, several times as fast as zlib.
class DeflateDecoder : public MemberDecoder {
 public:
  DeflateDecoder() : state_(new inflate_state) { restart(0, 0); }

  void restart(uint64_t, uint16_t) override {
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_DEFLATE;
  }

  Result decode(const char* in, size_t in_size, size_t& consumed, char* out, size_t out_size,
                size_t& produced) override {
    in_size = std::min(in_size, largest_step);
    out_size = std::min(out_size, largest_step);
    state_->next_in = bytes(in);
    state_->avail_in = static_cast<uint32_t>(in_size);
    state_->next_out = bytes(out);
    state_->avail_out = static_cast<uint32_t>(out_size);
    int status = isal_inflate(state_.get());
    consumed += in_size - state_->avail_in;
    produced += out_size - state_->avail_out;
    if (status < 0) return Result::damaged;
    return state_->block_state == ISAL_BLOCK_FINISH ? Result::end : Result::more;
  }

 private:
  std::unique_ptr<inflate_state> state_;  // large: kept off the stack
};

class Bzip2Decoder : public MemberDecoder {
 public:
  Bzip2Decoder() { start(); }
  ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&stream_); }

  void restart(uint64_t, uint16_t) override {
    BZ2_bzDecompressEnd(&stream_);
    stream_ = {};
    start();
  }

  Result decode(const char* in, size_t in_size, size_t& consumed, char* out, size_t out_size,
                size_t& produced) override {
    in_size = std::min(in_size, largest_step);
    out_size = std::min(out_size, largest_step);
    stream_.next_in = const_cast<char*>(in);
    stream_.avail_in = static_cast<unsigned>(in_size);
    stream_.next_out = out;
    stream_.avail_out = static_cast<unsigned>(out_size);
    int status = BZ2_bzDecompress(&stream_);
    consumed += in_size - stream_.avail_in;
    produced += out_size - stream_.avail_out;
    if (status == BZ_STREAM_END) return Result::end;
    return status == BZ_OK ? Result::more : Result::damaged;
  }

 private:
  void start() {
    if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) throw std::bad_alloc();
  }

  bz_stream stream_ = {};
};

class ZstdDecoder : public MemberDecoder {
 public:
  ZstdDecoder() : context_(ZSTD_createDCtx()) {
    if (!context_) throw std::bad_alloc();
    ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, zstd_window_log_limit);
  }
  ~ZstdDecoder() override { ZSTD_freeDCtx(context_); }

  // Keeps the context's buffers and limits: creating one per member made
  // thousands of small members several times slower.
  void restart(uint64_t, uint16_t) override { ZSTD_DCtx_reset(context_, ZSTD_reset_session_only); }

  Result decode(const char* in, size_t in_size, size_t& consumed, char* out, size_t out_size,
                size_t& produced) override {
    ZSTD_inBuffer input = {in, in_size, 0};
    ZSTD_outBuffer output = {out, out_size, 0};
    size_t hint = ZSTD_decompressStream(context_, &output, &input);
    consumed += input.pos;
    produced += output.pos;
    if (ZSTD_isError(hint)) return Result::damaged;
    // 0: a frame is complete and flushed. Another may follow (frames can
    // be concatenated), which the caller finds when input is left.
    return hint == 0 ? Result::end : Result::more;
  }

 private:
  ZSTD_DCtx* context_;
};

// XZ (95) holds a whole .xz stream; LZMA (14) a small header of its own
// and raw LZMA data, decoded as the legacy .lzma format with a header made
// from it.
class LzmaStreamDecoder : public MemberDecoder {
 public:
  LzmaStreamDecoder(uint16_t method, uint64_t uncompressed_size, uint16_t flags)
      : zip_lzma_(method == method_lzma) {
    restart(uncompressed_size, flags);
  }
  ~LzmaStreamDecoder() override { lzma_end(&stream_); }

  // liblzma reuses the memory of the stream's last decoder where it can.
  void restart(uint64_t uncompressed_size, uint16_t flags) override {
    size_ = uncompressed_size;
    end_marker_ = (flags & 2) != 0;
    header_.clear();
    header_done_ = header_bad_ = false;
    lzma_ret status = zip_lzma_ ? lzma_alone_decoder(&stream_, memory_limit)
                                : lzma_stream_decoder(&stream_, memory_limit, 0);
    if (status != LZMA_OK) throw std::bad_alloc();
  }

  Result decode(const char* in, size_t in_size, size_t& consumed, char* out, size_t out_size,
                size_t& produced) override {
    if (zip_lzma_ && !header_done_) {
      size_t taken = take_zip_lzma_header(in, in_size);
      consumed += taken;
      in += taken;
      in_size -= taken;
      if (!header_done_) return header_bad_ ? Result::damaged : Result::more;
    }
    stream_.next_in = bytes(in);
    stream_.avail_in = in_size;
    stream_.next_out = bytes(out);
    stream_.avail_out = out_size;
    lzma_ret status = lzma_code(&stream_, LZMA_RUN);
    consumed += in_size - stream_.avail_in;
    produced += out_size - stream_.avail_out;
    if (status == LZMA_STREAM_END) return Result::end;
    return status == LZMA_OK ? Result::more : Result::damaged;
  }

 private:
  // ZIP's LZMA header: version (2 bytes), size of the properties (2 bytes,
  // always 5), the properties. The .lzma header is the properties and the
  // uncompressed size, unknown (all ones) when an end marker closes the data.
  size_t take_zip_lzma_header(const char* in, size_t in_size) {
    constexpr size_t zip_header_size = 9;
    size_t taken = std::min(in_size, zip_header_size - header_.size());
    header_.append(in, taken);
    if (header_.size() < zip_header_size) return taken;
    if (header_[2] != 5 || header_[3] != 0) {
      header_bad_ = true;
      return taken;
    }
    unsigned char alone[13];
    std::memcpy(alone, header_.data() + 4, 5);
    uint64_t size = end_marker_ ? UINT64_MAX : size_;
    for (int i = 0; i < 8; ++i) alone[5 + i] = static_cast<unsigned char>(size >> (8 * i));
    // liblzma reads nothing while it has no room to write, not even a
    // header: a byte of room that the header does not use.
    unsigned char unused;
    stream_.next_in = alone;
    stream_.avail_in = sizeof alone;
    stream_.next_out = &unused;
    stream_.avail_out = 1;
    header_bad_ = lzma_code(&stream_, LZMA_RUN) != LZMA_OK || stream_.avail_in != 0 ||
                  stream_.avail_out != 1;
    header_done_ = !header_bad_;
    return taken;
  }

  lzma_stream stream_ = LZMA_STREAM_INIT;
  bool zip_lzma_;
  uint64_t size_ = 0;
  bool end_marker_ = false;
  std::string header_;
  bool header_done_ = false;
  bool header_bad_ = false;
};

std::unique_ptr<MemberDecoder> new_decoder(uint16_t method, uint64_t uncompressed_size,
                                           uint16_t flags) {
  switch (method) {
    case method_deflate:
      return std::make_unique<DeflateDecoder>();
    case method_bzip2:
      return std::make_unique<Bzip2Decoder>();
    case method_zstd:
      return std::make_unique<ZstdDecoder>();
    case method_lzma:
    case method_xz:
      return std::make_unique<LzmaStreamDecoder>(method, uncompressed_size, flags);
    default:
      return nullptr;
  }
}

// One decoder of each method a reading thread has used, kept for its next
// member of that method.
thread_local std::vector<std::unique_ptr<MemberDecoder>> spare_decoders;

}  // namespace

std::unique_ptr<MemberDecoder> make_member_decoder(uint16_t method, uint64_t uncompressed_size,
                                                   uint16_t flags) {
  for (auto spare = spare_decoders.begin(); spare != spare_decoders.end(); ++spare) {
    if ((*spare)->method != method) continue;
    std::unique_ptr<MemberDecoder> decoder = std::move(*spare);
    spare_decoders.erase(spare);
    decoder->restart(uncompressed_size, flags);
    return decoder;
  }
  std::unique_ptr<MemberDecoder> decoder = new_decoder(method, uncompressed_size, flags);
  if (decoder) decoder->method = method;
  return decoder;
}

void keep_member_decoder(std::unique_ptr<MemberDecoder> decoder) {
  if (!decoder) return;
  for (std::unique_ptr<MemberDecoder>& spare : spare_decoders)
    if (spare->method == decoder->method) {
      spare = std::move(decoder);
      return;
    }
  spare_decoders.push_back(std::move(decoder));
}

uint32_t zip_crc32(uint32_t crc, const char* data, size_t size) {
  return crc32_gzip_refl(crc, bytes(data), size);
}
