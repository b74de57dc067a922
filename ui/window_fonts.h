#ifndef MORROWLINE_UI_WINDOW_FONTS_H_
#define MORROWLINE_UI_WINDOW_FONTS_H_

#include <FL/Enumerations.H>

#include <string>

// The window draws with a font of its own: a subset of DejaVu Sans (Latin,
// Greek, Cyrillic, punctuation) built into the program, so that it looks
// the same on every machine, whatever fonts, configuration and caches the
// machine has, or none.

// Makes fontconfig's current configuration one of the program's own, built
// in memory: the built-in face alone, under the rendering rules Debian's
// defaults give this window (slight hinting, antialiasing, the default
// LCD filter). fontconfig then reads no configuration, font or cache file
// and writes none. Where the face cannot be loaded, the configuration has
// no font at all, and the toolkit fails as it does on a machine without
// fonts. Call once, before the toolkit opens a font, while no other thread
// uses it.
void use_embedded_font();

// The toolkit font to draw `text` with. FL_HELVETICA, the built-in face,
// when it has every character of `text` (bytes that are no UTF-8 count as
// drawn). Otherwise a face of the machine's own that has them: the first
// such text of the run looks up the machine's fonts as its fontconfig
// configuration names them (reading caches made by this fontconfig
// version, scanning other folders for at most about a second, writing
// nothing), and the face the machine's own preferences rank first for
// those characters, under the locale's language, is handed to the toolkit
// as a font of its own. FL_HELVETICA when no face has any of them, or
// before use_embedded_font(). Call only from the thread that uses the
// toolkit.
Fl_Font label_font(const std::string& text);

#endif  // MORROWLINE_UI_WINDOW_FONTS_H_
