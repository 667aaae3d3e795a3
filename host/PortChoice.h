// PortChoice: the port that `--port PORT` names, among the port manager's
// available ports.  PORT is a port's name as `velmora ports` lists it
// (whatever the name: dots, no headset prefix), or, when it holds a "/", a
// path of the port's device: its callout path, a further path, or any other
// path naming the same tty (a link of the user's, a relative path).
//
// A path that names no listed port's device keeps the meaning the accessory
// object's ConnectTo gives it: the text between its first and second "." is
// a port's name ("/dev/tty.KovaLinkPro-SPPDev" names KovaLinkPro-SPPDev).
// The chosen port is handed to ConnectTo by its callout path, which selects
// exactly that port whatever dots the path or the name hold.  It resolves
// again at every connect, since a re-plugged device may come back on another
// pty.
//
// Threads: any thread; it reads the port manager's snapshot.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace velmora {
class ZPRSerialPort;
}

namespace velmora::host {

class PortChoice {
 public:
  explicit PortChoice(std::string text) : text_(std::move(text)) {}

  const std::string& text() const { return text_; }
  bool byPath() const { return text_.find('/') != std::string::npos; }
  // Whether `port` is the one named.
  bool matches(const ZPRSerialPort& port) const;
  // The named port among the available ports; null when none is listed.
  std::shared_ptr<ZPRSerialPort> find() const;
  // The path to hand to ConnectTo for the named port; none when it is not
  // listed.
  std::optional<std::string> connectPath() const;

 private:
  std::string text_;
};

}  // namespace velmora::host
