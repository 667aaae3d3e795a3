// PortChoice: the port that `--port PORT` names, among the port manager's
// available ports.  PORT is a port's name as `velmora ports` lists it
// (whatever the name: dots, no headset prefix), or, when it holds a "/", a
// path of the port's device: its callout path, a further path, or any other
// path naming the same tty (a link of the user's, a relative path).
//
// The accessory object's ConnectTo reads a name out of a path with a "."
// (the text after the first "."), which a dot in a folder or in a name would
// defeat; a path without a "." selects the port with exactly that path.  So
// the tool resolves PORT itself and hands ConnectTo a path of the chosen
// port, without a "." whenever the port has one (a udev device's /dev/ttyUSB0,
// a published pty's /dev/pts/N).  It resolves again at every connect, since a
// re-plugged device may come back on another pty.
//
// Threads: any thread; it reads the port manager's snapshot.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace velmora {
class ZPRSerialPort;
}

namespace velmora::tool {

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

}  // namespace velmora::tool
