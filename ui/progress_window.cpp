#include "ui/progress_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/x.H>
#include <X11/Xft/Xft.h>

#include <algorithm>

#include "extract/interrupted.h"
#include "ui/icon_xpm.h"
#include "ui/window_fonts.h"

namespace {

constexpr char title[] = "Morrowline SFX Tool";
constexpr Fl_Color bar_blue = 4;
constexpr std::chrono::milliseconds frame_interval{33};
// Written at a few hundred MB/s, a member this big takes a frame or more.
constexpr uint64_t big_member_size = uint64_t{4} << 20;
constexpr std::chrono::seconds longest_wait_for_map{1};

// Antialiased text blends each glyph's edge with what lies beneath; on a
// display of 256 colours (PseudoColor, StaticColor: an 8-bit VNC server,
// Xvfb at depth 8) there is no colour to blend into, and every label comes
// out on a dark box. Plain glyphs are drawn there instead. Before the
// first text is drawn: fonts are opened then.
void smooth_text_only_where_it_blends() {
  int kind = fl_visual->c_class;
  if (kind == TrueColor || kind == DirectColor) return;
  FcPattern* defaults = FcPatternCreate();
  if (!defaults) return;
  FcPatternAddBool(defaults, FC_ANTIALIAS, FcFalse);
  FcPatternAddBool(defaults, XFT_RENDER, FcFalse);
  XftDefaultSet(fl_display, defaults);  // takes it
}

}  // namespace

ProgressWindow::ProgressWindow(std::size_t member_count)
    : Fl_Window(605, 140), member_count(member_count) {
  Fl_Pixmap pixmap(icon_xpm);
  Fl_RGB_Image icon_image(&pixmap, FL_GRAY);
  icon(&icon_image);  // the window keeps its own copy
  label(title, title);

  begin();
  progress_bar = new Fl_Progress(5, 48, 595, 35, "");
  progress_bar->selection_color(bar_blue);
  progress_bar->maximum(static_cast<float>(member_count));
  progress_bar->minimum(0);
  progress_bar->value(0);

  caption = new Fl_Box(5, 13, 595, 29, "Extraindo arquivos");
  caption->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);

  close_button = new Fl_Button(455, 95, 145, 35, "Fechar");
  close_button->callback(on_close, this);
  close_button->deactivate();
  end();
  callback(on_close_request, this);
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::draw_now() {
  smooth_text_only_where_it_blends();
  auto deadline = std::chrono::steady_clock::now() + longest_wait_for_map;
  XWindowAttributes attributes;
  while (shown() && XGetWindowAttributes(fl_display, fl_xid(this), &attributes) &&
         attributes.map_state != IsViewable && std::chrono::steady_clock::now() < deadline)
    Fl::wait(0.01);
  Fl::check();
  // Fonts are loaded at the first text drawn, mapped or not.
  make_current();
  draw();
  Fl::flush();
  // The server has done the drawing, or the connection is known broken.
  XSync(fl_display, False);
}

void ProgressWindow::on_member(const std::string& target_path) {
  ++announced_;
  last_member_ = target_path;
  bool last = announced_ == member_count;
  // The bar shows the member last announced whenever it is drawn; moving
  // and labelling it, and the event pass that draws it, wait for its frame:
  // at thousands of members a second, a pass per member would cost more
  // system calls than writing the files, and a label per member a third of
  // the extracting thread's own work. A close request waits at most a frame.
  if (!last && !drawing_due()) return;
  show_announced();
  if (display_usable()) Fl::check();
}

void ProgressWindow::on_working(uint64_t member_bytes_written) {
  show_announced();
  if (announced_is_big()) {
    double share = std::min(1.0, static_cast<double>(member_bytes_written) /
                                     static_cast<double>(member_sizes[announced_ - 1]));
    float value = static_cast<float>(static_cast<double>(announced_ - 1) + share);
    if (value > progress_bar->value()) progress_bar->value(value);
  }
  if (display_usable()) Fl::check();
}

void ProgressWindow::show_announced() {
  if (shown_ == announced_) return;
  shown_ = announced_;
  label_bar(last_member_);
  // A big member's step fills as its bytes are written (on_working); any
  // other member's is taken whole at once.
  progress_bar->value(static_cast<float>(announced_ - (announced_is_big() ? 1 : 0)));
}

void ProgressWindow::on_syncing(const std::string& target_path) {
  shown_ = announced_;
  label_bar(target_path);
  progress_bar->value(static_cast<float>(member_count));
  if (display_usable()) Fl::check();
}

void ProgressWindow::label_bar(const std::string& text) {
  progress_bar->labelfont(label_font(text));
  progress_bar->copy_label(text.c_str());
}

bool ProgressWindow::announced_is_big() const {
  return announced_ > 0 && announced_ <= member_sizes.size() &&
         member_sizes[announced_ - 1] >= big_member_size;
}

bool ProgressWindow::display_usable() const {
  return !stop_request || stop_request->load(std::memory_order_relaxed) != stop_display_lost;
}

void ProgressWindow::extraction_ended() {
  // Clicks queued while the button was inactive are handled first, so a
  // click on the greyed "Fechar" never closes the window once it wakes.
  extracting_ = false;
  if (!display_usable()) return;
  progress_bar->value(static_cast<float>(member_count));
  Fl::check();
  // The wait named the folder being made durable; the finished bar names
  // the last member again, drawn in the pass that wakes "Fechar".
  label_bar(last_member_);
  close_button->activate();
  Fl::check();
}

bool ProgressWindow::drawing_due() {
  auto now = std::chrono::steady_clock::now();
  if (announced_ > 1 && !announced_is_big() && now - last_drawn_ < frame_interval) return false;
  last_drawn_ = now;
  return true;
}

void ProgressWindow::show_failure(const std::string& failure) {
  show_announced();
  extracting_ = false;
  std::string text = "Falha: " + failure;
  caption->labelfont(label_font(text));
  caption->copy_label(text.c_str());
  progress_bar->selection_color(FL_RED);
  progress_bar->redraw();
  close_button->activate();
}

void ProgressWindow::on_close(Fl_Widget* w, void*) { w->window()->hide(); }

void ProgressWindow::on_close_request(Fl_Widget* w, void*) {
  auto* window = static_cast<ProgressWindow*>(w);
  if (window->extracting_ && window->stop_request) {
    int none = 0;
    window->stop_request->compare_exchange_strong(none, stop_cancelled);
  }
  window->hide();
}
