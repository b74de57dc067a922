// Archive::write_member belongs to the archive's interface but writes to
// disk, which is the extraction library's business; it is defined here.
#include "archive/archive.h"
#include "extract/file_replacement.h"

namespace {

// D and the name joined with exactly one '/' between them, even when D
// already ends with one.
std::string part_join(const std::string& directory, const std::string& name) {
  return directory + "/" + name;
}

}  // namespace

void Archive::write_member(const MemberInfo& info, const std::string& directory) {
  std::string path = part_join(directory, info.name);
  MemberInfo member = member_info(info.name);
  // The member streams into a new file that replaces the old one only once
  // every byte has passed the CRC-32 check: a member that cannot be read
  // leaves the old file whole.
  FileReplacement file(path);
  read_chunks(member, [&file](const char* data, size_t size) { file.write(data, size); });
  file.commit();
}
