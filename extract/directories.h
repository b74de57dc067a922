#ifndef MORROWLINE_EXTRACT_DIRECTORIES_H_
#define MORROWLINE_EXTRACT_DIRECTORIES_H_

#include <string>

// Makes `path` a directory, creating each missing one on the way (mode 0755
// less the umask). An existing directory keeps its contents. Throws
// ContextError "cannot create directory" with the path and reason, also
// when a non-directory stands in the way.
void make_directories(const std::string& path);

#endif  // MORROWLINE_EXTRACT_DIRECTORIES_H_
