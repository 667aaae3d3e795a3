// VLHrv: the heart-rate-variability analyser.
//
// Two independent halves share the class:
//
// * Beat detection.  addData() takes ECG-type raw samples (512 per second),
//   one per call, and finds R peaks on the difference signal
//   diffX = (sample 15 places back) - (newest sample) against thresholds of
//   55 % and 20 % of an adaptive base.  Each beat's distance to the previous
//   one, converted to milliseconds, is returned and handed to the delegate's
//   rrDetected(); the first beat after reset() is withheld.  All arithmetic
//   is 32-bit integer arithmetic truncating toward zero, with 64-bit
//   intermediates where a 32-bit product could overflow.  Inputs are meant
//   to be 16-bit samples, but every 32-bit input is accepted: diffX
//   saturates at the 32-bit limits, and the counters that grow without
//   bound (the beat distance, the window and beat counts) stop at INT32_MAX
//   instead of overflowing after weeks of stream; an interval too long for
//   32-bit milliseconds is reported as INT32_MAX.
//
// * Energy and LF/HF.  startCalculation() copies a list of RR intervals (ms)
//   and runs calculateEnergyLevel() on a thread of its own: the tachogram is
//   resampled at 2 Hz by linear interpolation between beats, centred on its
//   integer mean, Hann windowed, transformed by a 128..1024-point real FFT
//   (KissFFT), and the amplitudes 2|X[k]|/N are summed over the LF band
//   (0.04..0.15 Hz) and the HF band (0.15..0.4 Hz).  "LF", "HF", "LF/HF"
//   (doubles) and "energy" (int32, 1..100, falling as LF/HF rises) are
//   written to the result map, which the thread then hands, as a copy, to
//   the delegate's calculationDone() and empties.  Single-precision steps
//   round every product and sum on their own (the library is built with
//   -ffp-contract=off).
//
// Input lists: entry i >= 1 is the interval ending at beat i; entry 0 gives
// the tachogram's first value but no time.  The total (entries 1..n-1) must
// exceed 63,499 ms, else "Need 64 seconds of data. Total ms = %d" is logged
// and the list is refused (-1.0, nothing written).  A null list or a negative
// count is taken as an empty list and refused that way.  A list holding an
// entry of 0 ms or below is refused with "RR interval %d at index %d is not
// positive; the calculation needs positive intervals." (-1.0, nothing
// written).  A refused list started with startCalculation() still delivers
// (an empty map).  When the total is exactly 63,500 ms the last grid time
// falls on the last beat; the interpolation stays on the last interval there
// and so takes the last interval's own value.
//
// Threads:
// * The decoder's thread calls addData() with velmora::lock held (addData
//   never takes it; rrDetected() therefore runs under it and must not take
//   it either) and reset() without it.  Only one thread may drive the
//   detector; detectorState() is for that thread too.
// * Any host thread may call startCalculation(), calculateEnergyLevel(),
//   sum(), result(), energyLevel(), isCalculating(), setDelegate(),
//   delegate(), fs() and setFs().  calculateEnergyLevel() and result() take
//   velmora::lock, so neither may be called while holding it (nor from a
//   delegate callback).
// * One calculation thread runs at a time.  A calculation counts as running
//   from its acceptance until its delivery has finished, so a
//   startCalculation() from inside calculationDone() is refused.
//   calculationDone() runs on that thread with velmora::lock held.
//
// Lifetime: the calculation thread owns what it uses (its copy of the list,
// and the result map, energy level and delegate slot, which live in a block
// shared with the analyser), so it never touches the analyser itself.  The
// destructor waits for a running calculation to finish, so it must not run
// while the destroying thread holds velmora::lock.  When the delegate
// destroys the analyser from calculationDone() (on the calculation thread),
// the destructor lets the thread finish its delivery on its own.
//
// The constructor installs a fresh velmora::lock (velmora::lock.replace()); a
// thread that holds the lock (inside rrDetected() or calculationDone()) may
// construct one too: its hold passes to the fresh mutex.
//
// A delegate that throws: the exception is caught where the analyser made
// the call, logged as one line ("VLHrv: the delegate's rrDetected threw:
// TEXT", the same for calculationDone), and the analyser goes on as if the
// call had returned (addData() still returns the interval; the delivery
// still empties the result and ends the calculation).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Value.h"

namespace velmora {

// Implemented by the host; held by the analyser as a std::weak_ptr.
class VLHRVDelegate {
 public:
  virtual ~VLHRVDelegate() = default;
  // An RR interval in ms (at least 1).  Called from addData() on the
  // decoder's thread while velmora::lock is held.
  virtual void rrDetected(int32_t rrIntervalMs) = 0;
  // The result map of one calculation started by startCalculation(): an
  // independent copy, empty when the list was refused.  Called on the
  // calculation thread while velmora::lock is held.
  virtual void calculationDone(const Dictionary& result) = 0;
};

class VLHrv {
 public:
  // The beat detector's fields, with their values after reset().
  struct Detector {
    std::array<int32_t, 16> buffer{};  // the last 16 samples, oldest first
    int32_t dataCount = 0;             // samples in the current window
    int32_t secondCount = 0;           // +2 per closed window
    uint8_t rWaveUp = 0;
    uint8_t oldPeakFound = 0;  // armed for the next peak event
    uint8_t newPeakFound = 0;  // set from the first peak event on
    int32_t sampleRate = 512;
    int32_t rrInt = 0;  // samples; the interval of the last peak event, 0 for none
    int32_t diffX = 0;
    int32_t diffXNew = 3000;  // threshold base
    int32_t diffXOld = 3000;  // running maximum of diffX in the window
    int32_t peakThresholdUp = 0;
    int32_t peakThresholdDown = 0;
    int32_t ThPcntU = 55;
    int32_t ThPcntD = 20;
    int32_t pointsCount = 0;  // samples since the last beat
    int32_t minDistance = 153;  // configuration only; realibi is the working value
    int32_t ibi = 0;            // smoothed interval, samples
    int32_t nbeats = 0;
    int32_t realibi = 153;  // refractory distance, samples
    int32_t HB0 = 0;        // the withheld first interval
    double HBUpL = 1.4;     // kept for completeness; nothing reads it
    double HBDnL = 0.6;     // likewise
  };

  VLHrv();
  ~VLHrv();
  VLHrv(const VLHrv&) = delete;
  VLHrv& operator=(const VLHrv&) = delete;

  // Puts the detector fields back to their initial values.  Leaves the
  // delegate, fs, the result map, the energy level and any calculation alone.
  void reset();
  // Returns the RR interval in ms this sample completes (after calling the
  // delegate's rrDetected() with it), else -2.
  int32_t addData(int32_t sample);

  std::shared_ptr<VLHRVDelegate> delegate() const;
  void setDelegate(std::weak_ptr<VLHRVDelegate> delegate);

  // Sampling rate in Hz, 512.0 initially.  Informational: the detector always
  // works at 512 samples per second.
  double fs() const { return fs_.load(std::memory_order_relaxed); }
  void setFs(double fs) { fs_.store(fs, std::memory_order_relaxed); }

  // Copies the list and starts a calculation thread: 0.  While a calculation
  // runs: logs "Still running the last calculation try again later." and
  // returns -1.  Also -1, with a log line, if no thread can be started.
  int32_t startCalculation(const int32_t* rrIntervals, int32_t length);
  // The whole calculation on the calling thread: the energy level, or -1.0
  // for a refused list.  Writes the result map and energyLevel(); the entries
  // stay until a later delivery takes them.
  double calculateEnergyLevel(const int32_t* rrIntervals, int32_t length);

  // Sum of entries 1..length-1, wrapping at 32 bits; 0 for fewer than two
  // entries or a null list.
  static int32_t sum(const int32_t* values, int32_t length);
  // The same over the integer values of elements 1..size-1: integers as they
  // are, doubles truncated toward zero (saturated to 32 bits, NaN as 0),
  // arrays as 0.
  static int32_t sum(const std::vector<Value>& values);

  // The energy level (1..100) for an LF/HF ratio.
  static int32_t energyLevelForRatio(double ratio);

  // The last energy level computed (0 before any).
  int32_t energyLevel() const;
  // A copy of the result map (taken under velmora::lock).
  Dictionary result() const;
  // True from an accepted startCalculation() until its delivery has finished.
  bool isCalculating() const;
  // The detector fields; read on the detector's thread only.
  const Detector& detectorState() const { return d_; }

 private:
  struct Shared;
  static double calculate(Shared& shared, const int32_t* rrIntervals, int32_t length);
  static void fireCalculationDone(std::shared_ptr<Shared> shared, std::vector<int32_t> rrIntervalMS);

  Detector d_;
  std::atomic<double> fs_{512.0};
  std::shared_ptr<Shared> shared_;
  std::mutex threadMutex_;  // guards calculationThread_
  std::thread calculationThread_;
};

}  // namespace velmora
