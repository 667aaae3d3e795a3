// Test support: an accessory delegate that records every call, as
// "connect:NAME", "disconnect" and "error:CODE", and every delivered data map
// with the time it arrived.  The hooks run after each record, on the thread
// of the call; set them before the calls can come.  And feed(), which hands
// an accessory object one packet as a port's chunk would, and concat() for
// the bytes of packets and rows.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "VelmoraObjC.h"
#include "sim/PacketEncoder.h"

namespace velmora::test {

class AccessoryEvents : public VelmoraDelegate {
 public:
  using Clock = std::chrono::steady_clock;

  void accessoryDidConnect(const std::string& name) override { add("connect:" + name); }
  void accessoryDidDisconnect() override { add("disconnect"); }
  void accessoryError(int32_t code) override { add("error:" + std::to_string(code)); }
  void dataReceived(const Dictionary& data) override {
    {
      std::lock_guard<std::mutex> g(m_);
      maps_.push_back(data);
      times_.push_back(Clock::now());
    }
    if (onData) onData();
  }

  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> g(m_);
    return events_;
  }
  size_t count(const std::string& event) const {
    const auto all = events();
    return static_cast<size_t>(std::count(all.begin(), all.end(), event));
  }
  void clear() {
    std::lock_guard<std::mutex> g(m_);
    events_.clear();
  }
  std::vector<Dictionary> maps() const {
    std::lock_guard<std::mutex> g(m_);
    return maps_;
  }
  std::vector<Clock::time_point> times() const {
    std::lock_guard<std::mutex> g(m_);
    return times_;
  }
  size_t deliveries() const { return maps().size(); }

  std::function<void(const std::string&)> onEvent;
  std::function<void()> onData;

 private:
  void add(const std::string& event) {
    {
      std::lock_guard<std::mutex> g(m_);
      events_.push_back(event);
    }
    if (onEvent) onEvent(event);
  }
  mutable std::mutex m_;
  std::vector<std::string> events_;
  std::vector<Dictionary> maps_;
  std::vector<Clock::time_point> times_;
};

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Frames `payload` as one packet and hands it to `accessory`.
inline void feed(VelmoraObjC& accessory, const std::vector<uint8_t>& payload) {
  const auto packet = sim::PacketEncoder::packet(payload);
  accessory.parseByte(std::span<const uint8_t>(packet));
}

}  // namespace velmora::test
