#include "StreamStats.h"

namespace velmora::tool {
namespace {

std::optional<int32_t> intValue(const Dictionary& data, const char* key) {
  auto it = data.find(key);
  if (it == data.end() || !it->second.isInt()) return std::nullopt;
  return it->second.asInt();
}

}  // namespace

void StreamStats::add(double t, const Dictionary& data) {
  ++deliveries;
  if (!firstData) firstData = t;
  lastData = t;

  auto keep = [&](std::optional<int32_t>& slot, const char* key) {
    if (auto v = intValue(data, key)) slot = v;
  };
  keep(poorSignal, "poorSignal");
  keep(attention, "vScoreAttention");
  keep(meditation, "vScoreMeditation");
  for (size_t k = 0; k < kBandKeys.size(); ++k) keep(bands[k], kBandKeys[k]);
  if (auto rr = intValue(data, "rrInt")) {
    rrInterval = rr;
    ++beats;
  }
  keep(heartRate, "heartRate");
  if (auto strength = intValue(data, "blinkStrength")) {
    ++blinks;
    recentBlinks.push_back({t, *strength});
    if (recentBlinks.size() > kRecentBlinks) recentBlinks.pop_front();
  }

  if (auto it = data.find("raw"); it != data.end() && it->second.isArray()) {
    const Value::Array& raw = it->second.asArray();
    samples += raw.size();
    for (int32_t s : raw) recentRaw.push_back(s);
    while (recentRaw.size() > kRecentRaw) recentRaw.pop_front();
  }
  sampleMarks.emplace_back(t, samples);
  while (sampleMarks.size() > 2 && sampleMarks.front().first < t - 1.0) sampleMarks.pop_front();
}

std::optional<double> StreamStats::sampleRate() const {
  if (sampleMarks.size() < 2) return std::nullopt;
  const auto& [t0, n0] = sampleMarks.front();
  const auto& [t1, n1] = sampleMarks.back();
  if (t1 - t0 < 0.25) return std::nullopt;
  return static_cast<double>(n1 - n0) / (t1 - t0);
}

}  // namespace velmora::tool
