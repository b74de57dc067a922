#include "ui/progress_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Progress.H>
#include <gtest/gtest.h>

#include "extract/interrupted.h"

namespace {

void expect_box(const Fl_Widget* w, int x, int y, int width, int height) {
  EXPECT_EQ(w->x(), x);
  EXPECT_EQ(w->y(), y);
  EXPECT_EQ(w->w(), width);
  EXPECT_EQ(w->h(), height);
}

TEST(ProgressWindow, LaysOutItsWidgets) {
  ProgressWindow window(3);
  EXPECT_EQ(window.w(), 605);
  EXPECT_EQ(window.h(), 140);
  EXPECT_STREQ(window.label(), "Morrowline SFX Tool");
  EXPECT_STREQ(window.iconlabel(), "Morrowline SFX Tool");
  ASSERT_EQ(window.children(), 3);
  EXPECT_EQ(window.child(0), window.progress_bar);
  EXPECT_EQ(window.child(1), window.caption);
  EXPECT_EQ(window.child(2), window.close_button);
  expect_box(window.progress_bar, 5, 48, 595, 35);
  expect_box(window.caption, 5, 13, 595, 29);
  expect_box(window.close_button, 455, 95, 145, 35);
  EXPECT_STREQ(window.progress_bar->label(), "");
  EXPECT_EQ(window.progress_bar->selection_color(), 4u);
  EXPECT_EQ(window.progress_bar->maximum(), 3.0f);
  EXPECT_EQ(window.progress_bar->value(), 0.0f);
  EXPECT_STREQ(window.caption->label(), "Extraindo arquivos");
  EXPECT_EQ(window.caption->align(), FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  EXPECT_STREQ(window.close_button->label(), "Fechar");
  EXPECT_FALSE(window.close_button->active());
  EXPECT_EQ(window.resizable(), nullptr);
}

TEST(ProgressWindow, StepsOncePerMemberAndEnablesCloseOnlyOnceTheRunHasEnded) {
  ProgressWindow window(3);
  window.show();
  std::string path = "/home/u/pkg";
  window.on_member(path);
  path = "gone";  // the bar keeps its own copy
  EXPECT_STREQ(window.progress_bar->label(), "/home/u/pkg");
  EXPECT_EQ(window.progress_bar->value(), 1.0f);
  window.on_member("/home/u/pkg/a");
  window.on_member("/home/u/pkg/b");
  window.on_working(100);
  EXPECT_EQ(window.progress_bar->value(), 3.0f);
  EXPECT_FALSE(window.close_button->active());  // the last member is still being written
  // While the tree is made durable: the bar full, named after the folder,
  // "Fechar" still inactive.
  window.on_syncing("/home/u/pkg");
  window.on_working(100);
  EXPECT_EQ(window.progress_bar->value(), 3.0f);
  EXPECT_STREQ(window.progress_bar->label(), "/home/u/pkg");
  EXPECT_FALSE(window.close_button->active());
  window.extraction_ended();
  EXPECT_TRUE(window.close_button->active());
  EXPECT_STREQ(window.progress_bar->label(), "/home/u/pkg/b");
  EXPECT_STREQ(window.caption->label(), "Extraindo arquivos");
}

TEST(ProgressWindow, ABigMembersStepFillsAsItsBytesAreWrittenNeverBack) {
  constexpr uint64_t mib = uint64_t{1} << 20;
  ProgressWindow window(3);
  window.member_sizes = {0, 100 * mib, 1};
  window.show();
  window.on_member("/x/pkg");
  EXPECT_EQ(window.progress_bar->value(), 1.0f);
  window.on_member("/x/pkg/big");
  EXPECT_EQ(window.progress_bar->value(), 1.0f);
  window.on_working(25 * mib);
  EXPECT_FLOAT_EQ(window.progress_bar->value(), 1.25f);
  window.on_working(10 * mib);  // a stale count moves nothing back
  EXPECT_FLOAT_EQ(window.progress_bar->value(), 1.25f);
  window.on_working(100 * mib);
  EXPECT_EQ(window.progress_bar->value(), 2.0f);
  window.on_member("/x/pkg/small");
  window.on_working(1);  // a small member's step is whole at once
  EXPECT_EQ(window.progress_bar->value(), 3.0f);
}

TEST(ProgressWindow, ACloseRequestCancelsOnlyARunningExtraction) {
  std::atomic<int> stop{0};
  ProgressWindow window(2);
  window.stop_request = &stop;
  window.show();
  window.on_member("/x/a");
  window.do_callback();  // what the window manager's close button and Escape do
  EXPECT_EQ(stop.load(), stop_cancelled);
  EXPECT_FALSE(window.shown());

  std::atomic<int> later{0};
  ProgressWindow finished(1);
  finished.stop_request = &later;
  finished.show();
  finished.on_member("/x/a");
  finished.extraction_ended();
  finished.do_callback();
  EXPECT_EQ(later.load(), 0);
  EXPECT_FALSE(finished.shown());
}

TEST(ProgressWindow, CloseButtonHidesTheWindow) {
  ProgressWindow window(1);
  window.show();
  window.on_member("/x");
  ASSERT_TRUE(window.shown());
  window.close_button->do_callback();
  EXPECT_FALSE(window.shown());
}

TEST(ProgressWindow, FailureTurnsTheBarRedAndEnablesClose) {
  ProgressWindow window(4);
  window.on_member("/x/a");
  window.show_failure("file couldn't be read: /x/b");
  EXPECT_STREQ(window.caption->label(), "Falha: file couldn't be read: /x/b");
  EXPECT_EQ(window.progress_bar->selection_color(), FL_RED);
  EXPECT_EQ(window.progress_bar->value(), 1.0f);
  EXPECT_TRUE(window.close_button->active());
}

}  // namespace
