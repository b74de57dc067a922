#ifndef MORROWLINE_PACK_INSTALLER_STUB_H_
#define MORROWLINE_PACK_INSTALLER_STUB_H_

#include <cstdint>
#include <optional>
#include <string>

#include "pack/architecture.h"

// The installer program's file name.
constexpr char installer_program_name[] = "morrowline-sfx";

// Where the program for `architecture` lies, relative to the directory
// above morrowline-pack's: the one for the packer's own machine beside it
// (bin/morrowline-sfx), every other under lib/morrowline-sfx/ARCH/.
std::string installer_program_place(Architecture architecture);

// The room every architecture's program takes in front of an archive: the
// size of the largest of those that came with morrowline-pack, where
// installer_program_place puts them (0 when none did). Padded to it, each
// program is followed by the same archive bytes, whose offsets count from
// the file's first byte.
uint64_t installer_program_room();

// The program an installer starts with: `requested` when it is not empty,
// else the one for `architecture` (x86_64 when none is given) where the
// build tree and an installation keep it (installer_program_place, found
// from the running program through /proc/self/exe). Throws ContextError
// "installer program not found" (context: the path looked at and why)
// unless that is a readable regular file, and "installer program for
// another architecture" (context: the path, what it is for and what was
// asked) when an architecture is asked for, or implied by the default
// place, and the program's ELF header names another.
std::string locate_installer_stub(const std::string& requested,
                                  std::optional<Architecture> architecture);

// The notices of what the installer programs carry, as the build put them
// beside the programs (share/doc/morrowline-sfx/installer-notices.txt,
// relative as installer_program_place). Throws ContextError "notices not
// found" (context: the path and why) when they cannot be read.
std::string installer_notices();

#endif  // MORROWLINE_PACK_INSTALLER_STUB_H_
