// PortConnection: the accessory object's hold on its headset's port: which
// ports a connect tries and in what order, opening one and becoming its
// delegate, letting it go again, and the record of what happened (each
// port a connect tried, the last error the connected port reported).
//
// The algorithm is described with VelmoraObjC::ConnectTo() and stopStream().
// The port layer's callbacks reach the accessory object through its
// VelmoraPortLink, which this class owns.
//
// Threads: connectTo() and stopStream() from any thread, also from inside a
// delegate callback; they hold no lock while a port opens or closes and never
// wait for the main thread.  The records may be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VelmoraObjC.h"

namespace velmora {
class VelmoraPortLink;
class ZPRSerialPort;
}  // namespace velmora

namespace velmora::internal {

class PortConnection {
 public:
  // The first of the owner's dispatch passes due after a moment (any thread).
  using PassClock = std::function<std::chrono::steady_clock::time_point(std::chrono::steady_clock::time_point)>;

  // `owner` gets the link's port callbacks and is asked to start and stop
  // its dispatch thread and for its delegate; `connected` is its flag.  The
  // connected port reads in time for each pass of `nextPass`: it coalesces
  // the headset's chunks until kReadAheadOfPass before the pass (at most
  // kLongestReadWait), so that its read loop and the main thread wake about
  // once per pass instead of once per chunk, with the same latency.
  PortConnection(VelmoraObjC& owner, std::atomic<bool>& connected, PassClock nextPass);

  // Time left for the main thread to frame the bytes before the pass.
  static constexpr auto kReadAheadOfPass = std::chrono::milliseconds(2);
  // The longest a read waits, whatever the dispatch interval: a UART
  // without flow control at the headset's rates fills no kernel buffer in
  // this time.
  static constexpr double kLongestReadWait = 0.1;
  ~PortConnection();
  PortConnection(const PortConnection&) = delete;
  PortConnection& operator=(const PortConnection&) = delete;

  void connectTo(const std::optional<std::string>& devicePath);
  void stopStream();
  // For the owner's destruction: no port callback reaches it from now on,
  // and the port it connected to is closed (if it still reports to it) and
  // given up.
  void detach();

  // Records for the owner's lastPortError() and lastConnectAttempts().
  void notePortError(const ZPRSerialPortError& error);
  void noteFailedOpen(const ZPRSerialPort& port, const ZPRSerialPortError& error);
  std::optional<ZPRSerialPortError> lastPortError() const;
  std::vector<VelmoraConnectAttempt> lastConnectAttempts() const;

 private:
  // Forgets the port this object is connected to: returns it (null when it
  // has gone) and its claimed path (empty when there was none).
  std::pair<std::shared_ptr<ZPRSerialPort>, std::string> forgetPort();
  // Lets go of a port this object was connected to: closes it if it is open
  // and still reports to this object (`quietly`: its delegate is cleared
  // first, so that its close report reaches nobody), and gives up the claim
  // on `path`.
  void letGo(ZPRSerialPort* port, const std::string& path, bool quietly);
  // Tells the owner's delegate that the stream is down.
  void reportDisconnect();
  // Starts the record of a connect; returns its generation.
  uint64_t beginAttempts();
  void noteAttempt(uint64_t generation, const ZPRSerialPort& port, VelmoraConnectAttempt::Outcome outcome);

  VelmoraObjC& owner_;
  std::atomic<bool>& connected_;
  const PassClock nextPass_;
  // The port delegate through which the owner hears from its port.
  std::shared_ptr<VelmoraPortLink> portLink_;
  // Guards the two fields below only; never held while a port opens or closes.
  std::mutex connectionMutex_;
  // The port this object is connected to (claimed through the link) until a
  // disconnect: the one port a disconnect closes.
  std::weak_ptr<ZPRSerialPort> connectedPort_;
  std::string connectedPath_;  // its path, claimed; empty when not connected

  // The records, guarded by outcomeMutex_, which is never held while
  // anything else is taken.  connectGeneration_ tells the entries of the
  // latest connectTo() from those of one that overlapped it on another
  // thread.
  mutable std::mutex outcomeMutex_;
  std::optional<ZPRSerialPortError> lastPortError_;
  std::vector<VelmoraConnectAttempt> connectAttempts_;
  uint64_t connectGeneration_ = 0;
};

}  // namespace velmora::internal
