#ifndef MORROWLINE_UI_PROGRESS_WINDOW_H_
#define MORROWLINE_UI_PROGRESS_WINDOW_H_

#include <FL/Fl_Window.H>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "extract/progress_observer.h"

class Fl_Box;
class Fl_Button;
class Fl_Progress;
class Fl_Widget;

// The program's window: title "Morrowline SFX Tool", the caption
// "Extraindo arquivos", a bar that steps once per member and the "Fechar"
// button, inactive until the last member is announced. Building it does not
// touch the display; the launcher shows it.
class ProgressWindow : public Fl_Window, public ProgressObserver {
 public:
  explicit ProgressWindow(std::size_t member_count);
  ~ProgressWindow() override;

  // Called on the extracting thread while no other thread uses the toolkit:
  // moves the bar, labels it with the path, enables "Fechar" at the last
  // member and runs one non-blocking event pass. That pass draws the bar at
  // most every 1/30 s: thousands of small members a second would otherwise
  // keep the X server busier than the extraction. The first and last
  // members are always drawn, and so is a member big enough to take a
  // while (see member_sizes), so that its name shows while it is written.
  void on_member(const std::string& target_path) override;

  // Shows that the run stopped: the caption reads "Falha: " and the
  // failure, the bar turns red where it stands and "Fechar" becomes active.
  void show_failure(const std::string& failure);

  // "Fechar"'s callback: hides the window that holds `w`.
  static void on_close(Fl_Widget* w, void* data);

  std::size_t member_count;
  Fl_Progress* progress_bar;
  Fl_Box* caption;
  Fl_Button* close_button;
  // Uncompressed sizes of the members in archive order, when known.
  std::vector<uint64_t> member_sizes;

 private:
  bool drawing_due();

  std::chrono::steady_clock::time_point last_drawn_;
};

#endif  // MORROWLINE_UI_PROGRESS_WINDOW_H_
