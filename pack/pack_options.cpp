#include "pack/pack_options.h"

#include <charconv>
#include <cstring>

namespace {

struct Option {
  std::string name;
  std::optional<std::string> value;  // given inside the argument itself
};

bool takes_value(const std::string& name) {
  return name == "-o" || name == "--output" || name == "--run" || name == "--stub" ||
         name == "--sign" || name == "--signers" || name == "--identity" || name == "--method" ||
         name == "--arch";
}

// The actions whose operand is an installer.
bool names_installer(const std::string& name) {
  return name == "--list" || name == "--check" || name == "--verify";
}

bool is_level(const std::string& name) {
  return name.size() == 2 && name[0] == '-' && name[1] >= '0' && name[1] <= '9';
}

// "--run=x" and "-ofile" carry their value; every other short option is
// a word of its own, since bundling ("-9o") would make levels ambiguous.
Option split_option(const std::string& arg) {
  if (arg.compare(0, 2, "--") == 0) {
    size_t equals = arg.find('=');
    if (equals != std::string::npos) return {arg.substr(0, equals), arg.substr(equals + 1)};
    return {arg, std::nullopt};
  }
  if (arg.compare(0, 2, "-o") == 0 && arg.size() > 2) return {"-o", arg.substr(2)};
  return {arg, std::nullopt};
}

class Parser {
 public:
  PackOptions parse(const std::vector<std::string>& args);

 private:
  void apply(const std::string& name, const std::string& value);
  void choose_action(PackAction action, const std::string& name);
  PackOptions finish();

  PackOptions options_;
  std::vector<std::string> operands_;
  std::string packing_option_;  // the first one seen, for the conflict message
  std::string verifying_option_;
  std::string action_option_;
  bool help_ = false;
  bool version_ = false;
  bool notices_ = false;
};

PackOptions Parser::parse(const std::vector<std::string>& args) {
  bool only_operands = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (only_operands || arg.size() < 2 || arg[0] != '-') {
      operands_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_operands = true;
      continue;
    }
    Option option = split_option(arg);
    if (!takes_value(option.name)) {
      // "--list=INSTALLER": the installer the action reads, as the man
      // page's --option=VALUE form has it.
      if (option.value && names_installer(option.name)) {
        apply(option.name, "");
        operands_.push_back(*option.value);
        continue;
      }
      if (option.value) throw UsageError("unknown option", arg);
      apply(option.name, "");
      continue;
    }
    if (!option.value) {
      if (i + 1 == args.size()) throw UsageError("missing argument", option.name);
      option.value = args[++i];
    }
    apply(option.name, *option.value);
  }
  return finish();
}

void Parser::apply(const std::string& name, const std::string& value) {
  if (name == "-h" || name == "--help") {
    help_ = true;
  } else if (name == "--version") {
    version_ = true;
  } else if (name == "--notices") {
    notices_ = true;
  } else if (name == "--list") {
    choose_action(PackAction::list, name);
  } else if (name == "--check") {
    choose_action(PackAction::check, name);
  } else if (name == "--verify") {
    choose_action(PackAction::verify, name);
  } else if (name == "-o" || name == "--output") {
    options_.output = value;
  } else if (name == "--run") {
    options_.run_command = value;
  } else if (name == "--stub") {
    options_.stub = value;
  } else if (name == "--sign") {
    options_.signing_key = value;
  } else if (name == "--signers") {
    options_.signers = value;
  } else if (name == "--identity") {
    options_.identity = value;
  } else if (name == "--method") {
    std::optional<CompressionMethod> method = compression_method_named(value);
    if (!method) throw UsageError("unknown method", value + " (store, deflate, bzip2, zstd or xz)");
    options_.method = *method;
  } else if (name == "--arch") {
    options_.architecture = architecture_named(value);
    if (!options_.architecture)
      throw UsageError("unknown architecture", value + " (" + known_architectures() + ")");
  } else if (name == "--progress" || name == "-q" || name == "--quiet") {
    options_.progress = name == "--progress";
  } else if (is_level(name)) {
    options_.level = name[1] - '0';
  } else {
    throw UsageError("unknown option", name);
  }
  bool packing = name == "-o" || name == "--output" || name == "--run" || name == "--stub" ||
                 name == "--sign" || name == "--method" || name == "--arch" ||
                 name == "--progress" || name == "-q" || name == "--quiet" || is_level(name);
  if (packing && packing_option_.empty()) packing_option_ = name;
  bool verifying = name == "--signers" || name == "--identity";
  if (verifying && verifying_option_.empty()) verifying_option_ = name;
}

void Parser::choose_action(PackAction action, const std::string& name) {
  if (options_.action != PackAction::pack && options_.action != action)
    throw UsageError("conflicting options", action_option_ + " and " + name);
  options_.action = action;
  action_option_ = name;
}

PackOptions Parser::finish() {
  if (help_ || version_ || notices_) {
    options_.action = help_      ? PackAction::help
                      : version_ ? PackAction::version
                                 : PackAction::notices;
    return options_;
  }
  bool packing = options_.action == PackAction::pack;
  if (!packing && !packing_option_.empty())
    throw UsageError("conflicting options", action_option_ + " and " + packing_option_);
  if (options_.action != PackAction::verify && !verifying_option_.empty()) {
    if (!packing)
      throw UsageError("conflicting options", action_option_ + " and " + verifying_option_);
    if (!packing_option_.empty())
      throw UsageError("conflicting options", packing_option_ + " and " + verifying_option_);
    throw UsageError("option only for --verify", verifying_option_);
  }
  if (operands_.empty()) throw UsageError(packing ? "no folder given" : "no installer given", "");
  if (operands_.size() > 1) throw UsageError("too many arguments", operands_[1]);
  if (packing && options_.output.empty()) throw UsageError("no output file", "give -o FILE");
  if (options_.action == PackAction::verify && options_.signers.empty())
    throw UsageError("no signers file", "give --signers FILE");
  options_.operand = operands_.front();
  return options_;
}

}  // namespace

PackOptions parse_pack_options(const std::vector<std::string>& args) {
  return Parser().parse(args);
}

std::optional<int64_t> source_date_epoch(const char* value) {
  if (!value || !*value) return std::nullopt;
  const char* end = value + std::strlen(value);
  int64_t seconds = 0;
  auto [stop, error] = std::from_chars(value, end, seconds);
  // from_chars takes a leading '-'; a negative time is refused with the rest.
  if (error != std::errc() || stop != end || seconds < 0)
    throw ContextError("bad SOURCE_DATE_EPOCH", value);
  return seconds;
}

std::string usage_line() {
  return "usage: morrowline-pack -o INSTALLER [--run COMMAND] [--method METHOD] [-0..-9]\n"
         "                       [--arch ARCH] [--stub PROGRAM] [--sign KEY]\n"
         "                       [--quiet | --progress] FOLDER\n"
         "       morrowline-pack --verify INSTALLER --signers FILE [--identity ID]\n"
         "       morrowline-pack --list INSTALLER | --check INSTALLER | --notices | --help |\n"
         "                       --version";
}

std::string help_text() {
  return usage_line() + R"(

Makes a graphical self-extracting installer: the morrowline-sfx program with
a ZIP archive of FOLDER appended. Started, the installer unpacks FOLDER below
its working directory, removing an old copy of FOLDER there first.

Packing:
  -o, --output INSTALLER  the file to write (mode 0755); written beside itself
                          under a temporary name and renamed into place, so a
                          failed run leaves no file behind
  --run COMMAND           archive comment "$AUTORUN$>COMMAND": the installer
                          runs COMMAND (bytes as given, newlines included)
                          through the shell in its working directory when it
                          has unpacked everything, then exits 0; at most
                          65,525 bytes
  --method METHOD         how files are compressed: deflate (the default),
                          zstd, xz, bzip2 or store. Every unzip extracts
                          deflate; Info-ZIP's unzip 6.0 extracts neither
                          zstd nor xz (see the man page). A member that
                          METHOD does not shrink is stored
  -0 .. -9                level, default 6, on each method's own scale:
                          deflate -N is zlib's level N, bzip2 -N blocks of
                          N x 100 kB, xz -N preset N; zstd -1 .. -9 are
                          zstd levels 1, 2, 3, 5, 7, 9, 12, 15, 19. -0
                          stores every member, whatever the method
  --arch ARCH             the machine the installer is for: x86_64 (the
                          default) or aarch64 (64-bit ARM: Raspberry Pi OS,
                          ARM laptops). Chooses the morrowline-sfx program put
                          first; the archive after it is the same for both
  --stub PROGRAM          the installer program to put first (default: the
                          morrowline-sfx for ARCH that came with this
                          program); with --arch, it must be one for ARCH
  --sign KEY              sign the finished installer with the OpenSSH
                          private key KEY (or the public key of one that
                          ssh-agent holds) through ssh-keygen -Y sign -n file
                          (OpenSSH 8.1 or later); writes INSTALLER.sig, the
                          detached signature, and INSTALLER.sha256 in
                          sha256sum's format, both beside INSTALLER and only
                          when all three files are complete. A passphrase is
                          asked for only when standard input is a terminal
  -q, --quiet             no progress line, even on a terminal
  --progress              a progress line even when standard error is not a
                          terminal: a line at most once a second. Without
                          either (or with the last of them), a line on a
                          terminal only, redrawn in place: files done out of
                          all, the share of the bytes read, the rate and the
                          time left; cleared at the end

Reading installers:
  --list INSTALLER        "architecture: ARCH", from the ELF header of the
                          program in front; then one line per member: mode
                          as ls -l shows it ('?' for a member stored without
                          a Unix mode), size in bytes, compression method
                          (store, deflate, bzip2, lzma, zstd, xz or "method
                          N"), name (control bytes as \xHH); then "autorun:
                          COMMAND" or "autorun: none". Runs nothing
  --check INSTALLER       reads every member and verifies its CRC-32 and size
                          and that the installer accepts its name; prints
                          "ok: ..." or names each failing member on stderr
  --verify INSTALLER      checks INSTALLER.sig with ssh-keygen -Y verify
                          against the allowed signers FILE, then every member
                          as --check does; prints "good signature from ID"
                          and "ok: ...". Reads no member of a file whose
                          signature fails
  --signers FILE          for --verify: allowed signers (ssh-keygen's format,
                          "IDENTITY KEYTYPE KEY" a line); the signer is the
                          first identity there whose key made the signature
  --identity ID           for --verify: accept only ID's key from FILE
  --notices               the notices of the libraries and the font that every
                          installer's program carries, with their versions
                          and licences: pass them on with the installers
  -h, --help              this text
  --version               the version

The archive: FOLDER's own name comes first ("pkg/"), then everything below it
sorted by name bytes, each directory before its contents, with Unix modes
(file type and permission bits) and modification times. With
SOURCE_DATE_EPOCH set, every member gets that time (as UTC), so one folder
always packs to the same bytes; signed with the same Ed25519 (or RSA) key,
it gets the same INSTALLER.sig too (ECDSA signatures differ every time).

Symbolic links are followed: a link to a file is packed as a copy of that
file, a link to a directory as a copy of the tree it leads to (the installer
writes link members as ordinary files holding the link text, which would
break them). A dangling link, or a link leading back to a directory that
holds it, is refused. So are fifos, sockets and devices, and names the
installer would refuse (a ".." component, also between backslashes).

Exit status:
  0  done; for --check, every member is sound; for --verify, the signature
     is good and every member is sound
  1  refused or failed (message on stderr), nothing written; for --list,
     --check and --verify also: no archive in the file, or a damaged member;
     for --verify also: a missing or bad signature, or no matching signer
  2  bad command line

Example:
  morrowline-pack -o installer.run --run 'sh pkg/setup.sh' pkg/
  morrowline-pack --list installer.run
  morrowline-pack -o installer.run --sign ~/.ssh/id_ed25519 pkg/
  morrowline-pack --verify installer.run --signers allowed_signers
)";
}
