#include "pack/ssh_keygen.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/context_error.h"
#include "common/file_descriptor.h"

extern char** environ;

namespace {

bool is_executable_file(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The environment less whatever could open a passphrase dialog: ssh-keygen
// runs askpass when DISPLAY (or WAYLAND_DISPLAY) is set, and a dialog
// nobody answers would hang an unattended build. SSH_AUTH_SOCK stays, so
// keys held by ssh-agent sign.
std::vector<std::string> child_environment() {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    std::string variable = *entry;
    std::string name = variable.substr(0, variable.find('='));
    if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "SSH_ASKPASS" ||
        name == "SSH_ASKPASS_REQUIRE")
      continue;
    variables.push_back(variable);
  }
  variables.push_back("SSH_ASKPASS_REQUIRE=never");
  return variables;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// A file in memory that collects one of the child's output streams, so
// that neither stream can fill a pipe while the other is read.
FileDescriptor capture_file(const char* name) {
  FileDescriptor file(memfd_create(name, MFD_CLOEXEC));
  if (!file.valid()) throw ContextError("cannot run ssh-keygen", std::strerror(errno));
  return file;
}

std::string captured(const FileDescriptor& file) {
  std::string text;
  char piece[4096];
  for (off_t at = 0;;) {
    ssize_t got = pread(file.get(), piece, sizeof piece, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(piece, static_cast<size_t>(got));
    at += got;
  }
  return text;
}

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace

std::string find_ssh_keygen() {
  const char* variable = std::getenv("PATH");
  std::string path;
  if (variable) {
    path = variable;
  } else {
    path.resize(confstr(_CS_PATH, nullptr, 0));
    confstr(_CS_PATH, path.data(), path.size());
    path.resize(std::strlen(path.c_str()));
  }
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string directory = path.substr(start, end - start);
    std::string candidate = (directory.empty() ? "." : directory) + "/ssh-keygen";
    if (is_executable_file(candidate)) return candidate;
    start = end + 1;
  }
  throw ContextError("ssh-keygen not found", "OpenSSH 8.1 or later is needed on PATH");
}

SshKeygenRun run_ssh_keygen(const std::vector<std::string>& args, int input, bool may_prompt) {
  std::string program = find_ssh_keygen();
  FileDescriptor null_input;
  if (input < 0) {
    null_input = FileDescriptor(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!null_input.valid()) throw ContextError("cannot run ssh-keygen", std::strerror(errno));
    input = null_input.get();
  }
  FileDescriptor output = capture_file("ssh-keygen-output");
  FileDescriptor errors = capture_file("ssh-keygen-errors");

  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), input, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(actions.get(), output.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(actions.get(), errors.get(), STDERR_FILENO);
  SpawnAttributes attributes;
  if (!may_prompt) posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSID);

  std::vector<std::string> argv_strings = {"ssh-keygen"};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> environment = child_environment();
  std::vector<char*> argv = pointers_to(argv_strings);
  std::vector<char*> envp = pointers_to(environment);

  pid_t child = 0;
  int error = posix_spawn(&child, program.c_str(), actions.get(), attributes.get(), argv.data(),
                          envp.data());
  if (error != 0)
    throw ContextError("cannot run ssh-keygen", program + ": " + std::strerror(error));
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) throw ContextError("cannot run ssh-keygen", std::strerror(errno));
  }

  SshKeygenRun run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.output = captured(output);
  run.errors = captured(errors);
  return run;
}
