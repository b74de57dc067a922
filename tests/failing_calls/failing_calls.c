// failing-calls ERRNO CALL[,CALL...] COMMAND [ARGUMENT...]: runs COMMAND
// with every named system call failing with ERRNO (a name such as EIO),
// as a disk that fails at writeback answers fsync and syncfs.
#define _GNU_SOURCE
#include <errno.h>
#include <seccomp.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const struct {
  const char* name;
  int value;
} errors[] = {{"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EAGAIN", EAGAIN}};

int main(int argc, char** argv) {
  int answer = 0;
  for (size_t i = 0; argc >= 4 && i < sizeof errors / sizeof *errors; ++i)
    if (strcmp(argv[1], errors[i].name) == 0) answer = errors[i].value;
  if (answer == 0) {
    fprintf(stderr, "usage: failing-calls EIO|ENOSPC|EDQUOT|EAGAIN CALL[,CALL...] COMMAND...\n");
    return 2;
  }
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (!filter) {
    fprintf(stderr, "failing-calls: cannot make a filter\n");
    return 1;
  }
  int error = 0;
  for (char* call = strtok(argv[2], ","); call && !error; call = strtok(NULL, ",")) {
    int number = seccomp_syscall_resolve_name(call);
    if (number == __NR_SCMP_ERROR) {
      fprintf(stderr, "failing-calls: unknown system call: %s\n", call);
      return 2;
    }
    error = seccomp_rule_add(filter, SCMP_ACT_ERRNO(answer), number, 0);
  }
  if (!error) error = seccomp_load(filter);
  seccomp_release(filter);
  if (error) {
    fprintf(stderr, "failing-calls: cannot install the filter: %s\n", strerror(-error));
    return 1;
  }
  execvp(argv[3], argv + 3);
  fprintf(stderr, "failing-calls: %s: %s\n", argv[3], strerror(errno));
  return 127;
}
