#ifndef MORROWLINE_UI_PROGRESS_WINDOW_H_
#define MORROWLINE_UI_PROGRESS_WINDOW_H_

#include <FL/Fl_Window.H>

#include <atomic>
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
// button, inactive until the extraction has ended. Building it does not
// touch the display; the launcher shows it.
//
// Closing it (the window manager's close button, Escape) while the
// extraction runs hides it and cancels the run: it stores stop_cancelled
// in `*stop_request`, which the extraction watches.
class ProgressWindow : public Fl_Window, public ProgressObserver {
 public:
  explicit ProgressWindow(std::size_t member_count);
  ~ProgressWindow() override;

  // Draws the whole window once, now, with its fonts, so that whatever the
  // toolkit cannot do (no fonts, too little memory) fails before anything
  // on disk changes. Waits up to a second for the window to be mapped.
  void draw_now();

  // Called on the extracting thread while no other thread uses the toolkit:
  // counts the member, and at most every 1/30 s moves the bar, labels it
  // with the path and runs one non-blocking event pass, which draws it:
  // thousands of small members a second would otherwise keep the X server
  // busier than the extraction. The first and last members are always
  // drawn, and so is a member big enough to take a while (see
  // member_sizes), so that its name shows while it is written. Whenever
  // drawn, the bar stands at the number of members announced, less the one
  // being written when that one is big.
  void on_member(const std::string& target_path) override;
  // One event pass, between members: redraws and hears a close request.
  // Within a big member's step, the bar moves to the share of its bytes
  // written, never back.
  void on_working(uint64_t member_bytes_written) override;
  // Every member is written and the tree is being made durable: the bar is
  // full and labelled with the folder's path; "Fechar" stays inactive.
  void on_syncing(const std::string& target_path) override;

  // The extraction has ended and everything is in place: the bar is full
  // and labelled with the last member's target path, "Fechar" becomes
  // active, and closing the window no longer cancels anything. Clicks that
  // came while it was inactive are dropped first.
  void extraction_ended();

  // Shows that the run stopped: the caption reads "Falha: " and the
  // failure, the bar turns red where it stands and "Fechar" becomes active.
  void show_failure(const std::string& failure);

  // "Fechar"'s callback: hides the window that holds `w`.
  static void on_close(Fl_Widget* w, void* data);
  // The window's own callback, for close requests: cancels an extraction
  // that is still running, then hides the window.
  static void on_close_request(Fl_Widget* w, void* data);

  std::size_t member_count;
  Fl_Progress* progress_bar;
  Fl_Box* caption;
  Fl_Button* close_button;
  // Uncompressed sizes of the members in archive order, when known.
  std::vector<uint64_t> member_sizes;
  // Where a close request during the extraction says stop; the toolkit is
  // left alone once it holds stop_display_lost.
  std::atomic<int>* stop_request = nullptr;

 private:
  bool drawing_due();
  bool display_usable() const;
  // Whether the member last announced is big enough to fill its step bit
  // by bit.
  bool announced_is_big() const;
  // Labels the bar with `text`, in a font that has its characters.
  void label_bar(const std::string& text);
  // Moves and labels the bar for the member last announced, unless it
  // shows that one already.
  void show_announced();

  bool extracting_ = true;
  std::size_t announced_ = 0;
  std::size_t shown_ = 0;  // members the bar stands for
  std::string last_member_;  // the target path announced last
  std::chrono::steady_clock::time_point last_drawn_;
};

#endif  // MORROWLINE_UI_PROGRESS_WINDOW_H_
