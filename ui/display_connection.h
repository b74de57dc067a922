#ifndef MORROWLINE_UI_DISPLAY_CONNECTION_H_
#define MORROWLINE_UI_DISPLAY_CONNECTION_H_

// Calls `lost` on the thread that finds the connection to the display
// broken (a logout, an X server that crashed or dropped this client),
// instead of the toolkit's "X I/O error" and exit(1). The display must be
// open: then `survivable` is true, `lost` may return, and later toolkit
// calls fail quietly; called before the display is open, the process ends
// with status 3 once `lost` returns.
void watch_display_connection(void (*lost)(bool survivable));

#endif  // MORROWLINE_UI_DISPLAY_CONNECTION_H_
