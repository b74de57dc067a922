#ifndef MORROWLINE_EXTRACT_MEMBER_NAME_H_
#define MORROWLINE_EXTRACT_MEMBER_NAME_H_

#include <string>

// Throws ContextError "unsafe member name" (context: the name) for a name
// that could land outside the destination or names nothing: an empty name,
// an absolute one, one holding a zero byte, or one with a ".." component
// between '/' or '\' separators.
void check_member_name(const std::string& name);

// True for a directory member: its name ends with '/'.
bool is_directory_member(const std::string& name);

#endif  // MORROWLINE_EXTRACT_MEMBER_NAME_H_
