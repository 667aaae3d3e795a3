// Fuzzes the headset stream path: the packet framer and the payload decoder,
// with the blink detector and the HRV analyser live and the stream log
// recording into a scratch directory.
//
// Input layout:
//   byte 0       options: bits 0-1 the record flag, bit 2 raw collection
//                off, bit 3 take the data dictionary after every chunk,
//                bit 4 start in the HRV-feeding state (signal quality 200),
//                bit 5 save the log to a second file at the end
//   bytes 1..3   chunk lengths, used in turn (length = byte % 64 + 1; a byte
//                of 0xFF hands the framer an absent chunk instead)
//   the rest     the bytes the headset sends
//
// One accessory object serves every input.  Before each input the framer,
// the analysers and the shared flags are put back to their initial state, so
// that an input replays the same way on its own.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "VLBlink.h"
#include "VLHrv.h"
#include "VelmoraObjC.h"
#include "platform/Log.h"

namespace {

struct Harness {
  Harness() {
    velmora::setLogSink([](std::string_view) {});
    char pattern[] = "/tmp/velmora-fuzz-stream-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) abort();
    directory = pattern;
    accessory = std::make_unique<velmora::VelmoraObjC>();
  }
  ~Harness() {
    accessory.reset();
    std::error_code ec;
    std::filesystem::remove_all(directory, ec);
  }

  // The state a freshly constructed object starts from.
  void resetState() {
    accessory->resetParser();
    velmora::poorSignal.store(0);
    velmora::isKRT480.store(1);
    velmora::sentConfigByte.store(0);
    velmora::hrv.load()->reset();
    velmora::blink.load()->detectBlinkWithPoorSignal(255, 0);  // above 50: the detector resets
    (void)accessory->takeData();
  }

  std::string directory;
  std::unique_ptr<velmora::VelmoraObjC> accessory;
};

Harness& harness() {
  static Harness* h = new Harness;  // kept to the end: libFuzzer may exit from any point
  return *h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Harness& h = harness();
  velmora::VelmoraObjC& accessory = *h.accessory;
  h.resetState();

  const uint8_t options = data[0];
  const uint8_t lengths[3] = {data[1], data[2], data[3]};
  data += 4;
  size -= 4;

  accessory.setRawEnabled((options & 4) == 0);
  accessory.startRecording(h.directory, options & 3);
  if (options & 16) velmora::poorSignal.store(200);

  size_t offset = 0;
  for (unsigned turn = 0; offset < size; ++turn) {
    const uint8_t selector = lengths[turn % 3];
    if (selector == 0xFF) {
      accessory.parseByte(nullptr);
      if (turn > size) break;  // only absent chunks: nothing more to frame
      continue;
    }
    const size_t length = std::min<size_t>(selector % 64 + 1, size - offset);
    accessory.parseByte(std::span<const uint8_t>(data + offset, length));
    offset += length;
    if (options & 8) {
      const velmora::Dictionary taken = accessory.takeData();
      for (const auto& [key, value] : taken) {
        if (key == "raw" && (!value.isArray() || value.asArray().empty())) abort();
        if (key != "raw" && !value.isInt()) abort();
      }
    }
  }
  (void)accessory.takeData();

  if (options & 32) {
    accessory.stopRecording(h.directory + "/saved.csv");
  } else {
    accessory.stopRecording();
  }
  return 0;
}
