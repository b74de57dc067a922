#include "ui/display_connection.h"

#include <FL/Fl.H>
#include <FL/x.H>
#include <X11/Xresource.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>

namespace {

void (*on_lost)(bool survivable) = nullptr;
bool survivable = false;

int io_error(Display*) {
  if (on_lost) on_lost(survivable);
  if (!survivable) {
    std::fflush(stderr);
    _exit(3);
  }
  return 0;
}

// Returning from here is what lets the process go on.
void io_error_exit(Display*, void*) {}

}  // namespace

// The window takes no text, so it needs no input method; opening one
// parses the locale's whole Compose table, more than half of the work of
// starting up. The toolkit opens one whenever it opens the display; this
// definition takes the place of Xlib's and offers none, which X allows
// (key presses then arrive as they are).
extern "C" XIM XOpenIM(Display*, XrmDatabase, char*, char*) { return nullptr; }

void watch_display_connection(void (*lost)(bool survivable)) {
  on_lost = lost;
  XSetIOErrorHandler(io_error);
  // Looked up rather than linked: a desktop with an older libX11 still
  // starts the program.
  using SetExitHandler = void (*)(Display*, XIOErrorExitHandler, void*);
  auto set_exit_handler =
      reinterpret_cast<SetExitHandler>(dlsym(RTLD_DEFAULT, "XSetIOErrorExitHandler"));
  if (set_exit_handler && fl_display) {
    set_exit_handler(fl_display, io_error_exit, nullptr);
    survivable = true;
  }
}
