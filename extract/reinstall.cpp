#include "extract/reinstall.h"

Reinstall::Reinstall(std::shared_ptr<Directory> parent, std::string leaf)
    : parent_(std::move(parent)), leaf_(std::move(leaf)) {
  staging_ = make_staging_directory(*parent_, leaf_, staging_name_);
}

Reinstall::~Reinstall() {
  if (finished_) return;
  try {
    remove_tree(*parent_, staging_name_);
  } catch (...) {
    // The failure that brought us here is the one to report.
  }
}

void Reinstall::commit() {
  exchange_entries(*parent_, staging_name_, leaf_);
  placed_ = true;
  // From here the staging name holds the old tree.
  remove_tree(*parent_, staging_name_);
  finished_ = true;
}
