#include <algorithm>
#include <exception>
#include <string>

#include "extract/run.h"

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

void Run::make_durable() {
  // People know the folder being made durable by the first member's path.
  const std::string& shown = reinstall_ ? reinstall_->staging()->shown : destination_->shown;
  for (const auto& observer : extractor_.observers) observer->on_syncing(shown);
  durable_.make_durable(shown, [this] { keep_alive(); });
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
