#ifndef MORROWLINE_LAUNCHER_TIME_ZONE_H_
#define MORROWLINE_LAUNCHER_TIME_ZONE_H_

// Without TZ, glibc looks at /etc/localtime again at every local-time
// conversion, and opening an archive converts every member's DOS time: a
// system call per member. While the run is on, TZ names that same file
// when it names nothing, so that glibc reads it once; before the autorun
// command, the environment is as it was.
//
// Both are called while the process has one thread: the environment is
// not safe to change while another may read it.
void hold_time_zone();
void release_time_zone();

#endif  // MORROWLINE_LAUNCHER_TIME_ZONE_H_
