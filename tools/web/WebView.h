// WebView: a StreamView that passes everything on to the command's own view
// (the terminal screen or JSON lines) and also shows it in the browser
// through a WebServer.
//
// What GET /events carries, one JSON object per "data:" line, in order:
//  - every delivered dictionary, exactly the object `velmora stream --json`
//    prints for it ({"t": ..., keys ..., "raw": [...]});
//  - connection events: {"t", "event": "connected", "port"}, {"t", "event":
//    "lost", "reconnect": true|false} and {"t", "event": "ended"} (close()), and the
//    session's status messages {"t", "event": "message", "text", "problem"};
//  - {"t", "mark": TEXT} for each annotation taken through POST /mark, which
//    also goes to stdout's JSON lines and into the EDF/BDF recording;
//  - {"t", "event": "hrv", "LF", "HF", "LF/HF", "energy", "seconds"}: LF/HF
//    and the energy level over the RR intervals received so far (at most the
//    last 5 minutes), computed after every 10 s of beats once they cover 64 s;
//  - first of all, for each new viewer, {"event": "hello", ...}: the state
//    at the moment it joined (the connection, where the session records,
//    the samples delivered before it joined, the last LF/HF).
//
// A viewer that stops reading is dropped (WebServer) and the drop is told
// as a status message of the session's view; nothing else waits for it.
//
// Threads: the session calls the StreamView members on the main thread.
// A mark arrives on a server thread and is handed to the main thread, where
// it runs only while this object lives.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "JsonLinesView.h"
#include "StreamView.h"
#include "VelmoraEdfRecorder.h"
#include "web/WebServer.h"

namespace velmora::tool::web {

class WebView : public StreamView {
 public:
  struct Settings {
    bool reconnect = true;               // whether a lost headset is waited for
    std::vector<std::string> recording;  // where the session records, for people
  };

  // Passes everything on to `inner`; `json`, when the command writes JSON
  // lines, also gets the marks.
  WebView(StreamView& inner, JsonLinesView* json, WebAddress address, Settings settings);
  ~WebView() override;

  // Starts serving; the problem in a sentence when it cannot.
  std::optional<std::string> start();
  std::string url() const { return server_.url(); }
  WebServer& server() { return server_; }
  // Where marks are recorded besides the JSON stream; called on the main
  // thread for each mark (null: no EDF/BDF recording).
  void setRecorder(std::function<VelmoraEdfRecorder*()> recorder) { recorder_ = std::move(recorder); }

  // Takes an annotation (main thread).
  void mark(const std::string& text);
  // Shows an LF/HF result the command computed itself (the demo's, over
  // every beat the analyser found: a sped-up headset can beat more than
  // once per delivery, and a delivery carries only the last interval).
  void hrvComputed(double lf, double hf, double ratio, int32_t energy, double seconds);
  // Tells the viewers that the session has ended and stops serving; the
  // destructor does it too.  A command may still show a result between the
  // session's end and this.
  void close();

  void connected(const std::string& name) override;
  void disconnected() override;
  void data(double t, const Dictionary& data, const StreamStats& stats) override;
  void message(const std::string& text, Tone tone) override;
  void tick(const StreamStats& stats) override { inner_.tick(stats); }
  void finish(const StreamStats& stats) override;
  int outputError() const override { return inner_.outputError(); }

 private:
  void publish(const nlohmann::ordered_json& object);
  void updateGreeting();
  void trackHrv(const Dictionary& data);

  StreamView& inner_;
  JsonLinesView* const json_;
  const Settings settings_;
  // Marks handed to the main thread run only while this lives (made before
  // the server, whose mark handler holds it weakly).
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  WebServer server_;
  std::function<VelmoraEdfRecorder*()> recorder_;

  std::string state_ = "connecting";
  std::string port_;
  double since_;
  uint64_t samples_ = 0;
  nlohmann::ordered_json lastHrv_;
  std::deque<int32_t> rr_;
  int64_t rrSum_ = 0;
  int64_t rrNewMs_ = 0;  // of beats since the last calculation
  bool closed_ = false;
};

}  // namespace velmora::tool::web
