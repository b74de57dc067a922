#ifndef MORROWLINE_UI_TOOLKIT_FILES_H_
#define MORROWLINE_UI_TOOLKIT_FILES_H_

// The toolkit and the libraries under it read and write files of their
// own unless kept from it: FLTK its preferences (~/.fltk/fltk.org/
// fltk.prefs, and for root /etc/fltk/fltk.org/fltk.prefs) once a widget
// first asks for an option (a tooltip, the keyboard focus), fontconfig
// the machine's configuration, fonts and caches, and a cache of its own
// under ~/.cache when the machine's is out of date. An installer writes
// nothing outside the folder it was started in.
//
// Call before the toolkit draws any text, while no other thread runs:
// FLTK's options take their built-in defaults without reading or writing
// a preferences file, and fontconfig takes the program's own font and
// configuration (see use_embedded_font).
void keep_toolkit_files_unwritten();

#endif  // MORROWLINE_UI_TOOLKIT_FILES_H_
