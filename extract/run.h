#ifndef MORROWLINE_EXTRACT_RUN_H_
#define MORROWLINE_EXTRACT_RUN_H_

// One extract_all, within the extraction library: the members, the
// destination and what the run made. Its phases each live in a file of
// their own:
// - plan, members to places: which tree is built beside its place, which
//   folders must not be shared, the reinstall prepared (run_plan.cpp);
// - write, the member feed to the entries, announced to the observers
//   (run_write.cpp);
// - make durable and put in place, or, after a failure, leave the old
//   tree and what was written in place as it should stay (run_finish.cpp).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/file_descriptor.h"
#include "destination/entries.h"
#include "destination/reinstall.h"
#include "destination/sync.h"
#include "extract/extractor.h"
#include "extract/member_feed.h"
#include "extract/places.h"

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
  // Whether a member's bytes can wait in a file without a name, for the
  // second lane to write them.
  bool can_write_ahead() const;
  // Such a file for member i, on the second lane's thread; invalid when it
  // cannot be made, or the member is too small to gain from one.
  FileDescriptor make_file_ahead(size_t i) const;
  // Tells the observers about member i's target path, then creates it.
  void extract_member(size_t i, MemberFeed& feed);
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
  uint64_t member_written_ = 0;  // bytes of the member last announced
};

#endif  // MORROWLINE_EXTRACT_RUN_H_
