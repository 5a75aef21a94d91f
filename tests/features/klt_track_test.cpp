// Feature tracking: loss codes and their precedence, border cases, accuracy on
// shifted pictures, sequential mode and the mended size change.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "features/klt.h"
#include "tests/features/klt_test_texture.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

std::unique_ptr<KLTFeatureList> featuresAt(std::initializer_list<std::pair<float, float>> points) {
    auto fl = createFeatureList(static_cast<int>(points.size()));
    int i = 0;
    for (const auto& p : points) {
        fl->feature[i].x = p.first;
        fl->feature[i].y = p.second;
        fl->feature[i].val = 0;
        ++i;
    }
    return fl;
}

struct Tally {
    int inside = 0;    // features whose true destination lies inside the border
    int tracked = 0;   // of those, tracked (val 0)
    int accurate = 0;  // of those, within 0.1 pixel of the truth
};

// Selects on the texture, tracks into the texture moved by (dx, dy) and compares
// with the known displacement. `searchRange` > 0 sets up the pyramid for it.
void trackShift(uint32_t seed, float dx, float dy, float textureScale, float searchRange,
                int levels, Tally& tally) {
    KLTSetVerbosity(0);
    const auto blobs = klt_test::makeBlobs(kWidth, kHeight, seed, textureScale);
    const auto first = klt_test::renderBlobs(blobs, kWidth, kHeight);
    const auto second = klt_test::renderBlobs(blobs, kWidth, kHeight, dx, dy);
    auto tc = createTrackingContext();
    if (searchRange > 0) KLTChangeTCPyramid(*tc, searchRange);
    if (levels > 0) tc->nPyramidLevels = levels;
    KLTUpdateTCBorder(*tc);
    auto fl = createFeatureList(78);
    selectGoodFeatures(*tc, first.data(), kWidth, kHeight, *fl);
    const auto selected = fl->feature;
    KLTTrackFeatures(*tc, first.data(), second.data(), kWidth, kHeight, *fl);
    const float border = static_cast<float>(tc->borderx);
    for (int i = 0; i < fl->nFeatures(); ++i) {
        const float tx = selected[i].x + dx;
        const float ty = selected[i].y + dy;
        if (selected[i].val < 0 || tx < border || tx > kWidth - 1 - border || ty < border ||
            ty > kHeight - 1 - border)
            continue;
        ++tally.inside;
        if (fl->feature[i].val != 0) continue;
        ++tally.tracked;
        if (std::abs(fl->feature[i].x - tx) < 0.1f && std::abs(fl->feature[i].y - ty) < 0.1f)
            ++tally.accurate;
    }
}

KLTFloatImage floatImage(int n, float (*f)(int, int)) {
    KLTFloatImage img = KLTCreateFloatImage(n, n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) img.at(x, y) = f(x, y);
    return img;
}

}  // namespace

TEST(KLTTrack, ImageAgainstItselfKeepsFeaturesInPlaceOutsideTheBorder) {
    KLTSetVerbosity(0);
    const auto img = klt_test::texture(kWidth, kHeight, 21);
    auto tc = createTrackingContext();
    auto fl = featuresAt({{30, 100}, {24, 100}, {23, 100}, {295, 120}, {296, 120},
                          {150.5f, 24}, {150, 23.5f}, {160, 215}, {160, 216}});
    KLTTrackFeatures(*tc, img.data(), img.data(), kWidth, kHeight, *fl);
    const int expected[] = {0, 0, -4, 0, -4, 0, -4, 0, -4};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(fl->feature[i].val, expected[i]) << i;
    EXPECT_EQ(fl->feature[0].x, 30.0f);
    EXPECT_EQ(fl->feature[0].y, 100.0f);
    EXPECT_EQ(fl->feature[5].x, 150.5f);
    EXPECT_EQ(fl->feature[2].x, -1.0f);
    EXPECT_EQ(fl->feature[2].y, -1.0f);
}

TEST(KLTTrack, FlatRegionHasSmallDeterminant) {
    KLTSetVerbosity(0);
    std::vector<unsigned char> flat(kWidth * kHeight, 90);
    auto tc = createTrackingContext();
    auto fl = featuresAt({{100, 100}});
    KLTTrackFeatures(*tc, flat.data(), flat.data(), kWidth, kHeight, *fl);
    EXPECT_EQ(fl->feature[0].val, -2);
    EXPECT_EQ(fl->feature[0].x, -1.0f);
}

TEST(KLTTrack, ConvergingOnTheLastAllowedIterationCountsAsTooMany) {
    KLTSetVerbosity(0);
    const auto img = klt_test::texture(kWidth, kHeight, 21);
    auto tc = createTrackingContext();
    tc->max_iterations = 1;  // the first step (0) ends the loop on its last iteration
    auto fl = featuresAt({{100, 100}, {200, 150}});
    KLTTrackFeatures(*tc, img.data(), img.data(), kWidth, kHeight, *fl);
    EXPECT_EQ(fl->feature[0].val, -3);
    EXPECT_EQ(fl->feature[1].val, -3);

    tc->max_iterations = 2;
    fl = featuresAt({{100, 100}});
    KLTTrackFeatures(*tc, img.data(), img.data(), kWidth, kHeight, *fl);
    EXPECT_EQ(fl->feature[0].val, 0);

    tc->max_iterations = 0;
    fl = featuresAt({{100, 100}});
    KLTTrackFeatures(*tc, img.data(), img.data(), kWidth, kHeight, *fl);
    EXPECT_EQ(fl->feature[0].val, -3);
}

TEST(KLTTrack, LargeResidueWhenTheWindowsDifferEverywhere) {
    // Gradients whose window sums vanish make the step 0: converged at once, yet the
    // intensities differ by 50 everywhere.
    const auto img1 = floatImage(21, [](int x, int y) { return float((x * 5 + y * 3) % 40); });
    KLTFloatImage img2 = img1;
    for (float& v : img2.data) v += 50.0f;
    const auto gx = floatImage(21, [](int x, int) { return float(x % 7 - 3); });
    const auto gy = floatImage(21, [](int, int y) { return float(y % 7 - 3); });
    KLTTrackParams params;
    float x2 = 10.0f, y2 = 10.0f;
    EXPECT_EQ(trackFeature(10, 10, x2, y2, img1, gx, gy, img2, params), -5);
    EXPECT_EQ(x2, 10.0f);

    params.max_residue = 60.0f;
    x2 = 10.0f;
    y2 = 10.0f;
    EXPECT_EQ(trackFeature(10, 10, x2, y2, img1, gx, gy, img2, params), 0);

    // Out of bounds wins over everything: window reaching column 20 > 21 - 1.000001.
    x2 = 17.5f;
    y2 = 10.0f;
    EXPECT_EQ(trackFeature(10, 10, x2, y2, img1, gx, gy, img2, params), -4);
    const KLTFloatImage zero = floatImage(21, [](int, int) { return 0.0f; });
    x2 = 10.0f;
    EXPECT_EQ(trackFeature(10, 10, x2, y2, img1, zero, zero, img2, params), -2);
    x2 = NAN;
    EXPECT_EQ(trackFeature(10, 10, x2, y2, img1, gx, gy, img2, params), -4);
}

TEST(KLTTrack, LostAndEmptyFeaturesAreUntouched) {
    KLTSetVerbosity(0);
    const auto img = klt_test::texture(kWidth, kHeight, 21);
    auto tc = createTrackingContext();
    auto fl = featuresAt({{100, 100}, {120, 130}, {140, 90}});
    fl->feature[1].val = -1;
    fl->feature[2].val = -3;
    KLTTrackFeatures(*tc, img.data(), img.data(), kWidth, kHeight, *fl);
    EXPECT_EQ(fl->feature[0].val, 0);
    EXPECT_EQ(fl->feature[1].val, -1);
    EXPECT_EQ(fl->feature[1].x, 120.0f);
    EXPECT_EQ(fl->feature[2].val, -3);
    EXPECT_EQ(fl->feature[2].y, 90.0f);
}

// Features are tracked several at a time; each must come out exactly as when
// tracked alone, whatever the batch holds: counts that do not fill the last
// batch, lost features between live ones, and neighbours that leave the image
// or stop early while the others go on.
class KLTTrackBatch : public testing::TestWithParam<int> {};

TEST_P(KLTTrackBatch, EachFeatureAsWhenTrackedAlone) {
    KLTSetVerbosity(0);
    const auto blobs = klt_test::makeBlobs(kWidth, kHeight, 5, 2.0f);
    const auto first = klt_test::renderBlobs(blobs, kWidth, kHeight);
    const auto second = klt_test::renderBlobs(blobs, kWidth, kHeight, 6.2f, -4.1f);
    const auto track = [&](KLTFeatureList& fl) {
        auto tc = createTrackingContext();
        KLTChangeTCPyramid(*tc, 20.0f);
        KLTUpdateTCBorder(*tc);
        KLTTrackFeatures(*tc, first.data(), second.data(), kWidth, kHeight, fl);
    };
    const int count = GetParam();
    auto all = createFeatureList(count);
    for (int i = 0; i < count; ++i) {
        // Spread over the image, borders included; every fourth one lost.
        all->feature[i] = {static_cast<float>(i * 37 % kWidth), static_cast<float>((i * 53 + 11) % kHeight),
                           i % 4 == 2 ? -1 : 0};
    }
    const auto before = all->feature;
    track(*all);
    std::set<int> outcomes;
    for (int i = 0; i < count; ++i) {
        auto alone = createFeatureList(1);
        alone->feature[0] = before[i];
        track(*alone);
        EXPECT_EQ(all->feature[i].x, alone->feature[0].x) << i;
        EXPECT_EQ(all->feature[i].y, alone->feature[0].y) << i;
        EXPECT_EQ(all->feature[i].val, alone->feature[0].val) << i;
        outcomes.insert(all->feature[i].val);
    }
    if (count > 8) {
        EXPECT_GE(outcomes.size(), 3u);  // tracked, lost before and lost now
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, KLTTrackBatch, testing::Values(1, 7, 9, 17, 40));

TEST(KLTTrackAccuracy, SubPixelShiftsWithinATenthOfAPixel) {
    Tally tally;
    for (uint32_t seed : {7u, 8u, 9u})
        for (auto [dx, dy] : {std::pair{0.35f, -0.6f}, std::pair{-0.8f, 0.25f}, std::pair{1.5f, 2.7f}})
            trackShift(seed, dx, dy, 1.0f, 0.0f, 0, tally);
    std::printf("sub-pixel shifts: %d inside, %d tracked, %d within 0.1 px\n", tally.inside, tally.tracked,
                tally.accurate);
    EXPECT_GT(tally.inside, 500);
    EXPECT_GE(tally.tracked, tally.inside * 98 / 100);
    EXPECT_GE(tally.accurate, tally.tracked * 99 / 100);
}

// Large motions converge only from the coarse level: with the pyramid set up for a
// 20-pixel search range nearly every feature lands within 0.1 pixel (the odd one
// locks onto a similar patch, as the window comparison allows); without levels
// most are lost or misplaced.
TEST(KLTTrackAccuracy, ShiftsUpToTwentyPixelsNeedThePyramid) {
    const std::pair<float, float> shifts[] = {{-20.0f, 3.3f}, {6.2f, 18.9f}, {14.4f, -13.7f}, {0.0f, -20.0f}};
    Tally withPyramid;
    Tally singleLevel;
    for (uint32_t seed : {1u, 2u, 3u})
        for (auto [dx, dy] : shifts) {
            trackShift(seed, dx, dy, 2.0f, 20.0f, 0, withPyramid);
            trackShift(seed, dx, dy, 2.0f, 20.0f, 1, singleLevel);
        }
    std::printf("20-pixel shifts: %d inside, %d tracked, %d within 0.1 px\n", withPyramid.inside,
                withPyramid.tracked, withPyramid.accurate);
    EXPECT_GT(withPyramid.inside, 300);
    EXPECT_GE(withPyramid.tracked, withPyramid.inside * 85 / 100);
    EXPECT_GE(withPyramid.accurate, withPyramid.tracked * 95 / 100);
    EXPECT_LT(singleLevel.accurate, singleLevel.inside * 2 / 5);
}

TEST(KLTTrackSequential, StoredPyramidsGiveTheSameResultsAsExplicitFrames) {
    KLTSetVerbosity(0);
    const auto blobs = klt_test::makeBlobs(kWidth, kHeight, 31);
    std::vector<std::vector<unsigned char>> frames;
    for (int i = 0; i < 4; ++i)
        frames.push_back(klt_test::renderBlobs(blobs, kWidth, kHeight, 1.3f * i, -0.7f * i));

    auto seq = createTrackingContext();
    seq->sequentialMode = true;
    auto seqList = createFeatureList(78);
    selectGoodFeatures(*seq, frames[0].data(), kWidth, kHeight, *seqList);
    auto plainList = std::make_unique<KLTFeatureList>(*seqList);
    KLTTrackFeatures(*seq, frames[0].data(), frames[0].data(), kWidth, kHeight, *seqList);
    ASSERT_NE(seq->pyramid_last, nullptr);
    EXPECT_NE(seq->pyramid_last_gradx, nullptr);
    EXPECT_NE(seq->pyramid_last_grady, nullptr);

    auto plain = createTrackingContext();
    KLTTrackFeatures(*plain, frames[0].data(), frames[0].data(), kWidth, kHeight, *plainList);
    for (int i = 1; i < 4; ++i) {
        KLTTrackFeatures(*seq, nullptr, frames[i].data(), kWidth, kHeight, *seqList);
        KLTTrackFeatures(*plain, frames[i - 1].data(), frames[i].data(), kWidth, kHeight, *plainList);
        EXPECT_EQ(plain->pyramid_last, nullptr);
        for (int f = 0; f < 78; ++f) {
            EXPECT_EQ(seqList->feature[f].x, plainList->feature[f].x) << "frame " << i;
            EXPECT_EQ(seqList->feature[f].y, plainList->feature[f].y) << "frame " << i;
            EXPECT_EQ(seqList->feature[f].val, plainList->feature[f].val) << "frame " << i;
        }
    }
    EXPECT_GT(countRemainingFeatures(*seqList), 60);
}

TEST(KLTTrackSequential, FrameOfAnotherSizeDropsTheStoredImageInsteadOfEnding) {
    KLTSetVerbosity(0);
    const auto big = klt_test::texture(kWidth, kHeight, 41);
    const auto small = klt_test::texture(160, 120, 42);
    auto tc = createTrackingContext();
    tc->sequentialMode = true;
    auto fl = featuresAt({{60, 50}, {250, 200}});
    KLTTrackFeatures(*tc, big.data(), big.data(), kWidth, kHeight, *fl);
    ASSERT_EQ(fl->feature[0].val, 0);

    CaptureStderr();
    KLTTrackFeatures(*tc, nullptr, small.data(), 160, 120, *fl);
    EXPECT_EQ(GetCapturedStderr(),
              "KLT Warning: (KLTTrackFeatures) Size of incoming image (160 by 120) is different "
              "from size of previous image (320 by 240); the previous image is dropped\n\n");
    ASSERT_NE(tc->pyramid_last, nullptr);
    EXPECT_EQ(tc->pyramid_last->ncols[0], 160);
    EXPECT_EQ(tc->pyramid_last->nrows[0], 120);
    EXPECT_EQ(fl->feature[0].val, 0);  // tracked against the new frame itself
    EXPECT_EQ(fl->feature[1].val, -4);  // beyond the new frame

    // The pyramid shape changed under a stored image: dropped, not overrun.
    tc->nPyramidLevels = 3;
    tc->subsampling = 2;
    fl = featuresAt({{80, 60}});
    KLTTrackFeatures(*tc, nullptr, small.data(), 160, 120, *fl);
    EXPECT_EQ(tc->pyramid_last->nLevels, 3);
}

TEST(KLTTrack, BadInputNeverCrashes) {
    KLTSetVerbosity(0);
    const auto img = klt_test::texture(kWidth, kHeight, 51);
    for (int size : {0, 1, 2, 5, 20}) {
        auto tc = createTrackingContext();
        auto fl = featuresAt({{0, 0}, {1, 1}, {float(size), 2}, {1e9f, -1e9f}, {NAN, 3}});
        std::vector<unsigned char> tiny(static_cast<size_t>(size) * size + 1, 200);
        KLTTrackFeatures(*tc, tiny.data(), tiny.data(), size, size, *fl);
        for (const KLTFeature& f : fl->feature) EXPECT_EQ(f.val, -4) << size;
    }
    auto tc = createTrackingContext();
    tc->nPyramidLevels = 0;
    tc->window_width = 6;
    tc->window_height = 1;
    auto fl = featuresAt({{100, 100}, {319, 239}, {-5, 10}});
    CaptureStderr();
    KLTTrackFeatures(*tc, img.data(), img.data(), kWidth, kHeight, *fl);
    EXPECT_EQ(GetCapturedStderr(),
              "KLT Warning: Tracking context's window width must be odd.  Changing to 7.\n\n"
              "KLT Warning: Tracking context's window height must be at least three.  \n"
              "Changing to 3.\n\n");
    EXPECT_EQ(fl->feature[0].val, 0);
    EXPECT_EQ(fl->feature[1].val, -4);
    EXPECT_EQ(fl->feature[2].val, -4);

    // No first image and nothing stored: the frame is tracked against itself.
    fl = featuresAt({{100, 100}});
    KLTTrackFeatures(*tc, nullptr, img.data(), kWidth, kHeight, *fl);
    EXPECT_EQ(fl->feature[0].val, 0);
    KLTTrackFeatures(*tc, img.data(), nullptr, kWidth, kHeight, *fl);
    EXPECT_EQ(fl->feature[0].val, -4);
}

TEST(KLTTrack, VerboseLinesAndInternalImages) {
    const auto img = klt_test::texture(kWidth, kHeight, 61);
    auto tc = createTrackingContext();
    tc->writeInternalImages = true;
    auto fl = featuresAt({{100, 100}, {5, 5}});
    fl->feature[1].val = -1;

    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(testing::TempDir().c_str()), 0);
    KLTSetVerbosity(1);
    CaptureStderr();
    KLTTrackFeatures(*tc, img.data(), img.data(), kWidth, kHeight, *fl);
    const std::string text = GetCapturedStderr();
    KLTSetVerbosity(0);
    int files = 0;
    for (const char* name : {"kltimg_tf_i0.pgm", "kltimg_tf_i0_gx.pgm", "kltimg_tf_i1_gy.pgm",
                             "kltimg_tf_j0.pgm", "kltimg_tf_j1.pgm", "kltimg_tf_j1_gy.pgm"})
        if (std::FILE* f = std::fopen(name, "rb")) {
            ++files;
            std::fclose(f);
        }
    for (const char* prefix : {"i", "j"})
        for (int level = 0; level < 2; ++level)
            for (const char* suffix : {"", "_gx", "_gy"})
                std::remove(("kltimg_tf_" + std::string(prefix) + std::to_string(level) + suffix + ".pgm").c_str());
    ASSERT_EQ(chdir(previous), 0);

    EXPECT_EQ(files, 6);
    EXPECT_EQ(text,
              "(KLT) Tracking 1 features in a 320 by 240 image...  \n\t1 features successfully "
              "tracked.\n\tWrote images to 'kltimg_tf*.pgm'.\n");
}
