#ifndef MORROWLINE_PACK_AUTORUN_COMMENT_H_
#define MORROWLINE_PACK_AUTORUN_COMMENT_H_

#include <string>

// The archive comment that makes the installer run `command`: the marker,
// then the command byte for byte. Throws ContextError "autorun command too
// long" (context: its size and the limit) past max_comment_size in all.
std::string autorun_comment(const std::string& command);

#endif  // MORROWLINE_PACK_AUTORUN_COMMENT_H_
