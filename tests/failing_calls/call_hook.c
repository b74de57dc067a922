// call-hook after CALL COMMAND PROGRAM [ARGUMENT...]: runs PROGRAM, and
// right after the first of its CALLs that succeeds, runs COMMAND through
// /bin/sh while the thread that made the call waits: what another process
// could do at that very moment, at the same moment every time.
//
// call-hook fail N CALL ERRNO PROGRAM [ARGUMENT...]: the Nth CALL (1 for
// the first) fails with ERRNO (a name such as EIO) without being made, and
// every other one is made: a disk whose writeback failed once, which
// syncfs() reports to each descriptor once only, or the one sync of a run
// that fails.
//
// Works on static programs too, which a preloaded library cannot reach:
// PROGRAM is traced, and a seccomp filter stops it at CALL only.
#define _GNU_SOURCE
#include <elf.h>
#include <errno.h>
#include <seccomp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__x86_64__)
#define RETURN_VALUE(regs) ((regs).rax)
#define CALL_NUMBER(regs) ((regs).orig_rax)
#else
#error "call-hook knows the registers of x86-64 only"
#endif

static const struct {
  const char* name;
  int value;
} errors[] = {{"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EPERM", EPERM}, {"EDQUOT", EDQUOT}};

static int usage(void) {
  fprintf(stderr,
          "usage: call-hook after CALL COMMAND PROGRAM [ARGUMENT...]\n"
          "       call-hook fail N CALL EIO|ENOSPC|EPERM|EDQUOT PROGRAM [ARGUMENT...]\n");
  return 2;
}

static int registers(pid_t pid, struct user_regs_struct* regs, int set) {
  struct iovec io = {regs, sizeof *regs};
  return (int)ptrace(set ? PTRACE_SETREGSET : PTRACE_GETREGSET, pid, (void*)NT_PRSTATUS, &io);
}

// In the child: stops until the parent traces it, then lets CALL alone
// stop it, and becomes PROGRAM. LeakSanitizer cannot work in a traced
// process (the sanitizer build's): it is told not to try.
static void become_traced(int call, char** program) {
  if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) _exit(126);
  const char* sanitizer = getenv("ASAN_OPTIONS");
  char options[4096];
  snprintf(options, sizeof options, "%s%sdetect_leaks=0", sanitizer ? sanitizer : "",
           sanitizer && *sanitizer ? ":" : "");
  setenv("ASAN_OPTIONS", options, 1);
  raise(SIGSTOP);
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (!filter || seccomp_rule_add(filter, SCMP_ACT_TRACE(0), call, 0) != 0 ||
      seccomp_load(filter) != 0) {
    fprintf(stderr, "call-hook: cannot install the filter\n");
    _exit(126);
  }
  execvp(program[0], program);
  fprintf(stderr, "call-hook: %s: %s\n", program[0], strerror(errno));
  _exit(127);
}

int main(int argc, char** argv) {
  if (argc < 5) return usage();
  int failing = strcmp(argv[1], "fail") == 0;
  if (!failing && strcmp(argv[1], "after") != 0) return usage();
  // fail N CALL ERRNO: the arguments after the count are those of after.
  long failing_call = failing ? strtol(argv[2], NULL, 10) : 0;
  char** rest = argv + (failing ? 3 : 2);
  if (failing && (argc < 6 || failing_call < 1)) return usage();
  int call = seccomp_syscall_resolve_name(rest[0]);
  if (call == __NR_SCMP_ERROR) {
    fprintf(stderr, "call-hook: unknown system call: %s\n", rest[0]);
    return 2;
  }
  int answer = 0;
  for (size_t i = 0; failing && i < sizeof errors / sizeof *errors; ++i)
    if (strcmp(rest[1], errors[i].name) == 0) answer = errors[i].value;
  if (failing && answer == 0) return usage();
  const char* command = rest[1];

  pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) become_traced(call, rest + 2);
  int status;
  if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) return 1;
  ptrace(PTRACE_SETOPTIONS, child, NULL,
         (void*)(PTRACE_O_TRACESECCOMP | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE |
                 PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_EXITKILL));
  ptrace(PTRACE_CONT, child, NULL, NULL);

  int done = 0;       // the hook has run, or the call has failed
  pid_t awaited = 0;  // the thread whose call's end is awaited
  int result = 1;
  for (;;) {
    pid_t pid = waitpid(-1, &status, __WALL);
    if (pid < 0) break;  // no traced process left
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (pid == child) result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      continue;
    }
    if (!WIFSTOPPED(status)) continue;
    int event = status >> 16;
    int signal = WSTOPSIG(status);
    struct user_regs_struct regs;
    if (event == PTRACE_EVENT_SECCOMP) {
      if (done || awaited || (failing && --failing_call > 0)) {
        ptrace(PTRACE_CONT, pid, NULL, NULL);
        continue;
      }
      if (failing && registers(pid, &regs, 0) == 0) {
        CALL_NUMBER(regs) = (unsigned long long)-1;  // not made at all
        registers(pid, &regs, 1);
      }
      awaited = pid;
      ptrace(PTRACE_SYSCALL, pid, NULL, NULL);  // stops again at its end
      continue;
    }
    if (signal == (SIGTRAP | 0x80) && pid == awaited) {
      awaited = 0;
      if (registers(pid, &regs, 0) == 0) {
        if (failing) {
          RETURN_VALUE(regs) = (unsigned long long)-answer;
          registers(pid, &regs, 1);
          done = 1;
        } else if ((long long)RETURN_VALUE(regs) >= 0) {
          if (system(command) != 0) fprintf(stderr, "call-hook: the command failed\n");
          done = 1;
        }
      }
      ptrace(PTRACE_CONT, pid, NULL, NULL);
      continue;
    }
    // New threads and processes, and the other ptrace stops, go on; a
    // signal is delivered as it came.
    int deliver =
        event || signal == SIGTRAP || signal == (SIGTRAP | 0x80) || signal == SIGSTOP ? 0 : signal;
    ptrace(PTRACE_CONT, pid, NULL, (void*)(long)deliver);
  }
  return result;
}
