#include "ui/toolkit_files.h"

#include <FL/Fl.H>

#include "ui/window_fonts.h"

// FLTK 1.3 reads its options through Fl_Preferences at the first
// Fl::option() call, and the preferences object writes its file when it
// goes; 1.3 has no call that sets them without that first read. These
// are its two private fields (they are exported, both from the static
// library and from libfltk.so), set here as that read leaves them when
// no file says otherwise.
extern unsigned char fltk_options[Fl::OPTION_LAST] __asm__("_ZN2Fl8options_E");
extern unsigned char fltk_options_read __asm__("_ZN2Fl13options_read_E");

namespace {

void set_default_toolkit_options() {
  fltk_options[Fl::OPTION_ARROW_FOCUS] = 0;
  fltk_options[Fl::OPTION_VISIBLE_FOCUS] = 1;
  fltk_options[Fl::OPTION_DND_TEXT] = 1;
  fltk_options[Fl::OPTION_SHOW_TOOLTIPS] = 1;
  fltk_options[Fl::OPTION_FNFC_USES_GTK] = 1;
  fltk_options_read = 1;
}

}  // namespace

void keep_toolkit_files_unwritten() {
  set_default_toolkit_options();
  use_embedded_font();
}
