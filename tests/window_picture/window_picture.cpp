// window-picture [--machine-fonts] PATH...: shows the installer's window as
// a run that unpacked members at the target paths PATH... leaves it: the
// bar full and labelled with the last PATH, "Fechar" active; until the
// window is closed. The window draws with the program's own font, or,
// with --machine-fonts, with the fonts and configuration of this machine,
// as the installer did before it carried its own. The tests compare the
// real program's windows with both.
#include <FL/Fl.H>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ui/progress_window.h"
#include "ui/toolkit_files.h"

int main(int argc, char** argv) {
  bool machine_fonts = argc > 1 && std::strcmp(argv[1], "--machine-fonts") == 0;
  std::vector<std::string> paths(argv + 1 + (machine_fonts ? 1 : 0), argv + argc);
  if (!machine_fonts) keep_toolkit_files_unwritten();
  auto window = std::make_shared<ProgressWindow>(paths.size());
  char* toolkit_arguments[] = {argv[0], nullptr};
  window->show(1, toolkit_arguments);
  window->draw_now();
  for (const std::string& path : paths) window->on_member(path);
  window->extraction_ended();
  return Fl::run();
}
