#ifndef MORROWLINE_PACK_ENCODING_PIPELINE_H_
#define MORROWLINE_PACK_ENCODING_PIPELINE_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/file_descriptor.h"
#include "pack/compression.h"

// A deflate member is cut into pieces of this many bytes, wherever it is
// packed: each piece is one job, and the bytes do not depend on how many
// cores did them.
constexpr uint64_t encoding_piece_size = uint64_t{1} << 20;

// What a deflate piece starts from: the bytes before it, up to the
// format's window.
constexpr size_t deflate_window = size_t{32} << 10;

// The cores this process may run on (its affinity mask), at least one.
unsigned usable_cores();

// Reads exactly `size` bytes of the member's file from `offset` on.
// Throws ContextError "cannot read file" (context: `path` and why;
// "changed while packing" when the file ends before them).
void read_member_bytes(const FileDescriptor& file, const std::string& path, uint64_t offset,
                       char* into, size_t size);

// A file that grew since it was listed would not match its header: throws
// as read_member_bytes does when anything follows its first `size` bytes.
void check_member_end(const FileDescriptor& file, const std::string& path, uint64_t size);

// Part of a job: the bytes [offset, offset + length) of the member whose
// file is at `path`.
struct EncodingPart {
  std::string path;
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t member_size = 0;  // the last piece checks that nothing follows

  // Results, read once the job has finished.
  std::exception_ptr error;  // the part failed: what it reached may be kept
  uint32_t crc = 0;          // of the bytes read
  // A whole member that did not shrink: its output is its bytes, stored.
  bool stored = false;
  std::string output;  // all the encoded bytes of a job that does not stream
  // For a piece of a longer deflate member: the window it started from
  // and the one it leaves, so that the writer can tell that the file did
  // not change between two pieces.
  std::string dictionary;
  std::string tail;
};

// Work for one worker at a time: either one part whose encoded bytes
// stream to the writer as they come (a piece of a big deflate member, or
// another big member whole), or whole small members, each encoded apart
// and held until the job is done. Many small members to one job keep the
// threads' hand-overs few.
struct EncodingJob {
  Compression compression;
  std::vector<EncodingPart> parts;
  bool streams = false;
  std::atomic<bool> cancelled{false};  // its member is stored instead

  // Under the pipeline's lock.
  std::string output;  // streamed bytes the writer has not taken yet
  bool finished = false;
  bool at_head = false;  // the writer waits for it: its output may grow unbounded

  size_t parts_written = 0;  // the writer's count
};

// Whole members up to this size go into shared jobs, held.
constexpr uint64_t held_member_size = uint64_t{1} << 18;

// Worker threads that run submitted jobs in the order given. The writer
// takes each job's output in that order with take_output(); a streaming
// job the writer is not waiting for stops when it holds about
// `output_cap` bytes not yet taken, so memory stays bounded whatever the
// members' sizes.
class EncodingPipeline {
 public:
  // Every byte a job reads is added to `bytes_read`, when given. Throws
  // ThreadNotStarted when not even one worker can start.
  EncodingPipeline(unsigned workers, std::atomic<uint64_t>* bytes_read);
  // Cancels what is left and joins the workers.
  ~EncodingPipeline();
  EncodingPipeline(const EncodingPipeline&) = delete;
  EncodingPipeline& operator=(const EncodingPipeline&) = delete;

  void submit(std::shared_ptr<EncodingJob> job);

  // Tells `job` to stop early: its member is stored instead. The writer
  // still takes its output, and drops it.
  void cancel(EncodingJob& job);

  // Waits for more of a streaming `job`'s output and moves it into
  // `bytes`, or for its end: returns false once the job has finished and
  // all its output has been taken. For other jobs, waits for the end.
  bool take_output(EncodingJob& job, std::string& bytes);

  static constexpr size_t output_cap = size_t{1} << 20;

 private:
  void work();
  void run(EncodingJob& job, EncodingPart& part, std::vector<char>& buffer);
  void publish(EncodingJob& job, std::string& bytes);

  std::atomic<uint64_t>* bytes_read_;
  std::mutex lock_;
  std::condition_variable queued_;   // a job for the workers, or the end
  std::condition_variable ready_;    // output for the writer, or a job done
  std::condition_variable room_;     // output taken, or the writer waits for a job
  std::deque<std::shared_ptr<EncodingJob>> queue_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> workers_;
};

#endif  // MORROWLINE_PACK_ENCODING_PIPELINE_H_
