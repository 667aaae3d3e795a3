#include "web/WebServer.h"

#include <arpa/inet.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <httplib.h>

#include "web/PageFiles.h"

namespace velmora::tool::web {
namespace {

using namespace std::chrono_literals;

constexpr auto kPollInterval = 250ms;
// A comment line now and then keeps proxies and SSH forwards from timing
// out an idle stream (while the headset is lost, say).
constexpr auto kKeepAliveInterval = 15s;
// A viewer whose socket takes nothing for this long has stopped reading.
// Both the wait for room (httplib's write time-out) and a send() that
// blocks (SO_SNDTIMEO, inherited by every accepted socket) give up then, so
// that no server thread waits long for a viewer, and stop() ends soon.
constexpr time_t kWriteTimeoutSeconds = 1;
constexpr auto kStalledAfter = 750ms;
// The kernel's share of a viewer's backlog: small, so that a viewer that
// stops reading is noticed by its queue rather than hidden in megabytes of
// socket buffer.
constexpr int kSendBufferBytes = 64 << 10;

std::string randomToken() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "getrandom");
    got += static_cast<size_t>(n);
  }
  static const char* const kHex = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

// Compares without stopping at the first difference, so the time taken
// tells nothing about the token.
bool sameToken(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool isIpLiteral(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// The host part of a Host header ("name", "name:port", "[v6]:port"),
// lower case, without a trailing dot; empty when malformed.
std::string hostPart(const std::string& header) {
  std::string host = header;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) return "";
    host = host.substr(1, close - 1);
  } else if (const size_t colon = host.find(':'); colon != std::string::npos) {
    if (host.find(':', colon + 1) != std::string::npos) return "";
    host = host.substr(0, colon);
  }
  if (!host.empty() && host.back() == '.') host.pop_back();
  return lower(host);
}

// Text a viewer may leave in a recording: UTF-8 without control characters.
bool acceptableMark(const std::string& text) {
  if (text.empty() || text.size() > WebServer::kMaxMarkBytes) return false;
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t more = 0;
    uint32_t code = c;
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7f) return false;
    } else if ((c & 0xe0) == 0xc0) {
      more = 1, code = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      more = 2, code = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      more = 3, code = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= text.size()) return false;
    for (size_t k = 1; k <= more; ++k) {
      const auto d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xc0) != 0x80) return false;
      code = (code << 6) | (d & 0x3f);
    }
    static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[more] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    if (code >= 0x80 && code < 0xa0) return false;  // C1 controls
    i += more + 1;
  }
  return true;
}

void refuse(httplib::Response& res, int status, const std::string& why) {
  res.status = status;
  res.set_content(why + "\n", "text/plain; charset=utf-8");
}

}  // namespace

std::optional<WebAddress> WebServer::parseAddress(const std::string& text, std::string& problem) {
  WebAddress address;
  address.port = kDefaultPort;
  if (text.empty()) return address;
  std::string portText = text;
  if (text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      problem = "--web takes [HOST:]PORT, an IPv6 address in brackets: [::1]:8512";
      return std::nullopt;
    }
    address.host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    address.host = text.substr(0, colon);
    portText = text.substr(colon + 1);
    if (address.host.find(':') != std::string::npos) {
      problem = "--web takes [HOST:]PORT; put an IPv6 address in brackets: [::1]:8512";
      return std::nullopt;
    }
  }
  if (address.host.empty()) {
    problem = "--web needs a host before the ':' (or give the port alone for 127.0.0.1)";
    return std::nullopt;
  }
  char* end = nullptr;
  errno = 0;
  const long port = std::strtol(portText.c_str(), &end, 10);
  if (portText.empty() || *end != '\0' || errno != 0 || port < 0 || port > 65535 ||
      !std::isdigit(static_cast<unsigned char>(portText.front()))) {
    problem = "--web takes [HOST:]PORT with a port from 0 to 65535 (0: any free port), e.g. --web 8512";
    return std::nullopt;
  }
  address.port = static_cast<uint16_t>(port);
  return address;
}

bool WebServer::isLoopback(const std::string& host) {
  const std::string h = lower(host);
  if (h == "localhost" || h == "::1") return true;
  in_addr v4{};
  return inet_pton(AF_INET, h.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool WebServer::hostAllowed(const std::string& header, const WebAddress& listening) {
  const std::string host = hostPart(header);
  if (host.empty()) return false;
  const std::string listen = lower(listening.host);
  if (host == "localhost" || host == listen) return true;
  // An address typed as digits cannot be renamed by another site's DNS.
  if (!isIpLiteral(host)) return false;
  if (listen == "0.0.0.0" || listen == "::") return true;
  return isLoopback(listen) && isLoopback(host);
}

WebServer::WebServer(WebAddress address, MarkHandler onMark)
    : address_(std::move(address)), onMark_(std::move(onMark)), token_(randomToken()) {}

WebServer::~WebServer() { stop(); }

std::string WebServer::url() const {
  const bool v6 = address_.host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + address_.host + "]" : address_.host) + ":" + std::to_string(port_) +
         "/?token=" + token_;
}

std::optional<std::string> WebServer::start() {
  server_ = std::make_unique<httplib::Server>();
  // One thread per open stream, plus room for the page and marks.
  server_->new_task_queue = [] { return new httplib::ThreadPool(kMaxViewers + 8); };
  // SO_REUSEADDR only: with SO_REUSEPORT a second run on the same port would
  // share this one's connections instead of being told the port is taken.
  server_->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes);
    timeval timeout{kWriteTimeoutSeconds, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  });
  server_->set_write_timeout(kWriteTimeoutSeconds, 0);
  server_->set_keep_alive_timeout(2);
  server_->set_payload_max_length(4096);
  routes();

  errno = 0;
  int bound = -1;
  if (address_.port == 0) {
    bound = server_->bind_to_any_port(address_.host);
  } else if (server_->bind_to_port(address_.host, address_.port)) {
    bound = address_.port;
  }
  if (bound <= 0) {
    const int err = errno;
    return "cannot serve the live view on " + address_.host + ":" + std::to_string(address_.port) + ": " +
           (err ? std::strerror(err) : "the address cannot be used") +
           " (choose another port with --web PORT)";
  }
  port_ = static_cast<uint16_t>(bound);
  thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
  // stop() only works on a running server: wait until it runs.
  for (int i = 0; i < 2000 && !server_->is_running(); ++i) std::this_thread::sleep_for(1ms);
  return std::nullopt;
}

void WebServer::stop() {
  if (!server_) return;
  {
    std::lock_guard lock(mutex_);
    for (const auto& viewer : viewers_) viewer->queue.close();
  }
  // The streams end after what was queued, each within its write time-out.
  for (int i = 0; i < 200 && viewers() > 0; ++i) std::this_thread::sleep_for(10ms);
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

void WebServer::setGreeting(const std::string& json) {
  auto line = std::make_shared<const std::string>("data: " + json + "\n\n");
  std::lock_guard lock(mutex_);
  greeting_ = std::move(line);
}

std::vector<std::string> WebServer::broadcast(const std::string& json) {
  auto line = std::make_shared<const std::string>("data: " + json + "\n\n");
  std::lock_guard lock(mutex_);
  std::vector<std::string> droppedPeers = std::move(stalledPeers_);
  stalledPeers_.clear();
  for (auto it = viewers_.begin(); it != viewers_.end();) {
    if ((*it)->queue.push(line) || (*it)->queue.state() != ViewerQueue::State::Overflowed) {
      ++it;
      continue;
    }
    ++dropped_;
    droppedPeers.push_back((*it)->peer);
    it = viewers_.erase(it);
  }
  return droppedPeers;
}

size_t WebServer::viewers() const {
  std::lock_guard lock(mutex_);
  return viewers_.size();
}

std::shared_ptr<WebServer::Viewer> WebServer::addViewer(const std::string& peer) {
  std::lock_guard lock(mutex_);
  if (viewers_.size() >= kMaxViewers) return nullptr;
  auto viewer = std::make_shared<Viewer>(peer);
  if (greeting_) viewer->queue.push(greeting_);
  viewers_.push_back(viewer);
  return viewer;
}

void WebServer::removeViewer(const std::shared_ptr<Viewer>& viewer) {
  viewer->queue.close();
  std::lock_guard lock(mutex_);
  std::erase(viewers_, viewer);
  if (viewer->stalled) {
    ++dropped_;
    stalledPeers_.push_back(viewer->peer);
  }
}

void WebServer::routes() {
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (hostAllowed(req.get_header_value("Host"), address_)) return httplib::Server::HandlerResponse::Unhandled;
    ++refused_;
    refuse(res, 403, "Forbidden: this server answers only to its own address or localhost.");
    return httplib::Server::HandlerResponse::Handled;
  });

  for (const PageFile& file : pageFiles()) {
    const std::string path(file.path);
    std::string pattern;  // the route is a regular expression
    for (char c : path) pattern += c == '.' ? std::string("\\.") : std::string(1, c);
    auto serve = [&file](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("X-Frame-Options", "DENY");
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
      res.set_content(file.body.data(), file.body.size(), std::string(file.type) + "; charset=utf-8");
    };
    server_->Get(pattern, serve);
    if (path == "/index.html") server_->Get("/", serve);
  }

  server_->Get("/events", [this](const httplib::Request& req, httplib::Response& res) {
    auto viewer = addViewer(req.remote_addr + ":" + std::to_string(req.remote_port));
    if (!viewer) {
      refuse(res, 503, "Too many viewers (" + std::to_string(kMaxViewers) + "); close one and try again.");
      return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    auto idleSince = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    res.set_chunked_content_provider(
        "text/event-stream",
        [viewer, idleSince](size_t, httplib::DataSink& sink) {
          if (auto line = viewer->queue.pop(kPollInterval)) {
            const auto began = std::chrono::steady_clock::now();
            *idleSince = began;
            if (sink.write((*line)->data(), (*line)->size())) return true;
            // A viewer that left fails at once; one that stopped reading
            // fails after the time-out.
            viewer->stalled = std::chrono::steady_clock::now() - began >= kStalledAfter;
            return false;
          }
          switch (viewer->queue.state()) {
            case ViewerQueue::State::Open:
              if (std::chrono::steady_clock::now() - *idleSince < kKeepAliveInterval) return true;
              *idleSince = std::chrono::steady_clock::now();
              return sink.write(": keep-alive\n\n", 14);
            case ViewerQueue::State::Closed:
              sink.done();
              return true;
            case ViewerQueue::State::Overflowed:
              break;
          }
          return false;
        },
        [this, viewer](bool) { removeViewer(viewer); });
  });

  server_->Post("/mark", [this](const httplib::Request& req, httplib::Response& res) {
    if (!sameToken(req.get_param_value("token"), token_)) {
      ++refused_;
      refuse(res, 403, "Forbidden: POST /mark needs this run's token (the ?token= of the printed URL).");
      return;
    }
    const std::string type = lower(req.get_header_value("Content-Type"));
    if (type.rfind("text/plain", 0) != 0) {
      refuse(res, 415, "POST /mark takes the annotation's text as text/plain.");
      return;
    }
    if (!acceptableMark(req.body)) {
      refuse(res, 400,
             "The annotation must be 1 to " + std::to_string(kMaxMarkBytes) +
                 " bytes of UTF-8 text without control characters.");
      return;
    }
    if (onMark_) onMark_(req.body);
    res.status = 202;
    res.set_content("{\"accepted\":true}\n", "application/json");
  });
}

}  // namespace velmora::tool::web
