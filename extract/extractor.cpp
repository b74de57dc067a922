#include "extract/extractor.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <set>
#include <thread>

#include "archive/context_error.h"
#include "archive/zip_format.h"
#include "extract/destination_sync.h"
#include "extract/destination_trees.h"
#include "extract/member_feed.h"
#include "extract/member_name.h"
#include "extract/places.h"
#include "extract/reinstall.h"
#include "extract/shared_folders.h"
#include "extract/stored_mode.h"
#include "extract/target_path.h"

namespace {

constexpr size_t working_directory_size = 4096;
// How often observers get an event pass while the run is busy.
constexpr std::chrono::milliseconds pass_interval{50};
// What a reading lane may hold, more when the address space is not capped:
// under a tight `ulimit -v` the toolkit needs the room.
constexpr size_t lane_bytes = size_t{8} << 20;
constexpr size_t lane_bytes_capped = size_t{1} << 20;

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

mode_t current_umask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

bool address_space_capped() {
  struct rlimit limit = {};
  return getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
}

// The next file member's bytes, written ahead into a file without a name
// while the current member's bytes are still coming from the other lane.
struct WrittenAhead {
  size_t index = MemberFeed::no_member;
  FileDescriptor file;
  int error = 0;               // why writing them failed, if it did
  std::exception_ptr failure;  // what reading them threw
  bool complete = false;
  uint64_t written = 0;
  uint64_t flushed = 0;  // see start_writeback
};

// A directory member's place, or a directory the run made, to be given
// its mode and time at the end.
struct DirectoryRecord {
  std::shared_ptr<Directory> root;
  std::string relative;
  size_t depth;  // below the destination
  std::optional<mode_t> permissions;
  std::optional<int64_t> mtime;
};

// One extract_all: the members, the destination and what the run made.
class Run {
 public:
  Run(Extractor& extractor, const std::vector<MemberInfo>& members, const std::string& destination);
  void extract_every_member();

 private:
  // Where member i lands: its root and the index of its first component
  // below that root.
  std::pair<std::shared_ptr<Directory>, size_t> root_of(size_t i) const;
  // Whether the first member's directory is to be built beside its place:
  // looks only, and notes in `staged_` where it goes.
  void plan_reinstall();
  // Refuses any existing folder the run would write into where other users
  // may swap entries, before anything on disk changes.
  void refuse_shared_folders();
  void prepare_reinstall();
  // True when member i lies in the first member's directory, which is
  // built beside its place.
  bool is_staged(size_t i) const;
  bool is_file_member(size_t i) const;
  // Two members inflate at once when they are few and big enough for it to
  // pay, and there is a second core.
  size_t reading_lanes(const std::vector<size_t>& files) const;
  // Whether the next file's bytes can wait in a file without a name.
  bool can_write_ahead() const;
  // Tells the observers about member i's target path, then creates it.
  void extract_member(size_t i, MemberFeed& feed);
  void write_ahead(MemberFeed& feed, MemberFeed::Piece piece);
  void announce(const std::string& target_path);
  // Gives observers an event pass when one is due, then stops the run if
  // asked to.
  void keep_alive();
  void check_stop() const;
  // Records the directories `made` (component counts of `parts` below
  // `root`, `first` levels below the destination) for their final mode.
  void record_made(const std::shared_ptr<Directory>& root, const std::vector<std::string>& parts,
                   size_t first, const std::vector<size_t>& made);
  void apply_directory_records(bool staging_too);
  // What killed runs left in `directory`, where files are written in
  // place, goes once per directory.
  void clear_stale_entries(const std::shared_ptr<Directory>& directory);
  // Makes everything written so far durable, while observers hear of it.
  void make_durable();
  // After a failure: the directories the run made in place that hold
  // nothing go, deepest first.
  void remove_made_in_place();
  // After a failure: the files written outside the staging tree take their
  // names, as they do at the end of a run.
  void land_written_files();

  Extractor& extractor_;
  const std::vector<MemberInfo>& members_;
  std::vector<std::vector<std::string>> components_;
  std::shared_ptr<Directory> destination_;
  mode_t umask_;
  Places places_;
  // Where the first member's directory goes, when it is built beside it.
  struct StagedDirectory {
    Places::Lookup parent;
    bool replacing = false;
  };
  std::optional<StagedDirectory> staged_;
  std::optional<Reinstall> reinstall_;
  size_t reinstall_depth_ = 0;
  // Directories made in place (the first member's parents among them), in
  // the order made: a failed run removes those left empty.
  std::vector<std::string> made_in_place_;
  std::vector<DirectoryRecord> directories_;
  DurableWrites durable_;
  PendingRenames renames_;
  std::shared_ptr<Directory> last_cleared_;
  std::set<std::pair<dev_t, ino_t>> cleared_;
  std::chrono::steady_clock::time_point last_pass_;
  uint64_t member_written_ = 0;    // bytes of the member last announced
  std::vector<size_t> next_file_;  // per member: the next file member after it
  WrittenAhead ahead_;
};

Run::Run(Extractor& extractor, const std::vector<MemberInfo>& members,
         const std::string& destination)
    : extractor_(extractor), members_(members), umask_(current_umask()) {
  destination_ = open_directory(canonical_path(destination));
  lock_directory(*destination_);
  components_.reserve(members.size());
  for (const MemberInfo& member : members) components_.push_back(name_components(member.name));
  plan_reinstall();
  refuse_shared_folders();
  prepare_reinstall();
}

// The first member's directory is built whole beside its place and put
// there at the end: a reinstall replaces the old tree (a real directory,
// strictly inside the destination) only then, and an interrupted first
// install leaves nothing visible.
void Run::plan_reinstall() {
  const std::vector<std::string>& first = components_.front();
  if (!is_directory_member(members_.front().name) || first.empty()) return;
  size_t parent_count = first.size() - 1;
  StagedDirectory staged;
  try {
    staged.parent = places_.find(destination_, first, parent_count);
  } catch (const ContextError&) {
    return;  // the member itself reports where it leads
  }
  const std::string& leaf = first.back();
  bool parent_found = staged.parent.found == parent_count;
  staged.replacing = parent_found && is_real_directory(*staged.parent.directory, leaf);
  // A file or a link there: the member itself reports or follows it.
  if (parent_found && !staged.replacing && entry_exists(*staged.parent.directory, leaf)) return;
  staged_ = staged;
  reinstall_depth_ = first.size();
}

bool Run::is_staged(size_t i) const {
  const std::vector<std::string>& parts = components_[i];
  return staged_ && parts.size() >= reinstall_depth_ &&
         std::equal(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(reinstall_depth_),
                    components_.front().begin());
}

// Every folder that exists on the way to where the run puts entries: the
// destination, each folder down to the first member's parent and, for each
// member outside the staged tree, each folder down to the deepest one that
// exists. A swap in any of them leads the names below elsewhere; the staged
// tree is the run's own.
void Run::refuse_shared_folders() {
  std::set<const Directory*> checked;
  std::set<std::string> walked;
  auto check = [&checked](const std::shared_ptr<Directory>& folder) {
    if (checked.insert(folder.get()).second) refuse_folder_others_can_change(*folder);
  };
  auto check_way = [&](const std::vector<std::string>& parts, size_t count) {
    for (size_t n = 1; n <= count; ++n) {
      std::string key = relative_path(parts, n);
      if (walked.count(key)) continue;
      Places::Lookup lookup;
      try {
        lookup = places_.find(destination_, parts, n);
      } catch (const ContextError&) {
        return;  // the member itself reports where it leads
      }
      if (lookup.found < n) return;  // made by the run from here on
      check(lookup.directory);
      walked.insert(std::move(key));
    }
  };
  check(destination_);
  if (staged_) check_way(components_.front(), components_.front().size() - 1);
  for (size_t i = 0; i < members_.size(); ++i) {
    const std::vector<std::string>& parts = components_[i];
    // Down to its parent, which gets its entry, or holds the directory
    // that stands there and is given its mode through that name.
    if (!parts.empty() && !is_staged(i)) check_way(parts, parts.size() - 1);
  }
}

// Staging that killed runs left goes first.
void Run::prepare_reinstall() {
  remove_stale_entries(*destination_);
  if (!staged_) return;
  const std::vector<std::string>& first = components_.front();
  size_t parent_count = first.size() - 1;
  std::shared_ptr<Directory> holder = staged_->parent.directory;
  if (staged_->parent.found < parent_count) {
    std::vector<size_t> made;
    holder = places_.create(destination_, first, parent_count, staged_->parent, made);
    record_made(destination_, first, 0, made);
  }
  if (holder != destination_) remove_stale_entries(*holder);
  const std::string& leaf = first.back();
  // The removal comes after the staging is made and while the file
  // system's sync handle is open.
  if (staged_->replacing)
    check_tree_removable(*holder, leaf, Reinstall::descriptors_held + 1, [this] { keep_alive(); });
  reinstall_.emplace(holder, leaf, staged_->replacing);
}

std::pair<std::shared_ptr<Directory>, size_t> Run::root_of(size_t i) const {
  if (reinstall_ && is_staged(i)) return {reinstall_->staging(), reinstall_depth_};
  return {destination_, 0};
}

bool Run::is_file_member(size_t i) const {
  return !is_directory_member(members_[i].name) && !components_[i].empty();
}

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
  // A member is announced before it appears, and one is written at a
  // time; with two lanes the next file's bytes, inflated meanwhile, wait
  // in a file without a name, so that two members inflate at once even
  // when they are big.
  next_file_.assign(members_.size(), MemberFeed::no_member);
  if (lanes > 1 && can_write_ahead())
    for (size_t j = 0, next = MemberFeed::no_member; j < members_.size(); ++j) {
      size_t i = members_.size() - 1 - j;
      next_file_[i] = next;
      if (is_file_member(i)) next = i;
    }
  FileSizeSignalIgnored file_size_limit_reported;
  MemberFeed feed(*extractor_.archive, members_, std::move(files), lanes,
                  address_space_capped() ? lane_bytes_capped : lane_bytes, extractor_.stop_signal);
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
    land_written_files();
    apply_directory_records(false);
    reinstall_.reset();
    remove_made_in_place();
    throw;
  }
}

void Run::land_written_files() {
  if (renames_.empty()) return;
  // Each is complete, and on the disk before it takes its name, as after a
  // run that succeeds; the failure that brought us here is the one to
  // report.
  try {
    durable_.make_durable(destination_->shown, [] {});
    renames_.rename_all();
  } catch (const std::exception&) {
    renames_.discard();
  }
}

void Run::remove_made_in_place() {
  // Deepest first; one that holds something now stays.
  for (auto made = made_in_place_.rbegin(); made != made_in_place_.rend(); ++made)
    remove_if_empty(*destination_, *made);
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
  bool complete = false;
  bool sync_each = false;
  if (ahead_.index == i) {
    WrittenAhead written = std::move(ahead_);
    ahead_ = WrittenAhead{};
    if (written.failure) std::rethrow_exception(written.failure);
    if (written.error)
      throw ContextError("cannot write file", target + ": " + std::strerror(written.error));
    file.emplace(parent, parts.back(), std::move(written.file), in_place);
    complete = written.complete;
    member_written_ = written.written;
  } else {
    file.emplace(parent, parts.back(), create_mode, in_place);
  }
  sync_each = durable_.file_in(parent, file->descriptor());
  if (sync_each) durable_.sync_later(root, relative_path(parts, parent_count));
  while (!complete) {
    std::optional<MemberFeed::Piece> taken = feed.take(i, next_file_[i], pass_interval);
    keep_alive();
    if (!taken) continue;
    MemberFeed::Piece piece = std::move(*taken);
    if (piece.index != i) {
      write_ahead(feed, std::move(piece));
      continue;
    }
    if (piece.failure) std::rethrow_exception(piece.failure);
    if (piece.size > 0) file->write(piece.buffer.data.get(), piece.size);
    member_written_ += piece.size;
    complete = piece.last;
    feed.recycle(std::move(piece.buffer));
  }
  bool chmod_needed = permissions && *permissions != (create_mode & ~umask_);
  file->commit(chmod_needed ? permissions : std::nullopt, member.mtime, sync_each,
               in_place ? &renames_ : nullptr);
  durable_.file_written(member_written_);
  if (file->replaces()) places_.forget(*root, parts, parts.size());
}

void Run::write_ahead(MemberFeed& feed, MemberFeed::Piece piece) {
  if (ahead_.index != piece.index) {
    ahead_ = WrittenAhead{};
    ahead_.index = piece.index;
    std::optional<unsigned> permissions =
        member_permissions(members_[piece.index].external_attributes, false);
    ahead_.file =
        make_unnamed_file(*root_of(piece.index).first, permissions ? (*permissions & 0777) : 0666);
    if (!ahead_.file.valid()) ahead_.error = errno;
  }
  ahead_.complete = piece.last;
  if (piece.failure) {
    ahead_.failure = piece.failure;
    return;
  }
  if (!ahead_.error)
    ahead_.error = write_fully(ahead_.file.get(), piece.buffer.data.get(), piece.size);
  ahead_.written += piece.size;
  if (!ahead_.error) start_writeback(ahead_.file.get(), ahead_.flushed, ahead_.written, false);
  feed.recycle(std::move(piece.buffer));
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

// Directory modes and times come last, deepest first: a read-only
// directory still receives its members, and writing a member does not
// change its directory's time afterwards.
void Run::apply_directory_records(bool staging_too) {
  std::stable_sort(
      directories_.begin(), directories_.end(),
      [](const DirectoryRecord& a, const DirectoryRecord& b) { return a.depth > b.depth; });
  for (const DirectoryRecord& record : directories_) {
    if (!staging_too && record.root != destination_) continue;
    FileDescriptor directory = set_directory_mode_and_time(*record.root, record.relative,
                                                           record.permissions, record.mtime);
    if (staging_too && directory.valid())
      durable_.directory_in(record.root, record.relative, directory.get());
  }
  directories_.clear();
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

void Run::make_durable() {
  // People know the folder being made durable by the first member's path.
  const std::string& shown = reinstall_ ? reinstall_->staging()->shown : destination_->shown;
  for (const auto& observer : extractor_.observers) observer->on_syncing(shown);
  durable_.make_durable(shown, [this] { keep_alive(); });
}

}  // namespace

Extractor::Extractor(const std::string& archive_path) : archive(std::make_unique<Archive>()) {
  archive->reset();
  load_archive(archive_path);
}

std::vector<std::string> Extractor::member_names() {
  std::vector<std::string> names;
  for (MemberInfo& member : archive->members()) names.push_back(std::move(member.name));
  return names;
}

std::string Extractor::comment() { return archive->comment; }

void Extractor::add_observer(const std::shared_ptr<ProgressObserver>& observer) {
  observers.push_back(observer);
}

void Extractor::extract_all() {
  std::vector<char> buffer(working_directory_size + 1, '\0');
  if (!getcwd(buffer.data(), working_directory_size))
    throw ContextError("cannot find working directory", std::strerror(errno));
  extract_all(std::string(buffer.data()));
}

void Extractor::extract_all(const std::string& destination) {
  std::vector<MemberInfo> members = archive->members();
  if (members.empty()) return;
  for (const MemberInfo& member : members) check_member_name(member.name);
  Run run(*this, members, destination);
  run.extract_every_member();
}
