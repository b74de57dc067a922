#ifndef MORROWLINE_PACK_INSTALLER_SIGNATURE_H_
#define MORROWLINE_PACK_INSTALLER_SIGNATURE_H_

#include <optional>
#include <string>

// Detached OpenSSH signatures over whole installers, made and checked by
// ssh-keygen -Y sign/verify in the namespace "file", so that anyone can
// check them with ssh-keygen alone.

// What can be known before an installer is made: ssh-keygen is on PATH and
// `key` is a readable file. Throws ContextError "ssh-keygen not found" or
// "cannot read signing key" (context: key, reason).
void check_signing_key(const std::string& key);

// The signature (ssh-keygen's armored text) of the file at `path`, made
// with `key`: an OpenSSH private key, or the public key of one ssh-agent
// holds. ssh-keygen writes `path`.sig, which must not exist; it is removed
// again whatever happens. A passphrase is asked for on the terminal only
// when standard input is one. Throws ContextError "ssh-keygen not found" or
// "cannot sign installer" (context: key and why, e.g. "wrong passphrase").
std::string sign_file(const std::string& path, const std::string& key);

// Checks `signature`, a detached signature of the file at `path`, against
// the allowed signers file `signers` (ssh-keygen's format) for `identity`,
// or for the first identity there whose key made the signature. Returns
// that identity. Throws ContextError: "signature file missing" (context:
// its path), "no matching signer" (context: signers file, and the identity
// when given), "signature does not match" (context: the installer),
// "bad signature file" (also for one over 64 KiB, before ssh-keygen reads
// it: context "too large: PATH"), "cannot open file", "cannot read file",
// "ssh-keygen not found" or "cannot verify signature".
std::string verify_signature(const std::string& path, const std::string& signature,
                             const std::string& signers,
                             const std::optional<std::string>& identity);

#endif  // MORROWLINE_PACK_INSTALLER_SIGNATURE_H_
