#ifndef MORROWLINE_DESTINATION_REINSTALL_H_
#define MORROWLINE_DESTINATION_REINSTALL_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/file_descriptor.h"
#include "destination/trees.h"

// The first member's directory, `leaf` of `parent`, built whole in a fresh
// hidden directory beside its place (mode 0700, on the same file system)
// and put in place only once complete. On a reinstall the old tree, which
// the caller has checked can be removed, stays exactly as it was until
// then and goes afterwards. Until commit() succeeds, and whenever the run
// fails or is interrupted, whatever lies at the staging name goes when the
// object does: an interrupted first install leaves nothing visible.
class Reinstall {
 public:
  // The descriptors it holds from its making to its end: the staging
  // directory, the lock on it, and the handle that syncs its parent.
  static constexpr size_t descriptors_held = 3;

  // `replacing`: an old tree stands at `leaf`.
  Reinstall(std::shared_ptr<Directory> parent, std::string leaf, bool replacing);
  ~Reinstall();
  Reinstall(const Reinstall&) = delete;
  Reinstall& operator=(const Reinstall&) = delete;

  // Where the new tree is built; people know it by the final path.
  const std::shared_ptr<Directory>& staging() const { return staging_; }

  // Puts the new tree in place: in one step where the file system can,
  // then removes the old one. The new name is on the disk (an fsync of the
  // parent) before this returns, and before the old tree goes. Throws
  // ContextError ("cannot replace directory", "cannot create directory")
  // while nothing has changed, and "cannot write to disk" when the new
  // name could not be made durable (the old tree is put back where it
  // can be). The final name must lead to the very directory built, after
  // each rename and once more at the end: where someone put another entry
  // there (or at the staging name) meanwhile, this throws "cannot replace
  // directory" (swapped_during_run), having put the old tree back where it
  // still can. Otherwise, once the new tree is in place for good nothing
  // is thrown: an old tree that still cannot be removed is kept under a
  // visible name, and the returned warning says where and why.
  std::optional<std::string> commit();
  // True once the new tree stands at its final name.
  bool placed() const { return placed_; }

 private:
  std::optional<std::string> remove_old_tree();
  // Throws unless the final name leads to the directory built; `undo`
  // first tries to put back what stood before.
  void check_placed(const std::function<void()>& undo);
  // 0, or the errno of a failed sync of the parent's entries.
  int sync_parent() const;

  std::shared_ptr<Directory> parent_;
  std::string leaf_;
  bool replacing_;
  std::string staging_name_;
  std::shared_ptr<Directory> staging_;
  EntryIdentity built_;
  FileDescriptor lock_;  // shows other runs that the staging is in use
  FileDescriptor sync_fallback_;
  bool placed_ = false;
  bool finished_ = false;
};

#endif  // MORROWLINE_DESTINATION_REINSTALL_H_
