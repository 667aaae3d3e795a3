// Fuzzes the serial port's receive path and request/response queue.
//
// The port runs for real (its read loop on the background queue, delegate
// calls and responses on the main queue, which this thread drains), but its
// terminal is ScriptedTerminalIO: every chunk the input names is one read,
// and the harness waits until the read loop has taken it and drains the main
// queue before the next operation, so an input replays the same way each
// time.  A fresh port serves each input.
//
// The input is a list of operations, each an operation byte and its
// arguments:
//   0 E A L data[L%8]  send a request with evaluator E%5 and argument A
//                      (A & 0x80: a 1000 s time-out, which never fires)
//   1 L bytes[L%64+1]  one chunk read from the device
//   2                  drain the main queue once more
//   3                  close the port and open it again
//   4                  the device hangs up (the rest of the input is ignored)
// Evaluators: 0 none (any byte answers), 1 a line ending in A, 2 a whole
// headset packet with a good checksum, 3 at least A%32+1 bytes, 4 never.
//
// Checked: the delegate gets every byte read, in order and once; every
// response handed over is one its request's evaluator accepts; nothing
// crashes, leaks or races under the sanitizers.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZPRSerialPort.h"
#include "ZPRSerialRequest.h"
#include "platform/DeviceRegistry.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "support/ScriptedTerminalIO.h"

namespace {

using velmora::ZPRSerialPort;
using velmora::ZPRSerialRequest;
using velmora::platform::RunLoop;
using velmora::test::ScriptedTerminalIO;

class Delegate : public velmora::ZPRSerialPortDelegateBase<Delegate> {
 public:
  void serialPortWasOpened(ZPRSerialPort&) override {}
  void serialPortWasClosed(ZPRSerialPort&) override {}
  void serialPortWasRemovedFromSystem(ZPRSerialPort&) override { removed = true; }
  void serialPortDidEncounterError(ZPRSerialPort&, const velmora::ZPRSerialPortError&) override {}
  void serialPortDidReceiveData(ZPRSerialPort&, std::span<const uint8_t> data) override {
    if (data.empty() || data.size() > ZPRSerialPort::kMaximumReadLength) abort();
    received.insert(received.end(), data.begin(), data.end());
  }
  void serialPortDidReceiveResponseToRequest(ZPRSerialPort&, std::span<const uint8_t> response,
                                             const std::shared_ptr<ZPRSerialRequest>& request) override {
    if (!request || !request->dataIsValidResponse(response)) abort();
    ++responses;
  }
  void serialPortRequestDidTimeout(ZPRSerialPort&, const std::shared_ptr<ZPRSerialRequest>&) override {}

  std::vector<uint8_t> received;  // main thread only
  bool removed = false;
  int responses = 0;
};

bool wholePacket(std::span<const uint8_t> d) {
  for (size_t i = 0; i + 3 < d.size(); ++i) {
    if (d[i] != 0xAA || d[i + 1] != 0xAA) continue;
    const size_t length = d[i + 2];
    if (i + 3 + length >= d.size()) continue;
    uint8_t sum = 0;
    for (size_t k = 0; k < length; ++k) sum = static_cast<uint8_t>(sum + d[i + 3 + k]);
    if (static_cast<uint8_t>(~sum) == d[i + 3 + length]) return true;
  }
  return false;
}

ZPRSerialRequest::ResponseEvaluator evaluator(uint8_t kind, uint8_t argument) {
  switch (kind % 5) {
    case 0:
      return nullptr;
    case 1:
      return [argument](std::span<const uint8_t> d) { return !d.empty() && d.back() == argument; };
    case 2:
      return [](std::span<const uint8_t> d) { return wholePacket(d); };
    case 3:
      return [argument](std::span<const uint8_t> d) { return d.size() >= static_cast<size_t>(argument % 32 + 1); };
    default:
      return [](std::span<const uint8_t>) { return false; };
  }
}

// Runs the main loop until `done` holds; a stuck port is a finding.
template <typename Pred>
void runUntil(Pred done) {
  if (!RunLoop::main().runUntil([&] { return done(); }, std::chrono::seconds(10))) abort();
}

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool empty() const { return at >= size; }
  uint8_t next() { return at < size ? data[at++] : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::setLogSink([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint64_t serial = 0;
  // A device path of its own per input: the previous port may still be held
  // by a task that has not run yet.
  const std::string path = "/fuzz/port-" + std::to_string(++serial);
  auto io = std::make_shared<ScriptedTerminalIO>();
  auto port = ZPRSerialPort::serialPortWithDevice(
      std::make_shared<const velmora::platform::Device>(path, std::vector<std::string>{}, "Fuzz"));
  auto delegate = std::make_shared<Delegate>();
  port->setTerminalIO(io);
  port->setDelegate(delegate);
  port->open();
  if (!port->isOpen()) abort();
  runUntil([&] { return io->isQuiet(); });

  std::vector<uint8_t> fed;
  Reader in{data, size};
  bool hungUp = false;
  while (!in.empty() && !hungUp) {
    switch (in.next() % 5) {
      case 0: {
        const uint8_t kind = in.next();
        const uint8_t argument = in.next();
        std::vector<uint8_t> bytes(in.next() % 8);
        for (auto& b : bytes) b = in.next();
        port->sendRequest(ZPRSerialRequest::requestWithDataToSend(bytes, {}, (argument & 0x80) ? 1000.0 : 0.0,
                                                                  evaluator(kind, argument)));
        break;
      }
      case 1: {
        std::vector<uint8_t> chunk(in.next() % 64 + 1);
        for (auto& b : chunk) b = in.next();
        fed.insert(fed.end(), chunk.begin(), chunk.end());
        io->queueChunk(std::move(chunk));
        runUntil([&] { return io->isQuiet(); });
        RunLoop::main().drain();
        break;
      }
      case 2:
        RunLoop::main().drain();
        break;
      case 3:
        port->close();
        runUntil([&] { return io->hasNoWaiter(); });
        port->open();
        if (!port->isOpen()) abort();
        runUntil([&] { return io->isQuiet(); });
        break;
      default:
        io->hangUp();
        hungUp = true;
        runUntil([&] { return !port->isOpen(); });
        break;
    }
  }

  port->close();
  runUntil([&] { return io->hasNoWaiter(); });
  RunLoop::main().drain();
  RunLoop::main().drain();
  if (delegate->received != fed) abort();
  if (hungUp && !delegate->removed) abort();
  return 0;
}
