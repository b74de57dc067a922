// The window takes no text, so it needs no input method; opening one
// parses the locale's whole Compose table, more than half of the work of
// starting up. The toolkit opens one whenever it opens the display; this
// definition takes the place of the shared Xlib's and offers none, which X
// allows (key presses then arrive as they are). The installer program,
// linked whole, has the same from ui/static_x11.cpp.
#include <X11/Xlib.h>
#include <X11/Xresource.h>

extern "C" XIM XOpenIM(Display*, XrmDatabase, char*, char*) { return nullptr; }
