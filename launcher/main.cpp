// The program's entry point: finds the archive appended to its own file
// and, when it holds members, runs the whole extraction.
#include <errno.h>
#include <link.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/cut_short.h"
#include "common/context_error.h"
#include "extract/extractor.h"
#include "launcher/run_sequence.h"
#include "launcher/time_zone.h"

namespace {

// What every thread but the main one gets: the program's own threads need
// little, and under a tight `ulimit -v` the toolkit needs the room.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t thread_stack_size = size_t{8} << 20;
#else
constexpr size_t thread_stack_size = size_t{1} << 20;
#endif

// Whether this program names a dynamic loader: the installer program,
// linked whole, names none.
bool names_a_loader() {
  bool names = false;
  dl_iterate_phdr(
      [](dl_phdr_info* object, size_t, void* found) {
        for (ElfW(Half) i = 0; i < object->dlpi_phnum; ++i)
          if (object->dlpi_phdr[i].p_type == PT_INTERP) *static_cast<bool*>(found) = true;
        return 1;  // the program itself comes first
      },
      &names);
  return names;
}

// The running program, through /proc/self/exe: the file itself even when
// it was moved or deleted. Where /proc is not mounted (some chroots), the
// path the program was started by (AT_EXECFN), which names that file
// unless it was moved since. Empty when the kernel started the dynamic
// loader itself ("ld.so ./setup"), whose file holds no archive: a
// program that names a loader then finds none loaded for it (AT_BASE 0).
std::string running_program() {
  if (getauxval(AT_BASE) == 0 && names_a_loader()) return "";
  std::string path(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length < 0 && errno == ENOENT) {
    const char* started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    return started ? started : "";
  }
  // The link names the file for messages; a replaced or deleted file is
  // still read through the link itself.
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return "/proc/self/exe";
  path.resize(static_cast<size_t>(length));
  if (path.size() > 10 && path.compare(path.size() - 10, 10, " (deleted)") == 0)
    return "/proc/self/exe";
  return path;
}

// The program's own file. argv[0] names it when it holds a '/'; a bare name
// means the shell found the program on PATH, and a file of that name in the
// working directory may be another one altogether.
std::string own_file(int argc, char** argv) {
  std::string given = argc > 0 && argv[0] ? argv[0] : "";
  if (given.find('/') != std::string::npos) return given;
  std::string running = running_program();
  return running.empty() ? given : running;
}

// Small reservations for the threads the run starts: one malloc arena
// (each more reserves 64 MiB of address space) and small stacks.
void reserve_little() {
  mallopt(M_ARENA_MAX, 1);
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return;
  if (pthread_attr_setstacksize(&attributes, thread_stack_size) == 0)
    pthread_setattr_default_np(&attributes);
  pthread_attr_destroy(&attributes);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe on standard error must not kill the run before its
  // failure reaches the window.
  signal(SIGPIPE, SIG_IGN);
  reserve_little();
  hold_time_zone();
  std::string own_path = own_file(argc, argv);
  std::unique_ptr<Extractor> extractor;
  std::vector<std::string> names;
  try {
    extractor = std::make_unique<Extractor>(own_path);
    if (!extractor->archive->reading()) {
      // argv[0] can name anything (exec -a, some launchers); the running
      // program's own file is there to read.
      std::string running = running_program();
      if (!running.empty() && running != own_path && extractor->load_archive(running))
        own_path = running;
    }
    names = extractor->member_names();
  } catch (const IncompleteInstaller& e) {
    // What most often goes wrong with a downloaded installer: it says so
    // where it was double-clicked too.
    report_failure(e);
    return run_failure_window(e, argc, argv);
  } catch (const ContextError& e) {
    report_failure(e);
    return status_failed;
  } catch (const std::runtime_error& e) {
    report_failure(ContextError(e.what(), own_path));  // which file is damaged
    return status_failed;
  } catch (const std::exception& e) {
    report_failure(e);
    return status_failed;
  }
  if (names.empty()) return status_no_members;

  int status = run_sequence(*extractor, names.size(), argc, argv);
  names.clear();
  extractor.reset();  // drops the observers' last reference to the window
  return status;
}
