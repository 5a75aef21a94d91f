// The KLT corner detector: select then follow, reset, the shared context and
// feature list, and the mended size change.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "features/klt.h"
#include "processors/klt_corner_detector.h"
#include "tests/features/klt_test_texture.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

std::vector<CornerPoint> cornersOf(const KLTCornerDetector& d) {
    return std::vector<CornerPoint>(d.corners(), d.corners() + d.cornerCount());
}

bool same(const std::vector<CornerPoint>& a, const std::vector<CornerPoint>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].x != b[i].x || a[i].y != b[i].y) return false;
    return true;
}

}  // namespace

TEST(KLTCornerDetector, CreationPrintsItsContext) {
    CaptureStderr();
    KLTCornerDetector detector(78);
    const std::string text = GetCapturedStderr();
    EXPECT_EQ(KLTVerbosity(), 0);
    ASSERT_NE(KLTCornerDetector::currentContext(), nullptr);
    EXPECT_TRUE(KLTCornerDetector::currentContext()->sequentialMode);
    EXPECT_EQ(KLTCornerDetector::currentContext()->mindist, 10);
    EXPECT_EQ(KLTCornerDetector::currentFeatureList()->nFeatures(), 78);
    EXPECT_NE(text.find("\n\nTracking context:\n\n\tmindist = 10\n"), std::string::npos);
    EXPECT_NE(text.find("\tsequentialMode = TRUE\n"), std::string::npos);
    EXPECT_NE(text.find("\tpyramid_last = NULL\n"), std::string::npos);
    EXPECT_EQ(detector.cornerCount(), 0);
    EXPECT_EQ(detector.threshold(), 25);
    EXPECT_TRUE(detector.isTracker());
    EXPECT_TRUE(detector.selectNext());
}

TEST(KLTCornerDetector, SelectsOnceThenFollowsTheSameFeatures) {
    KLTCornerDetector detector(78);
    const auto blobs = klt_test::makeBlobs(kWidth, kHeight, 3);
    const auto frame0 = klt_test::renderBlobs(blobs, kWidth, kHeight);
    detector.detect(frame0.data(), kWidth, kHeight);
    EXPECT_EQ(detector.cornerCount(), 78);
    EXPECT_FALSE(detector.selectNext());
    const auto selected = cornersOf(detector);
    const KLTFeatureList& fl = *KLTCornerDetector::currentFeatureList();
    for (int i = 0; i < 78; ++i) {
        EXPECT_EQ(fl.feature[i].val, 0);
        EXPECT_EQ(selected[i].x, static_cast<int>(fl.feature[i].x));
    }

    // The picture moves by (+3.4, -2.2): entry i follows its feature.
    const auto frame1 = klt_test::renderBlobs(blobs, kWidth, kHeight, 3.4f, -2.2f);
    detector.detect(frame1.data(), kWidth, kHeight);
    EXPECT_EQ(detector.cornerCount(), 78);
    int followed = 0;
    for (int i = 0; i < 78; ++i) {
        if (fl.feature[i].val != 0) {
            EXPECT_EQ(detector.corners()[i].x, -1);
            EXPECT_EQ(detector.corners()[i].y, -1);
            continue;
        }
        ++followed;
        EXPECT_NEAR(fl.feature[i].x, selected[i].x + 3.4f, 0.15f) << i;
        EXPECT_NEAR(fl.feature[i].y, selected[i].y - 2.2f, 0.15f) << i;
        EXPECT_EQ(detector.corners()[i].x, static_cast<int>(fl.feature[i].x));
    }
    EXPECT_GT(followed, 70);
}

// What a selection on `frame` alone gives, straight from the library.
std::vector<CornerPoint> selectionOn(const std::vector<unsigned char>& frame) {
    auto tc = createTrackingContext();
    tc->mindist = 10;
    KLTFeatureList fl(78);
    selectGoodFeatures(*tc, frame.data(), kWidth, kHeight, fl);
    std::vector<CornerPoint> corners;
    for (const KLTFeature& f : fl.feature)
        corners.push_back({static_cast<int>(f.x), static_cast<int>(f.y)});
    return corners;
}

TEST(KLTCornerDetector, ResetSelectsAgainAndThresholdChangesNothing) {
    KLTSetVerbosity(0);
    const auto blobs = klt_test::makeBlobs(kWidth, kHeight, 4);
    const auto frame = klt_test::renderBlobs(blobs, kWidth, kHeight);
    const auto moved = klt_test::renderBlobs(blobs, kWidth, kHeight, 6.0f, 0.0f);
    KLTCornerDetector detector(78);
    detector.setThreshold(200);
    EXPECT_EQ(detector.threshold(), 200);
    detector.detect(frame.data(), kWidth, kHeight);
    EXPECT_TRUE(same(cornersOf(detector), selectionOn(frame)));

    detector.detect(moved.data(), kWidth, kHeight);  // followed, not selected
    EXPECT_FALSE(same(cornersOf(detector), selectionOn(moved)));
    detector.reset();
    EXPECT_TRUE(detector.selectNext());
    detector.detect(moved.data(), kWidth, kHeight);  // the stored frame is the same picture
    EXPECT_FALSE(detector.selectNext());
    EXPECT_TRUE(same(cornersOf(detector), selectionOn(moved)));
}

TEST(KLTCornerDetector, AfterResetNewFeaturesAreTrackedFromTheStoredFrame) {
    // The selection of a reset is followed from the previous frame into the new one;
    // from a flat previous frame hardly any of them can be followed.
    const auto frame = klt_test::texture(kWidth, kHeight, 14);
    std::vector<unsigned char> flat(kWidth * kHeight, 128);
    KLTCornerDetector detector(78);
    detector.detect(flat.data(), kWidth, kHeight);
    detector.reset();
    detector.detect(frame.data(), kWidth, kHeight);
    EXPECT_LT(countRemainingFeatures(*KLTCornerDetector::currentFeatureList()), 5);
}

TEST(KLTCornerDetector, FrameOfAnotherSizeSelectsAnewInsteadOfEnding) {
    const auto big = klt_test::texture(kWidth, kHeight, 5);
    const auto small = klt_test::texture(200, 150, 6);
    KLTCornerDetector detector(78);
    detector.detect(big.data(), kWidth, kHeight);
    detector.detect(small.data(), 200, 150);
    EXPECT_EQ(detector.cornerCount(), 78);
    const auto afterChange = cornersOf(detector);

    KLTCornerDetector fresh(78);
    fresh.detect(small.data(), 200, 150);
    EXPECT_TRUE(same(afterChange, cornersOf(fresh)));
    for (const CornerPoint& c : afterChange) {
        EXPECT_LT(c.x, 200);
        EXPECT_LT(c.y, 150);
    }
    // And back after a reset, at the first size again.
    fresh.reset();
    fresh.detect(big.data(), kWidth, kHeight);
    EXPECT_EQ(KLTCornerDetector::currentContext()->pyramid_last->ncols[0], kWidth);
}

TEST(KLTCornerDetector, SharedPairSurvivesSeveralDetectors) {
    const auto frame = klt_test::texture(kWidth, kHeight, 7);
    auto a = std::make_unique<KLTCornerDetector>(78);
    a->detect(frame.data(), kWidth, kHeight);
    const auto fromA = cornersOf(*a);

    // A new detector makes a fresh pair current; the tracking detector notices it
    // has nothing to track from and selects again instead of reading a dangling
    // or empty previous frame.
    auto b = std::make_unique<KLTCornerDetector>(78);
    EXPECT_EQ(KLTCornerDetector::currentContext()->pyramid_last, nullptr);
    a->detect(frame.data(), kWidth, kHeight);
    EXPECT_TRUE(same(fromA, cornersOf(*a)));
    b->detect(frame.data(), kWidth, kHeight);  // continues from a's frame
    EXPECT_EQ(b->cornerCount(), 78);

    b.reset();
    ASSERT_NE(KLTCornerDetector::currentContext(), nullptr);
    a->detect(frame.data(), kWidth, kHeight);
    EXPECT_TRUE(same(fromA, cornersOf(*a)));
    a.reset();
    EXPECT_EQ(KLTCornerDetector::currentContext(), nullptr);
    EXPECT_EQ(KLTCornerDetector::currentFeatureList(), nullptr);
}

TEST(KLTCornerDetector, CapacitiesAndBadFrames) {
    KLTCornerDetector big(100);
    KLTCornerDetector small(5);  // the list now has 5 features
    const auto frame = klt_test::texture(kWidth, kHeight, 8);
    big.detect(frame.data(), kWidth, kHeight);
    EXPECT_EQ(big.cornerCount(), 5);
    small.detect(frame.data(), kWidth, kHeight);
    EXPECT_EQ(small.cornerCount(), 5);

    KLTCornerDetector none(0);
    none.detect(frame.data(), kWidth, kHeight);
    EXPECT_EQ(none.cornerCount(), 0);

    KLTCornerDetector detector(78);
    std::vector<unsigned char> tiny(16, 50);
    detector.detect(tiny.data(), 4, 4);
    detector.detect(nullptr, 0, 0);
    detector.detect(tiny.data(), 4, 4);
    EXPECT_EQ(detector.cornerCount(), 78);
    for (int i = 0; i < 78; ++i) EXPECT_EQ(detector.corners()[i].x, -1);
}
