// map_time PROGRAM [ARGUMENT...]: how long PROGRAM takes to put its window
// on the screen. Prints the milliseconds from just before fork() to the X
// server's MapNotify for the first window mapped on the root window (no
// window manager: the program's own), seen by this client, which selects
// SubstructureNotify on the root first; then ends PROGRAM with SIGTERM.
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double milliseconds(const struct timespec* from, const struct timespec* to) {
  return (double)(to->tv_sec - from->tv_sec) * 1e3 + (double)(to->tv_nsec - from->tv_nsec) / 1e6;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: map_time PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  Display* display = XOpenDisplay(NULL);
  if (!display) {
    fprintf(stderr, "map_time: cannot open the display\n");
    return 1;
  }
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, False);
  struct timespec start, mapped;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  XEvent event;
  do {
    XNextEvent(display, &event);
  } while (event.type != MapNotify);
  clock_gettime(CLOCK_MONOTONIC, &mapped);
  printf("%.2f\n", milliseconds(&start, &mapped));
  kill(child, SIGTERM);
  waitpid(child, NULL, 0);
  return 0;
}
