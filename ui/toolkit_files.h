#ifndef MORROWLINE_UI_TOOLKIT_FILES_H_
#define MORROWLINE_UI_TOOLKIT_FILES_H_

// The toolkit and the libraries under it write files of their own unless
// kept from it: FLTK its preferences (~/.fltk/fltk.org/fltk.prefs, and for
// root /etc/fltk/fltk.org/fltk.prefs) once a widget first asks for an
// option (a tooltip, the keyboard focus), fontconfig a font cache under
// ~/.cache or ~/.fontconfig when the system's is out of date. An
// installer writes nothing outside the folder it was started in.
//
// Call before the toolkit draws any text, while no other thread runs:
// FLTK's options take their built-in defaults without reading or writing
// a preferences file, and fontconfig loads its configuration and fonts
// with every cache folder of the user's out of its reach (it still reads
// the system's caches, and root's runs may refresh those, which are
// shared). The environment is as it was when this returns.
void keep_toolkit_files_unwritten();

#endif  // MORROWLINE_UI_TOOLKIT_FILES_H_
