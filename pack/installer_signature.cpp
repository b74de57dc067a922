#include "pack/installer_signature.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "common/context_error.h"
#include "common/file_descriptor.h"
#include "pack/pending_file.h"
#include "pack/ssh_keygen.h"

namespace {

// ssh-keygen binds a signature to a namespace; "file" is the one its manual
// gives for signing files, and the one a user types to verify.
constexpr char signature_namespace[] = "file";
constexpr char armor_header[] = "-----BEGIN SSH SIGNATURE-----";
// An armored signature of the largest RSA key is a few KiB.
constexpr off_t longest_signature = 64 << 10;

bool says(const SshKeygenRun& run, const char* phrase) {
  return run.errors.find(phrase) != std::string::npos;
}

// What ssh-keygen before OpenSSH 8.1 answers to -Y.
bool too_old(const SshKeygenRun& run) { return says(run, "unknown option -- Y"); }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// ssh-keygen's own reason for a failure, as one line. Its error is the
// last line it writes, except for a key with too open permissions, which
// it explains above a banner and a closing line that says less.
std::string reason_of(const SshKeygenRun& run) {
  if (too_old(run))
    return "this ssh-keygen cannot sign or verify files; OpenSSH 8.1 or later is needed";
  std::vector<std::string> lines = lines_of(run.errors);
  for (const std::string& line : lines)
    if (line.find("are too open") != std::string::npos) return line;
  if (lines.empty()) return "ssh-keygen failed with status " + std::to_string(run.status);
  return lines.back();
}

// The first line of ssh-keygen's complaint about the signature file
// itself, or "" when it made none.
std::string signature_file_problem(const SshKeygenRun& run) {
  for (const std::string& line : lines_of(run.errors))
    if (line.find("Couldn't parse signature") != std::string::npos ||
        line.find("Couldn't read signature") != std::string::npos)
      return line;
  return "";
}

// ssh-keygen takes its file operand as an option when it begins with '-'.
std::string as_operand(const std::string& path) {
  return !path.empty() && path[0] == '-' ? "./" + path : path;
}

FileDescriptor open_for_reading(const std::string& path, const char* message) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) throw ContextError(message, path + ": " + std::strerror(errno));
  return file;
}

// Removes a file that another program makes, whatever happens after.
class RemovedAtExit {
 public:
  explicit RemovedAtExit(std::string path) : path_(std::move(path)), on_signal_(path_) {}
  ~RemovedAtExit() { unlink(path_.c_str()); }
  RemovedAtExit(const RemovedAtExit&) = delete;
  RemovedAtExit& operator=(const RemovedAtExit&) = delete;

 private:
  std::string path_;
  RemovedOnSignal on_signal_;
};

std::string first_signer(const std::string& signature, const std::string& signers) {
  SshKeygenRun run =
      run_ssh_keygen({"-Y", "find-principals", "-s", signature, "-f", signers}, -1, false);
  // One principal a line; the first is the first identity in the file
  // whose key made the signature.
  std::vector<std::string> principals = lines_of(run.output);
  if (run.status == 0 && !principals.empty()) return principals.front();
  std::string problem = signature_file_problem(run);
  if (!problem.empty()) throw ContextError("bad signature file", signature + ": " + problem);
  if (says(run, "No principal matched")) throw ContextError("no matching signer", signers);
  throw ContextError("cannot verify signature", reason_of(run));
}

}  // namespace

void check_signing_key(const std::string& key) {
  find_ssh_keygen();
  FileDescriptor file = open_for_reading(key, "cannot read signing key");
  struct stat info;
  if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
    throw ContextError("cannot read signing key", key + ": not a regular file");
}

std::string sign_file(const std::string& path, const std::string& key) {
  std::string written = path + ".sig";
  struct stat info;
  if (lstat(written.c_str(), &info) == 0)
    throw ContextError("cannot sign installer", written + ": already exists");
  RemovedAtExit removed(written);
  // With no terminal at hand nobody could answer a passphrase prompt; the
  // child then cannot reach one and fails instead of waiting.
  bool may_prompt = isatty(STDIN_FILENO);
  SshKeygenRun run = run_ssh_keygen(
      {"-Y", "sign", "-f", key, "-n", signature_namespace, as_operand(path)}, -1, may_prompt);
  if (run.status != 0) {
    std::string reason = reason_of(run);
    if (says(run, "incorrect passphrase"))
      reason = may_prompt ? "wrong passphrase"
                          : "the key needs its passphrase and standard input is not a terminal; "
                            "add the key to ssh-agent";
    // ssh-keygen then names KEY.pub's absence, which says little about KEY.
    else if (says(run, "Couldn't load public key"))
      reason = "no OpenSSH key in it, nor in " + key + ".pub";
    throw ContextError("cannot sign installer", key + ": " + reason);
  }
  std::ifstream in(written, std::ios::binary);
  std::string signature((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (signature.compare(0, sizeof armor_header - 1, armor_header) != 0)
    throw ContextError("cannot sign installer", key + ": ssh-keygen wrote no signature");
  return signature;
}

std::string verify_signature(const std::string& path, const std::string& signature,
                             const std::string& signers,
                             const std::optional<std::string>& identity) {
  FileDescriptor installer = open_for_reading(path, "cannot open file");
  struct stat info;
  if (fstat(installer.get(), &info) != 0 || !S_ISREG(info.st_mode))
    throw ContextError("cannot open file", path + ": not a regular file");
  if (access(signature.c_str(), F_OK) != 0 && errno == ENOENT)
    throw ContextError("signature file missing", signature);
  FileDescriptor signature_file = open_for_reading(signature, "cannot read file");
  // A real one is under 2 KB; ssh-keygen takes seconds over megabytes of
  // anything else.
  if (fstat(signature_file.get(), &info) == 0 && info.st_size > longest_signature)
    throw ContextError("bad signature file", "too large: " + signature);
  open_for_reading(signers, "cannot read file");

  std::string signer = identity ? *identity : first_signer(signature, signers);
  SshKeygenRun run = run_ssh_keygen(
      {"-Y", "verify", "-f", signers, "-I", signer, "-n", signature_namespace, "-s", signature},
      installer.get(), false);
  if (run.status == 0) return signer;
  if (too_old(run)) throw ContextError("cannot verify signature", reason_of(run));
  if (says(run, "incorrect signature")) throw ContextError("signature does not match", path);
  std::string problem = signature_file_problem(run);
  if (!problem.empty()) throw ContextError("bad signature file", signature + ": " + problem);
  // ssh-keygen says nothing on standard error when the signer's key is not
  // the one allowed for the identity.
  if (lines_of(run.errors).empty())
    throw ContextError("no matching signer", identity ? signers + ": " + *identity : signers);
  throw ContextError("signature does not match", path + ": " + reason_of(run));
}
