#include "extract/extractor.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/context_error.h"
#include "extract/member_name.h"
#include "extract/run.h"

namespace {

constexpr size_t working_directory_size = 4096;

}  // namespace

Extractor::Extractor(const std::string& archive_path) : archive(std::make_unique<Archive>()) {
  archive->reset();
  load_archive(archive_path);
}

std::vector<std::string> Extractor::member_names() {
  std::vector<std::string> names;
  for (const MemberInfo& member : archive->members()) names.push_back(member.name);
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
  const std::vector<MemberInfo>& members = archive->members();
  if (members.empty()) return;
  for (const MemberInfo& member : members) check_member_name(member.name);
  Run run(*this, members, destination);
  run.extract_every_member();
}
