#ifndef MORROWLINE_PACK_PENDING_FILE_H_
#define MORROWLINE_PACK_PENDING_FILE_H_

#include <sys/types.h>

#include <string>

// An empty file (mode 0600) under a fresh hidden name beside `target`
// (".NAME" + suffix + six random characters). It is removed when the object
// goes, unless place() has made it the target. Being in the target's
// directory, it can replace the target by a rename, all at once.
class PendingFile {
 public:
  // Throws ContextError "cannot write installer" (context: path, reason).
  PendingFile(const std::string& target, const std::string& suffix);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& path() const { return path_; }

  // Gives the file `mode` and renames it to the target, replacing any file
  // there. Throws ContextError "cannot write installer"; the file then
  // still goes with the object.
  void place(mode_t mode);

 private:
  std::string target_;
  std::string path_;
  bool placed_ = false;
};

#endif  // MORROWLINE_PACK_PENDING_FILE_H_
