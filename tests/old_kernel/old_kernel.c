// old-kernel ENOSYS|EPERM|EPERM-ALL COMMAND [ARGUMENT...]: runs COMMAND as
// on Linux 3.10, the kernel of RHEL 7: every system call that came later
// fails, with ENOSYS as that kernel answers, or with EPERM as container and
// desktop sandboxes answer calls their policy does not know. O_TMPFILE
// (3.11) is refused too: EISDIR, as 3.10 answers a directory opened for
// writing, or EPERM.
//
// glibc retries clone3, rseq, faccessat2 and getrandom the old way only
// after ENOSYS, and today's sandboxes answer those four so; they get ENOSYS
// with EPERM. EPERM-ALL answers clone3 and faccessat2 with EPERM as well,
// as older Docker and systemd-nspawn profiles did: there a program on
// glibc 2.34 or later cannot start a thread.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <seccomp.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#if !defined(__x86_64__)
#error "old-kernel knows the system call numbers of x86-64 only"
#endif

// Linux 3.10's last x86-64 system call is finit_module (313), and every
// number above it came later; the table stops short of the x32 calls.
enum { first_newer_call = 314, last_call = 511 };

static const char* const refused_as_old_kernel[] = {"clone3", "rseq", "faccessat2", "getrandom"};
static const char* const refused_as_old_kernel_by_all[] = {"rseq", "getrandom"};

static int is_on(const char* const* names, size_t count, int call) {
  for (size_t i = 0; i < count; ++i)
    if (seccomp_syscall_resolve_name(names[i]) == call) return 1;
  return 0;
}

int main(int argc, char** argv) {
  int all = argc >= 3 && strcmp(argv[1], "EPERM-ALL") == 0;
  if (argc < 3 || (strcmp(argv[1], "ENOSYS") != 0 && strcmp(argv[1], "EPERM") != 0 && !all)) {
    fprintf(stderr, "usage: old-kernel ENOSYS|EPERM|EPERM-ALL COMMAND [ARGUMENT...]\n");
    return 2;
  }
  int refusal = strcmp(argv[1], "ENOSYS") == 0 ? ENOSYS : EPERM;
  const char* const* as_old_kernel = all ? refused_as_old_kernel_by_all : refused_as_old_kernel;
  size_t as_old_kernel_count = all ? 2 : 4;
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (!filter) {
    fprintf(stderr, "old-kernel: cannot make a filter\n");
    return 1;
  }
  int error = 0;
  for (int call = first_newer_call; call <= last_call && !error; ++call) {
    int answer = is_on(as_old_kernel, as_old_kernel_count, call) ? ENOSYS : refusal;
    error = seccomp_rule_add(filter, SCMP_ACT_ERRNO(answer), call, 0);
  }
  int tmpfile_answer = refusal == ENOSYS ? EISDIR : EPERM;
  if (!error)
    error = seccomp_rule_add(filter, SCMP_ACT_ERRNO(tmpfile_answer), SCMP_SYS(open), 1,
                             SCMP_A1(SCMP_CMP_MASKED_EQ, __O_TMPFILE, __O_TMPFILE));
  if (!error)
    error = seccomp_rule_add(filter, SCMP_ACT_ERRNO(tmpfile_answer), SCMP_SYS(openat), 1,
                             SCMP_A2(SCMP_CMP_MASKED_EQ, __O_TMPFILE, __O_TMPFILE));
  if (!error) error = seccomp_load(filter);
  seccomp_release(filter);
  if (error) {
    fprintf(stderr, "old-kernel: cannot install the filter: %s\n", strerror(-error));
    return 1;
  }
  execvp(argv[2], argv + 2);
  fprintf(stderr, "old-kernel: %s: %s\n", argv[2], strerror(errno));
  return 127;
}
