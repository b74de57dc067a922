#include "destination/reinstall.h"

#include "common/context_error.h"
#include "destination/sync.h"
#include "destination/target_path.h"

Reinstall::Reinstall(std::shared_ptr<Directory> parent, std::string leaf, bool replacing)
    : parent_(std::move(parent)), leaf_(std::move(leaf)), replacing_(replacing) {
  staging_ = make_staging_directory(*parent_, leaf_, staging_name_);
  built_ = identity_of(staging_->fd.get());
  lock_ = lock_entry(*parent_, staging_name_);
  // Opened while it is still ours alone (mode 0700), for a parent that
  // cannot be read: its file system is then synced whole instead.
  sync_fallback_ = open_directory_below(*staging_, "");
}

Reinstall::~Reinstall() {
  if (finished_) return;
  try {
    remove_tree(*parent_, staging_name_);
  } catch (...) {
    // The failure that brought us here is the one to report.
  }
}

std::optional<std::string> Reinstall::commit() {
  // Each step that changes the tree's name is on the disk before the next
  // one, and all of them before the run reports success: the staged tree
  // itself was made durable before this.
  if (!replacing_) {
    rename_entry(*parent_, staging_name_, leaf_, "cannot create directory");
    auto rename_back = [this] {
      // Back under the staging name, which goes with this object.
      try {
        rename_entry(*parent_, leaf_, staging_name_, "cannot rename directory");
      } catch (const ContextError&) {
        finished_ = true;
      }
    };
    check_placed(rename_back);
    if (int error = sync_parent()) {
      rename_back();
      fail_at("cannot write to disk", staging_->shown, error);
    }
    placed_ = finished_ = true;
    check_placed([] {});
    return std::nullopt;
  }
  if (!exchange_entries(*parent_, staging_name_, leaf_)) {
    // A directory in an overlay's lower layer (a live session, a
    // container) cannot be renamed, only removed. The new tree is complete
    // and checked by now, and the old one was found removable, so it goes
    // first and the new one takes its name at once; a crash between the
    // two leaves the new tree in the staging directory, which the next run
    // clears, and the user runs the installer again.
    remove_tree(*parent_, leaf_);
    rename_entry(*parent_, staging_name_, leaf_, "cannot replace directory");
    placed_ = finished_ = true;
    check_placed([] {});
    if (int error = sync_parent()) fail_at("cannot write to disk", staging_->shown, error);
    return std::nullopt;
  }
  // The old tree goes back in place where it can; where it cannot, both
  // stay.
  auto exchange_back = [this] {
    bool back = false;
    try {
      back = exchange_entries(*parent_, staging_name_, leaf_);
    } catch (const ContextError&) {
    }
    if (!back) finished_ = true;
  };
  check_placed(exchange_back);
  if (int error = sync_parent()) {
    exchange_back();
    fail_at("cannot write to disk", staging_->shown, error);
  }
  placed_ = true;
  // From here the staging name holds the old tree.
  std::optional<std::string> warning = remove_old_tree();
  // Only so that a crash does not bring back what was removed; the next
  // run would clear it.
  (void)sync_parent();
  finished_ = true;
  check_placed([] {});
  return warning;
}

void Reinstall::check_placed(const std::function<void()>& undo) {
  if (entry_is(*parent_, leaf_, built_)) return;
  undo();
  throw ContextError("cannot replace directory", staging_->shown + ": " + swapped_during_run);
}

int Reinstall::sync_parent() const { return sync_directory(*parent_, sync_fallback_.get()); }

std::optional<std::string> Reinstall::remove_old_tree() {
  try {
    remove_tree(*parent_, staging_name_);
    return std::nullopt;
  } catch (const ContextError& e) {
    // The installation stands; what is left of the old tree is the user's
    // to look at, under a name that says what it is.
    std::string kept = free_name(*parent_, leaf_ + ".old");
    try {
      rename_entry(*parent_, staging_name_, kept, "cannot rename directory");
    } catch (const ContextError&) {
      kept = staging_name_;
    }
    std::string reason = std::string(e.what()) + ": " + e.context();
    return "the old " + staging_->shown + " could not be removed (" + reason +
           "); what is left of it is in " + child_path(parent_->shown, kept);
  }
}
