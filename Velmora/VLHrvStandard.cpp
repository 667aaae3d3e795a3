#include "VLHrvStandard.h"

#include <kissfft/kissfft.hh>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

namespace velmora {
namespace {

std::string number(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// The natural cubic spline through (x[i], y[i]), x strictly increasing:
// second derivatives from the tridiagonal system (zero at both ends),
// evaluated at increasing points by walking the intervals.
class NaturalSpline {
 public:
  NaturalSpline(std::vector<double> x, std::vector<double> y) : x_(std::move(x)), y_(std::move(y)), m_(x_.size()) {
    const size_t n = x_.size();
    if (n < 3) return;  // a line: all second derivatives zero
    // Thomas algorithm over the interior points 1..n-2.
    std::vector<double> diag(n), rhs(n), upper(n);
    for (size_t i = 1; i + 1 < n; ++i) {
      const double h0 = x_[i] - x_[i - 1], h1 = x_[i + 1] - x_[i];
      diag[i] = 2 * (h0 + h1);
      upper[i] = h1;
      rhs[i] = 6 * ((y_[i + 1] - y_[i]) / h1 - (y_[i] - y_[i - 1]) / h0);
      if (i > 1) {
        const double factor = h0 / diag[i - 1];
        diag[i] -= factor * upper[i - 1];
        rhs[i] -= factor * rhs[i - 1];
      }
    }
    for (size_t i = n - 2; i >= 1; --i) {
      m_[i] = (rhs[i] - (i + 2 < n ? upper[i] * m_[i + 1] : 0)) / diag[i];
    }
  }

  // For t from x[0] to x[n-1], in increasing order across calls.
  double at(double t) {
    while (segment_ + 2 < x_.size() && t > x_[segment_ + 1]) ++segment_;
    const size_t i = segment_;
    const double h = x_[i + 1] - x_[i], a = (x_[i + 1] - t) / h, b = (t - x_[i]) / h;
    return a * y_[i] + b * y_[i + 1] + ((a * a * a - a) * m_[i] + (b * b * b - b) * m_[i + 1]) * h * h / 6;
  }

 private:
  std::vector<double> x_, y_, m_;
  size_t segment_ = 0;
};

// Welch's power spectral density of `x` (sampled at `fs`): periodic Hann
// segments of `n` samples, n / 2 overlap, one-sided, density scaling,
// averaged.  Returns the power at k * fs / n for k = 0..n/2.
std::vector<double> welch(const std::vector<double>& x, size_t n, double fs) {
  const size_t step = n - n / 2;
  const size_t segments = (x.size() - n) / step + 1;
  std::vector<double> window(n);
  double windowPower = 0;
  for (size_t j = 0; j < n; ++j) {
    window[j] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(n));
    windowPower += window[j] * window[j];
  }
  const double scale = 1.0 / (fs * windowPower);
  const kissfft<double> fft(n, false);
  std::vector<std::complex<double>> in(n), out(n);
  std::vector<double> power(n / 2 + 1, 0.0);
  for (size_t s = 0; s < segments; ++s) {
    for (size_t j = 0; j < n; ++j) in[j] = x[s * step + j] * window[j];
    fft.transform(in.data(), out.data());
    for (size_t k = 0; k < power.size(); ++k) power[k] += std::norm(out[k]) * scale;
  }
  for (size_t k = 0; k < power.size(); ++k) {
    power[k] /= static_cast<double>(segments);
    // One-sided: every bin but DC (and Nyquist, for even n) stands for two.
    if (k > 0 && !(n % 2 == 0 && k == n / 2)) power[k] *= 2;
  }
  return power;
}

// Trapezoidal integral of `power` over the bins whose frequency f = k * df
// lies in [low, high).
double bandPower(const std::vector<double>& power, double df, double low, double high) {
  double sum = 0;
  bool havePrevious = false;
  for (size_t k = 0; k < power.size(); ++k) {
    const double f = static_cast<double>(k) * df;
    if (f < low || f >= high) continue;
    if (havePrevious) sum += df * (power[k - 1] + power[k]) / 2;
    havePrevious = true;
  }
  return sum;
}

}  // namespace

Dictionary VLHrvStandard::Result::toDictionary() const {
  const auto count = static_cast<int32_t>(std::min<int64_t>(beats, std::numeric_limits<int32_t>::max()));
  return {{"beats", Value(count)}, {"meanRR", Value(meanRR)}, {"SDNN", Value(SDNN)}, {"RMSSD", Value(RMSSD)},
          {"pNN50", Value(pNN50)}, {"meanHR", Value(meanHR)},  {"LF", Value(LF)},        {"HF", Value(HF)},
          {"LF/HF", Value(LFHF)},  {"LFnu", Value(LFnu)},      {"HFnu", Value(HFnu)}};
}

std::optional<VLHrvStandard::Result> VLHrvStandard::compute(std::span<const double> rr, std::string& error) {
  double total = 0;
  for (size_t i = 0; i < rr.size(); ++i) {
    if (!(rr[i] >= kMinIntervalMs && rr[i] <= kMaxIntervalMs)) {
      error = "RR interval " + number(rr[i]) + " ms at index " + std::to_string(i) + " is outside " +
              number(kMinIntervalMs) + ".." + number(kMaxIntervalMs) + " ms";
      return std::nullopt;
    }
    total += rr[i];
  }
  if (total < kMinTotalMs) {
    error = "the intervals add up to " + number(total) + " ms; the standard measures need at least " +
            number(kMinTotalMs) + " ms (about 64 s of heartbeats)";
    return std::nullopt;
  }

  Result r;
  const size_t n = rr.size();  // at least 22: each interval is at most 3000 ms
  r.beats = static_cast<int64_t>(n);
  r.meanRR = total / static_cast<double>(n);
  double squares = 0, successive = 0;
  size_t over50 = 0;
  for (size_t i = 0; i < n; ++i) {
    squares += (rr[i] - r.meanRR) * (rr[i] - r.meanRR);
    if (i == 0) continue;
    const double d = rr[i] - rr[i - 1];
    successive += d * d;
    if (std::abs(d) > 50) ++over50;
  }
  r.SDNN = std::sqrt(squares / static_cast<double>(n - 1));
  r.RMSSD = std::sqrt(successive / static_cast<double>(n - 1));
  r.pNN50 = 100.0 * static_cast<double>(over50) / static_cast<double>(n - 1);
  r.meanHR = 60000.0 / r.meanRR;

  std::vector<double> times(n), values(rr.begin(), rr.end());
  double t = 0;
  for (size_t i = 0; i < n; ++i) times[i] = (t += rr[i]) / 1000.0;
  const double first = times.front(), last = times.back();
  NaturalSpline spline(times, std::move(values));
  std::vector<double> series;
  for (size_t k = 0;; ++k) {
    const double at = first + static_cast<double>(k) / kResampleHz;
    if (at > last) break;
    series.push_back(spline.at(at));
  }
  double mean = 0;
  for (double v : series) mean += v;
  mean /= static_cast<double>(series.size());
  for (double& v : series) v -= mean;

  const size_t segment = std::min(kSegmentSamples, series.size());
  const std::vector<double> power = welch(series, segment, kResampleHz);
  // Bin k lies at k * (1 / (n / fs)), computed so, as the usual tools do:
  // a bin on a band's edge then falls on the same side.
  const double df = 1.0 / (static_cast<double>(segment) * (1.0 / kResampleHz));
  r.LF = bandPower(power, df, 0.04, 0.15);
  r.HF = bandPower(power, df, 0.15, 0.40);
  r.LFHF = r.LF / r.HF;
  r.LFnu = 100.0 * r.LF / (r.LF + r.HF);
  r.HFnu = 100.0 * r.HF / (r.LF + r.HF);
  return r;
}

}  // namespace velmora
