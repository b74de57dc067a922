#include "ui/toolkit_files.h"

#include <FL/Fl.H>
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

// FLTK 1.3 reads its options through Fl_Preferences at the first
// Fl::option() call, and the preferences object writes its file when it
// goes; 1.3 has no call that sets them without that first read. These
// are its two private fields (they are exported, both from the static
// library and from libfltk.so), set here as that read leaves them when
// no file says otherwise.
extern unsigned char fltk_options[Fl::OPTION_LAST] __asm__("_ZN2Fl8options_E");
extern unsigned char fltk_options_read __asm__("_ZN2Fl13options_read_E");

namespace {

// Where nobody, root included, can make a folder.
constexpr char nowhere[] = "/proc/self/no-such-folder";

// An environment variable set for a while, then put back as it was.
class EnvironmentChange {
 public:
  EnvironmentChange(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~EnvironmentChange() {
    if (saved_)
      setenv(name_, saved_->c_str(), 1);
    else
      unsetenv(name_);
  }
  EnvironmentChange(const EnvironmentChange&) = delete;
  EnvironmentChange& operator=(const EnvironmentChange&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

// The value of `name`, or the default that HOME gives it.
std::string xdg_folder(const char* name, const char* below_home) {
  if (const char* set = std::getenv(name); set && *set == '/') return set;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : nowhere) + below_home;
}

void set_default_toolkit_options() {
  fltk_options[Fl::OPTION_ARROW_FOCUS] = 0;
  fltk_options[Fl::OPTION_VISIBLE_FOCUS] = 1;
  fltk_options[Fl::OPTION_DND_TEXT] = 1;
  fltk_options[Fl::OPTION_SHOW_TOOLTIPS] = 1;
  fltk_options[Fl::OPTION_FNFC_USES_GTK] = 1;
  fltk_options_read = 1;
}

}  // namespace

void keep_toolkit_files_unwritten() {
  set_default_toolkit_options();
  // fontconfig expands "~" and the XDG folders of its configuration as it
  // loads it, once: the user's own configuration and fonts are still
  // found, while every cache folder of the user's names a place that
  // cannot be made, so a cache it builds stays in memory.
  EnvironmentChange config("XDG_CONFIG_HOME", xdg_folder("XDG_CONFIG_HOME", "/.config"));
  EnvironmentChange data("XDG_DATA_HOME", xdg_folder("XDG_DATA_HOME", "/.local/share"));
  EnvironmentChange cache("XDG_CACHE_HOME", nowhere);
  EnvironmentChange home("HOME", nowhere);
  // It says so on standard error ("No writable cache directories"), which
  // people could do nothing about: the run's own line must stay the only
  // one.
  int saved_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved_stderr >= 0 && quiet >= 0) dup2(quiet, STDERR_FILENO);
  FcInit();
  if (saved_stderr >= 0 && quiet >= 0) dup2(saved_stderr, STDERR_FILENO);
  if (quiet >= 0) close(quiet);
  if (saved_stderr >= 0) close(saved_stderr);
  // Nor does it look again later, when the folders hold the real paths.
  FcConfigSetRescanInterval(nullptr, 0);
}
