// VLBlink: finds eye blinks in the stream of raw EEG samples.
//
// A blink is a large two-lobed swing: above +230 then below -200
// (positive-first), or below -200 then above +230 (negative-first), followed
// by a return towards the baseline.  The detector keeps a window of the last
// 512 accepted samples and walks a small state machine over them; when a
// blink ends it checks the swing's strength (at least 500), the window mean
// over the blink (at most 200 in magnitude), its span (at least 50 samples)
// and that it starts and ends inside -200..230.  A passing blink answers
// (strength >> 4) & 0xFF, so a strength of 4096 answers 0 (no blink).
//
// Window positions: 511 is the newest sample, 510 the one before, 0 the
// oldest.  The six markers (blinkStart, outerLow, innerLow, innerHigh,
// outerHigh, blinkEnd) are window positions, -1 when unset, and move down by
// one with each accepted sample so that they stay on their sample.  Markers
// are 16-bit and wrap around like the 16-bit fields they are.
//
// Inputs: every 32-bit sample is accepted.  The window keeps its low 16 bits
// (as a signed 16-bit value); the current sample is compared with the levels
// and with the running extremes as the full 32-bit value it arrived as, and
// the extremes keep its low 16 bits.  For the decoder's 16-bit samples both
// are the same.
//
// Blinks that outlast the window: while a second lobe lasts the start marker
// keeps falling.  The evaluation looks for the blink's start from outerLow
// down to outerLow - 24 and then averages the window from that start to
// position 511.  If that search would have to read a position outside 0..511
// (outerLow below 0 or above 511, or no start sample found at outerLow - k
// for every k with outerLow - k >= 0 while outerLow < 24), the blink is given
// up: state 0, result 0, and blinkStart, blinkStrength, average and
// meanVariablityThreshold keep their previous values.  Everything else runs
// exactly as for any other blink, so the state sequence is unaffected.
//
// Thread-safety: not safe for concurrent use; only the decoder's thread (the
// main thread) calls it, one sample at a time, without the data lock.  The
// accessors are for tests and diagnostics on that same thread.  No call
// allocates.
#pragma once

#include <array>
#include <cstdint>

namespace velmora {

class VLBlink {
 public:
  static constexpr int kWindow = 512;

  VLBlink();

  // Returns 0, or the strength code 1..255 of the blink that `eegValue`
  // completes.  A `poorSignal` above 50 resets the detector (and the sample
  // is not stored); 50 passes.
  int32_t detectBlinkWithPoorSignal(int32_t poorSignal, int32_t eegValue);

  // 0 idle; 1, 2, 3 positive-first first lobe, second lobe, tail; 4, 5, 6
  // the same for a negative-first blink.
  uint64_t state() const { return state_; }
  // Samples accepted since construction or the last reset, up to 512.
  int16_t bufferCounter() const { return bufferCounter_; }
  int16_t blinkStart() const { return blinkStart_; }
  int16_t outerLow() const { return outerLow_; }
  int16_t innerLow() const { return innerLow_; }
  int16_t innerHigh() const { return innerHigh_; }
  int16_t outerHigh() const { return outerHigh_; }
  int16_t blinkEnd() const { return blinkEnd_; }
  int16_t maxValue() const { return maxValue_; }
  int16_t minValue() const { return minValue_; }
  // maxValue - minValue of the last evaluated blink, in 16 bits.
  int16_t blinkStrength() const { return blinkStrength_; }
  // |mean| of the window from blinkStart to blinkEnd at the last evaluation
  // that got that far.
  double average() const { return average_; }
  double meanVariablityThreshold() const { return meanVariablityThreshold_; }
  // The window sample at `position` (0..511).
  int16_t sampleAt(int position) const { return ring_[slot(position)]; }

 private:
  // Ring-buffer slot of a window position: position 0 is ring_[head_].
  unsigned slot(int position) const { return (head_ + static_cast<unsigned>(position)) & (kWindow - 1); }
  int32_t at(int position) const { return ring_[slot(position)]; }
  int32_t evaluate(bool positiveFirst);

  int16_t bufferCounter_ = 0;
  std::array<int16_t, kWindow> ring_{};
  unsigned head_ = 0;
  uint64_t state_ = 0;
  int16_t blinkStart_ = -1;
  int16_t outerLow_ = -1;
  int16_t innerLow_ = -1;
  int16_t innerHigh_ = -1;
  int16_t outerHigh_ = -1;
  int16_t blinkEnd_ = -1;
  int16_t maxValue_ = 0;
  int16_t minValue_ = 0;
  int16_t blinkStrength_ = 0;
  double meanVariablityThreshold_ = 0.0;
  double average_ = 0.0;
};

}  // namespace velmora
