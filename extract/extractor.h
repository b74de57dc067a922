#ifndef MORROWLINE_EXTRACT_EXTRACTOR_H_
#define MORROWLINE_EXTRACT_EXTRACTOR_H_

#include <atomic>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "extract/interrupted.h"
#include "extract/progress_observer.h"

// Drives one run: loads the archive appended to the program's own file,
// lists it, and unpacks every member below a destination, telling each
// observer about each member first. Used by one thread at a time.
class Extractor {
 public:
  // Loads the archive behind the file at `archive_path`. A file that is
  // missing or holds no archive leaves the archive empty; a damaged one
  // throws ("bad zip", "didn't find end of central directory signature"),
  // and one that cannot be read throws ContextError "cannot open installer".
  explicit Extractor(const std::string& archive_path);
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  // True when an archive was found and opened; it is then read in place
  // from the file, which must not change during the run. Throws as the
  // constructor, and IncompleteInstaller for an installer cut short.
  bool load_archive(const std::string& path);
  // As load_archive, from a stream positioned at the start of the file's
  // last 65,557 bytes (or at its start, when it is shorter); the archive is
  // copied into memory.
  bool read_archive(std::istream& in);

  // Member names, stored bytes, in archive order. Throws "bad zip".
  std::vector<std::string> member_names();
  std::string comment();

  // Observers are told in registration order; the list keeps them alive.
  void add_observer(const std::shared_ptr<ProgressObserver>& observer);

  // Unpacks every member below the working directory / `destination`, in
  // archive order; each observer hears each member's target path before
  // the member is created. Every name is checked before anything on disk
  // changes; nothing is written outside the destination, nor through a
  // link that leads out of it; the destination itself is never re-moded.
  // Files and directories get their stored modes and times, directories
  // last, deepest first. The run holds an exclusive lock on the
  // destination. When the first member is a directory that exists, the new
  // tree is built beside it and replaces it only once complete.
  //
  // When the first member is a directory, its whole tree is built in a
  // hidden directory beside it and put in place at the end, over an old
  // tree that was first checked to be removable (no mount inside, nothing
  // locked against this user). Staging left by killed runs is removed
  // first.
  //
  // Throws ContextError (or the archive's std::runtime_error) at the first
  // member that cannot be placed, or Interrupted once `stop_signal` is
  // set; members outside the first member's directory that came before
  // stay on disk, and no partial file or staging directory is left. Once
  // the new tree is in place nothing is thrown: what went wrong after
  // that (an old tree that could not be removed) is in `warnings`.
  void extract_all();
  void extract_all(const std::string& destination);

  std::unique_ptr<Archive> archive;
  std::vector<std::shared_ptr<ProgressObserver>> observers;
  // When set, a run stops at the next piece once it reads non-zero: the
  // number of the signal that asked it to, or a StopReason.
  const std::atomic<int>* stop_signal = nullptr;
  // One line each, for people: what a finished run could not do.
  std::vector<std::string> warnings;
};

#endif  // MORROWLINE_EXTRACT_EXTRACTOR_H_
