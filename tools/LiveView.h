// LiveView: the one-screen terminal view of a streaming session.  A few
// times a second it redraws, with plain ANSI escapes (cursor home, clear to
// end of line and of screen; no curses): the signal quality, attention and
// meditation as bars, the eight band powers as bars on a log scale, the last
// blinks, the heart rate and RR interval, a one-line scope of the last second
// of raw samples with the sample rate, the recording's path and the latest
// status message.  It hides the cursor while it runs and shows it again in
// finish(), leaving the last frame on the screen.
//
// The frame adapts to the terminal's width and height (asked for at every
// redraw, so a resized window redraws right).  Frames go out through an
// Output; while one is still being written (a terminal paused with Ctrl-S),
// the next ones are skipped: only the latest frame matters.  Block
// characters are used when the locale is UTF-8, ASCII otherwise; colours
// unless NO_COLOR is set.
//
// Threads: main thread only (see StreamView).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "Output.h"
#include "StreamView.h"

namespace velmora::tool {

class LiveView : public StreamView {
 public:
  struct Style {
    bool unicode = true;
    bool colour = true;
  };

  // `title` heads the screen ("velmora stream"); the view draws to `out`.
  LiveView(std::string title, Output& out, Style style);
  // The style the environment asks for (locale, NO_COLOR).
  static Style styleFromEnvironment();

  // Shown on the "Recording" line; empty: not recording.
  void setRecording(std::string text) { recording_ = std::move(text); }
  // Replaces the hint on the last line ("Ctrl-C stops").
  void setHint(std::string text) { hint_ = std::move(text); }

  void connected(const std::string& name) override;
  void disconnected() override { linkUp_ = false; }
  void data(double t, const Dictionary& data, const StreamStats& stats) override;
  void message(const std::string& text, Tone tone) override;
  void tick(const StreamStats& stats) override;
  void finish(const StreamStats& stats) override;
  int outputError() const override { return out_.error(); }

  // The frame's lines for `stats` at `width` columns, `now` seconds since
  // the epoch, with the style's escapes for colour (none when colour is
  // off).  Each line fits the width.
  std::vector<std::string> render(const StreamStats& stats, double now, size_t width) const;

 private:
  void draw(const StreamStats& stats, bool last = false);
  std::string bar(double fraction, size_t width, const char* colour) const;
  std::string scope(const StreamStats& stats, size_t width) const;
  std::string paint(const std::string& text, const char* colour) const;

  std::string title_;
  Output& out_;
  Style style_;
  std::string port_;
  bool linkUp_ = false;
  std::string recording_;
  std::string hint_ = "Ctrl-C stops";
  std::string status_ = "Connecting...";
  Tone statusTone_ = Tone::Info;
  double started_;
  bool screenTaken_ = false;
};

}  // namespace velmora::tool
