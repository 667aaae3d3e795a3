// A host built against an installed Velmora: it frames one packet, takes the
// decoded raw sample and runs a task through the main queue.  Exits 0 when
// both worked.
#include <Velmora/Velmora.h>
#include <Velmora/platform/MainQueue.h>
#include <Velmora/platform/RunLoop.h>

#include <cstdint>
#include <cstdio>
#include <string_view>

int main() {
  velmora::setLogSink([](std::string_view) {});
  velmora::VelmoraObjC accessory;
  const uint8_t packet[] = {0xAA, 0xAA, 0x04, 0x80, 0x02, 0x00, 0x10, 0x6D};  // one raw sample, 16
  accessory.parseByte(packet);
  const velmora::Dictionary data = accessory.takeData();
  bool ran = false;
  velmora::platform::MainQueue::async([&] { ran = true; });
  velmora::platform::RunLoop::main().drain();
  const auto raw = data.find("raw");
  if (raw == data.end() || raw->second.asArray() != velmora::Value::Array{16} || !ran) {
    std::puts("the installed library misbehaved");
    return 1;
  }
  return 0;
}
