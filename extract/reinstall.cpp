#include "extract/reinstall.h"

#include "archive/context_error.h"
#include "extract/target_path.h"

Reinstall::Reinstall(std::shared_ptr<Directory> parent, std::string leaf, bool replacing)
    : parent_(std::move(parent)), leaf_(std::move(leaf)), replacing_(replacing) {
  staging_ = make_staging_directory(*parent_, leaf_, staging_name_);
  lock_ = lock_entry(*parent_, staging_name_);
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
  if (!replacing_) {
    rename_entry(*parent_, staging_name_, leaf_, "cannot create directory");
    placed_ = finished_ = true;
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
    return std::nullopt;
  }
  placed_ = true;
  // From here the staging name holds the old tree.
  std::optional<std::string> warning = remove_old_tree();
  finished_ = true;
  return warning;
}

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
