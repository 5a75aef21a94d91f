// Golden outputs of the per-frame kernels on committed, integer-generated
// pictures. The kernels may be made faster, but every output stays bit for bit
// what these tests pin: a 64-bit hash of the whole result and a few literal values.
// The hashes of the generated pictures are pinned too, so a failure points at
// the kernel, not at the generator.

#include "features/canny.h"
#include "features/fast9.h"
#include "features/klt.h"
#include "tests/support/textured_picture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using castellan_test::Fnv1a64;
using castellan_test::texturedPicture;
using Bytes = std::vector<unsigned char>;

uint64_t hashBytes(const Bytes& bytes) {
    Fnv1a64 hash;
    hash.addBytes(bytes.data(), bytes.size());
    return hash.value();
}

uint64_t hashCorners(const std::vector<CornerPoint>& corners) {
    Fnv1a64 hash;
    for (const CornerPoint& p : corners) {
        hash.add(p.x);
        hash.add(p.y);
    }
    return hash.value();
}

uint64_t hashFeatures(const KLTFeatureList& fl) {
    Fnv1a64 hash;
    for (const KLTFeature& f : fl.feature) {
        hash.add(f.x);
        hash.add(f.y);
        hash.add(f.val);
    }
    return hash.value();
}

// Sizes: a common frame, and an odd one whose rows do not fill whole vectors.
struct Picture {
    int width;
    int height;
    Bytes pixels;
};

Picture picture(int width, int height, uint32_t seed, int shiftX = 0, int shiftY = 0) {
    return {width, height, texturedPicture(width, height, seed, shiftX, shiftY)};
}

TEST(GoldenPictures, GeneratorIsStable) {
    EXPECT_EQ(hashBytes(picture(320, 240, 1).pixels), 0x1e1c52168689c2cULL);
    EXPECT_EQ(hashBytes(picture(333, 199, 7).pixels), 0xecfabcd8e3f80f4eULL);
    EXPECT_EQ(hashBytes(picture(320, 240, 1, 5, -3).pixels), 0x82951acfa93e5904ULL);
    const Picture p = picture(320, 240, 1);
    EXPECT_EQ(p.pixels[0], 41);
    EXPECT_EQ(p.pixels[120 * 320 + 160], 210);
}

// --- FAST-9 -------------------------------------------------------------------------

struct FastGolden {
    int width, height;
    uint32_t seed;
    int threshold;
    std::size_t count;
    uint64_t hash;
    CornerPoint first, last;
};

class GoldenFast : public ::testing::TestWithParam<FastGolden> {};

TEST_P(GoldenFast, SegmentTestCornersAreUnchanged) {
    const FastGolden& g = GetParam();
    const Picture p = picture(g.width, g.height, g.seed);
    int count = -1;
    const std::vector<CornerPoint> corners =
        fast9Detect(p.pixels.data(), p.width, p.height, g.threshold, &count);
    ASSERT_EQ(corners.size(), g.count);
    EXPECT_EQ(count, static_cast<int>(g.count));
    EXPECT_EQ(hashCorners(corners), g.hash);
    ASSERT_FALSE(corners.empty());
    EXPECT_EQ(corners.front().x, g.first.x);
    EXPECT_EQ(corners.front().y, g.first.y);
    EXPECT_EQ(corners.back().x, g.last.x);
    EXPECT_EQ(corners.back().y, g.last.y);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, GoldenFast,
    ::testing::Values(FastGolden{320, 240, 1, 20, 8700, 0xa68046eb581f02d6ULL, {24, 3}, {285, 236}},
                      FastGolden{333, 199, 7, 20, 7317, 0xd6f6389ebd933589ULL, {34, 3}, {329, 195}},
                      FastGolden{333, 199, 7, 9, 21039, 0xebf2c2af4cae6d3cULL, {24, 3}, {329, 195}},
                      FastGolden{640, 480, 3, 40, 5658, 0xee5829813fc6aadbULL, {33, 3}, {281, 476}}));

TEST(GoldenFastSuppression, SurvivorsAndScoresAreUnchanged) {
    const Picture p = picture(333, 199, 7);
    const std::vector<CornerPoint> corners = fast9Detect(p.pixels.data(), p.width, p.height, 20, nullptr);
    const auto kept = fastNonmaxSuppression(p.pixels.data(), p.width, p.height, corners.data(),
                                            static_cast<int>(corners.size()), 20);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->size(), 1253u);
    EXPECT_EQ(hashCorners(*kept), 0xce96f1957ed011b0ULL);

    Fnv1a64 scores;
    const FastCircleOffsets offsets = fastCircleOffsets(p.width);
    for (const CornerPoint& c : corners)
        scores.add(fast9Score(p.pixels.data() + c.y * p.width + c.x, offsets, 20));
    EXPECT_EQ(scores.value(), 0x6e1a1863ac399a6fULL);
}

// --- Canny ---------------------------------------------------------------------------

struct CannyGolden {
    int width, height;
    uint32_t seed;
    float sigma;
    uint64_t strengthHash;
    uint64_t edgeHash;
    std::size_t edgeCount;
};

class GoldenCanny : public ::testing::TestWithParam<CannyGolden> {};

TEST_P(GoldenCanny, EdgeStrengthAndHysteresisAreUnchanged) {
    const CannyGolden& g = GetParam();
    const Picture p = picture(g.width, g.height, g.seed);
    ImageHandle source = createImage(p.width, p.height, kColorSpaceGrey, kImageByte);
    ImageHandle strength = createImage(p.width, p.height, kColorSpaceGrey, kImageByte);
    ImageHandle edges = createImage(p.width, p.height, kColorSpaceBinary, kImageByte);
    ASSERT_TRUE(source && strength && edges);
    std::memcpy(source->planes[0], p.pixels.data(), p.pixels.size());

    CannyWorkspace workspace;
    ASSERT_TRUE(cannyEdges(*source, *strength, g.sigma, workspace));
    ASSERT_TRUE(hysteresisThreshold(*strength, *edges, 30, 60, workspace));
    const Bytes strengthBytes(strength->planes[0], strength->planes[0] + strength->count);
    const Bytes edgeBytes(edges->planes[0], edges->planes[0] + edges->count);
    EXPECT_EQ(hashBytes(strengthBytes), g.strengthHash);
    EXPECT_EQ(hashBytes(edgeBytes), g.edgeHash);
    std::size_t edgeCount = 0;
    for (unsigned char v : edgeBytes) edgeCount += v;
    EXPECT_EQ(edgeCount, g.edgeCount);

    // A second call with the warm workspace gives the same bytes.
    ASSERT_TRUE(cannyEdges(*source, *strength, g.sigma, workspace));
    EXPECT_EQ(Bytes(strength->planes[0], strength->planes[0] + strength->count), strengthBytes);
}

INSTANTIATE_TEST_SUITE_P(Pictures, GoldenCanny,
                         ::testing::Values(CannyGolden{320, 240, 1, 1.0f, 0xb4976578a2871b7cULL, 0x2a841324db90b20ULL, 9459},
                                           CannyGolden{333, 199, 7, 1.0f, 0xf83754b75baae42dULL, 0xc5d935c6ead420fULL, 6876},
                                           CannyGolden{333, 199, 7, 2.5f, 0xf6a1be82d7ccb350ULL, 0x5d2f36a1446a7f49ULL, 6922},
                                           CannyGolden{97, 61, 5, 0.6f, 0x4e5fccb3984b084eULL, 0xb06c675f2895462aULL, 907}));

// --- KLT -----------------------------------------------------------------------------------

std::unique_ptr<KLTTrackingContext> detectorContext() {
    KLTSetVerbosity(0);
    auto tc = createTrackingContext();
    tc->sequentialMode = true;
    tc->mindist = 10;
    return tc;
}

struct SelectGolden {
    int width, height;
    uint32_t seed;
    uint64_t hash;
    int found;
    float firstX, firstY;
    int firstVal;
};

class GoldenSelect : public ::testing::TestWithParam<SelectGolden> {};

TEST_P(GoldenSelect, SelectedFeaturesAreUnchanged) {
    const SelectGolden& g = GetParam();
    const Picture p = picture(g.width, g.height, g.seed);
    auto tc = detectorContext();
    auto fl = createFeatureList(78);
    selectGoodFeatures(*tc, p.pixels.data(), p.width, p.height, *fl);
    EXPECT_EQ(hashFeatures(*fl), g.hash);
    EXPECT_EQ(countRemainingFeatures(*fl), g.found);
    EXPECT_EQ(fl->feature[0].x, g.firstX);
    EXPECT_EQ(fl->feature[0].y, g.firstY);
    EXPECT_EQ(fl->feature[0].val, g.firstVal);

    // Selecting again with the context's warm buffers changes nothing.
    selectGoodFeatures(*tc, p.pixels.data(), p.width, p.height, *fl);
    EXPECT_EQ(hashFeatures(*fl), g.hash);
}

INSTANTIATE_TEST_SUITE_P(Pictures, GoldenSelect,
                         ::testing::Values(SelectGolden{320, 240, 1, 0xf2de4b8d19a94986ULL, 78, 254, 203, 14959},
                                           SelectGolden{333, 199, 7, 0x71531e7d833f9a04ULL, 78, 209, 112, 16093},
                                           SelectGolden{640, 480, 3, 0xb94b00961946f4b0ULL, 78, 139, 228, 18133}));

// Selection, then six sequential steps along a path of quarter-pixel shifts, as
// the KLT detector runs them; every step's feature list is pinned.
TEST(GoldenTrack, SequentialTrackingIsUnchanged) {
    constexpr int kWidth = 320;
    constexpr int kHeight = 240;
    const int shifts[][2] = {{0, 0}, {5, -3}, {9, -7}, {16, -8}, {19, -4}, {27, 2}, {30, 9}};
    const uint64_t golden[] = {0xd6a8cb9f69ef5acdULL, 0xe97420d57c0a2f7dULL, 0xcb22216515ae6a51ULL,
                               0x0a140412f8642d07ULL, 0x4581a28f4ee51604ULL, 0xf62208be2af1aeeeULL,
                               0x703181153bc872d9ULL};
    const int remaining[] = {78, 76, 76, 75, 74, 74, 74};

    auto tc = detectorContext();
    auto fl = createFeatureList(78);
    for (int step = 0; step < 7; ++step) {
        const Picture p = picture(kWidth, kHeight, 11, shifts[step][0], shifts[step][1]);
        if (step == 0) {
            selectGoodFeatures(*tc, p.pixels.data(), kWidth, kHeight, *fl);
            KLTTrackFeatures(*tc, p.pixels.data(), p.pixels.data(), kWidth, kHeight, *fl);
        } else {
            KLTTrackFeatures(*tc, nullptr, p.pixels.data(), kWidth, kHeight, *fl);
        }
        EXPECT_EQ(hashFeatures(*fl), golden[step]) << "step " << step;
        EXPECT_EQ(countRemainingFeatures(*fl), remaining[step]) << "step " << step;
    }
    EXPECT_EQ(fl->feature[0].x, 0x1.739162p+5f);
    EXPECT_EQ(fl->feature[0].y, 0x1.6cf004p+6f);
    EXPECT_EQ(fl->feature[1].x, 0x1.ccf4eap+7f);
    EXPECT_EQ(fl->feature[1].y, 0x1.c11404p+6f);
}

// Two-image (non-sequential) tracking on a larger frame with a bigger jump.
TEST(GoldenTrack, PairTrackingIsUnchanged) {
    const Picture a = picture(640, 480, 3);
    const Picture b = picture(640, 480, 3, 14, -10);
    KLTSetVerbosity(0);
    auto tc = createTrackingContext();
    tc->mindist = 10;
    auto fl = createFeatureList(78);
    selectGoodFeatures(*tc, a.pixels.data(), a.width, a.height, *fl);
    KLTTrackFeatures(*tc, a.pixels.data(), b.pixels.data(), a.width, a.height, *fl);
    EXPECT_EQ(hashFeatures(*fl), 0x87fc68267fb2ead0ULL);
    EXPECT_EQ(countRemainingFeatures(*fl), 78);
}

}  // namespace
