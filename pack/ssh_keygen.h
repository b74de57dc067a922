#ifndef MORROWLINE_PACK_SSH_KEYGEN_H_
#define MORROWLINE_PACK_SSH_KEYGEN_H_

#include <string>
#include <vector>

// OpenSSH's ssh-keygen, run as a child process (no shell) for signing and
// verifying installers.

// The first executable "ssh-keygen" on PATH (the system's default path
// when PATH is unset). Throws ContextError "ssh-keygen not found".
std::string find_ssh_keygen();

struct SshKeygenRun {
  int status = 0;      // exit status, or 128 + the signal that ended it
  std::string output;  // what it wrote on standard output
  std::string errors;  // ... and on standard error
};

// Runs ssh-keygen with `args` and waits for it. Its standard input is
// `input` (a descriptor that stays the caller's), or /dev/null when -1.
// It never opens an askpass dialog. Unless `may_prompt`, it runs in a
// session of its own, without a controlling terminal, so that it cannot
// ask for a passphrase and wait: a key that needs one fails at once.
// Throws ContextError "ssh-keygen not found" or "cannot run ssh-keygen".
SshKeygenRun run_ssh_keygen(const std::vector<std::string>& args, int input, bool may_prompt);

#endif  // MORROWLINE_PACK_SSH_KEYGEN_H_
