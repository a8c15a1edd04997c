#include "ui/framework/scroll_physics.h"

#include <gtest/gtest.h>

#include <cmath>

#include "ui/framework/base_window.h"

namespace zul {
namespace {

// Content of 1000 rows in a view of 400: resting offsets run from -600 to 0.
const ScrollBounds kBounds = ScrollBounds::For(1000, 400);

TEST(ScrollPhysics, BoundsOfShortContentAllowOnlyTheTop) {
    EXPECT_EQ(ScrollBounds::For(300, 400).lowest, 0);
    EXPECT_EQ(kBounds.lowest, -600);
    EXPECT_EQ(kBounds.Overshoot(25), 25);
    EXPECT_EQ(kBounds.Overshoot(-610), -10);
    EXPECT_EQ(kBounds.Overshoot(-300), 0);
}

TEST(ScrollPhysics, DragBeyondABoundIsDampedAndTruncated) {
    ScrollPhysics physics(140.0);
    int offset = 0;
    EXPECT_EQ(physics.Drag(offset, 30, kBounds), 30);  // from the bound itself: full step
    EXPECT_EQ(physics.Drag(offset, 30, kBounds), 21);  // now past the top: 0.7
    EXPECT_EQ(physics.Drag(offset, 7, kBounds), 4);    // 4.9 truncated
    EXPECT_EQ(offset, 55);
    EXPECT_EQ(physics.DragDistance(), 55);
}

TEST(ScrollPhysics, ReleaseWithinTheWindowFlingsAndCoastsDown) {
    const ScrollBounds tall = ScrollBounds::For(10000, 400);
    ScrollPhysics physics(140.0);
    int offset = -300;
    physics.Drag(offset, -50, tall);
    physics.Release(100);
    EXPECT_DOUBLE_EQ(physics.Speed(), -50 * 140.0 / 100);
    EXPECT_EQ(physics.DragDistance(), 0);

    double speed = physics.Speed();
    int expected = offset;
    int ticks = 0;
    while (physics.Tick(offset, tall)) {
        speed *= 0.92;
        if (std::fabs(speed) >= 1) expected += static_cast<int>(speed);
        EXPECT_EQ(offset, expected);
        ASSERT_LT(++ticks, 1000);
    }
    EXPECT_GT(ticks, 30);
    EXPECT_FALSE(physics.Moving());
    EXPECT_EQ(physics.Speed(), 0.0);
}

TEST(ScrollPhysics, ReleaseAtOrAfterTheWindowOrAtOnceDoesNotFling) {
    for (uint32_t elapsed : {500u, 501u, 2000u, 0u}) {
        ScrollPhysics physics(140.0);
        int offset = -300;
        physics.Drag(offset, -50, kBounds);
        physics.Release(elapsed);
        EXPECT_EQ(physics.Speed(), 0.0) << elapsed;
        EXPECT_FALSE(physics.Tick(offset, kBounds));
        EXPECT_EQ(offset, -350);
    }
}

TEST(ScrollPhysics, OvershootSpringsBackNinetyPercentPerTickAndStopsAtTheBound) {
    ScrollPhysics physics(140.0);
    int offset = 200;
    std::vector<int> seen;
    while (physics.Tick(offset, kBounds)) seen.push_back(offset);
    seen.push_back(offset);
    EXPECT_EQ(seen, (std::vector<int>{20, 2, 1, 0}));

    offset = -700;  // 100 past the bottom
    seen.clear();
    while (physics.Tick(offset, kBounds)) seen.push_back(offset);
    seen.push_back(offset);
    EXPECT_EQ(seen, (std::vector<int>{-610, -601, -600}));
}

TEST(ScrollPhysics, FlingPastTheBoundLosesSpeedFastThenSpringsBack) {
    ScrollPhysics physics(140.0);
    int offset = -590;
    physics.Drag(offset, -5, kBounds);
    physics.Release(10);  // speed -70
    int ticks = 0;
    int furthest = offset;
    while (physics.Tick(offset, kBounds)) {
        furthest = std::min(furthest, offset);
        ASSERT_LT(++ticks, 200);
    }
    EXPECT_LT(furthest, -600);
    EXPECT_EQ(offset, -600);
}

TEST(ScrollPhysics, AnimatedDistanceMovesFourTenthsRoundedAwayFromZero) {
    ScrollPhysics physics(140.0);
    int offset = 0;
    physics.Animate(-10);
    std::vector<int> seen;
    while (physics.Remaining() != 0) {
        physics.Tick(offset, kBounds);
        seen.push_back(offset);
    }
    EXPECT_EQ(seen, (std::vector<int>{-4, -7, -9, -10}));
    EXPECT_FALSE(physics.Tick(offset, kBounds));
}

TEST(KeyPairing, SecondPressWithin250MsPairsAndAThirdPairsAgain) {
    KeyPairing pairing;
    EXPECT_FALSE(pairing.KeyDown('A', 1000));
    EXPECT_TRUE(pairing.KeyDown('A', 1249));
    EXPECT_TRUE(pairing.KeyDown('A', 1400));
    EXPECT_FALSE(pairing.KeyDown('A', 1650));  // 250 ms after the previous: too late
}

TEST(KeyPairing, ADifferentKeyInBetweenResetsThePair) {
    KeyPairing pairing;
    EXPECT_FALSE(pairing.KeyDown('A', 1000));
    EXPECT_FALSE(pairing.KeyDown('B', 1050));
    EXPECT_FALSE(pairing.KeyDown('A', 1100));
    EXPECT_TRUE(pairing.KeyDown('A', 1150));
}

TEST(KeyPairing, PrefixCodesAreNeverRemembered) {
    KeyPairing pairing;
    EXPECT_FALSE(pairing.KeyDown('A', 1000));
    EXPECT_FALSE(pairing.KeyDown(KeyPairing::kDpadPrefix, 1010));
    EXPECT_FALSE(pairing.KeyDown(KeyPairing::kActionPrefix, 1020));
    EXPECT_FALSE(pairing.KeyDown(KeyPairing::kRockerPrefix, 1030));
    EXPECT_TRUE(pairing.KeyDown('A', 1040));  // the prefixes did not break the pair
    EXPECT_FALSE(pairing.KeyDown(KeyPairing::kActionPrefix, 5000));
    EXPECT_FALSE(pairing.KeyDown(KeyPairing::kActionPrefix, 5010));
}

TEST(KeyPairing, TickWrapAroundStillMeasuresTheGap) {
    KeyPairing pairing;
    EXPECT_FALSE(pairing.KeyDown('A', 0xFFFFFFF0u));
    EXPECT_TRUE(pairing.KeyDown('A', 0x20u));  // 48 ms later, across the wrap
    EXPECT_FALSE(pairing.KeyDown('A', 0x20u + 250));
}

}  // namespace
}  // namespace zul
