// A minimal Velmora host: connects to the first headset, prints attention,
// meditation and blinks, and disconnects after N seconds (default 30) or on
// Ctrl-C.
//
//   example_minimal_host [SECONDS]
//
// No headset at hand?  Run `velmora simulate` in another terminal first.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <Velmora/Velmora.h>
#include <Velmora/platform/MainQueue.h>
#include <Velmora/platform/RunLoop.h>

using namespace velmora;

std::atomic<bool> stopRequested{false};
void onSigint(int) { stopRequested = true; }

// The usual controller: it owns the accessory object and is its delegate.
// Letting go of the last reference is safe at any time, even while a delivery
// is under way on the library's dispatch thread.
class Headset : public VelmoraDelegate, public std::enable_shared_from_this<Headset> {
 public:
  void start() {
    accessory_.setDelegate(weak_from_this());
    accessory_.Connect();
  }
  void stop() { accessory_.Disconnect(); }
  bool connected() const { return accessory_.connected(); }

  void accessoryDidConnect(const std::string& name) override { std::printf("connected to %s\n", name.c_str()); }
  void accessoryDidDisconnect() override { std::printf("disconnected\n"); }
  void accessoryError(int32_t code) override { std::printf("headset error %d\n", code); }

  // Runs on the library's dispatch thread while it holds velmora::lock: take
  // the values and print them on the main thread.
  void dataReceived(const Dictionary& data) override {
    auto get = [&](const char* key) {
      auto it = data.find(key);
      return it == data.end() ? -1 : it->second.asInt();
    };
    const int attention = get("vScoreAttention"), meditation = get("vScoreMeditation");
    const int strength = get("blinkStrength");
    platform::MainQueue::async([=] {
      if (attention >= 0) std::printf("attention %d\n", attention);
      if (meditation >= 0) std::printf("meditation %d\n", meditation);
      if (strength >= 0) std::printf("blink, strength %d\n", strength);
    });
  }

 private:
  VelmoraObjC accessory_;  // closes its port when the controller goes
};

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  std::signal(SIGINT, onSigint);
  setLogSink([](std::string_view) {});  // keep the library's log lines out of our output

  auto headset = std::make_shared<Headset>();
  headset->start();
  if (!headset->connected()) {
    std::fprintf(stderr, "No headset found. Is it switched on? `velmora ports` lists the serial ports.\n");
    return 1;
  }
  // Callbacks and deliveries reach us while the main run loop runs.
  platform::RunLoop::main().runUntil([] { return stopRequested.load(); }, std::chrono::seconds(seconds));
  headset->stop();
  headset.reset();  // would also close the port, had stop() not
  return 0;
}
