// Xlib's locale and input-method machinery, stood in for in the installer
// program, which is linked whole.
//
// The window takes no text: XOpenIM offers no input method (see
// no_input_method.cpp), so the toolkit never creates an input context,
// and keys arrive as key symbols, which is all it looks at for Escape, Tab
// and space. What stays reachable of Xlib's machinery, for the linker, is
// then about half a megabyte (the UTF-8 converter's tables for every
// charset, the locale database, the input-method protocol), reached only
// through these calls. The link sends each of them here (-Wl,--wrap=NAME;
// the names are read from this file), and the linker leaves the machinery
// out of a libX11 built with a section per function.
//
// What each stand-in gives is a result Xlib itself gives where a locale
// or an input method is missing, and which its callers handle:
// - _XlcCurrentLC: no locale object. Xlib's text-list and locale calls
//   then answer "locale not supported", which nothing in the window uses;
//   core fonts load as named.
// - _XrmInitParseInfo: no multi-byte parser, so resources (Xft.dpi and the
//   like, all ASCII) are read byte by byte, as Xlib does in the C locale.
// - _XkbGetCharset and _XimGetLocaleCode: keys translate to text through
//   Latin-1, without the locale's converter; the toolkit takes the key
//   symbol for every key below U+0400 anyway.
// - The input-method and input-context calls: never made without an input
//   method; they answer as for one that failed.
#include <X11/Xlib.h>
#include <X11/Xresource.h>

extern "C" {

void* __wrap__XlcCurrentLC() { return nullptr; }
void* __wrap__XrmInitParseInfo(void** /*state*/) { return nullptr; }
const char* __wrap__XkbGetCharset() { return "ISO8859-1"; }
void* __wrap__XimGetLocaleCode(const char* /*encoding*/) { return nullptr; }

char* __wrap_XSetLocaleModifiers(const char* /*modifiers*/) {
  static char none[] = "";
  return none;
}

XIM __wrap_XOpenIM(Display*, XrmDatabase, char*, char*) { return nullptr; }
Status __wrap_XCloseIM(XIM) { return 0; }
char* __wrap_XGetIMValues(XIM, ...) { return nullptr; }
XIC __wrap_XCreateIC(XIM, ...) { return nullptr; }
void __wrap_XDestroyIC(XIC) {}
char* __wrap_XGetICValues(XIC, ...) { return nullptr; }
char* __wrap_XSetICValues(XIC, ...) { return nullptr; }
void __wrap_XSetICFocus(XIC) {}
void __wrap_XUnsetICFocus(XIC) {}
char* __wrap_XmbResetIC(XIC) { return nullptr; }
XVaNestedList __wrap_XVaCreateNestedList(int, ...) { return nullptr; }

int __wrap_Xutf8LookupString(XIC, XKeyPressedEvent*, char*, int, KeySym* key, Status* status) {
  if (key) *key = NoSymbol;
  if (status) *status = XLookupNone;
  return 0;
}

XFontSet __wrap_XCreateFontSet(Display*, const char*, char*** missing, int* missing_count,
                               char** default_text) {
  if (missing) *missing = nullptr;
  if (missing_count) *missing_count = 0;
  if (default_text) *default_text = nullptr;
  return nullptr;
}
void __wrap_XFreeFontSet(Display*, XFontSet) {}

}  // extern "C"
