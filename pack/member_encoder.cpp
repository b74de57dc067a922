#include "pack/member_encoder.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "common/context_error.h"

namespace {

constexpr size_t output_piece_size = size_t{1} << 16;

// What -1 .. -9 mean: deflate and bzip2 take the level itself, XZ the
// preset of that number, Zstandard these levels (index 0 is unused: level
// 0 stores). The man page has the table and README.md what it was
// measured on.
constexpr int zstd_levels[max_level + 1] = {0, 1, 2, 3, 5, 7, 9, 12, 15, 19};
constexpr uint32_t largest_dictionary = uint32_t{16} << 20;

[[noreturn]] void cannot_compress(const std::string& reason) {
  throw ContextError("cannot compress", reason);
}

// zlib's raw deflate, as ZIP stores it: no zlib header or trailer. A piece
// of a stream that others continue starts from the bytes before it as its
// dictionary and ends on a byte boundary with a sync flush, so that the
// pieces, joined, are one stream.
class DeflateEncoder : public MemberEncoder {
 public:
  DeflateEncoder(int level, std::string_view dictionary, bool ends_stream, EncodedSink sink)
      : ends_stream_(ends_stream), sink_(std::move(sink)), output_(output_piece_size) {
    // 8: zlib's default memory level, as zip and libzip use.
    if (deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      cannot_compress("deflate: cannot start");
    if (!dictionary.empty() &&
        deflateSetDictionary(&stream_, reinterpret_cast<const Bytef*>(dictionary.data()),
                             static_cast<uInt>(dictionary.size())) != Z_OK)
      cannot_compress("deflate: cannot set the dictionary");
  }
  ~DeflateEncoder() override { deflateEnd(&stream_); }

  void write(const char* data, size_t size) override {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = static_cast<uInt>(size);
    while (stream_.avail_in > 0) run(Z_NO_FLUSH);
  }

  void finish() override {
    if (ends_stream_) {
      while (run(Z_FINISH) != Z_STREAM_END) {
      }
    } else {
      // Done once a call leaves room in the output.
      while (run(Z_SYNC_FLUSH), stream_.avail_out == 0) {
      }
    }
  }

 private:
  int run(int flush) {
    stream_.next_out = reinterpret_cast<Bytef*>(output_.data());
    stream_.avail_out = static_cast<uInt>(output_.size());
    int status = deflate(&stream_, flush);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
      cannot_compress(std::string("deflate: ") + (stream_.msg ? stream_.msg : "failed"));
    sink_(output_.data(), output_.size() - stream_.avail_out);
    return status;
  }

  z_stream stream_ = {};
  bool ends_stream_;
  EncodedSink sink_;
  std::vector<char> output_;
};

class Bzip2Encoder : public MemberEncoder {
 public:
  // The level is the block size in units of 100 kB, as bzip2 -1 .. -9 has it.
  Bzip2Encoder(int level, EncodedSink sink) : sink_(std::move(sink)), output_(output_piece_size) {
    if (BZ2_bzCompressInit(&stream_, level, 0, 0) != BZ_OK) cannot_compress("bzip2: cannot start");
  }
  ~Bzip2Encoder() override { BZ2_bzCompressEnd(&stream_); }

  void write(const char* data, size_t size) override {
    stream_.next_in = const_cast<char*>(data);
    stream_.avail_in = static_cast<unsigned>(size);
    while (stream_.avail_in > 0) run(BZ_RUN);
  }

  void finish() override {
    while (run(BZ_FINISH) != BZ_STREAM_END) {
    }
  }

 private:
  int run(int action) {
    stream_.next_out = output_.data();
    stream_.avail_out = static_cast<unsigned>(output_.size());
    int status = BZ2_bzCompress(&stream_, action);
    if (status != BZ_RUN_OK && status != BZ_FINISH_OK && status != BZ_STREAM_END)
      cannot_compress("bzip2: error " + std::to_string(status));
    sink_(output_.data(), output_.size() - stream_.avail_out);
    return status;
  }

  bz_stream stream_ = {};
  EncodedSink sink_;
  std::vector<char> output_;
};

void check_zstd(size_t result) {
  if (ZSTD_isError(result)) cannot_compress(std::string("zstd: ") + ZSTD_getErrorName(result));
}

struct ZstdContextFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// One frame that states the member's size. The ZIP's CRC-32 covers the
// bytes, so the frame carries no checksum of its own. Workers are always
// on, even one: a frame made with workers differs from one made without,
// and the bytes must not depend on the machine.
class ZstdEncoder : public MemberEncoder {
 public:
  ZstdEncoder(int level, uint64_t size, unsigned threads, EncodedSink sink)
      : context_(ZSTD_createCCtx()),
        size_(size),
        sink_(std::move(sink)),
        output_(ZSTD_CStreamOutSize()) {
    if (!context_) cannot_compress("zstd: out of memory");
    check_zstd(ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_compressionLevel, level));
    check_zstd(ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_checksumFlag, 0));
    check_zstd(ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_nbWorkers,
                                      static_cast<int>(std::max(threads, 1u))));
    // A known size also keeps the window, which readers must allocate, no
    // larger than the member.
    check_zstd(ZSTD_CCtx_setPledgedSrcSize(context_.get(), size));
  }

  void write(const char* data, size_t size) override {
    ZSTD_inBuffer input = {data, size, 0};
    while (input.pos < input.size) run(input, ZSTD_e_continue);
  }

  void finish() override {
    ZSTD_inBuffer input = {nullptr, 0, 0};
    while (run(input, ZSTD_e_end) != 0) {
    }
    // libarchive (3.6.2, Debian 12's bsdtar) decodes into blocks of 128 KiB and
    // takes a member's end only from a call that leaves its block short:
    // a member of a whole number of blocks is "Truncated zstd file body"
    // to it. An empty frame after it, 9 bytes, gives that call; every
    // reader takes the frames one after another.
    if (size_ > 0 && size_ % libarchive_block == 0) sink_(empty_frame, sizeof empty_frame);
  }

 private:
  static constexpr uint64_t libarchive_block = 128 << 10;  // ZSTD_DStreamOutSize()
  // Magic, a single-segment header of content size 0, one empty last block.
  static constexpr char empty_frame[] = {
      0x28, static_cast<char>(0xB5), 0x2F, static_cast<char>(0xFD), 0x20, 0x00, 0x01, 0x00, 0x00};

  size_t run(ZSTD_inBuffer& input, ZSTD_EndDirective directive) {
    ZSTD_outBuffer output = {output_.data(), output_.size(), 0};
    size_t remaining = ZSTD_compressStream2(context_.get(), &output, &input, directive);
    check_zstd(remaining);
    sink_(output_.data(), output.pos);
    return remaining;
  }

  std::unique_ptr<ZSTD_CCtx, ZstdContextFree> context_;
  uint64_t size_;
  EncodedSink sink_;
  std::vector<char> output_;
};

[[noreturn]] void xz_failed(lzma_ret status) {
  switch (status) {
    case LZMA_MEM_ERROR:
      cannot_compress("xz: out of memory");
    case LZMA_OPTIONS_ERROR:
      cannot_compress("xz: unsupported options");
    default:
      cannot_compress("xz: error " + std::to_string(static_cast<int>(status)));
  }
}

// One .xz stream, as readers of method 95 expect. The multi-threaded
// encoder is used for every member, even with one thread, for the same
// reason as Zstandard's workers. The dictionary is no larger than the
// member, and at most 16 MiB (preset 7's): a reader holds the whole of it
// while it decodes, two members at a time, and an installer must unpack
// within 64 MiB of what it starts with. Beyond 16 MiB it gains little on
// an installer's files, and smaller blocks split big files between more
// threads.
class XzEncoder : public MemberEncoder {
 public:
  XzEncoder(uint32_t preset, uint64_t size, bool x86_code, unsigned threads, EncodedSink sink)
      : sink_(std::move(sink)), output_(output_piece_size) {
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, preset)) cannot_compress("xz: unsupported options");
    options.dict_size = static_cast<uint32_t>(std::clamp<uint64_t>(
        size, LZMA_DICT_SIZE_MIN, std::min(options.dict_size, largest_dictionary)));
    lzma_filter filters[] = {
        {LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_mt settings = {};
    settings.threads = std::max(threads, 1u);
    // Fewer threads where they would take more than a quarter of the
    // memory, as xz does (a big member at -9 takes close to 1 GiB a thread).
    settings.memlimit_threading = lzma_physmem() / 4;
    settings.filters = x86_code ? filters : filters + 1;
    // The ZIP's CRC-32 covers the bytes; the stream's own check is kept
    // small.
    settings.check = LZMA_CHECK_CRC32;
    lzma_ret status = lzma_stream_encoder_mt(&stream_, &settings);
    if (status != LZMA_OK) xz_failed(status);
  }
  ~XzEncoder() override { lzma_end(&stream_); }

  void write(const char* data, size_t size) override {
    stream_.next_in = reinterpret_cast<const uint8_t*>(data);
    stream_.avail_in = size;
    while (stream_.avail_in > 0) run(LZMA_RUN);
  }

  void finish() override {
    while (run(LZMA_FINISH) != LZMA_STREAM_END) {
    }
  }

 private:
  lzma_ret run(lzma_action action) {
    stream_.next_out = reinterpret_cast<uint8_t*>(output_.data());
    stream_.avail_out = output_.size();
    lzma_ret status = lzma_code(&stream_, action);
    if (status != LZMA_OK && status != LZMA_STREAM_END) xz_failed(status);
    sink_(output_.data(), output_.size() - stream_.avail_out);
    return status;
  }

  lzma_stream stream_ = LZMA_STREAM_INIT;
  EncodedSink sink_;
  std::vector<char> output_;
};

}  // namespace

bool is_x86_64_program(std::string_view head) {
  constexpr size_t elf_header_start = 20;  // through e_machine
  constexpr char elf_magic[] = {0x7F, 'E', 'L', 'F'};
  if (head.size() < elf_header_start || head.substr(0, 4) != std::string_view(elf_magic, 4))
    return false;
  auto byte = [&](size_t at) { return static_cast<unsigned char>(head[at]); };
  bool little_endian_64 = byte(4) == 2 && byte(5) == 1;
  unsigned type = byte(16) | byte(17) << 8;     // 2: executable, 3: shared object
  unsigned machine = byte(18) | byte(19) << 8;  // 62: x86-64
  return little_endian_64 && (type == 2 || type == 3) && machine == 62;
}

std::unique_ptr<MemberEncoder> make_member_encoder(const Compression& compression, uint64_t size,
                                                   std::string_view head, unsigned threads,
                                                   EncodedSink sink) {
  int level = std::clamp(compression.level, 1, max_level);
  switch (compression.method) {
    case CompressionMethod::deflate:
      return std::make_unique<DeflateEncoder>(level, std::string_view(), true, std::move(sink));
    case CompressionMethod::bzip2:
      return std::make_unique<Bzip2Encoder>(level, std::move(sink));
    case CompressionMethod::zstd:
      return std::make_unique<ZstdEncoder>(zstd_levels[level], size, threads, std::move(sink));
    case CompressionMethod::xz:
      return std::make_unique<XzEncoder>(static_cast<uint32_t>(level), size,
                                         is_x86_64_program(head), threads, std::move(sink));
    case CompressionMethod::store:
      break;
  }
  cannot_compress("no encoder for stored members");
}

std::unique_ptr<MemberEncoder> make_deflate_piece_encoder(int level, std::string_view dictionary,
                                                          bool ends_stream, EncodedSink sink) {
  return std::make_unique<DeflateEncoder>(std::clamp(level, 1, max_level), dictionary,
                                          ends_stream, std::move(sink));
}
