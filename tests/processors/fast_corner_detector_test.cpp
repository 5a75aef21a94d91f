#include "processors/fast_corner_detector.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Isolated bright dots on black, `spacing` apart, starting at (5, 5): each dot
// is exactly one corner and survives suppression unless first or last.
Bytes dotImage(int w, int h, int spacing, int maxDots, std::vector<CornerPoint>* dots = nullptr) {
    Bytes image(static_cast<std::size_t>(w) * h, 0);
    int placed = 0;
    for (int y = 5; y < h - 4 && placed < maxDots; y += spacing)
        for (int x = 5; x < w - 4 && placed < maxDots; x += spacing, ++placed) {
            image[y * w + x] = 255;
            if (dots != nullptr) dots->push_back({x, y});
        }
    return image;
}

TEST(FASTCornerDetector, FreshDetectorHasDefaults) {
    FASTCornerDetector detector(100);
    EXPECT_EQ(detector.threshold(), 25);
    EXPECT_EQ(detector.cornerCount(), 0);
    EXPECT_EQ(detector.capacity(), 100);
    EXPECT_FALSE(detector.isTracker());
    EXPECT_EQ(detector.corners()[99].x, 0);  // the list starts zero-filled
}

TEST(FASTCornerDetector, KeepsTheFirstCapacitySurvivorsInRasterOrder) {
    const int w = 100, h = 50;
    std::vector<CornerPoint> dots;
    const Bytes image = dotImage(w, h, 5, 152, &dots);
    ASSERT_EQ(dots.size(), 152u);  // 150 survive: the first and last never do

    FASTCornerDetector detector(100);
    const CornerPoint* list = detector.corners();
    detector.detect(image.data(), w, h);
    ASSERT_EQ(detector.cornerCount(), 100);
    EXPECT_EQ(detector.corners(), list);  // the list never moves
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(list[i].x, dots[i + 1].x) << i;
        EXPECT_EQ(list[i].y, dots[i + 1].y) << i;
    }

    FASTCornerDetector roomy(500);
    roomy.detect(image.data(), w, h);
    EXPECT_EQ(roomy.cornerCount(), 150);
}

TEST(FASTCornerDetector, OneToFourCornersCountAsNone) {
    const int w = 60, h = 40;
    const Bytes many = dotImage(w, h, 6, 30);
    FASTCornerDetector detector(100);
    detector.detect(many.data(), w, h);
    ASSERT_GT(detector.cornerCount(), 0);
    for (int dots = 1; dots <= 4; ++dots) {
        const Bytes few = dotImage(w, h, 6, dots);
        detector.detect(few.data(), w, h);
        EXPECT_EQ(detector.cornerCount(), 0) << dots << " dots";
    }
}

TEST(FASTCornerDetector, ResetChangesNothingAndThresholdWaitsForTheNextFrame) {
    std::mt19937 rng(12);
    const int w = 80, h = 60;
    Bytes image(static_cast<std::size_t>(w) * h);
    for (auto& v : image) v = static_cast<unsigned char>(rng());

    FASTCornerDetector plain(100), withReset(100);
    plain.detect(image.data(), w, h);
    withReset.detect(image.data(), w, h);
    withReset.reset();
    withReset.detect(image.data(), w, h);
    ASSERT_EQ(plain.cornerCount(), withReset.cornerCount());
    for (int i = 0; i < plain.cornerCount(); ++i) {
        EXPECT_EQ(plain.corners()[i].x, withReset.corners()[i].x);
        EXPECT_EQ(plain.corners()[i].y, withReset.corners()[i].y);
    }

    const int before = plain.cornerCount();
    ASSERT_GT(before, 0);
    plain.setThreshold(200);
    EXPECT_EQ(plain.threshold(), 200);
    EXPECT_EQ(plain.cornerCount(), before);
    plain.detect(image.data(), w, h);
    EXPECT_LT(plain.cornerCount(), before);
}

TEST(FASTCornerDetector, TinyEmptyAndMissingImagesGiveNoCorners) {
    FASTCornerDetector detector(10);
    for (int h = 0; h <= 8; ++h)
        for (int w = 0; w <= 8; ++w) {
            Bytes image(static_cast<std::size_t>(w) * h, 0);
            for (std::size_t i = 0; i < image.size(); i += 3) image[i] = 255;
            detector.detect(image.empty() ? nullptr : image.data(), w, h);
            EXPECT_EQ(detector.cornerCount(), 0) << w << " x " << h;
        }
    detector.detect(nullptr, 640, 480);
    EXPECT_EQ(detector.cornerCount(), 0);
    for (int t : {0, 255, 100000, -100000}) {
        const Bytes dots = dotImage(40, 40, 6, 25);
        detector.setThreshold(t);
        detector.detect(dots.data(), 40, 40);
        EXPECT_GE(detector.cornerCount(), 0);
        EXPECT_LE(detector.cornerCount(), detector.capacity());
    }
}

TEST(FASTCornerDetector, DeletesCleanlyThroughTheInterface) {
    std::unique_ptr<CornerDetector> detector = std::make_unique<FASTCornerDetector>(78);
    const Bytes image = dotImage(60, 60, 6, 40);
    detector->detect(image.data(), 60, 60);
    EXPECT_EQ(detector->cornerCount(), 38);
}

}  // namespace
