// Preloaded (LD_PRELOAD): the process's first syncfs() fails with EIO and
// every later one does its work, as on a disk whose writeback failed once:
// syncfs() reports such a failure to each descriptor once only.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <unistd.h>

static atomic_int calls;

int syncfs(int fd) {
  if (atomic_fetch_add(&calls, 1) == 0) {
    errno = EIO;
    return -1;
  }
  int (*real_syncfs)(int) = (int (*)(int))dlsym(RTLD_NEXT, "syncfs");
  return real_syncfs ? real_syncfs(fd) : -1;
}
