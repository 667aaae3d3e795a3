#include "sim/SignalModel.h"

#include <algorithm>
#include <cmath>

#include "sim/PacketEncoder.h"

namespace velmora::sim {
namespace {

// Natural logarithms of the typical band powers: delta, theta, low and high
// alpha, low and high beta, low and high gamma.
constexpr std::array<double, 8> kBandLogMean = {13.5, 12.0, 10.5, 10.2, 9.9, 9.7, 8.9, 8.2};

const SignalOptions& validated(const SignalOptions& options) {
  options.validate();
  return options;
}

}  // namespace

SignalModel::SignalModel(const SignalOptions& options)
    : options_(validated(options)),
      random_(options.seed),
      eeg_(options.seed * 0x2545F4914F6CDD1Dull + 1),
      ecg_(options.seed, options.lf, options.hf) {
  for (double& d : bandDeviation_) d = random_.normal(0.0, 0.3);
}

SignalMode SignalModel::modeOfSecond(uint64_t second) const {
  if (options_.mode != SignalMode::Mixed) return options_.mode;
  return (second / options_.periodSeconds) % 2 == 0 ? SignalMode::Eeg : SignalMode::Ecg;
}

void SignalModel::updateSecondValues(SignalMode mode, bool periodStart, uint64_t second) {
  if (mode == SignalMode::Ecg) {
    poorSignal_ = 200.0;
  } else if (periodStart && second > 0) {
    poorSignal_ = 0.0;
  } else {
    if (poorSignal_ > 50.0) poorSignal_ = 0.0;
    poorSignal_ = std::clamp(poorSignal_ + random_.normal(0.0, 5.0), 0.0, 50.0);
  }
  attention_ = std::clamp(attention_ + 0.15 * (50.0 - attention_) + random_.normal(0.0, 7.0), 1.0, 100.0);
  meditation_ = std::clamp(meditation_ + 0.15 * (50.0 - meditation_) + random_.normal(0.0, 7.0), 1.0, 100.0);
  for (double& d : bandDeviation_) d = 0.8 * d + random_.normal(0.0, 0.3);
}

void SignalModel::beginSecond(uint64_t second, TickBuffer& out) {
  SignalMode mode = modeOfSecond(second);
  bool periodStart = second == 0 || mode != current_;
  if (periodStart) {
    current_ = mode;
    std::optional<uint64_t> end;
    if (options_.mode == SignalMode::Mixed) {
      end = (second / options_.periodSeconds + 1) * options_.periodSeconds * kSampleRate;
    }
    if (mode == SignalMode::Ecg) {
      ecg_.beginPeriod(sample_, end);
    } else {
      eeg_.beginPeriod(sample_, end);
    }
    truth_.emplace_back(PeriodTruth{mode, sample_});
  }
  updateSecondValues(mode, periodStart, second);

  if (second % 10 == 0) out.appendPacket(PacketEncoder::sensorChipRow(kSensorChip));

  std::array<uint32_t, 8> bands;
  for (size_t k = 0; k < bands.size(); ++k) {
    double logPower = kBandLogMean[k] + bandDeviation_[k];
    if (blinkLastSecond_ && k == 0) logPower += 1.4;
    if (blinkLastSecond_ && k == 1) logPower += 0.4;
    if (mode == SignalMode::Ecg && k == 0) logPower += 2.5;
    bands[k] = static_cast<uint32_t>(std::min(std::exp(logPower), 16777215.0));
  }
  payload_.clear();
  auto append = [this](const std::vector<uint8_t>& row) { payload_.insert(payload_.end(), row.begin(), row.end()); };
  append(PacketEncoder::poorSignalRow(static_cast<uint8_t>(std::lround(poorSignal_))));
  append(PacketEncoder::attentionRow(static_cast<uint8_t>(std::lround(attention_))));
  append(PacketEncoder::meditationRow(static_cast<uint8_t>(std::lround(meditation_))));
  append(PacketEncoder::bandPowerRow(bands));
  out.appendPacket(payload_);
}

bool SignalModel::tick(TickBuffer& out) {
  uint64_t second = sample_ / kSampleRate;
  uint64_t within = sample_ % kSampleRate;
  if (within == 0) beginSecond(second, out);
  if (within == kSampleRate / 2 && second % 5 == 4) {
    out.appendPacket(PacketEncoder::heartRateRow(static_cast<uint8_t>(std::clamp(ecg_.heartRate(), 0, 255))));
  }

  int16_t value;
  if (current_ == SignalMode::Ecg) {
    value = ecg_.next(sample_, truth_);
  } else {
    value = eeg_.next(sample_, truth_);
    ecg_.skip(sample_);
  }
  out.appendRawPacket(value);
  if (within == kSampleRate - 1) blinkLastSecond_ = eeg_.takeBlinkSeen();
  ++sample_;
  return true;
}

void SignalModel::takeTruth(std::vector<TruthEvent>& into) {
  into.insert(into.end(), truth_.begin(), truth_.end());
  truth_.clear();
}

}  // namespace velmora::sim
