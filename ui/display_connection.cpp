#include "ui/display_connection.h"

#include <FL/Fl.H>
#include <FL/x.H>
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

void watch_display_connection(void (*lost)(bool survivable)) {
  on_lost = lost;
  XSetIOErrorHandler(io_error);
  if (fl_display) {
    XSetIOErrorExitHandler(fl_display, io_error_exit, nullptr);
    survivable = true;
  }
}
