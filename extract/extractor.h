#ifndef MORROWLINE_EXTRACT_EXTRACTOR_H_
#define MORROWLINE_EXTRACT_EXTRACTOR_H_

#include <istream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "extract/progress_observer.h"

// Drives one run: loads the archive appended to the program's own file,
// lists it, and unpacks every member below a destination, telling each
// observer about each member first. Used by one thread at a time.
class Extractor {
 public:
  // Loads the archive behind the file at `archive_path`. A file that cannot
  // be opened or holds no archive leaves the archive empty; a damaged one
  // throws ("bad zip", "didn't find end of central directory signature").
  explicit Extractor(const std::string& archive_path);
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  // True when an archive was found, loaded and opened.
  bool load_archive(const std::string& path);
  // As load_archive, from a stream positioned at the start of the file's
  // last 65,557 bytes (or at its start, when it is shorter).
  bool read_archive(std::istream& in);

  // Member names, stored bytes, in archive order. Throws "bad zip".
  std::vector<std::string> member_names();
  std::string comment();

  // Observers are told in registration order; the list keeps them alive.
  void add_observer(const std::shared_ptr<ProgressObserver>& observer);

  // Unpacks every member below the working directory / `destination`.
  // Every name is checked before anything on disk changes; no member is
  // written outside the destination. Directory modes are applied last,
  // deepest first, so a read-only directory still receives its files.
  // Throws ContextError (or the archive's std::runtime_error) at the first
  // member that cannot be placed; members before it stay on disk.
  void extract_all();
  void extract_all(const std::string& destination);

  // Tells the observers about `target_path`, then creates the member there.
  // The archive's read failures leave as ContextError with the same message
  // and the member's name as context.
  void extract_member(const std::string& target_path, const MemberInfo& member);

  std::unique_ptr<Archive> archive;
  std::vector<std::shared_ptr<ProgressObserver>> observers;

 private:
  void clear_first_place(const MemberInfo& first);
  void apply_directory_modes();

  // Canonical destination of the run in progress.
  std::string destination_;
  // Directory members' places and stored modes, applied after the run.
  std::vector<std::pair<std::string, unsigned>> directory_modes_;
};

#endif  // MORROWLINE_EXTRACT_EXTRACTOR_H_
