// The program's entry point: finds the archive appended to its own file
// and, when it holds members, runs the whole extraction.
#include <memory>
#include <string>
#include <vector>

#include "archive/context_error.h"
#include "extract/extractor.h"
#include "launcher/run_sequence.h"

int main(int argc, char** argv) {
  // argv[0] is used as given: not resolved, not searched for on PATH.
  std::string own_path = argc > 0 && argv[0] ? argv[0] : "";
  std::unique_ptr<Extractor> extractor;
  std::vector<std::string> names;
  try {
    extractor = std::make_unique<Extractor>(own_path);
    names = extractor->member_names();
  } catch (const ContextError& e) {
    report_failure(e);
    return status_failed;
  } catch (const std::runtime_error& e) {
    report_failure(ContextError(e.what(), own_path));  // which file is damaged
    return status_failed;
  } catch (const std::exception& e) {
    report_failure(e);
    return status_failed;
  }
  if (names.empty()) return status_no_members;

  int status = run_sequence(*extractor, names.size(), argc, argv);
  names.clear();
  extractor.reset();  // drops the observers' last reference to the window
  return status;
}
