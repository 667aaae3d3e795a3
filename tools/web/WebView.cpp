#include "web/WebView.h"

#include <chrono>
#include <cmath>

#include "VLHrv.h"
#include "Velmora.h"
#include "platform/MainQueue.h"

namespace velmora::tool::web {
namespace {

constexpr int64_t kHrvLeastMs = 64000;   // what the calculation needs
constexpr int64_t kHrvMostMs = 300000;   // the newest 5 minutes
constexpr int64_t kHrvEveryMs = 10000;   // of new beats between two calculations

double epochSeconds() {
  const double t = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return std::round(t * 1e6) / 1e6;
}

}  // namespace

WebView::WebView(StreamView& inner, JsonLinesView* json, WebAddress address, Settings settings)
    : inner_(inner),
      json_(json),
      settings_(std::move(settings)),
      server_(std::move(address),
              [alive = std::weak_ptr<int>(alive_), this](std::string text) {
                platform::MainQueue::async([alive, this, text = std::move(text)] {
                  if (alive.lock()) mark(text);
                });
              }),
      since_(epochSeconds()) {}

WebView::~WebView() {
  close();
  alive_.reset();
}

void WebView::close() {
  if (closed_) return;
  closed_ = true;
  state_ = "ended";
  publish({{"t", epochSeconds()}, {"event", "ended"}});
  updateGreeting();
  server_.stop();
}

std::optional<std::string> WebView::start() {
  updateGreeting();
  return server_.start();
}

void WebView::publish(const nlohmann::ordered_json& object) {
  for (const std::string& peer : server_.broadcast(object.dump())) {
    inner_.message("Dropped the web viewer at " + peer + ": it stopped reading.", Tone::Problem);
  }
}

void WebView::updateGreeting() {
  nlohmann::ordered_json hello;
  hello["event"] = "hello";
  hello["t"] = epochSeconds();
  hello["state"] = state_;
  hello["port"] = port_;
  hello["since"] = since_;
  hello["reconnect"] = settings_.reconnect;
  hello["recording"] = settings_.recording;
  hello["samples"] = samples_;
  if (!lastHrv_.is_null()) hello["hrv"] = lastHrv_;
  server_.setGreeting(hello.dump());
}

void WebView::mark(const std::string& text) {
  if (recorder_) {
    if (VelmoraEdfRecorder* recorder = recorder_()) recorder->annotate(text);
  }
  nlohmann::ordered_json line;
  line["t"] = epochSeconds();
  line["mark"] = text;
  if (json_) {
    json_->writeLine(line);
  } else {
    inner_.message("Marked: " + text, Tone::Info);
  }
  publish(line);
}

void WebView::connected(const std::string& name) {
  inner_.connected(name);
  state_ = "connected";
  port_ = name;
  since_ = epochSeconds();
  publish({{"t", since_}, {"event", "connected"}, {"port", name}});
  updateGreeting();
}

void WebView::disconnected() {
  inner_.disconnected();
  state_ = "lost";
  since_ = epochSeconds();
  publish({{"t", since_}, {"event", "lost"}, {"reconnect", settings_.reconnect}});
  updateGreeting();
}

void WebView::data(double t, const Dictionary& data, const StreamStats& stats) {
  inner_.data(t, data, stats);
  samples_ = stats.samples;
  publish(JsonLinesView::toJson(t, data));
  trackHrv(data);
  updateGreeting();
}

void WebView::message(const std::string& text, Tone tone) {
  inner_.message(text, tone);
  publish({{"t", epochSeconds()}, {"event", "message"}, {"text", text}, {"problem", tone == Tone::Problem}});
}

void WebView::finish(const StreamStats& stats) { inner_.finish(stats); }

void WebView::hrvComputed(double lf, double hf, double ratio, int32_t energy, double seconds) {
  nlohmann::ordered_json line;
  line["t"] = epochSeconds();
  line["event"] = "hrv";
  line["LF"] = lf;
  line["HF"] = hf;
  line["LF/HF"] = ratio;
  line["energy"] = energy;
  line["seconds"] = seconds;
  lastHrv_ = line;
  publish(line);
  updateGreeting();
}

// Collects the RR intervals and, after every kHrvEveryMs of new ones (in
// headset time, so a simulated headset at any speed is treated alike),
// computes LF/HF and the energy level over them on this thread (tens of
// microseconds of FFT).
void WebView::trackHrv(const Dictionary& data) {
  if (auto it = data.find("rrInt"); it != data.end() && it->second.isInt() && it->second.asInt() > 0) {
    rr_.push_back(it->second.asInt());
    rrSum_ += rr_.back();
    rrNewMs_ += rr_.back();
    while (rrSum_ - rr_.front() >= kHrvMostMs) {
      rrSum_ -= rr_.front();
      rr_.pop_front();
    }
  }
  if (rrSum_ < kHrvLeastMs || rrNewMs_ < kHrvEveryMs) return;
  auto analyser = velmora::hrv.load();
  if (!analyser) return;
  rrNewMs_ = 0;
  const std::vector<int32_t> list(rr_.begin(), rr_.end());
  if (analyser->calculateEnergyLevel(list.data(), static_cast<int32_t>(list.size())) < 0.0) return;
  const Dictionary result = analyser->result();
  hrvComputed(result.at("LF").number(), result.at("HF").number(), result.at("LF/HF").number(),
              result.at("energy").asInt(), static_cast<double>(rrSum_) / 1000.0);
}

}  // namespace velmora::tool::web
