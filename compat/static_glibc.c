// What the installer program, linked whole with glibc (static-pie), needs
// to start and behave the same on any Linux, whatever C library, loader,
// name services and sandbox it finds there.
//
// The link sends each call named __wrap_NAME here to the stand-in below
// (-Wl,--wrap=NAME; compat/CMakeLists.txt reads the names from this file),
// from the program's own objects and from the static libraries alike;
// __real_NAME is the C library's own.

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <nss.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// ---- No dynamic loading ----
//
// A library loaded into a static program brings the machine's own C
// library beside the linked one, which cannot work. The toolkit and Xlib
// load optional helpers (libXcursor's themes, libXrandr, GTK's file
// chooser, window shapes) and look up newer calls that way; every such
// caller takes its fallback when the library cannot be loaded.

void* __wrap_dlopen(const char* file, int mode) {
  (void)file;
  (void)mode;
  return NULL;
}

void* __wrap_dlsym(void* handle, const char* name) {
  (void)handle;
  (void)name;
  return NULL;
}

char* __wrap_dlerror(void) {
  static char message[] = "dynamic loading is not available in this program";
  return message;
}

// ---- No locale data of the machine's ----
//
// The toolkit asks for the user's locale (setlocale(LC_CTYPE, "")) for the
// input methods and Xlib locales that this program does without: the
// window draws UTF-8 whatever the locale, and messages are English. The
// machine's locale files are made for its own C library, and a locale of
// a legacy character set (ISO-8859-15, EUC-JP) would make this one load
// that library's converter module. So the locale stays "C", and no
// locale file is read.

char* __real_setlocale(int category, const char* locale);

char* __wrap_setlocale(int category, const char* locale) {
  return __real_setlocale(category, locale ? "C" : NULL);
}

// ---- Name services built in ----
//
// Xlib looks up the user (getpwuid_r) where HOME is unset, and a TCP
// display's host (getaddrinfo). nsswitch.conf may name modules (sss,
// systemd, mdns) that a static C library would load from the machine, and
// those belong to its own C library. The static one has the files and dns
// services built in: they alone are used, whatever nsswitch.conf says.

__attribute__((constructor)) static void use_built_in_name_services(void) {
  __nss_configure_lookup("passwd", "files");
  __nss_configure_lookup("group", "files");
  __nss_configure_lookup("hosts", "files dns");
}

// ---- Sandboxes that refuse newer system calls ----
//
// This glibc asks for clone3 (threads, and the shell of the autorun
// command) and faccessat2 first, and falls back to clone and faccessat
// only when the kernel says ENOSYS. Some container runtimes' seccomp
// profiles (older Docker and systemd-nspawn) answer EPERM instead, where
// a program on the machine's older glibc never asks. Both are taken as
// ENOSYS here.

// This glibc has a clone3 call on x86-64 only; on aarch64 it uses clone.
#if defined(__x86_64__)
struct clone_args;
int __real___clone3(struct clone_args* arguments, size_t size, int (*function)(void*),
                    void* argument);

int __wrap___clone3(struct clone_args* arguments, size_t size, int (*function)(void*),
                    void* argument) {
  // Only the parent returns here: the child runs `function` and exits.
  int result = __real___clone3(arguments, size, function, argument);
  if (result == -1 && errno == EPERM) errno = ENOSYS;
  return result;
}
#endif

int __real_faccessat(int directory, const char* path, int mode, int flags);

int __wrap_faccessat(int directory, const char* path, int mode, int flags) {
  int result = __real_faccessat(directory, path, mode, flags);
  if (result == 0 || errno != EPERM) return result;
  // faccessat checks the real user, which is the effective one unless the
  // program is set-ID; EPERM it gives for its own reasons too (W_OK on an
  // immutable file), and then gives again.
  if ((flags & ~AT_EACCESS) == 0 && getuid() == geteuid() && getgid() == getegid())
    return (int)syscall(SYS_faccessat, directory, path, mode);
  return result;
}

// ---- Local times converted once ----
//
// Opening an archive, libzip turns every member's DOS date and time into
// a time_t with mktime, which reads TZ, takes glibc's time-zone lock and
// searches the zone's transitions: 1,200 instructions a member, an eighth
// of loading an archive of small files. The members of an archive mostly
// share a handful of times, so the last conversion is kept: the same
// fields give the same answer as long as the zone stays, and it does for
// the whole run (TZ is set, if at all, to the file glibc reads anyway).

time_t __real_mktime(struct tm* fields);

static int same_fields(const struct tm* a, const struct tm* b) {
  // What mktime reads; tm_wday, tm_yday and the zone fields it only writes.
  return a->tm_sec == b->tm_sec && a->tm_min == b->tm_min && a->tm_hour == b->tm_hour &&
         a->tm_mday == b->tm_mday && a->tm_mon == b->tm_mon && a->tm_year == b->tm_year &&
         a->tm_isdst == b->tm_isdst;
}

time_t __wrap_mktime(struct tm* fields) {
  static __thread struct {
    int kept;
    struct tm given, normalised;
    time_t result;
  } last;
  if (last.kept && same_fields(fields, &last.given)) {
    *fields = last.normalised;
    return last.result;
  }
  struct tm given = *fields;
  time_t result = __real_mktime(fields);
  if (result == (time_t)-1) return result;  // perhaps an error: asked again next time
  last.kept = 1;
  last.given = given;
  last.normalised = *fields;
  last.result = result;
  return result;
}
