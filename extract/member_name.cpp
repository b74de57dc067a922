#include "extract/member_name.h"

#include "common/context_error.h"

namespace {

bool has_parent_component(const std::string& name) {
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      if (i - start == 2 && name[start] == '.' && name[start + 1] == '.') return true;
      start = i + 1;
    }
  }
  return false;
}

}  // namespace

void check_member_name(const std::string& name) {
  if (name.empty() || name[0] == '/' || name.find('\0') != std::string::npos ||
      has_parent_component(name))
    throw ContextError("unsafe member name", name);
}

bool is_directory_member(const std::string& name) {
  return !name.empty() && name.back() == '/';
}
