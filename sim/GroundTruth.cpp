#include "sim/GroundTruth.h"

namespace velmora::sim {

void GroundTruth::add(const TruthEvent& event) {
  if (auto* p = std::get_if<PeriodTruth>(&event)) periods.push_back(*p);
  if (auto* b = std::get_if<BlinkTruth>(&event)) blinks.push_back(*b);
  if (auto* r = std::get_if<BeatTruth>(&event)) beats.push_back(*r);
}

}  // namespace velmora::sim
