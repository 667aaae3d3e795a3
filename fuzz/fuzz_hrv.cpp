// Fuzzes the analysers with arbitrary 32-bit values.
//
// Byte 0 picks the exercise; the rest is read as little-endian 32-bit words:
//   0  calculateEnergyLevel() on the words as RR intervals, as they are
//      (mostly refused: non-positive entries, too short a total)
//   1  calculateEnergyLevel() on intervals that always pass the checks:
//      word % 4000 + 1 ms, the list repeated until it spans 64 s, so every
//      FFT length from 128 to 1024 points is reached
//   2  the beat detector (addData) and the blink detector on the words as
//      samples, with the signal quality taken from the low byte of each
//      eighth word
//   3  the two sums over the words (as integers and as doubles)
// One HRV analyser serves every input (reset before each), a fresh blink
// detector each input, so that an input replays on its own.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "VLBlink.h"
#include "VLHrv.h"
#include "Value.h"
#include "platform/Log.h"

namespace {

std::vector<int32_t> words(const uint8_t* data, size_t size) {
  std::vector<int32_t> out(size / 4);
  for (size_t i = 0; i < out.size(); ++i) {
    uint32_t w;
    std::memcpy(&w, data + 4 * i, 4);
    out[i] = static_cast<int32_t>(w);
  }
  return out;
}

void checkEnergy(double energy) {
  // -1 for a refused list, else a level from 1 to 100.
  if (energy != -1.0 && !(energy >= 1.0 && energy <= 100.0)) abort();
}

velmora::VLHrv& analyser() {
  static velmora::VLHrv* hrv = new velmora::VLHrv;  // kept to the end: libFuzzer may exit anywhere
  return *hrv;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::setLogSink([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 4;
  std::vector<int32_t> w = words(data + 1, size - 1);
  velmora::VLHrv& hrv = analyser();
  hrv.reset();

  switch (mode) {
    case 0: {
      checkEnergy(hrv.calculateEnergyLevel(w.data(), static_cast<int32_t>(w.size())));
      break;
    }
    case 1: {
      if (w.empty()) return 0;
      std::vector<int32_t> rr;
      int64_t total = 0;
      // The first word also sets how far beyond 64 s the list reaches,
      // which picks the FFT length (the grid holds up to 1024 points).
      const int64_t target = 63500 + static_cast<int64_t>(static_cast<uint32_t>(w[0]) % 460000);
      for (size_t i = 0; total < target || rr.size() < 2; ++i) {
        rr.push_back(static_cast<int32_t>(static_cast<uint32_t>(w[i % w.size()]) % 4000 + 1));
        if (rr.size() > 1) total += rr.back();
      }
      const double energy = hrv.calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size()));
      if (energy == -1.0) abort();  // every entry positive and 64 s of them: must be accepted
      checkEnergy(energy);
      const velmora::Dictionary result = hrv.result();
      if (result.size() != 4 || result.at("energy").asInt() != static_cast<int32_t>(energy)) abort();
      break;
    }
    case 2: {
      velmora::VLBlink blink;
      int32_t quality = 0;
      for (size_t i = 0; i < w.size(); ++i) {
        if (i % 8 == 0) quality = w[i] & 0xFF;
        const int32_t rr = hrv.addData(w[i]);
        if (rr != -2 && rr <= 0) abort();  // an interval is at least 1 ms
        const int32_t strength = blink.detectBlinkWithPoorSignal(quality, w[i]);
        if (strength < 0 || strength > 255) abort();
      }
      break;
    }
    case 3: {
      (void)velmora::VLHrv::sum(w.data(), static_cast<int32_t>(w.size()));
      std::vector<velmora::Value> values;
      for (size_t i = 0; i + 1 < w.size(); i += 2) {
        double d;
        uint64_t bits = static_cast<uint64_t>(static_cast<uint32_t>(w[i])) << 32 | static_cast<uint32_t>(w[i + 1]);
        std::memcpy(&d, &bits, sizeof d);  // any double: NaN, infinities, huge values
        values.emplace_back(d);
        values.emplace_back(w[i]);
      }
      (void)velmora::VLHrv::sum(values);
      break;
    }
  }
  return 0;
}
