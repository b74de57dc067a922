#ifndef MORROWLINE_PACK_INSTALLER_STUB_H_
#define MORROWLINE_PACK_INSTALLER_STUB_H_

#include <string>

// The installer program's file name, looked for beside morrowline-pack.
constexpr char installer_program_name[] = "morrowline-sfx";

// The program an installer starts with: `requested` when it is not empty,
// else morrowline-sfx in the directory of the running program (found
// through /proc/self/exe), where both the build tree and an installation
// keep it. Throws ContextError "installer program not found" (context: the
// path looked at and why) unless that is a readable regular file.
std::string locate_installer_stub(const std::string& requested);

#endif  // MORROWLINE_PACK_INSTALLER_STUB_H_
