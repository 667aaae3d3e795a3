// The standard HRV measures: what they refuse, the time-domain figures of
// lists worked out by hand, and the spectrum's bands and scale on lists
// modulated at one frequency (python/tests/test_measures.py compares every
// figure with an independent computation).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "VLHrvStandard.h"

namespace velmora {
namespace {

// Intervals around 850 ms swinging by `amplitude` ms at `hz`, for `seconds`.
std::vector<double> modulated(double hz, double amplitude, double seconds = 300) {
  std::vector<double> rr;
  for (double t = 0; t < seconds; t += rr.back() / 1000) {
    rr.push_back(850 + amplitude * std::sin(2 * std::numbers::pi * hz * t));
  }
  return rr;
}

TEST(HrvStandard, RefusesIntervalsOutOfRangeAndListsUnder64Seconds) {
  std::vector<double> ok(100, 800);
  auto with = [&](size_t at, double v) {
    auto rr = ok;
    rr[at] = v;
    return rr;
  };
  const struct {
    std::vector<double> rr;
    const char* error;  // empty: accepted
  } cases[] = {
      {ok, ""},
      {with(7, 199.5), "RR interval 199.5 ms at index 7 is outside 200..3000 ms"},
      {with(0, 3001), "RR interval 3001 ms at index 0 is outside"},
      {with(99, std::numeric_limits<double>::quiet_NaN()), "at index 99"},
      {with(3, 200), ""},
      {with(3, 3000), ""},
      {std::vector<double>(80, 800), ""},
      {std::vector<double>(79, 800), "the intervals add up to 63200 ms; the standard measures need at least 64000"},
      {{}, "add up to 0 ms"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto result = VLHrvStandard::compute(c.rr, error);
    EXPECT_EQ(result.has_value(), *c.error == '\0') << c.error << " / " << error;
    EXPECT_TRUE(*c.error ? error.find(c.error) != std::string::npos : error.empty()) << c.error << " / " << error;
  }
}

TEST(HrvStandard, TimeDomainOfAlternatingIntervals) {
  for (const double step : {100.0, 50.0}) {  // successive differences of 100 ms, then exactly 50 ms
    std::vector<double> rr;
    for (int i = 0; i < 90; ++i) rr.push_back(i % 2 ? 800 + step : 800);
    std::string error;
    const auto r = VLHrvStandard::compute(rr, error);
    ASSERT_TRUE(r) << error;
    const double mean = 800 + step / 2;
    EXPECT_EQ(r->beats, 90);
    EXPECT_DOUBLE_EQ(r->meanRR, mean);
    EXPECT_NEAR(r->SDNN, step / 2 * std::sqrt(90.0 / 89.0), 1e-9);
    EXPECT_NEAR(r->RMSSD, step, 1e-9);
    EXPECT_EQ(r->pNN50, step > 50 ? 100 : 0) << "differences above 50 ms count, 50 itself does not";
    EXPECT_DOUBLE_EQ(r->meanHR, 60000 / mean);
  }
}

// A swing of A ms puts A^2 / 2 ms^2 into its band and next to nothing into
// the other.
TEST(HrvStandard, ASwingsPowerLandsInItsBandAtItsVariance) {
  for (const auto& [hz, lf] : {std::pair{0.1, true}, {0.25, false}}) {
    std::string error;
    const auto r = VLHrvStandard::compute(modulated(hz, 40), error);
    ASSERT_TRUE(r) << error;
    EXPECT_NEAR(lf ? r->LF : r->HF, 800, 80) << hz;
    EXPECT_LT(lf ? r->HF : r->LF, 20) << hz;
    EXPECT_NEAR(r->LFnu + r->HFnu, 100, 1e-9);
    EXPECT_DOUBLE_EQ(r->LFHF, r->LF / r->HF);
    EXPECT_GT(lf ? r->LFnu : r->HFnu, 95) << hz;
  }
}

}  // namespace
}  // namespace velmora
