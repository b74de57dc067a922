#include "pack/encoding_pipeline.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/context_error.h"
#include "common/thread_start.h"
#include "pack/member_encoder.h"

namespace {

// Each worker reads in pieces of this size; a deflate piece ends with a
// whole read, so the window it leaves is at the end of its last one.
constexpr size_t read_size = size_t{1} << 18;
static_assert(encoding_piece_size % read_size == 0 && read_size >= deflate_window);
// A held member is read in one go.
static_assert(held_member_size <= read_size);

// A worker hands its output over in lumps of about this size, not for
// every few bytes the encoder gives.
constexpr size_t publish_size = size_t{1} << 16;

[[noreturn]] void cannot_read(const std::string& path, const std::string& why) {
  throw ContextError("cannot read file", path + ": " + why);
}

}  // namespace

unsigned usable_cores() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (sched_getaffinity(0, sizeof cores, &cores) != 0) return 1;
  return static_cast<unsigned>(std::max(CPU_COUNT(&cores), 1));
}

void read_member_bytes(const FileDescriptor& file, const std::string& path, uint64_t offset,
                       char* into, size_t size) {
  while (size > 0) {
    ssize_t n = pread(file.get(), into, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) cannot_read(path, std::strerror(errno));
    if (n == 0) cannot_read(path, "changed while packing");
    into += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
}

void check_member_end(const FileDescriptor& file, const std::string& path, uint64_t size) {
  char extra;
  ssize_t n;
  do n = pread(file.get(), &extra, 1, static_cast<off_t>(size));
  while (n < 0 && errno == EINTR);
  if (n < 0) cannot_read(path, std::strerror(errno));
  if (n > 0) cannot_read(path, "changed while packing");
}

EncodingPipeline::EncodingPipeline(unsigned workers, std::atomic<uint64_t>* bytes_read)
    : bytes_read_(bytes_read) {
  workers_.reserve(workers);
  for (unsigned i = 0; i < std::max(workers, 1u); ++i) {
    try {
      workers_.push_back(start_thread(&EncodingPipeline::work, this));
    } catch (const ThreadNotStarted&) {
      // Fewer cores' worth of workers give the same bytes, only later.
      if (workers_.empty()) throw;
      break;
    }
  }
}

EncodingPipeline::~EncodingPipeline() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  queued_.notify_all();
  room_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void EncodingPipeline::submit(std::shared_ptr<EncodingJob> job) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    queue_.push_back(std::move(job));
  }
  queued_.notify_one();
}

void EncodingPipeline::cancel(EncodingJob& job) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    job.cancelled = true;
  }
  room_.notify_all();
}

bool EncodingPipeline::take_output(EncodingJob& job, std::string& bytes) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!job.at_head) {
    job.at_head = true;
    if (job.streams) room_.notify_all();
  }
  ready_.wait(hold, [&job] { return !job.output.empty() || job.finished; });
  if (job.output.empty()) return false;
  bytes.swap(job.output);
  job.output.clear();
  hold.unlock();
  room_.notify_all();
  return true;
}

void EncodingPipeline::work() {
  std::vector<char> buffer(read_size);
  for (;;) {
    std::shared_ptr<EncodingJob> job;
    {
      std::unique_lock<std::mutex> hold(lock_);
      queued_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    for (EncodingPart& part : job->parts) {
      try {
        run(*job, part, buffer);
      } catch (...) {
        part.error = std::current_exception();
      }
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      job->finished = true;
    }
    ready_.notify_all();
  }
}

// Waits while the writer is elsewhere and the job already holds enough.
void EncodingPipeline::publish(EncodingJob& job, std::string& bytes) {
  std::unique_lock<std::mutex> hold(lock_);
  room_.wait(hold, [&] {
    return job.at_head || job.output.size() < output_cap || stopping_ || job.cancelled;
  });
  bool was_empty = job.output.empty();
  if (was_empty)
    job.output.swap(bytes);
  else
    job.output.append(bytes);
  bytes.clear();
  hold.unlock();
  if (was_empty) ready_.notify_all();
}

void EncodingPipeline::run(EncodingJob& job, EncodingPart& part, std::vector<char>& buffer) {
  const Compression& compression = job.compression;
  const bool deflates = compression.method == CompressionMethod::deflate && !compression.stores();
  const bool ends_member = part.offset + part.length == part.member_size;
  FileDescriptor file(open(part.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) cannot_read(part.path, std::strerror(errno));
  if (deflates && part.offset > 0) {
    size_t window = static_cast<size_t>(std::min<uint64_t>(deflate_window, part.offset));
    part.dictionary.resize(window);
    read_member_bytes(file, part.path, part.offset - window, part.dictionary.data(), window);
  }
  std::string streamed;
  std::string& encoded = job.streams ? streamed : part.output;
  EncodedSink sink = [&](const char* data, size_t size) {
    encoded.append(data, size);
    if (job.streams && encoded.size() >= publish_size) publish(job, encoded);
  };
  std::unique_ptr<MemberEncoder> encoder;
  if (deflates)
    encoder = make_deflate_piece_encoder(compression.level, part.dictionary, ends_member, sink);
  else if (!compression.stores())
    encoder = make_member_encoder(compression, part.member_size, std::string_view(), 1, sink);
  uLong crc = crc32(0, nullptr, 0);
  size_t last_read = 0;
  for (uint64_t done = 0; done < part.length; done += last_read) {
    if (job.cancelled || stopping_) return;
    last_read = static_cast<size_t>(std::min<uint64_t>(buffer.size(), part.length - done));
    read_member_bytes(file, part.path, part.offset + done, buffer.data(), last_read);
    if (bytes_read_) *bytes_read_ += last_read;
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(buffer.data()), last_read);
    if (encoder)
      encoder->write(buffer.data(), last_read);
    else
      sink(buffer.data(), last_read);
  }
  if (ends_member) check_member_end(file, part.path, part.member_size);
  if (encoder) encoder->finish();
  part.crc = static_cast<uint32_t>(crc);
  if (deflates && !ends_member)
    part.tail.assign(buffer.data() + last_read - deflate_window, deflate_window);
  // A held member is read whole in one go: if it did not shrink, its
  // bytes are still at hand.
  if (!job.streams && encoder && encoded.size() >= part.length) {
    encoded.assign(buffer.data(), static_cast<size_t>(part.length));
    part.stored = true;
  }
  if (job.streams && !encoded.empty()) publish(job, encoded);
}
