// WebServer: the HTTP side of the live view in the browser.  It serves the
// page (files embedded in the binary at build time; nothing is read from
// disk), streams lines to every viewer of GET /events as server-sent events,
// and takes annotations through POST /mark.
//
//  - It listens on 127.0.0.1 unless the user names another address; the
//    address and port come from `velmora stream --web [HOST:]PORT`
//    (parseAddress).  Port 0 takes any free port (port() tells which).
//  - Every request's Host header must name the listening address,
//    "localhost" or, when listening on every address (0.0.0.0, ::), an IP
//    address: a page on another site that renames itself to this machine
//    (DNS rebinding) sends its own name and gets 403.
//  - POST /mark?token=T needs the random token of this run (url() ends in
//    it); another token, or none, gets 403.  The body, text/plain, is the
//    annotation's text: 1 to kMaxMarkBytes bytes of UTF-8 without control
//    characters, else 400.  The text goes to the MarkHandler; the answer is
//    202, since the mark is recorded on the session's thread.
//  - Each viewer has a ViewerQueue of kViewerQueueBytes.  broadcast() never
//    waits: a viewer whose queue is full has stopped reading and is dropped,
//    and so is one whose socket takes nothing for a second (its thread gives
//    up the write).  broadcast() returns who was dropped, for the session to
//    tell.  At most kMaxViewers viewers at once; one more gets 503.
//
// Threads: construct, start(), stop() and destroy on one thread (the main
// thread); setGreeting() and broadcast() from that thread too.  The request
// handlers and the MarkHandler run on the server's own threads.  The
// counters may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "web/ViewerQueue.h"

namespace httplib {
class Server;
}

namespace velmora::tool::web {

struct WebAddress {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
};

class WebServer {
 public:
  static constexpr uint16_t kDefaultPort = 8512;
  static constexpr size_t kViewerQueueBytes = size_t{512} << 10;
  static constexpr size_t kMaxViewers = 32;
  static constexpr size_t kMaxMarkBytes = 500;

  // Takes the text of an accepted POST /mark, on a server thread.
  using MarkHandler = std::function<void(std::string text)>;

  // "PORT", "HOST:PORT" or "[IPv6]:PORT"; "" means the default port on
  // 127.0.0.1.  None, with the problem in `problem`, for anything else.
  static std::optional<WebAddress> parseAddress(const std::string& text, std::string& problem);
  // Whether a request whose Host header is `host` may be served by a server
  // listening on `listening`.
  static bool hostAllowed(const std::string& host, const WebAddress& listening);
  // Whether `host` names only this machine (127.0.0.0/8, ::1, localhost).
  static bool isLoopback(const std::string& host);

  WebServer(WebAddress address, MarkHandler onMark);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds and starts serving.  The problem in a sentence when it cannot
  // (the port is taken, the address is not this machine's).
  std::optional<std::string> start();
  // Ends every viewer's stream after what is queued, stops serving and
  // waits for the server's threads.  Idempotent.
  void stop();

  // http://HOST:PORT/?token=TOKEN
  std::string url() const;
  uint16_t port() const { return port_; }
  const std::string& token() const { return token_; }

  // The first line every new viewer gets (the session's state just now).
  void setGreeting(const std::string& json);
  // Queues one line (a JSON object, no newline) for every viewer.  Returns
  // the peers ("ADDRESS:PORT") of the viewers dropped because they stopped
  // reading.
  std::vector<std::string> broadcast(const std::string& json);

  size_t viewers() const;
  uint64_t viewersDropped() const { return dropped_.load(); }
  uint64_t requestsRefused() const { return refused_.load(); }

 private:
  struct Viewer {
    explicit Viewer(std::string p) : queue(kViewerQueueBytes), peer(std::move(p)) {}
    ViewerQueue queue;
    std::string peer;
    bool stalled = false;  // its socket took nothing for a while (its thread only)
  };
  void routes();
  std::shared_ptr<Viewer> addViewer(const std::string& peer);
  void removeViewer(const std::shared_ptr<Viewer>& viewer);

  const WebAddress address_;
  const MarkHandler onMark_;
  const std::string token_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  uint16_t port_ = 0;

  mutable std::mutex mutex_;  // guards viewers_, greeting_ and stalledPeers_
  std::vector<std::shared_ptr<Viewer>> viewers_;
  ViewerQueue::Line greeting_;
  std::vector<std::string> stalledPeers_;  // dropped by their threads, not yet told
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> refused_{0};
};

}  // namespace velmora::tool::web
