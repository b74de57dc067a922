#ifndef MORROWLINE_PACK_PACKAGE_BUILDER_H_
#define MORROWLINE_PACK_PACKAGE_BUILDER_H_

#include <optional>
#include <string>

#include "pack/payload_archive.h"

struct PackageRequest {
  std::string folder;
  std::string output;
  std::optional<std::string> run_command;  // none: no archive comment
  std::string stub;                        // empty: found beside this program
  PayloadSettings payload;
};

// Writes the installer `output` (mode 0755): the installer program, then a
// ZIP archive of the folder as collect_package_tree lists it, commented
// with the autorun command. What can be refused (the command's size, the
// folder and its contents, a missing program) is refused before any file
// is made; on any failure neither the output nor a temporary file is left.
// Throws ContextError.
void build_installer(const PackageRequest& request);

#endif  // MORROWLINE_PACK_PACKAGE_BUILDER_H_
