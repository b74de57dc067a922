#ifndef MORROWLINE_PACK_PACK_OPTIONS_H_
#define MORROWLINE_PACK_PACK_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/context_error.h"
#include "pack/architecture.h"
#include "pack/compression.h"

enum class PackAction { pack, list, check, verify, help, version, notices };

// What one run of morrowline-pack is asked to do, as its command line says.
struct PackOptions {
  PackAction action = PackAction::pack;
  std::string output;                      // -o: the installer to write
  std::optional<std::string> run_command;  // --run: bytes as given
  int level = default_level;               // -0 .. -9; 0 stores
  // --method: how files are compressed, on the scale of `level`
  CompressionMethod method = CompressionMethod::deflate;
  std::string stub;                        // --stub; empty: where `architecture`'s lies
  std::optional<Architecture> architecture;  // --arch; none: x86_64, unchecked with --stub
  std::optional<std::string> signing_key;  // --sign
  // --progress (true) or --quiet (false), whichever came last; none: a
  // progress line on a terminal only
  std::optional<bool> progress;
  std::string signers;                     // --signers: allowed signers file for --verify
  std::optional<std::string> identity;     // --identity; none: whoever FILE says signed
  std::string operand;                     // the folder, or the installer to list, check or verify
};

// A command line that asks for nothing that can be done; answered with the
// usage line and status 2 rather than 1.
class UsageError : public ContextError {
 public:
  using ContextError::ContextError;
};

// Reads the arguments that follow the program name. Throws UsageError:
// "unknown option", "unknown method", "unknown architecture", "missing
// argument", "no output file",
// "no folder given", "no installer given", "no signers file", "too many
// arguments", "conflicting options", "option only for --verify".
PackOptions parse_pack_options(const std::vector<std::string>& args);

// The time SOURCE_DATE_EPOCH gives, or none when `value` is null or empty.
// Throws ContextError "bad SOURCE_DATE_EPOCH" for anything but a whole,
// non-negative number of seconds.
std::optional<int64_t> source_date_epoch(const char* value);

// The text --help prints; the usage line alone follows a UsageError.
std::string help_text();
std::string usage_line();

#endif  // MORROWLINE_PACK_PACK_OPTIONS_H_
