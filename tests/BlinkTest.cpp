// The blink detector: shapes it takes and rejects with each level and limit
// at its edge, the start search, the warm-up and the poor-signal gate, and
// blinks that outlast the window.
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "VLBlink.h"

namespace velmora {
namespace {

// A sample sequence built from runs of equal values.
struct Shape {
  std::vector<int32_t> samples;
  Shape& run(int32_t value, int count) {
    samples.insert(samples.end(), static_cast<size_t>(count), value);
    return *this;
  }
};
Shape run(int32_t value, int count) { return Shape{}.run(value, count); }

// (index into the shape, result) for every call that answered non-zero.
using Hits = std::vector<std::pair<int, int32_t>>;

// Feeds `shape` after 512 zeros of warm-up.
Hits detect(VLBlink& blink, const Shape& shape) {
  for (int i = 0; i < 512; ++i) EXPECT_EQ(blink.detectBlinkWithPoorSignal(0, 0), 0);
  Hits hits;
  for (size_t i = 0; i < shape.samples.size(); ++i) {
    const int32_t r = blink.detectBlinkWithPoorSignal(0, shape.samples[i]);
    if (r != 0) hits.emplace_back(static_cast<int>(i), r);
  }
  return hits;
}
Hits detect(const Shape& shape) {
  VLBlink blink;
  return detect(blink, shape);
}

// Two lobes of `n` samples, `first` then `second`, then `tail` x 100.
Shape lobes(int32_t first, int32_t second, int n = 20, int32_t tail = 0) {
  return run(first, n).run(second, n).run(tail, 100);
}

// A positive-first blink of 20 + 20 samples ends on the 26th sample after
// its second lobe (index 65), a negative-first one on the first baseline
// sample at or below 32 (index 41) and else on the 26th.  Each level and
// limit is taken at its edge and one step beyond it.
TEST(Blink, ShapesAtEachLevelAndLimit) {
  const struct {
    const char* what;
    Shape shape;
    Hits hits;
  } cases[] = {
      {"positive-first", lobes(400, -400), {{65, 50}}},
      {"negative-first", lobes(-400, 400), {{41, 50}}},
      {"above is 231", lobes(231, -400), {{65, 631 >> 4}}},
      {"230 is not above", lobes(230, -400), {}},
      {"below is -201", lobes(400, -201), {{65, 601 >> 4}}},
      {"-200 is not below", lobes(400, -200), {}},
      {"a strength of 500 passes", lobes(250, -250), {{65, 500 >> 4}}},
      {"a strength of 499 is rejected", lobes(249, -250), {}},
      {"strength 4200 answers (4200 >> 4) & 0xFF", lobes(2100, -2100), {{65, 6}}},
      {"strength 4200, negative-first", lobes(-2100, 2100), {{41, 6}}},
      {"strength 4096 answers 0", lobes(2048, -2048), {}},
      {"strength 4096, negative-first", lobes(-2048, 2048), {}},
      {"strength 40000 wraps in 16 bits", lobes(20000, -20000), {}},
      {"a mean of exactly 200 passes", lobes(1070, -400), {{65, 1470 >> 4}}},  // 13400 / 67
      {"a mean above 200 is rejected", lobes(1071, -400), {}},
      {"an end sample of 230 is inside", lobes(400, -400, 25, 230), {{51, 50}}},
      {"231 is not", lobes(400, -400, 25, 231), {}},
      {"nor is -201", lobes(-400, 400, 25, -201), {}},
      {"-200 is", lobes(-400, 400, 25, -200), {{51, 50}}},
      {"a span of 50 passes", run(400, 12).run(-400, 12).run(0, 40), {{49, 50}}},
      {"a span of 49 is rejected", run(400, 12).run(-400, 11).run(0, 40), {}},
      {"5 + 5 samples are too short", lobes(400, -400, 5), {}},
      {"33 does not end a positive-first blink", lobes(400, -400, 20, 33), {{65, 50}}},
      {"34 ends it: a span of 42", lobes(400, -400, 20, 34), {}},
      {"32 ends a negative-first blink", lobes(-400, 400, 20, 32), {{41, 50}}},
      {"33 does not", lobes(-400, 400, 20, 33), {{65, 50}}},
      {"lobes 44 positions apart", run(400, 20).run(0, 43).run(-400, 20).run(0, 40), {{108, 50}}},
      {"lobes 45 apart are given up", run(400, 20).run(0, 44).run(-400, 20).run(0, 140), {}},
      // The sample that gives the blink up is not examined again; from the
      // next one the detector follows a negative-first blink.
      {"and the second lobe starts a blink",
       run(400, 20).run(0, 50).run(-400, 20).run(400, 20).run(0, 40),
       {{111, 50}}},
      {"a negative first lobe of 121", run(-300, 121).run(1000, 37).run(0, 40), {{159, 1300 >> 4}}},
      {"a negative first lobe of 122 is given up", run(-300, 122).run(1000, 37).run(0, 40), {}},
      // A positive first lobe at its limit still takes this sample's step.
      {"a positive first lobe of 122", run(300, 122).run(-1000, 37).run(0, 40), {{185, 1300 >> 4}}},
      {"the second-lobe limit closes a long lobe", run(400, 100).run(-400, 30).run(0, 40), {{155, 50}}},
  };
  for (const auto& c : cases) EXPECT_EQ(detect(c.shape), c.hits) << c.what;
}

TEST(Blink, TheStartSearchLooksBackAtMost24Positions) {
  // The start is the first sample below 33 at or before the first lobe, at
  // most 24 positions back: (baseline of 40 before the lobe, offset, sample).
  const int cases[][3] = {{21, 22, 0}, {23, 24, 0}, {24, 24, 40}};
  for (const auto& c : cases) {
    VLBlink blink;
    EXPECT_EQ(detect(blink, run(40, c[0]).run(400, 20).run(-400, 20).run(0, 26)), (Hits{{c[0] + 65, 50}}));
    EXPECT_EQ(blink.outerLow() - blink.blinkStart(), c[1]) << c[0];
    EXPECT_EQ(blink.sampleAt(blink.blinkStart()), c[2]) << c[0];
  }
}

TEST(Blink, WarmUpAndThePoorSignalGate) {
  VLBlink blink;
  const Shape swing = lobes(400, -400);
  for (int round = 0; round < 2; ++round) {
    // Nothing is examined before the 512th accepted sample; 50 passes the gate.
    for (size_t i = 0; i < 511; ++i) {
      ASSERT_EQ(blink.detectBlinkWithPoorSignal(50, swing.samples[i % 40]), 0);
      ASSERT_EQ(blink.state(), 0u);
    }
    blink.detectBlinkWithPoorSignal(50, 400);
    ASSERT_EQ(blink.state(), 1u);
    // Above 50 the call resets the detector and does not store the sample.
    EXPECT_EQ(blink.detectBlinkWithPoorSignal(51, -400), 0);
    EXPECT_EQ(std::make_tuple(blink.state(), blink.bufferCounter(), blink.outerLow()), std::make_tuple(0ul, 0, -1));
    EXPECT_EQ(blink.sampleAt(511), 400);
  }
  EXPECT_EQ(detect(blink, swing), (Hits{{65, 50}}));
}

// Blinks that outlast the window.  A start that has left it gives the blink
// up: a second lobe of 385 samples leaves outerLow at 0, where the start
// search would read position -1; one of 384 leaves it at 2.  A second lobe
// that never ends keeps the markers falling (they wrap at 16 bits).
TEST(Blink, ABlinkWhoseStartLeftTheWindowIsGivenUp) {
  for (auto [down, hits] : {std::pair{384, Hits{{509, 1260 >> 4}}}, std::pair{385, Hits{}}}) {
    VLBlink blink;
    const double average = blink.average();
    EXPECT_EQ(detect(blink, run(1000, 100).run(-260, down).run(0, 40)), hits) << down;
    EXPECT_TRUE(!hits.empty() || blink.average() == average) << "given up before the mean";
    EXPECT_EQ(detect(blink, lobes(400, -400)), (Hits{{65, 50}})) << "and works as before";
  }
  VLBlink endless;
  detect(endless, run(400, 20).run(-400, 70000).run(0, 40));
  EXPECT_EQ(detect(endless, lobes(-400, 400)), (Hits{{41, 50}}));
}

}  // namespace
}  // namespace velmora
