#include "VLHrv.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <numbers>
#include <type_traits>

#include "Globals.h"
#include "platform/Log.h"

namespace velmora {

// What the calculation thread shares with the analyser.  It lives as long as
// either holds it, so a thread left running past the analyser stays safe.
struct VLHrv::Shared {
  std::shared_ptr<VLHRVDelegate> delegate() const {
    std::lock_guard<std::mutex> g(delegateMutex);
    return delegateRef.lock();
  }

  mutable std::mutex delegateMutex;  // guards delegateRef only, held briefly
  std::weak_ptr<VLHRVDelegate> delegateRef;
  Dictionary result;  // guarded by velmora::lock
  std::atomic<int32_t> energyLevel{0};
  std::atomic<bool> running{false};
};

namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();

int32_t saturate(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, kInt32Min, kInt32Max)); }

void increment(int32_t& counter, int32_t by = 1) {
  if (counter <= kInt32Max - by) counter += by;
}

// Logs the exception being handled, which the delegate's `callback` threw.
void logDelegateException(const char* callback) {
  try {
    throw;
  } catch (const std::exception& e) {
    logMessage("VLHrv: the delegate's %s threw: %s", callback, e.what());
  } catch (...) {
    logMessage("VLHrv: the delegate's %s threw: an exception of unknown type", callback);
  }
}

// ---------------------------------------------------------------- spectrum

constexpr int32_t kMinimumTotalMs = 63500;
constexpr int kMaxFft = 1024;

// FFT length for a list's total duration; the grid (2 Hz) then ends at or
// before the last beat.
int fftLength(int64_t totalMs) {
  if (totalMs <= 128000) return 128;
  if (totalMs <= 256000) return 256;
  if (totalMs <= 512000) return 512;
  return kMaxFft;
}

// float -> int32 truncating toward zero; values beyond the range (possible
// only through rounding of intervals near INT32_MAX) saturate.
int32_t truncateToInt32(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483648.0f) return kInt32Max;
  if (v < -2147483648.0f) return kInt32Min;
  return static_cast<int32_t>(v);
}

struct KissDeleter {
  void operator()(kiss_fftr_cfg cfg) const { kiss_fftr_free(cfg); }
};

struct Bands {
  double lf = 0.0;
  double hf = 0.0;
};

// Steps from the resampled tachogram to the band sums.  `n` >= 2 and every
// interval positive; `fftSize` one of 128..1024.
bool bandSums(const int32_t* rr, int32_t n, int fftSize, Bands& bands) {
  std::unique_ptr<std::remove_pointer_t<kiss_fftr_cfg>, KissDeleter> cfg(
      kiss_fftr_alloc(fftSize, 0, nullptr, nullptr));
  if (!cfg) {
    logMessage("Cannot set up a real FFT of %d points.", fftSize);
    return false;
  }

  // Resampling on the grid g[i] = 500 i ms.  k and beatK track the beat at
  // or before the grid time (beatK = B[k]); the search only moves forward
  // and never beyond the last interval (k <= n - 2).
  std::array<int32_t, kMaxFft> y;
  y[0] = rr[0];
  int32_t k = 0;
  int64_t beatK = 0;
  for (int i = 1; i < fftSize; ++i) {
    const int64_t g = (1000 * int64_t{i}) / 2;
    while (k < n - 2 && beatK + rr[k + 1] <= g) {
      beatK += rr[k + 1];
      ++k;
    }
    const float slope = static_cast<float>(rr[k + 1] - rr[k]) / static_cast<float>(rr[k + 1]);
    const float v = static_cast<float>(g - beatK) * slope + static_cast<float>(rr[k]);
    y[static_cast<size_t>(i)] = truncateToInt32(v);
  }

  double total = 0.0;
  for (int i = 0; i < fftSize; ++i) total += y[static_cast<size_t>(i)];
  const auto mean = static_cast<int32_t>(total / fftSize);

  // Periodic Hann window: each value is 0.5 (1 - cos(2 pi i / N)) rounded
  // once to single precision; the product is single precision.
  std::array<float, kMaxFft> s;
  for (int i = 0; i < fftSize; ++i) {
    const auto w = static_cast<float>(0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * i / fftSize)));
    const auto x = static_cast<float>(int64_t{y[static_cast<size_t>(i)]} - mean);
    s[static_cast<size_t>(i)] = w * x;
  }

  std::array<kiss_fft_cpx, kMaxFft / 2 + 1> spectrum;
  kiss_fftr(cfg.get(), s.data(), spectrum.data());

  // KissFFT gives the unscaled DFT X[k]; the amplitude is 2 |X[k]| / N.
  const auto scale = static_cast<float>(fftSize);
  for (int bin = 0; bin < fftSize / 2; ++bin) {
    const kiss_fft_cpx& X = spectrum[static_cast<size_t>(bin)];
    const float magnitude = std::sqrt(X.r * X.r + X.i * X.i);
    const float amplitude = 2.0f * magnitude / scale;
    const double f = 2.0 * bin / fftSize;
    if (f >= 0.15 && f <= 0.4) bands.hf += amplitude;
    if (f >= 0.04 && f <= 0.15) bands.lf += amplitude;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- lifetime

VLHrv::VLHrv() : shared_(std::make_shared<Shared>()) { lock.replace(); }

VLHrv::~VLHrv() {
  std::lock_guard<std::mutex> g(threadMutex_);
  if (!calculationThread_.joinable()) return;
  if (calculationThread_.get_id() == std::this_thread::get_id()) {
    // Destroyed by the delegate from calculationDone(): the thread finishes
    // its delivery on what it owns.
    calculationThread_.detach();
  } else {
    calculationThread_.join();
  }
}

std::shared_ptr<VLHRVDelegate> VLHrv::delegate() const { return shared_->delegate(); }

void VLHrv::setDelegate(std::weak_ptr<VLHRVDelegate> delegate) {
  std::lock_guard<std::mutex> g(shared_->delegateMutex);
  shared_->delegateRef = std::move(delegate);
}

int32_t VLHrv::energyLevel() const { return shared_->energyLevel.load(); }

Dictionary VLHrv::result() const {
  std::lock_guard<SwappableMutex> g(lock);
  return shared_->result;
}

bool VLHrv::isCalculating() const { return shared_->running.load(); }

// ---------------------------------------------------------------- detection

void VLHrv::reset() { d_ = Detector{}; }

int32_t VLHrv::addData(int32_t sample) {
  Detector& d = d_;

  std::copy(d.buffer.begin() + 1, d.buffer.end(), d.buffer.begin());
  d.buffer[15] = sample;
  d.diffX = saturate(int64_t{d.buffer[0]} - sample);

  if (d.dataCount == 2 * d.sampleRate) {
    increment(d.secondCount, 2);
    d.dataCount = 0;
    int64_t base = std::min<int64_t>({d.diffXOld, (3 * int64_t{d.diffXNew}) / 2, 6000});
    d.diffXNew = static_cast<int32_t>(std::max<int64_t>(base, 600));
    d.diffXOld = 0;
  }

  ++d.dataCount;
  if (d.diffX >= d.diffXOld) d.diffXOld = d.diffX;

  if (d.secondCount < 2) d.diffXNew = d.diffXOld;

  // diffXNew may reach INT32_MAX while learning on wide inputs, hence the
  // 64-bit products; the results fit in 32 bits.
  d.peakThresholdUp = static_cast<int32_t>((d.ThPcntU * int64_t{d.diffXNew}) / 100);
  d.peakThresholdDown = static_cast<int32_t>((d.ThPcntD * int64_t{d.diffXNew}) / 100);
  const int32_t upper = d.peakThresholdUp;
  const int32_t lower = d.peakThresholdDown;

  if (!d.rWaveUp && d.diffX >= upper) d.rWaveUp = 1;
  if (d.rWaveUp && d.diffX <= lower && !d.newPeakFound) d.oldPeakFound = 1;

  if (d.oldPeakFound && (d.diffX >= upper || -int64_t{d.diffX} > (3 * int64_t{upper}) / 2)) {
    d.newPeakFound = 1;
    d.oldPeakFound = 0;
    if (d.pointsCount < d.realibi) {
      d.rrInt = 0;
      // Before two beats are counted a too-early event restarts the count.
      if (d.nbeats <= 1) d.pointsCount = 0;
    } else {
      d.rrInt = d.pointsCount;
      d.pointsCount = 0;
    }
  }

  int32_t marker = -1;
  if (d.pointsCount == 0 && d.rrInt != 0) {
    if (d.HB0 == 0) {
      d.HB0 = d.rrInt;
    } else {
      marker = d.rrInt;
    }
    increment(d.nbeats);
    if (d.rrInt >= 1501) {
      d.nbeats = 0;
      d.ibi = 0;
      d.realibi = 153;
    }
    // rrInt < 1501 whenever nbeats >= 3 here, and ibi stays below 1501, so
    // none of these products overflows.
    if (d.nbeats >= 3) {
      if (d.ibi == 0) {
        if (d.rrInt >= 154 && d.rrInt <= 999) d.ibi = d.rrInt;
      } else if (d.rrInt >= 154 && d.rrInt < (5 * d.ibi) / 2) {
        d.ibi = (d.rrInt + 4 * d.ibi) / 5;
      }
    }
    if (d.nbeats >= 7 || (d.ibi >= 301 && d.ibi <= 399)) d.realibi = (3 * d.ibi) / 4;
  }

  if (d.newPeakFound) {
    increment(d.pointsCount);
    if (d.diffX <= lower) d.oldPeakFound = 1;
  }

  // Samples to ms at the fixed 512 samples per second; -1 gives -2.
  const long ms = std::lround(marker * (1.0 / 512) * 1000.0);
  const int32_t interval = ms > kInt32Max ? kInt32Max : static_cast<int32_t>(ms);
  if (interval > 0) {
    if (auto delegate = shared_->delegate()) {
      try {
        delegate->rrDetected(interval);
      } catch (...) {
        logDelegateException("rrDetected");
      }
    }
  }
  return interval;
}

// ---------------------------------------------------------------- calculation

int32_t VLHrv::startCalculation(const int32_t* rrIntervals, int32_t length) {
  bool idle = false;
  if (!shared_->running.compare_exchange_strong(idle, true)) {
    logMessage("Still running the last calculation try again later.");
    return -1;
  }
  try {
    std::vector<int32_t> copy;
    if (rrIntervals != nullptr && length > 0) copy.assign(rrIntervals, rrIntervals + length);
    std::lock_guard<std::mutex> g(threadMutex_);
    // The previous thread has finished its delivery; only its exit remains.
    if (calculationThread_.joinable()) calculationThread_.join();
    calculationThread_ = std::thread(&VLHrv::fireCalculationDone, shared_, std::move(copy));
  } catch (const std::exception& e) {
    logMessage("Cannot start the calculation: %s", e.what());
    shared_->running.store(false);
    return -1;
  }
  return 0;
}

void VLHrv::fireCalculationDone(std::shared_ptr<Shared> shared, std::vector<int32_t> rrIntervalMS) {
  calculate(*shared, rrIntervalMS.data(), static_cast<int32_t>(rrIntervalMS.size()));
  {
    // Declared before the guard so that a last reference to the delegate is
    // dropped after the lock is released.
    std::shared_ptr<VLHRVDelegate> delegate = shared->delegate();
    std::lock_guard<SwappableMutex> g(lock);
    const Dictionary copy = shared->result;
    if (delegate) {
      try {
        delegate->calculationDone(copy);
      } catch (...) {
        logDelegateException("calculationDone");
      }
    }
    shared->result.clear();
  }
  std::vector<int32_t>().swap(rrIntervalMS);
  logMessage("fireCalculationDone is DONE.");
  shared->running.store(false);
}

double VLHrv::calculateEnergyLevel(const int32_t* rrIntervals, int32_t length) {
  return calculate(*shared_, rrIntervals, length);
}

double VLHrv::calculate(Shared& shared, const int32_t* rr, int32_t n) {
  if (rr == nullptr || n < 0) n = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (rr[i] <= 0) {
      logMessage("RR interval %d at index %d is not positive; the calculation needs positive intervals.", rr[i], i);
      return -1.0;
    }
  }
  // Beat times grow in 64 bits: only the grid's span (at most 511,500 ms)
  // matters beyond the length test, so a huge total just means N = 1024.
  int64_t total = 0;
  for (int32_t i = 1; i < n; ++i) total += rr[i];
  if (total < kMinimumTotalMs) {
    logMessage("Need 64 seconds of data. Total ms = %d", static_cast<int>(total));
    return -1.0;
  }
  const int fftSize = fftLength(total);
  logMessage("numSamples for Energy Calculation is %d", fftSize);

  Bands bands;
  if (!bandSums(rr, n, fftSize, bands)) return -1.0;

  double ratio;
  if (bands.hf != 0.0) {
    ratio = bands.lf / bands.hf;
  } else {
    ratio = bands.lf > 0.0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  }
  {
    std::lock_guard<SwappableMutex> g(lock);
    shared.result["LF"] = bands.lf;
    shared.result["HF"] = bands.hf;
    shared.result["LF/HF"] = ratio;
  }

  const int32_t level = energyLevelForRatio(ratio);
  shared.energyLevel.store(level);
  {
    std::lock_guard<SwappableMutex> g(lock);
    shared.result["energy"] = level;
  }
  return level;
}

int32_t VLHrv::energyLevelForRatio(double ratio) {
  double r = ratio;
  if (r > 8) r = 8;  // NaN passes unchanged
  double z = (3 - r) / 2.24;
  z = std::isnan(z) ? -1.5 : std::clamp(z, -1.5, 1.5);
  return static_cast<int32_t>(std::lround(33 * z + 50));
}

// ---------------------------------------------------------------- sums

int32_t VLHrv::sum(const int32_t* values, int32_t length) {
  if (values == nullptr || length < 2) return 0;
  uint32_t total = 0;  // unsigned, so the wrap is defined
  for (int32_t i = 1; i < length; ++i) total += static_cast<uint32_t>(values[i]);
  return static_cast<int32_t>(total);
}

int32_t VLHrv::sum(const std::vector<Value>& values) {
  uint32_t total = 0;
  for (size_t i = 1; i < values.size(); ++i) {
    const Value& v = values[i];
    int32_t n = 0;
    if (v.isInt()) {
      n = v.asInt();
    } else if (v.isDouble() && !std::isnan(v.asDouble())) {
      const double t = std::trunc(v.asDouble());
      n = t >= 2147483647.0 ? kInt32Max : t <= -2147483648.0 ? kInt32Min : static_cast<int32_t>(t);
    }
    total += static_cast<uint32_t>(n);
  }
  return static_cast<int32_t>(total);
}

}  // namespace velmora
