// The installer program's bindings to the C library of every desktop since
// 2014: glibc 2.17, the first on aarch64 and RHEL 7's.
//
// The program is linked on a newer glibc, whose headers and libraries give
// every symbol its newest version (stat@GLIBC_2.33, pthread_create@GLIBC_2.34,
// ...), and an older glibc refuses to start it. The link sends each such
// reference, from the program's own objects and from the static libraries
// alike, to __wrap_NAME here (-Wl,--wrap=NAME; compat/CMakeLists.txt takes
// the names from this file). Each wrapper either calls the oldest version
// every glibc since 2.17 still exports (bound through .symver), or, where
// 2.17 has no such call, does the same job itself.
//
// Before glibc 2.34 the thread and dynamic-loading calls live in
// libpthread.so.0 and libdl.so.2, so the program needs those too; newer
// glibc keeps them as empty libraries.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#if defined(__x86_64__)
#define BASE_VERSION "GLIBC_2.2.5"
#define FXSTATAT_VERSION "GLIBC_2.4"
#define STAT_LAYOUT 1  // _STAT_VER_LINUX
#elif defined(__aarch64__)
#define BASE_VERSION "GLIBC_2.17"
#define FXSTATAT_VERSION "GLIBC_2.17"
#define STAT_LAYOUT 0  // _STAT_VER_KERNEL: the generic layout
#else
#error "no glibc 2.17 bindings for this architecture"
#endif

// old_NAME is NAME at the given version of the C library.
#define BIND(name, version) __asm__(".symver old_" #name "," #name "@" version)

// ---- Calls that every glibc since 2.17 has under an older version ----

typedef int main_function(int, char**, char**);
typedef void init_function(int, char**, char**);
int old___libc_start_main(main_function* main, int argc, char** argv, init_function* init,
                          void (*fini)(void), void (*rtld_fini)(void), void* stack_end);
BIND(__libc_start_main, BASE_VERSION);

// The program's constructors, as glibc before 2.34 expects the program to
// run them itself (its start files did, through the init argument). Today's
// start files pass none and leave them to glibc 2.34 and later.
extern void _init(void) __attribute__((visibility("hidden")));
extern init_function* __init_array_start[] __attribute__((visibility("hidden")));
extern init_function* __init_array_end[] __attribute__((visibility("hidden")));

static void run_constructors(int argc, char** argv, char** environment) {
  _init();
  for (init_function** constructor = __init_array_start; constructor != __init_array_end;
       ++constructor)
    (*constructor)(argc, argv, environment);
}

int __wrap___libc_start_main(main_function* main, int argc, char** argv, init_function* init,
                             void (*fini)(void), void (*rtld_fini)(void), void* stack_end) {
  return old___libc_start_main(main, argc, argv, init ? init : run_constructors, fini, rtld_fini,
                               stack_end);
}

int old___xstat(int layout, const char* path, struct stat* info);
int old___lxstat(int layout, const char* path, struct stat* info);
int old___fxstat(int layout, int fd, struct stat* info);
int old___fxstatat(int layout, int dir_fd, const char* path, struct stat* info, int flags);
BIND(__xstat, BASE_VERSION);
BIND(__lxstat, BASE_VERSION);
BIND(__fxstat, BASE_VERSION);
BIND(__fxstatat, FXSTATAT_VERSION);

int __wrap_stat(const char* path, struct stat* info) {
  return old___xstat(STAT_LAYOUT, path, info);
}
int __wrap_lstat(const char* path, struct stat* info) {
  return old___lxstat(STAT_LAYOUT, path, info);
}
int __wrap_fstat(int fd, struct stat* info) { return old___fxstat(STAT_LAYOUT, fd, info); }
int __wrap_fstatat(int dir_fd, const char* path, struct stat* info, int flags) {
  return old___fxstatat(STAT_LAYOUT, dir_fd, path, info, flags);
}

typedef void* thread_function(void*);
int old_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, thread_function* start,
                       void* argument);
int old_pthread_join(pthread_t thread, void** result);
int old_pthread_detach(pthread_t thread);
int old_pthread_attr_setstacksize(pthread_attr_t* attributes, size_t size);
int old_pthread_attr_getstacksize(const pthread_attr_t* attributes, size_t* size);
int old_pthread_attr_setguardsize(pthread_attr_t* attributes, size_t size);
int old_pthread_attr_getguardsize(const pthread_attr_t* attributes, size_t* size);
int old_pthread_sigmask(int how, const sigset_t* set, sigset_t* old_set);
int old_pthread_once(pthread_once_t* once, void (*run)(void));
int old_pthread_key_create(pthread_key_t* key, void (*destructor)(void*));
int old_pthread_setspecific(pthread_key_t key, const void* value);
BIND(pthread_create, BASE_VERSION);
BIND(pthread_join, BASE_VERSION);
BIND(pthread_detach, BASE_VERSION);
BIND(pthread_attr_setstacksize, BASE_VERSION);
BIND(pthread_attr_getstacksize, BASE_VERSION);
BIND(pthread_attr_setguardsize, BASE_VERSION);
BIND(pthread_attr_getguardsize, BASE_VERSION);
BIND(pthread_sigmask, BASE_VERSION);
BIND(pthread_once, BASE_VERSION);
BIND(pthread_key_create, BASE_VERSION);
BIND(pthread_setspecific, BASE_VERSION);

int __wrap_pthread_join(pthread_t thread, void** result) {
  return old_pthread_join(thread, result);
}
int __wrap_pthread_detach(pthread_t thread) { return old_pthread_detach(thread); }
int __wrap_pthread_attr_setstacksize(pthread_attr_t* attributes, size_t size) {
  return old_pthread_attr_setstacksize(attributes, size);
}
int __wrap_pthread_sigmask(int how, const sigset_t* set, sigset_t* old_set) {
  return old_pthread_sigmask(how, set, old_set);
}
int __wrap_pthread_once(pthread_once_t* once, void (*run)(void)) {
  return old_pthread_once(once, run);
}

void* old_dlopen(const char* file, int mode);
void* old_dlsym(void* handle, const char* name);
BIND(dlopen, BASE_VERSION);
BIND(dlsym, BASE_VERSION);

void* __wrap_dlopen(const char* file, int mode) { return old_dlopen(file, mode); }
void* __wrap_dlsym(void* handle, const char* name) { return old_dlsym(handle, name); }

// glibc 2.29 made these faster without changing their results; the old
// ones also set errno on a domain or range error.
double old_log(double x);
double old_pow(double x, double y);
BIND(log, BASE_VERSION);
BIND(pow, BASE_VERSION);

double __wrap_log(double x) { return old_log(x); }
double __wrap_pow(double x, double y) { return old_pow(x, y); }

// ---- Calls that glibc 2.17 lacks, done here ----

// libstdc++ skips its locking where the C library says the process has one
// thread (glibc 2.32). Saying "maybe more" is always right.
char __wrap___libc_single_threaded = 0;

// Default attributes for new threads (glibc 2.18): the program sets only
// the stack and guard sizes, and every thread it starts comes through
// pthread_create below. Zero stands for glibc's own default.
static size_t default_stack_size;
static size_t default_guard_size;
static int defaults_given;

int __wrap_pthread_setattr_default_np(const pthread_attr_t* attributes) {
  size_t stack_size = 0, guard_size = 0;
  int error = old_pthread_attr_getstacksize(attributes, &stack_size);
  if (!error) error = old_pthread_attr_getguardsize(attributes, &guard_size);
  if (error) return error;
  __atomic_store_n(&default_stack_size, stack_size, __ATOMIC_RELAXED);
  __atomic_store_n(&default_guard_size, guard_size, __ATOMIC_RELAXED);
  __atomic_store_n(&defaults_given, 1, __ATOMIC_RELEASE);
  return 0;
}

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          thread_function* start, void* argument) {
  if (attributes || !__atomic_load_n(&defaults_given, __ATOMIC_ACQUIRE))
    return old_pthread_create(thread, attributes, start, argument);
  pthread_attr_t defaults;
  int error = pthread_attr_init(&defaults);
  if (error) return error;
  size_t stack_size = __atomic_load_n(&default_stack_size, __ATOMIC_RELAXED);
  if (stack_size) error = old_pthread_attr_setstacksize(&defaults, stack_size);
  if (!error)
    error = old_pthread_attr_setguardsize(&defaults,
                                          __atomic_load_n(&default_guard_size, __ATOMIC_RELAXED));
  if (!error) error = old_pthread_create(thread, &defaults, start, argument);
  pthread_attr_destroy(&defaults);
  return error;
}

// A wait with a deadline on a given clock (glibc 2.30), which libstdc++
// uses for every timed wait on the steady clock. Older glibc waits on the
// real-time clock only, which people and NTP may set back or forward, so
// each wait there lasts what is left on the asked clock, at most a tenth of
// a second, and ETIMEDOUT comes only once the asked clock has passed the
// deadline. A wait cut short returns 0, as a spurious wake-up may.
static const int64_t longest_real_time_wait_ns = 100 * 1000 * 1000;

static int64_t nanoseconds_between(const struct timespec* from, const struct timespec* to) {
  return (int64_t)(to->tv_sec - from->tv_sec) * 1000000000 + (to->tv_nsec - from->tv_nsec);
}

int __wrap_pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex,
                                  clockid_t clock, const struct timespec* deadline) {
  if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(condition, mutex, deadline);
  if (clock != CLOCK_MONOTONIC) return EINVAL;
  struct timespec now, until;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t left = nanoseconds_between(&now, deadline);
  if (left <= 0) return ETIMEDOUT;
  if (left > longest_real_time_wait_ns) left = longest_real_time_wait_ns;
  clock_gettime(CLOCK_REALTIME, &until);
  int64_t nanoseconds = until.tv_nsec + left;
  until.tv_sec += nanoseconds / 1000000000;
  until.tv_nsec = nanoseconds % 1000000000;
  int error = pthread_cond_timedwait(condition, mutex, &until);
  if (error != ETIMEDOUT) return error;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return nanoseconds_between(&now, deadline) > 0 ? 0 : ETIMEDOUT;
}

// Destructors of thread_local objects (glibc 2.18). They run when their
// thread ends, through a thread-specific key's destructor, and for the
// thread that calls exit() (the main one), from exit(), as glibc runs them.
// The program's own objects are never unloaded, so the DSO handle that
// glibc would pin is not needed.
struct thread_destructor {
  void (*run)(void*);
  void* object;
  struct thread_destructor* next;
};

static __thread struct thread_destructor* thread_destructors;
static pthread_key_t thread_destructor_key;
static pthread_once_t thread_destructor_key_made = PTHREAD_ONCE_INIT;

// Last registered, first run, as for static objects.
static void run_thread_destructors(void* unused) {
  (void)unused;
  while (thread_destructors) {
    struct thread_destructor* destructor = thread_destructors;
    thread_destructors = destructor->next;
    destructor->run(destructor->object);
    free(destructor);
  }
}

static void run_exiting_thread_destructors(void) { run_thread_destructors(NULL); }

static void make_thread_destructor_key(void) {
  if (old_pthread_key_create(&thread_destructor_key, run_thread_destructors) == 0)
    atexit(run_exiting_thread_destructors);
}

int __wrap___cxa_thread_atexit_impl(void (*run)(void*), void* object, void* dso) {
  (void)dso;
  old_pthread_once(&thread_destructor_key_made, make_thread_destructor_key);
  struct thread_destructor* destructor = malloc(sizeof *destructor);
  if (!destructor) return -1;
  destructor->run = run;
  destructor->object = object;
  destructor->next = thread_destructors;
  thread_destructors = destructor;
  // Any value but NULL makes the key's destructor run at the thread's end.
  old_pthread_setspecific(thread_destructor_key, destructor);
  return 0;
}
