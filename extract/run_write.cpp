#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "archive/zip_format.h"
#include "common/context_error.h"
#include "destination/trees.h"
#include "extract/member_name.h"
#include "extract/run.h"
#include "extract/stored_mode.h"

namespace {

// How often observers get an event pass while the run is busy.
constexpr std::chrono::milliseconds pass_interval{50};
// What a reading lane may hold, more when the address space is not capped:
// under a tight `ulimit -v` the toolkit needs the room.
constexpr size_t lane_bytes = size_t{8} << 20;
constexpr size_t lane_bytes_capped = size_t{1} << 20;
// The smallest member the second lane writes itself.
constexpr uint64_t worth_a_file_ahead = uint64_t{64} << 10;

// While it lives, a write beyond the file-size limit fails with EFBIG
// instead of killing the process, so the run can report it and clean up.
class FileSizeSignalIgnored {
 public:
  FileSizeSignalIgnored() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &saved_);
  }
  ~FileSizeSignalIgnored() { sigaction(SIGXFSZ, &saved_, nullptr); }
  FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
  FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;

 private:
  struct sigaction saved_ = {};
};

bool address_space_capped() {
  struct rlimit limit = {};
  return getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
}

}  // namespace

size_t Run::reading_lanes(const std::vector<size_t>& files) const {
  // Below this many bytes per file, on average, a second reader costs
  // more than it overlaps.
  constexpr uint64_t worth_a_lane = uint64_t{64} << 10;
  if (files.size() < 2 || std::thread::hardware_concurrency() < 2) return 1;
  uint64_t total = 0;
  size_t slow = 0;
  for (size_t i : files) {
    total += members_[i].uncompressed_size;
    uint16_t method = members_[i].method;
    if (method == method_bzip2 || method == method_lzma || method == method_xz) ++slow;
  }
  // bzip2, LZMA and XZ decode several times slower than deflate and take
  // tens of microseconds to start on each member: decoding, not writing,
  // is then the bottleneck, however small the files.
  if (slow * 2 >= files.size()) return 2;
  return total / files.size() >= worth_a_lane ? 2 : 1;
}

void Run::extract_every_member() {
  std::vector<size_t> files;
  for (size_t i = 0; i < members_.size(); ++i)
    if (is_file_member(i)) files.push_back(i);
  size_t lanes = reading_lanes(files);
  // A member is announced before it appears, and named in order; with two
  // lanes the second one's members are written by their reader into files
  // without a name, so that two members inflate and are written at once
  // even when they are big, and this thread only names them in turn.
  MemberFeed::FileMaker files_ahead;
  if (lanes > 1 && can_write_ahead()) files_ahead = [this](size_t i) { return make_file_ahead(i); };
  FileSizeSignalIgnored file_size_limit_reported;
  MemberFeed feed(*extractor_.archive, members_, std::move(files), lanes,
                  address_space_capped() ? lane_bytes_capped : lane_bytes, extractor_.stop_signal,
                  std::move(files_ahead));
  try {
    for (size_t i = 0; i < members_.size(); ++i) {
      check_stop();
      extract_member(i, feed);
    }
    check_stop();
    // Files written beside their names take them once their bytes are on
    // the disk, and before the directories get their modes, which may
    // shut them.
    if (!renames_.empty()) {
      make_durable();
      renames_.rename_all();
    }
    // The staged tree gets its modes before it is put in place, so that
    // nobody sees it half set up, and is on the disk before: a power cut
    // at any moment leaves the old tree or the new one, each whole.
    apply_directory_records(true);
    make_durable();
    check_stop();
    places_.close_all();
    if (reinstall_)
      if (std::optional<std::string> warning = reinstall_->commit())
        extractor_.warnings.push_back(*warning);
  } catch (...) {
    feed.close();  // its second lane uses this run's directories
    land_written_files();
    apply_directory_records(false);
    reinstall_.reset();
    remove_made_in_place();
    throw;
  }
}

FileDescriptor Run::make_file_ahead(size_t i) const {
  // A small member costs more as a file without a name (made, then
  // linked) than as bytes this thread writes: 30 % more time for 20,000
  // files of a few KiB.
  if (members_[i].uncompressed_size < worth_a_file_ahead) return FileDescriptor();
  std::optional<unsigned> permissions = member_permissions(members_[i].external_attributes, false);
  return make_unnamed_file(*root_of(i).first, permissions ? (*permissions & 0777) : 0666);
}

bool Run::can_write_ahead() const {
  for (const Directory* root :
       {destination_.get(), reinstall_ ? reinstall_->staging().get() : nullptr})
    if (root && !make_unnamed_file(*root, 0600).valid()) return false;
  return true;
}

void Run::extract_member(size_t i, MemberFeed& feed) {
  const MemberInfo& member = members_[i];
  auto [root, first] = root_of(i);
  std::vector<std::string> parts(components_[i].begin() + static_cast<std::ptrdiff_t>(first),
                                 components_[i].end());
  bool directory = is_directory_member(member.name);
  // A member naming the destination itself ("./") is announced and left:
  // the user's working directory keeps its mode and times.
  if (root == destination_ && parts.empty()) {
    announce(destination_->shown);
    return;
  }
  std::optional<unsigned> permissions = member_permissions(member.external_attributes, directory);

  if (directory) {
    Places::Lookup lookup = places_.find(root, parts, parts.size());
    announce(Places::shown_path(lookup, parts, parts.size()));
    std::vector<size_t> made;
    if (lookup.found < parts.size()) places_.create(root, parts, parts.size(), lookup, made);
    // The staging directory itself stands for the first member.
    bool made_here =
        (!made.empty() && made.back() == parts.size()) || (parts.empty() && root->made);
    if (made_here && !made.empty()) {
      made.pop_back();
      if (root == destination_) made_in_place_.push_back(relative_path(parts, parts.size()));
    }
    record_made(root, parts, first, made);
    if (!permissions && made_here) permissions = 0755 & ~umask_;
    directories_.push_back(DirectoryRecord{root, relative_path(parts, parts.size()),
                                           first + parts.size(), permissions, member.mtime});
    return;
  }

  if (parts.empty()) {
    // A file named as the first member's directory.
    announce(root->shown);
    throw ContextError("cannot create file", root->shown + ": " + std::strerror(EISDIR));
  }
  size_t parent_count = parts.size() - 1;
  Places::Lookup lookup = places_.find(root, parts, parent_count);
  // Found as far as the parent: the leaf is named as it stands.
  std::string target = Places::shown_path(lookup, parts, parts.size());
  announce(target);
  std::vector<size_t> made;
  std::shared_ptr<Directory> parent = lookup.found == parent_count
                                          ? lookup.directory
                                          : places_.create(root, parts, parent_count, lookup, made);
  record_made(root, parts, first, made);
  // Made with its final permission bits where the umask allows, so that
  // most files need no chmod.
  mode_t create_mode = permissions ? (*permissions & 0777) : 0666;
  // Outside the staging tree, each file waits beside its name and takes it
  // only once everything is on the disk: a crash never leaves one cut short,
  // nor an old one lost.
  bool in_place = root == destination_;
  if (in_place) clear_stale_entries(parent);
  std::optional<NewFile> file;
  bool sync_each = false;
  // A lambda may not capture a structured binding (C++17): the folder to
  // sync goes in by name.
  auto file_made = [&, sync_root = root] {
    sync_each = durable_.file_in(parent, file->descriptor());
    if (sync_each) durable_.sync_later(sync_root, relative_path(parts, parent_count));
  };
  // Made before its bytes come, unless its lane writes them itself: then
  // named once they are all there.
  if (!feed.lane_writes(i)) {
    file.emplace(parent, parts.back(), create_mode, in_place);
    file_made();
  }
  for (bool complete = false; !complete;) {
    std::optional<MemberFeed::Piece> taken = feed.take(i, pass_interval);
    keep_alive();
    if (!taken) continue;
    MemberFeed::Piece piece = std::move(*taken);
    if (piece.failure) std::rethrow_exception(piece.failure);
    member_written_ += piece.size;
    complete = piece.last;
    if (piece.on_disk) {
      if (!complete) continue;
      if (piece.error)
        throw ContextError("cannot write file", target + ": " + std::strerror(piece.error));
      file.emplace(parent, parts.back(), std::move(piece.file), in_place);
      file_made();
      break;
    }
    if (!file) {  // its lane hands its bytes over after all
      file.emplace(parent, parts.back(), create_mode, in_place);
      file_made();
    }
    if (piece.size > 0) file->write(piece.buffer.data.get(), piece.size);
    feed.recycle(std::move(piece.buffer));
  }
  bool chmod_needed = permissions && *permissions != (create_mode & ~umask_);
  file->commit(chmod_needed ? permissions : std::nullopt, member.mtime, sync_each,
               in_place ? &renames_ : nullptr);
  durable_.file_written(member_written_);
  if (file->replaces()) places_.forget(*root, parts, parts.size());
}

void Run::announce(const std::string& target_path) {
  last_pass_ = std::chrono::steady_clock::now();
  member_written_ = 0;
  for (const auto& observer : extractor_.observers) observer->on_member(target_path);
}

void Run::keep_alive() {
  auto now = std::chrono::steady_clock::now();
  if (now - last_pass_ >= pass_interval) {
    last_pass_ = now;
    for (const auto& observer : extractor_.observers) observer->on_working(member_written_);
  }
  check_stop();
}

void Run::record_made(const std::shared_ptr<Directory>& root, const std::vector<std::string>& parts,
                      size_t first, const std::vector<size_t>& made) {
  // Made 0700 so that nobody sees into them while they fill; the mode a
  // directory would have had from mkdir comes at the end.
  for (size_t count : made) {
    directories_.push_back(DirectoryRecord{root, relative_path(parts, count), first + count,
                                           0755 & ~umask_, std::nullopt});
    if (root == destination_) made_in_place_.push_back(relative_path(parts, count));
  }
}

void Run::check_stop() const {
  const std::atomic<int>* stop = extractor_.stop_signal;
  if (stop && stop->load(std::memory_order_relaxed) != 0) throw Interrupted(stop->load());
}

void Run::clear_stale_entries(const std::shared_ptr<Directory>& directory) {
  if (directory == last_cleared_ || directory == destination_) return;  // cleared at the start
  last_cleared_ = directory;
  struct stat identity;
  if (fstat(directory->fd.get(), &identity) != 0 ||
      !cleared_.emplace(identity.st_dev, identity.st_ino).second)
    return;
  remove_stale_entries(*directory);
}
