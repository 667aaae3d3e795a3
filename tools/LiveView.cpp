#include "LiveView.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora::tool {
namespace {

constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kCyan = "\x1b[36m";
constexpr const char* kDim = "\x1b[2m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kReset = "\x1b[0m";

constexpr size_t kLabelWidth = 13;
// The widest band power (24 bits) on the log scale.
const double kLogMaxPower = std::log10(16777216.0);

double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Code points in a UTF-8 string (each of our characters is one column wide).
size_t columns(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

// `s` cut to at most `width` columns, never inside a UTF-8 sequence.
std::string fit(const std::string& s, size_t width) {
  size_t n = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (n == width) return s.substr(0, i);
      ++n;
    }
  }
  return s;
}

// `text` broken at blanks into at most `most` lines of `width` columns.
std::vector<std::string> wrap(const std::string& text, size_t width, size_t most) {
  std::vector<std::string> lines;
  std::string rest = text;
  while (!rest.empty() && lines.size() < most) {
    if (columns(rest) <= width || lines.size() + 1 == most) {
      lines.push_back(fit(rest, width));
      break;
    }
    std::string head = fit(rest, width + 1);
    size_t cut = head.rfind(' ');
    if (cut == std::string::npos || cut == 0) cut = fit(rest, width).size();
    lines.push_back(rest.substr(0, cut));
    rest = rest.substr(cut);
    while (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
  }
  if (lines.empty()) lines.emplace_back();
  return lines;
}

std::string pad(const std::string& s, size_t width) {
  const size_t n = columns(s);
  return n >= width ? fit(s, width) : s + std::string(width - n, ' ');
}

// 1234567 -> "1 234 567"
std::string grouped(uint64_t v) {
  std::string digits = std::to_string(v);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
    out += digits[i];
  }
  return out;
}

std::string clock(double seconds) {
  const auto s = static_cast<long>(std::max(0.0, seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

std::string number(std::optional<int32_t> v) { return v ? std::to_string(*v) : "-"; }

bool localeIsUtf8() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::string v = value;
    for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return v.find("utf-8") != std::string::npos || v.find("utf8") != std::string::npos;
  }
  return false;
}

}  // namespace

LiveView::LiveView(std::string title, Output& out, Style style)
    : title_(std::move(title)), out_(out), style_(style), started_(nowSeconds()) {}

LiveView::Style LiveView::styleFromEnvironment() {
  Style style;
  style.unicode = localeIsUtf8();
  const char* noColour = std::getenv("NO_COLOR");
  style.colour = noColour == nullptr || *noColour == '\0';
  return style;
}

void LiveView::connected(const std::string& name) {
  port_ = name;
  linkUp_ = true;
}

void LiveView::data(double, const Dictionary&, const StreamStats&) {}

void LiveView::message(const std::string& text, Tone tone) {
  status_ = text;
  statusTone_ = tone;
}

void LiveView::tick(const StreamStats& stats) { draw(stats); }

void LiveView::finish(const StreamStats& stats) {
  if (!screenTaken_) return;  // ended before the screen was taken (a refused connect)
  draw(stats, true);
  out_.write(style_.colour ? std::string(kReset) + "\x1b[?25h" : "\x1b[?25h");
  out_.finish();
}

std::string LiveView::paint(const std::string& text, const char* colour) const {
  if (!style_.colour || colour == nullptr) return text;
  return colour + text + kReset;
}

std::string LiveView::bar(double fraction, size_t width, const char* colour) const {
  if (!(fraction >= 0.0)) fraction = 0.0;  // also NaN
  fraction = std::min(fraction, 1.0);
  const double cells = fraction * static_cast<double>(width);
  size_t full = static_cast<size_t>(cells);
  std::string filled;
  std::string rest;
  if (style_.unicode) {
    static const char* const eighths[] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉"};
    for (size_t i = 0; i < full; ++i) filled += "█";
    size_t used = full;
    const auto part = static_cast<size_t>((cells - static_cast<double>(full)) * 8.0);
    if (full < width && part > 0) {
      filled += eighths[part];
      ++used;
    }
    for (size_t i = used; i < width; ++i) rest += "·";
  } else {
    filled.assign(full, '#');
    rest.assign(width - full, '.');
  }
  return paint(filled, colour) + paint(rest, kDim);
}

std::string LiveView::scope(const StreamStats& stats, size_t width) const {
  const auto& raw = stats.recentRaw;
  if (raw.empty() || width == 0) return "";
  const auto [lo, hi] = std::minmax_element(raw.begin(), raw.end());
  const double low = *lo;
  const double span = std::max(1.0, static_cast<double>(*hi) - low);
  static const char* const blocks[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
  static const char ascii[] = "_.-:=+*#";
  const size_t columnsWanted = std::min(width, raw.size());
  std::string out;
  for (size_t c = 0; c < columnsWanted; ++c) {
    const size_t from = c * raw.size() / columnsWanted;
    const size_t to = std::max(from + 1, (c + 1) * raw.size() / columnsWanted);
    // The sample farthest from the middle keeps spikes (R waves, blinks)
    // visible after downsampling.
    const double middle = low + span / 2;
    double pick = raw[from];
    for (size_t i = from; i < to; ++i) {
      if (std::abs(raw[i] - middle) > std::abs(pick - middle)) pick = raw[i];
    }
    const auto level = std::min<size_t>(7, static_cast<size_t>((pick - low) / span * 8.0));
    if (style_.unicode) {
      out += blocks[level];
    } else {
      out += ascii[level];
    }
  }
  return paint(out, kCyan);
}

std::vector<std::string> LiveView::render(const StreamStats& stats, double now, size_t width) const {
  width = std::max<size_t>(width, 40);
  const size_t valueWidth = 22;
  const size_t barWidth = std::clamp<size_t>(width - kLabelWidth - valueWidth - 2, 8, 40);
  // What is left for a bar's value on a narrow screen.
  const size_t valueRoom =
      std::min(valueWidth, width > kLabelWidth + barWidth + 2 ? width - kLabelWidth - barWidth - 2 : 0);
  std::vector<std::string> lines;
  auto label = [&](const char* text) { return pad(text, kLabelWidth); };
  auto separator = [&] {
    std::string s;
    for (size_t i = 0; i < std::min<size_t>(width, kLabelWidth + barWidth + valueWidth + 2); ++i) {
      s += style_.unicode ? "─" : "-";
    }
    return paint(s, kDim);
  };

  // Header: title, port, how long, and whether data is flowing.
  std::string state;
  const char* stateColour = kGreen;
  if (!linkUp_ && !port_.empty()) {
    state = "headset lost";
    stateColour = kRed;
  } else if (stats.lastData && now - *stats.lastData < 2.0) {
    state = "streaming";
  } else if (stats.lastData) {
    state = "no data for " + std::to_string(static_cast<long>(now - *stats.lastData)) + " s";
    stateColour = kYellow;
  } else {
    state = "waiting for data";
    stateColour = kYellow;
  }
  std::string head = title_ + "  " + (port_.empty() ? std::string("(no headset yet)") : port_) + "  ";
  std::string tail = "  " + clock(now - started_);
  lines.push_back(paint(fit(head, width), kBold) +
                  paint(fit(state, width > columns(head) ? width - columns(head) : 0), stateColour) +
                  fit(tail, width > columns(head) + columns(state) ? width - columns(head) - columns(state) : 0));
  lines.push_back(separator());

  // Signal quality: 0 is the best contact; 200 is the heart (ECG) signal, on
  // which the RR analysis runs.
  {
    std::string value = "-";
    double fraction = 0.0;
    const char* colour = kDim;
    if (stats.poorSignal) {
      const int32_t p = *stats.poorSignal;
      value = std::to_string(p);
      if (p == 200) {
        fraction = 1.0;
        colour = kGreen;
        value += "  heart signal";
      } else if (p > 200) {
        colour = kRed;
        value += "  no contact";
      } else {
        fraction = 1.0 - p / 200.0;
        colour = p == 0 ? kGreen : p <= 50 ? kYellow : kRed;
        value += p == 0 ? "  good contact" : p <= 50 ? "  fair contact" : "  poor contact";
      }
    }
    lines.push_back(label("Signal") + bar(fraction, barWidth, colour) + "  " + fit(value, valueRoom));
  }
  auto scoreLine = [&](const char* name, std::optional<int32_t> v) {
    const double fraction = v ? *v / 100.0 : 0.0;
    lines.push_back(label(name) + bar(fraction, barWidth, kGreen) + "  " + fit(number(v), valueRoom));
  };
  scoreLine("Attention", stats.attention);
  scoreLine("Meditation", stats.meditation);
  lines.push_back("");

  lines.push_back(paint("Band power", kBold) + paint("  (log scale)", kDim));
  for (size_t k = 0; k < kBandKeys.size(); ++k) {
    const auto& v = stats.bands[k];
    const double fraction = v ? std::log10(static_cast<double>(std::max(*v, 0)) + 1.0) / kLogMaxPower : 0.0;
    lines.push_back(label((std::string("  ") + kBandLabels[k]).c_str()) + bar(fraction, barWidth, kCyan) + "  " +
                    fit(v ? grouped(static_cast<uint64_t>(std::max(*v, 0))) : "-", valueRoom));
  }
  lines.push_back("");

  {
    std::string text = grouped(stats.blinks);
    if (!stats.recentBlinks.empty()) {
      text += " · last";
      for (auto it = stats.recentBlinks.rbegin(); it != stats.recentBlinks.rend(); ++it) {
        text += ' ';
        text += std::to_string(it->strength);
      }
      char ago[32];
      std::snprintf(ago, sizeof ago, " · %.1f s ago", std::max(0.0, now - stats.recentBlinks.back().t));
      text += ago;
    }
    lines.push_back(label("Blinks") + fit(text, width - kLabelWidth));
  }
  {
    std::string text = "-";
    if (stats.heartRate || stats.rrInterval) {
      text = number(stats.heartRate) + " bpm · RR " + number(stats.rrInterval) + " ms · " + grouped(stats.beats) +
             " beats";
    }
    lines.push_back(label("Heart") + fit(text, width - kLabelWidth));
  }
  {
    std::string rate = "-";
    if (auto r = stats.sampleRate()) rate = std::to_string(std::lround(*r)) + "/s";
    const std::string counts = rate + " · " + grouped(stats.samples) + " samples";
    const size_t scopeWidth = barWidth;
    std::string drawn = scope(stats, scopeWidth);
    const size_t drawnColumns = std::min(scopeWidth, stats.recentRaw.size());
    const size_t used = kLabelWidth + scopeWidth + 2;
    lines.push_back(label("Raw") + drawn + std::string(scopeWidth - drawnColumns, ' ') + "  " +
                    fit(counts, width > used ? width - used : 0));
  }
  if (!recording_.empty()) lines.push_back(label("Recording") + fit(recording_, width - kLabelWidth));
  lines.push_back(separator());
  for (const std::string& part : wrap(status_, width, 3)) {
    lines.push_back(paint(part, statusTone_ == Tone::Problem ? kRed : nullptr));
  }
  lines.push_back(paint(fit(hint_, width), kDim));

  if (!style_.unicode) {
    // The middle dot and the rule above are the only non-ASCII characters
    // left outside bar() and scope().
    for (std::string& line : lines) {
      for (size_t at; (at = line.find("·")) != std::string::npos;) line.replace(at, std::strlen("·"), 1, '|');
    }
  }
  return lines;
}

void LiveView::draw(const StreamStats& stats, bool last) {
  if (!last && out_.pending() > 0) return;
  winsize size{};
  size_t width = 80;
  size_t height = 40;
  if (::ioctl(out_.fd(), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    width = size.ws_col;
    height = size.ws_row;
  }
  std::vector<std::string> lines = render(stats, nowSeconds(), width);
  // A frame taller than the window would scroll it; the status lines at the
  // bottom matter most, so lines go from the band powers first.
  while (lines.size() + 1 > height && lines.size() > 6) lines.erase(lines.begin() + 5);

  std::string frame;
  if (!screenTaken_) {
    frame += "\x1b[?25l\x1b[2J";  // hide the cursor, clear the screen once
    screenTaken_ = true;
  }
  frame += "\x1b[H";
  for (const std::string& line : lines) {
    frame += line;
    frame += "\x1b[K\n";
  }
  frame += "\x1b[J";
  out_.write(std::move(frame));
}

}  // namespace velmora::tool
