// The program's entry point: finds the archive appended to its own file
// and, when it holds members, runs the whole extraction.
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/context_error.h"
#include "extract/extractor.h"
#include "launcher/run_sequence.h"

namespace {

// The program's own file. argv[0] names it when it holds a '/'; a bare name
// means the shell found the program on PATH, and a file of that name in the
// working directory may be another one altogether.
std::string own_file(int argc, char** argv) {
  std::string given = argc > 0 && argv[0] ? argv[0] : "";
  if (given.find('/') != std::string::npos) return given;
  std::string path(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  // The link names the file for messages; a replaced or deleted file is
  // still read through the link itself.
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return "/proc/self/exe";
  path.resize(static_cast<size_t>(length));
  if (path.size() > 10 && path.compare(path.size() - 10, 10, " (deleted)") == 0)
    return "/proc/self/exe";
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  std::string own_path = own_file(argc, argv);
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
