#ifndef MORROWLINE_PACK_PACKAGE_BUILDER_H_
#define MORROWLINE_PACK_PACKAGE_BUILDER_H_

#include <optional>
#include <string>
#include <vector>

#include "pack/architecture.h"
#include "pack/payload_archive.h"

struct PackageRequest {
  std::string folder;
  std::string output;
  std::optional<std::string> run_command;  // none: no archive comment
  std::string stub;                        // empty: the one for `architecture`
  std::optional<Architecture> architecture;  // see locate_installer_stub
  PayloadSettings payload;
  std::optional<std::string> signing_key;  // none: no .sig and .sha256 files
  ProgressShown progress = ProgressShown::none;  // while the archive is written
};

// Writes the installer `output` (mode 0755): the installer program (the
// one found for `architecture` padded with zeros to
// installer_program_room(), or `stub` as it is), then a ZIP archive of the
// folder as collect_package_tree lists it, commented with the autorun
// command. With a signing key, also `output`.sig, its
// detached signature (see sign_file), and `output`.sha256, its SHA-256 in
// sha256sum's format (both mode 0644). What can be refused (the command's
// size, the folder and its contents, a missing program, ssh-keygen or key)
// is refused before any file is made; the files are complete under
// temporary names before the first takes its place, the installer last. On
// any failure neither a new file nor a temporary one is left.
// The output itself, met in the folder (an installer made there before),
// is left out, and a note says so: the notes, one line each for people,
// are returned. An output that is one of the folder's other files is
// refused ("output is one of the inputs").
// Throws ContextError.
std::vector<std::string> build_installer(const PackageRequest& request);

#endif  // MORROWLINE_PACK_PACKAGE_BUILDER_H_
