#ifndef MORROWLINE_EXTRACT_REINSTALL_H_
#define MORROWLINE_EXTRACT_REINSTALL_H_

#include <memory>
#include <string>

#include "extract/destination.h"

// A clean reinstall of the directory `leaf` of `parent`: the new tree is
// built in a fresh hidden directory beside the old one, on the same file
// system, and takes the old one's name only once complete; the old tree
// then goes. Until commit() succeeds, and whenever the run fails or is
// interrupted, the old tree stays exactly as it was, and whatever lies at
// the staging name goes when the object does.
class Reinstall {
 public:
  Reinstall(std::shared_ptr<Directory> parent, std::string leaf);
  ~Reinstall();
  Reinstall(const Reinstall&) = delete;
  Reinstall& operator=(const Reinstall&) = delete;

  // Where the new tree is built; people know it by the old directory's path.
  const std::shared_ptr<Directory>& staging() const { return staging_; }

  // Puts the new tree in place, in one step where the file system can,
  // then removes the old one. Throws ContextError ("cannot replace
  // directory", "cannot remove directory").
  void commit();
  // True once the new tree stands at the old one's name.
  bool placed() const { return placed_; }

 private:
  std::shared_ptr<Directory> parent_;
  std::string leaf_;
  std::string staging_name_;
  std::shared_ptr<Directory> staging_;
  bool placed_ = false;
  bool finished_ = false;
};

#endif  // MORROWLINE_EXTRACT_REINSTALL_H_
