// morrowline-pack: makes installers from folders, and lists and checks them.
// Every failure ends here, reported on one line with the program's name.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/context_error.h"
#include "pack/installer_report.h"
#include "pack/installer_signature.h"
#include "pack/installer_stub.h"
#include "pack/pack_options.h"
#include "pack/package_builder.h"

namespace {

constexpr int status_ok = 0;
constexpr int status_failed = 1;
constexpr int status_usage = 2;

int pack(const PackOptions& options) {
  std::optional<int64_t> fixed_time = source_date_epoch(std::getenv("SOURCE_DATE_EPOCH"));
  // ZIP times are local calendar times; with a fixed time the bytes must
  // not depend on the packing machine's time zone.
  if (fixed_time) {
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  std::vector<std::string> notes = build_installer(
      PackageRequest{options.operand, options.output, options.run_command, options.stub,
                     options.architecture,
                     PayloadSettings{Compression{options.method, options.level}, fixed_time},
                     options.signing_key, progress_shown(options.progress, STDERR_FILENO)});
  for (const std::string& note : notes) std::cerr << "morrowline-pack: " << printable(note) << '\n';
  return status_ok;
}

// --check, and --verify once the signature is good.
int check(const PackOptions& options) {
  CheckReport report = check_installer(options.operand);
  for (const std::string& failure : report.failures)
    std::cerr << "morrowline-pack: " << failure << '\n';
  if (!report.failures.empty()) {
    std::cerr << "morrowline-pack: " << report.failures.size() << " of " << report.members
              << " members failed\n";
    return status_failed;
  }
  std::cout << "ok: " << report.members << " members, " << report.bytes
            << " bytes, every CRC-32 matches\n";
  return status_ok;
}

// The signature first: nothing of an installer whose origin is unknown is
// read.
int verify(const PackOptions& options) {
  std::string signer = verify_signature(options.operand, options.operand + ".sig", options.signers,
                                        options.identity);
  std::cout << "good signature from " << printable(signer) << std::endl;
  return check(options);
}

int run(const PackOptions& options) {
  switch (options.action) {
    case PackAction::help:
      std::cout << help_text();
      return status_ok;
    case PackAction::version:
      std::cout << "morrowline-pack " << MORROWLINE_VERSION << '\n';
      return status_ok;
    case PackAction::notices:
      std::cout << installer_notices();
      return status_ok;
    case PackAction::list:
      list_installer(options.operand, std::cout);
      return status_ok;
    case PackAction::check:
      return check(options);
    case PackAction::verify:
      return verify(options);
    case PackAction::pack:
      return pack(options);
  }
  return status_failed;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    return run(parse_pack_options(args));
  } catch (const UsageError& e) {
    std::cerr << "morrowline-pack: " << describe_failure(e) << '\n' << usage_line() << '\n';
    return status_usage;
  } catch (const std::exception& e) {
    std::cerr << "morrowline-pack: " << describe_failure(e) << '\n';
    return status_failed;
  }
}
