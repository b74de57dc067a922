#ifndef MORROWLINE_ARCHIVE_CUT_SHORT_H_
#define MORROWLINE_ARCHIVE_CUT_SHORT_H_

#include <cstdint>
#include <string>

#include "archive/archive_image.h"
#include "common/context_error.h"

// An installer whose download stopped early: ContextError "the installer
// is incomplete (cut short at N of its bytes?)", context its path.
class IncompleteInstaller : public ContextError {
 public:
  IncompleteInstaller(uint64_t size, const std::string& path);
};

// Whether `file`, `size` bytes long and holding no end record, is an
// installer cut short: an ELF program image, then (past the zeros that
// pad it) bytes that begin as a ZIP member does. The program alone, or
// one followed by anything else, is not. Reads the ELF header and program
// headers and at most 64 KiB behind the image.
bool looks_cut_short(const ArchiveImage& file, uint64_t size);

#endif  // MORROWLINE_ARCHIVE_CUT_SHORT_H_
