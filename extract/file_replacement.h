#ifndef MORROWLINE_EXTRACT_FILE_REPLACEMENT_H_
#define MORROWLINE_EXTRACT_FILE_REPLACEMENT_H_

#include <cstddef>
#include <string>

// A new file that takes the place of `path` only when commit() succeeds.
// The bytes go to a fresh file beside `path` (created 0666 less the umask);
// commit() renames it over whatever entry stands there, so a symbolic link
// or another hard link's file at `path` is replaced, never written through,
// and a failed write leaves the old entry as it was. Destroyed without a
// commit, the new file is removed. Throws ContextError "cannot create file"
// or "cannot write file" with the path and the system's reason.
class FileReplacement {
 public:
  explicit FileReplacement(std::string path);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  void write(const char* data, size_t size);
  void commit();

 private:
  [[noreturn]] void fail(const char* message) const;

  std::string path_;
  std::string temporary_;
  int fd_ = -1;
};

#endif  // MORROWLINE_EXTRACT_FILE_REPLACEMENT_H_
