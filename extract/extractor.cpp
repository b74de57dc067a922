#include "extract/extractor.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstring>

#include "archive/context_error.h"
#include "extract/directories.h"
#include "extract/member_name.h"
#include "extract/stored_mode.h"
#include "extract/target_path.h"

namespace {

constexpr size_t working_directory_size = 4096;

// While it lives, a write beyond the file-size limit fails with EFBIG
// instead of killing the process, so the run can report it and clean up.
class FileSizeSignalIgnored {
 public:
  FileSizeSignalIgnored() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &saved_);
  }
  ~FileSizeSignalIgnored() { sigaction(SIGXFSZ, &saved_, nullptr); }
  FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
  FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;

 private:
  struct sigaction saved_ = {};
};

size_t depth(const std::string& path) { return std::count(path.begin(), path.end(), '/'); }

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

Extractor::Extractor(const std::string& archive_path) : archive(std::make_unique<Archive>()) {
  archive->reset();
  load_archive(archive_path);
}

std::vector<std::string> Extractor::member_names() {
  std::vector<std::string> names;
  for (MemberInfo& member : archive->members()) names.push_back(std::move(member.name));
  return names;
}

std::string Extractor::comment() { return archive->comment; }

void Extractor::add_observer(const std::shared_ptr<ProgressObserver>& observer) {
  observers.push_back(observer);
}

void Extractor::extract_all() {
  std::vector<char> buffer(working_directory_size + 1, '\0');
  if (!getcwd(buffer.data(), working_directory_size))
    throw ContextError("cannot find working directory", std::strerror(errno));
  extract_all(std::string(buffer.data()));
}

void Extractor::extract_all(const std::string& destination) {
  std::vector<MemberInfo> members = archive->members();
  if (members.empty()) return;
  for (const MemberInfo& member : members) check_member_name(member.name);

  destination_ = canonical_path(destination);
  directory_modes_.clear();
  FileSizeSignalIgnored file_size_limit_reported;
  try {
    clear_first_place(members.front());
    for (const MemberInfo& member : members) {
      bool directory = is_directory_member(member.name);
      std::string target =
          target_path(destination_, member.name, directory ? LeafRule::follow : LeafRule::keep);
      extract_member(target, member);
    }
  } catch (...) {
    apply_directory_modes();
    throw;
  }
  apply_directory_modes();
}

// A reinstall starts clean: the first member's old directory goes, but only
// a real directory strictly inside the destination, never a link's target.
void Extractor::clear_first_place(const MemberInfo& first) {
  std::string place;
  try {
    place = target_path(destination_, first.name, LeafRule::keep);
  } catch (const ContextError&) {
    return;  // the member itself reports where it leads
  }
  if (place == destination_ || !is_inside(destination_, place)) return;
  struct stat entry;
  if (lstat(place.c_str(), &entry) != 0 || !S_ISDIR(entry.st_mode)) return;
  boost::filesystem::remove_all(place);
}

void Extractor::extract_member(const std::string& target_path, const MemberInfo& member) {
  for (const auto& observer : observers) observer->on_member(target_path);
  unsigned mode = stored_mode(member.external_attributes);
  if (is_directory_member(member.name)) {
    make_directories(target_path);
    directory_modes_.emplace_back(target_path, mode);
    return;
  }
  size_t slash = target_path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) make_directories(target_path.substr(0, slash));
  // The member's directory D is the target less the name; where links or
  // '.' components make the target differ from the name, D is the
  // destination, below which the kernel finds the same place.
  std::string directory;
  if (ends_with(target_path, "/" + member.name))
    directory = target_path.substr(0, target_path.size() - member.name.size());
  else
    directory = destination_ + "/";
  try {
    archive->write_member(member, directory);
  } catch (const ContextError&) {
    throw;
  } catch (const std::runtime_error& e) {
    // The archive's own messages say what, not which member.
    throw ContextError(e.what(), printable(member.name));
  }
  apply_stored_mode(target_path, mode);
}

void Extractor::apply_directory_modes() {
  std::stable_sort(directory_modes_.begin(), directory_modes_.end(),
                   [](const auto& a, const auto& b) { return depth(a.first) > depth(b.first); });
  for (const auto& [path, mode] : directory_modes_) apply_stored_mode(path, mode);
  directory_modes_.clear();
}
