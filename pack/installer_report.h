#ifndef MORROWLINE_PACK_INSTALLER_REPORT_H_
#define MORROWLINE_PACK_INSTALLER_REPORT_H_

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// A stored Unix mode as ls -l shows it: the type letter ('d', '-', 'l',
// 'p', 's', 'c', 'b', or '?' when no type is stored, as in a mode of 0),
// then the nine permission bits, set-ID and sticky bits as 's'/'S', 't'/'T'.
std::string mode_text(unsigned mode);

// Prints "architecture: ARCH" (program_architecture of the bytes in front,
// or "unknown (no ELF program in front)"), then one line per member of the
// installer at `path`, in archive order: mode text, uncompressed size
// (right-aligned, 10 columns), compression method
// (compression_method_name, left-aligned, 7 columns) and name (control
// bytes as \xHH), then "autorun: COMMAND" (control bytes likewise, and a
// note when it holds a NUL byte, where the shell would cut it) or
// "autorun: none". Runs nothing. Throws ContextError "cannot open file" or
// "no archive", or the archive's "bad zip".
void list_installer(const std::string& path, std::ostream& out);

struct CheckReport {
  size_t members = 0;
  uint64_t bytes = 0;                 // uncompressed, of the members read whole
  std::vector<std::string> failures;  // "<message>: <member name>", one per bad member
};

// Reads every member, verifying its CRC-32 and size, and checks its name as
// the installer does; an autorun command holding a NUL byte fails too. Throws as list_installer when there is nothing to read.
CheckReport check_installer(const std::string& path);

#endif  // MORROWLINE_PACK_INSTALLER_REPORT_H_
