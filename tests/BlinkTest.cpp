#include <gtest/gtest.h>

#include <cstdint>
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

// Feeds `shape` after 512 zeros of warm-up and returns (index into shape,
// result) for every call that answered non-zero.
std::vector<std::pair<int, int32_t>> detect(VLBlink& blink, const Shape& shape, int32_t poorSignal = 0) {
  for (int i = 0; i < 512; ++i) EXPECT_EQ(blink.detectBlinkWithPoorSignal(poorSignal, 0), 0);
  std::vector<std::pair<int, int32_t>> hits;
  for (size_t i = 0; i < shape.samples.size(); ++i) {
    int32_t r = blink.detectBlinkWithPoorSignal(poorSignal, shape.samples[i]);
    if (r != 0) hits.emplace_back(static_cast<int>(i), r);
  }
  return hits;
}

std::vector<std::pair<int, int32_t>> detect(const Shape& shape) {
  VLBlink blink;
  return detect(blink, shape);
}

using Hits = std::vector<std::pair<int, int32_t>>;

TEST(Blink, PositiveFirstBlinkEndsAtTheTailLimit) {
  // 20 up, 20 down; the 26th zero after the down lobe declares the end.
  EXPECT_EQ(detect(Shape{}.run(400, 20).run(-400, 20).run(0, 100)), (Hits{{40 + 25, 50}}));
}

TEST(Blink, NegativeFirstBlinkEndsAtTheFirstBaselineSample) {
  // The 2nd zero ends it (<= 32); no baseline sample is above 33, so the
  // start search runs its full 24 positions.
  VLBlink blink;
  Hits hits = detect(blink, Shape{}.run(-400, 20).run(400, 20).run(0, 100));
  EXPECT_EQ(hits, (Hits{{40 + 1, 50}}));
  EXPECT_EQ(blink.blinkEnd() - blink.blinkStart(), 20 + 20 + 1 + 24);
}

TEST(Blink, StartSearchLooksBackAtMost24Positions) {
  // Each shape ends with the sample that ends the blink, so the markers still
  // match the window.  The start is the first sample below 33 at or before
  // the first lobe ...
  VLBlink near;
  EXPECT_EQ(detect(near, Shape{}.run(40, 23).run(400, 20).run(-400, 20).run(0, 26)), (Hits{{23 + 65, 50}}));
  EXPECT_EQ(near.blinkStart(), near.outerLow() - 24);
  EXPECT_EQ(near.sampleAt(near.blinkStart()), 0);
  // ... but no further back than 24 positions.
  VLBlink far;
  EXPECT_EQ(detect(far, Shape{}.run(40, 30).run(400, 20).run(-400, 20).run(0, 26)), (Hits{{30 + 65, 50}}));
  EXPECT_EQ(far.blinkStart(), far.outerLow() - 24);
  EXPECT_EQ(far.sampleAt(far.blinkStart()), 40);
  VLBlink closer;
  detect(closer, Shape{}.run(40, 21).run(400, 20).run(-400, 20).run(0, 26));
  EXPECT_EQ(closer.blinkStart(), closer.outerLow() - 22);
}

TEST(Blink, StrengthIsSixteenBitsShiftedAndCutToEightBits) {
  for (int sign : {1, -1}) {
    SCOPED_TRACE(sign);
    EXPECT_TRUE(detect(Shape{}.run(sign * 240, 20).run(-sign * 240, 20).run(0, 100)).empty());  // 480 < 500
    Hits strong = detect(Shape{}.run(sign * 2100, 20).run(-sign * 2100, 20).run(0, 100));
    ASSERT_EQ(strong.size(), 1u);
    EXPECT_EQ(strong[0].second, 6);  // 4200 >> 4 = 262, modulo 256
    // 4096 >> 4 = 256, whose low 8 bits are 0: no blink is reported.
    EXPECT_TRUE(detect(Shape{}.run(sign * 2048, 20).run(-sign * 2048, 20).run(0, 100)).empty());
  }
}

TEST(Blink, StrengthWrapsAtSixteenBits) {
  // 20000 - (-20000) = 40000 is -25536 in 16 bits: too weak.
  VLBlink blink;
  EXPECT_TRUE(detect(blink, Shape{}.run(20000, 20).run(-20000, 20).run(0, 100)).empty());
  EXPECT_EQ(blink.blinkStrength(), static_cast<int16_t>(40000 - 65536));
}

TEST(Blink, LobesFartherApartThanTheGapLimitAreGivenUp) {
  VLBlink apart;
  Shape wide = Shape{}.run(400, 20).run(0, 50).run(-400, 20).run(0, 200);
  EXPECT_TRUE(detect(apart, wide).empty());
  EXPECT_EQ(apart.state(), 0u);

  // The down lobe's first sample gives the blink up; from its second the
  // detector follows the lobe as a negative-first blink of its own.
  VLBlink follow;
  detect(follow, Shape{}.run(400, 20).run(0, 50).run(-400, 1));
  EXPECT_EQ(follow.state(), 0u);
  follow.detectBlinkWithPoorSignal(0, -400);
  EXPECT_EQ(follow.state(), 4u);
  EXPECT_EQ(follow.outerLow(), 511);

  EXPECT_EQ(detect(Shape{}.run(400, 20).run(0, 40).run(-400, 20).run(0, 100)).size(), 1u);
  EXPECT_EQ(detect(Shape{}.run(400, 20).run(0, 40).run(-400, 20).run(0, 100))[0].second, 50);
}

TEST(Blink, AFirstLobeAtItsLimitMayStillReachTheSecondLobe) {
  // The positive lobe reaches the first-lobe limit at the very sample that
  // goes below: that sample still moves the detector on to the second lobe.
  EXPECT_EQ(detect(Shape{}.run(300, 122).run(-1000, 37).run(0, 40)).size(), 1u);
  EXPECT_EQ(detect(Shape{}.run(300, 122).run(-1000, 37).run(0, 40))[0].second, 1300 >> 4);
  // A negative first lobe at its limit is given up at once.
  VLBlink negative;
  detect(negative, Shape{}.run(-300, 122).run(1000, 1));
  EXPECT_EQ(negative.state(), 0u);
  EXPECT_TRUE(detect(Shape{}.run(-300, 122).run(1000, 37).run(0, 40)).empty());
}

TEST(Blink, SecondLobeLimitClosesALongSecondLobe) {
  VLBlink blink;
  Shape shape = Shape{}.run(400, 100).run(-400, 30).run(0, 100);
  Hits hits = detect(blink, shape);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].second, 50);
  EXPECT_GE(hits[0].first, 130);
}

TEST(Blink, ShortSpansAreRejected) {
  // A steady 100 closes the down lobe at its first sample and declares the
  // end at its second (>= 34): the span is 42 positions.
  VLBlink steady;
  EXPECT_TRUE(detect(steady, Shape{}.run(400, 20).run(-400, 20).run(100, 50)).empty());
  EXPECT_EQ(steady.blinkEnd() - steady.blinkStart(), 42);
  EXPECT_EQ(steady.blinkStrength(), 800);
  EXPECT_EQ(steady.state(), 0u);

  EXPECT_TRUE(detect(Shape{}.run(400, 5).run(-400, 5).run(0, 100)).empty());
}

TEST(Blink, NothingIsDetectedDuringWarmUp) {
  VLBlink blink;
  Shape swing = Shape{}.run(400, 20).run(-400, 20);
  for (int i = 0; i < 511; ++i) {
    EXPECT_EQ(blink.detectBlinkWithPoorSignal(0, swing.samples[static_cast<size_t>(i) % 40]), 0);
    EXPECT_EQ(blink.state(), 0u);
  }
  EXPECT_EQ(blink.bufferCounter(), 511);
  // The 512th accepted sample is the first one examined.
  blink.detectBlinkWithPoorSignal(0, 400);
  EXPECT_EQ(blink.state(), 1u);
  EXPECT_EQ(blink.bufferCounter(), 512);
}

TEST(Blink, PoorSignalAboveFiftyResetsAndRestartsTheWarmUp) {
  Shape shape = Shape{}.run(400, 20).run(-400, 20).run(0, 100);
  VLBlink at50;
  EXPECT_EQ(detect(at50, shape, 50), (Hits{{65, 50}}));

  VLBlink blink;
  detect(blink, Shape{}.run(400, 10));
  ASSERT_EQ(blink.state(), 1u);
  EXPECT_EQ(blink.detectBlinkWithPoorSignal(51, -400), 0);
  EXPECT_EQ(blink.state(), 0u);
  EXPECT_EQ(blink.bufferCounter(), 0);
  EXPECT_EQ(blink.outerLow(), -1);
  EXPECT_EQ(blink.sampleAt(511), 400);  // the gated sample was not stored

  // The next 511 accepted samples are warm-up again, whatever they hold.
  for (int i = 0; i < 511; ++i) {
    EXPECT_EQ(blink.detectBlinkWithPoorSignal(0, shape.samples[static_cast<size_t>(i) % shape.samples.size()]), 0);
    EXPECT_EQ(blink.state(), 0u);
  }
  blink.detectBlinkWithPoorSignal(0, -400);
  EXPECT_EQ(blink.state(), 4u);
}

TEST(Blink, MarkersFollowTheirSamples) {
  VLBlink blink;
  detect(blink, Shape{}.run(400, 20).run(-400, 3));
  ASSERT_EQ(blink.state(), 2u);
  EXPECT_EQ(blink.outerLow(), 511 - 22);
  EXPECT_EQ(blink.sampleAt(blink.outerLow()), 400);
  EXPECT_EQ(blink.sampleAt(blink.outerLow() - 1), 0);
  EXPECT_EQ(blink.sampleAt(blink.innerLow()), 400);  // last sample of the first lobe
  EXPECT_EQ(blink.sampleAt(blink.innerLow() + 1), -400);
  EXPECT_EQ(blink.innerHigh(), blink.innerLow() + 1);  // first sample of the second lobe
  EXPECT_EQ(blink.maxValue(), 400);
  EXPECT_EQ(blink.minValue(), -400);
}

TEST(Blink, WideInputsKeepTheirLowSixteenBitsInTheWindow) {
  VLBlink blink;
  detect(blink, Shape{}.run(0x10000 + 5, 1).run(INT32_MIN, 1).run(INT32_MAX, 1));
  EXPECT_EQ(blink.sampleAt(509), 5);
  EXPECT_EQ(blink.sampleAt(510), 0);
  EXPECT_EQ(blink.sampleAt(511), -1);
}

// A positive-first blink whose long second lobe pushes its start towards the
// window's edge.  The start (the zero before the up lobe) sits one position
// below outerLow; once outerLow reaches 0 the start search would have to
// read position -1, and the blink is given up.
TEST(Blink, ABlinkWhoseStartLeftTheWindowIsGivenUp) {
  int evaluatedInside = 0;
  int givenUp = 0;
  for (int down = 370; down <= 400; ++down) {
    SCOPED_TRACE(down);
    VLBlink blink;
    Shape shape = Shape{}.run(1000, 100).run(-260, down);
    detect(blink, shape);
    const double previousAverage = blink.average();
    // Feed the tail until the evaluation (the state leaves the tail for 0).
    int32_t result = 0;
    int16_t outerLowAtEnd = 0;
    for (int i = 0; i < 40 && blink.blinkEnd() != 511; ++i) {
      result = blink.detectBlinkWithPoorSignal(0, 0);
      outerLowAtEnd = blink.outerLow();
    }
    ASSERT_EQ(blink.blinkEnd(), 511);
    EXPECT_EQ(blink.state(), 0u);
    if (outerLowAtEnd >= 1) {
      ++evaluatedInside;
      EXPECT_EQ(result, 1260 >> 4);
      EXPECT_EQ(blink.blinkStart(), outerLowAtEnd - 1);
    } else {
      ++givenUp;
      EXPECT_EQ(result, 0);
      EXPECT_EQ(blink.average(), previousAverage);
    }
    // Afterwards the detector works as before.
    Hits next = detect(blink, Shape{}.run(400, 20).run(-400, 20).run(0, 100));
    EXPECT_EQ(next, (Hits{{65, 50}}));
  }
  EXPECT_GT(evaluatedInside, 0);
  EXPECT_GT(givenUp, 0);
}

TEST(Blink, AnEndlessSecondLobeNeverReadsOutsideTheWindow) {
  // The markers keep falling (and wrap at 16 bits) while the lobe lasts.
  VLBlink blink;
  detect(blink, Shape{}.run(400, 20).run(-400, 70000).run(0, 40));
  EXPECT_EQ(blink.state(), 0u);
  Hits next = detect(blink, Shape{}.run(-400, 20).run(400, 20).run(0, 10));
  EXPECT_EQ(next, (Hits{{41, 50}}));
}

}  // namespace
}  // namespace velmora
