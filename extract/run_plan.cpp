#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "common/context_error.h"
#include "destination/shared_folders.h"
#include "destination/target_path.h"
#include "destination/trees.h"
#include "extract/member_name.h"
#include "extract/run.h"

namespace {

mode_t current_umask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

}  // namespace

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
