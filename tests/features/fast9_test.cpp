#include "features/fast9.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

// Internal linkage at global scope, so that argument-dependent lookup finds them.
static bool operator==(const CornerPoint& a, const CornerPoint& b) { return a.x == b.x && a.y == b.y; }
static void PrintTo(const CornerPoint& p, std::ostream* os) { *os << "(" << p.x << ", " << p.y << ")"; }

namespace {

// Circle in the documented order: (dx, dy), dy towards higher row indices.
constexpr int kCircle[16][2] = {{0, 3},  {1, 3},   {2, 2},   {3, 1},  {3, 0},  {3, -1},
                                {2, -2}, {1, -3},  {0, -3},  {-1, -3}, {-2, -2}, {-3, -1},
                                {-3, 0}, {-3, 1},  {-2, 2},  {-1, 3}};

enum State : uint8_t { kSimilar = 0, kBrighter = 1, kDarker = 2 };
using Config = std::array<uint8_t, 16>;

bool longestCyclicRunAtLeastNine(const std::array<bool, 16>& marked) {
    // Walk the circle twice so that runs crossing index 15 -> 0 are counted whole.
    int run = 0;
    for (int i = 0; i < 32; ++i) {
        run = marked[i % 16] ? run + 1 : 0;
        if (run >= 9) return true;
    }
    return false;
}

// The rule itself, written plainly: 9 contiguous brighter or 9 contiguous darker.
bool referenceIsCorner(const int values[16], int c, int t) {
    std::array<bool, 16> brighter{}, darker{};
    for (int i = 0; i < 16; ++i) {
        brighter[i] = int64_t{values[i]} > int64_t{c} + t;
        darker[i] = int64_t{values[i]} < int64_t{c} - t;
    }
    return longestCyclicRunAtLeastNine(brighter) || longestCyclicRunAtLeastNine(darker);
}

bool referenceIsCornerConfig(const Config& config) {
    std::array<bool, 16> brighter{}, darker{};
    for (int i = 0; i < 16; ++i) {
        brighter[i] = config[i] == kBrighter;
        darker[i] = config[i] == kDarker;
    }
    return longestCyclicRunAtLeastNine(brighter) || longestCyclicRunAtLeastNine(darker);
}

std::vector<CornerPoint> referenceDetect(const std::vector<uint8_t>& image, int w, int h, int t) {
    std::vector<CornerPoint> corners;
    for (int y = 3; y < h - 3; ++y) {
        for (int x = 3; x < w - 3; ++x) {
            int values[16];
            for (int i = 0; i < 16; ++i)
                values[i] = image[(y + kCircle[i][1]) * w + x + kCircle[i][0]];
            if (referenceIsCorner(values, image[y * w + x], t)) corners.push_back({x, y});
        }
    }
    return corners;
}

// Values for centre 100, threshold 20, chosen per pixel to cover the boundaries.
constexpr int kCentre = 100;
constexpr int kThreshold = 20;
constexpr int kBrighterValues[3] = {121, 200, 255};
constexpr int kDarkerValues[3] = {79, 40, 0};
constexpr int kSimilarValues[3] = {120, 100, 80};  // c + t and c - t are neither

// Lays configurations out as 7 x 7 tiles side by side in a 7-row image, so the
// only tested row runs through every tile centre, and reports which centres
// fast9Detect calls corners. This exercises the whole-image path, vector
// prefilter included, on every configuration.
std::vector<bool> detectTiles(const std::vector<Config>& configs, uint32_t salt) {
    const int w = 7 * static_cast<int>(configs.size());
    const int h = 7;
    std::vector<uint8_t> image(static_cast<std::size_t>(w) * h, kCentre);
    for (std::size_t n = 0; n < configs.size(); ++n) {
        const int cx = 7 * static_cast<int>(n) + 3;
        for (int i = 0; i < 16; ++i) {
            const uint32_t pick = (static_cast<uint32_t>(n) * 2654435761u + i * 40503u + salt) % 3;
            int value = kSimilarValues[pick];
            if (configs[n][i] == kBrighter) value = kBrighterValues[pick];
            if (configs[n][i] == kDarker) value = kDarkerValues[pick];
            image[(3 + kCircle[i][1]) * w + cx + kCircle[i][0]] = static_cast<uint8_t>(value);
        }
    }
    std::vector<CornerPoint> corners;
    fast9Detect(image.data(), w, h, kThreshold, corners);
    std::vector<bool> isCorner(configs.size(), false);
    for (const CornerPoint& p : corners)
        if (p.x % 7 == 3) isCorner[p.x / 7] = true;
    return isCorner;
}

void expectTilesAgreeWithRule(const std::vector<Config>& configs, uint32_t salt) {
    const std::vector<bool> found = detectTiles(configs, salt);
    for (std::size_t n = 0; n < configs.size(); ++n) {
        if (found[n] != referenceIsCornerConfig(configs[n])) {
            std::string states;
            for (uint8_t s : configs[n]) states += "sbd"[s];
            FAIL() << "configuration " << states << " (index 0 first): detector says "
                   << found[n];
        }
    }
}

Config configFromCode(uint64_t code, int base, uint8_t nonZero) {
    Config config{};
    for (int i = 0; i < 16; ++i) {
        const int digit = static_cast<int>(code % base);
        code /= base;
        config[i] = base == 2 ? (digit ? nonZero : uint8_t{kSimilar}) : static_cast<uint8_t>(digit);
    }
    return config;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(Fast9SegmentTest, AgreesWithRuleOnAllTwoStateConfigurations) {
    for (uint8_t state : {kBrighter, kDarker}) {
        std::vector<Config> batch;
        for (uint32_t code = 0; code < 65536; ++code) {
            batch.push_back(configFromCode(code, 2, state));
            if (batch.size() == 4096) {
                expectTilesAgreeWithRule(batch, code);
                batch.clear();
            }
        }
    }
}

TEST(Fast9SegmentTest, AgreesWithRuleOnTernaryConfigurations) {
    // Every one of the 3^16 configurations in the optimised build; a million
    // random ones in the (much slower) sanitizer build.
    constexpr uint64_t kAll = 43046721;
    std::mt19937_64 rng(7);
    const uint64_t total = kSanitized ? 1000000 : kAll;
    std::vector<Config> batch;
    for (uint64_t n = 0; n < total; ++n) {
        batch.push_back(configFromCode(kSanitized ? rng() % kAll : n, 3, 0));
        if (batch.size() == 8192 || n + 1 == total) {
            expectTilesAgreeWithRule(batch, static_cast<uint32_t>(n));
            if (HasFailure()) return;
            batch.clear();
        }
    }
}

// A 7 x 7 image whose centre has the given circle values.
std::vector<uint8_t> circleImage(int centre, const int values[16]) {
    std::vector<uint8_t> image(49, static_cast<uint8_t>(centre));
    for (int i = 0; i < 16; ++i)
        image[(3 + kCircle[i][1]) * 7 + 3 + kCircle[i][0]] = static_cast<uint8_t>(values[i]);
    return image;
}

bool centreIsCorner(const int values[16], int centre = kCentre, int t = kThreshold) {
    const std::vector<uint8_t> image = circleImage(centre, values);
    int count = -1;
    const std::vector<CornerPoint> corners = fast9Detect(image.data(), 7, 7, t, &count);
    EXPECT_EQ(count, static_cast<int>(corners.size()));
    EXPECT_EQ(fast9IsCorner(image.data() + 24, fastCircleOffsets(7), t), count == 1);
    return count == 1;
}

TEST(Fast9SegmentTest, ArcsOfEightAreNotCornersArcsOfNineAreInEveryRotation) {
    for (int value : {kCentre + kThreshold + 1, kCentre - kThreshold - 1}) {
        for (int length : {8, 9, 12, 16}) {
            for (int start = 0; start < 16; ++start) {
                int values[16];
                std::fill(values, values + 16, kCentre);
                for (int k = 0; k < length; ++k) values[(start + k) % 16] = value;
                EXPECT_EQ(centreIsCorner(values), length >= 9)
                    << "value " << value << " length " << length << " start " << start;
            }
        }
    }
}

TEST(Fast9SegmentTest, ArcWrappingFromTwelveToFourIsContiguous) {
    int values[16];
    std::fill(values, values + 16, kCentre);
    for (int i : {12, 13, 14, 15, 0, 1, 2, 3, 4}) values[i] = 255;
    EXPECT_TRUE(centreIsCorner(values));
    values[0] = kCentre;  // break the arc in the middle: two arcs of 4
    EXPECT_FALSE(centreIsCorner(values));
}

TEST(Fast9SegmentTest, ValuesAtCentrePlusOrMinusThresholdAreSimilar) {
    int values[16];
    std::fill(values, values + 16, kCentre + kThreshold);
    EXPECT_FALSE(centreIsCorner(values));
    std::fill(values, values + 16, kCentre - kThreshold);
    EXPECT_FALSE(centreIsCorner(values));
    std::fill(values, values + 16, kCentre + kThreshold + 1);
    EXPECT_TRUE(centreIsCorner(values));
}

TEST(Fast9SegmentTest, ThresholdBeyondPixelRangeIsExact) {
    int values[16];
    std::fill(values, values + 16, 255);
    EXPECT_TRUE(centreIsCorner(values, 0, 254));
    EXPECT_FALSE(centreIsCorner(values, 0, 255));
    EXPECT_FALSE(centreIsCorner(values, 0, INT_MAX));
    // Negative thresholds follow the same arithmetic: everything is brighter.
    std::fill(values, values + 16, 0);
    EXPECT_TRUE(centreIsCorner(values, 0, -1));
    EXPECT_TRUE(centreIsCorner(values, 200, INT_MIN));
}

TEST(Fast9Detect, UniformImageHasNoCorners) {
    const std::vector<uint8_t> image(33 * 29, 128);
    for (int t : {0, 1, 25, 128, 255, 256, INT_MAX}) {
        int count = -1;
        fast9Detect(image.data(), 33, 29, t, &count);
        EXPECT_EQ(count, 0) << "threshold " << t;
    }
}

TEST(Fast9Detect, SingleBrightPixelIsTheOnlyCorner) {
    std::vector<uint8_t> image(21 * 21, 0);
    image[10 * 21 + 10] = 255;
    int count = 0;
    const std::vector<CornerPoint> corners = fast9Detect(image.data(), 21, 21, 20, &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(corners[0], (CornerPoint{10, 10}));
    EXPECT_FALSE(fastNonmaxSuppression(image.data(), 21, 21, corners.data(), count, 20));
}

TEST(Fast9Detect, MatchesPlainDetectorOnRandomAndStructuredImagesOfOddSizes) {
    std::mt19937 rng(42);
    const int sizes[][2] = {{7, 7}, {8, 9}, {17, 9}, {23, 31}, {37, 19}, {101, 67}, {255, 7}, {7, 255}};
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1];
        std::vector<uint8_t> noise(static_cast<std::size_t>(w) * h);
        for (auto& v : noise) v = static_cast<uint8_t>(rng());
        // Blocks, a disc and a gentle ramp with mild noise: corners where shapes meet.
        std::vector<uint8_t> scene(noise.size());
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                int v = 60 + x / 2 + static_cast<int>(rng() % 7);
                if ((x / 9 + y / 7) % 3 == 0) v += 90;
                if ((x - w / 2) * (x - w / 2) + (y - h / 2) * (y - h / 2) < w * h / 12) v = 230;
                scene[y * w + x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
        }
        for (const auto* image : {&noise, &scene}) {
            for (int t : {-3, 0, 1, 5, 20, 40, 100, 254, 255, 300}) {
                std::vector<CornerPoint> corners;
                fast9Detect(image->data(), w, h, t, corners);
                EXPECT_EQ(corners, referenceDetect(*image, w, h, t))
                    << w << " x " << h << " threshold " << t;
            }
        }
    }
}

TEST(Fast9Detect, TinyAndEmptyImagesReadNothingOutside) {
    std::mt19937 rng(3);
    for (int h = 0; h <= 9; ++h) {
        for (int w = 0; w <= 9; ++w) {
            // Exactly w * h bytes, so the sanitizer build catches any read past them.
            std::vector<uint8_t> image(static_cast<std::size_t>(w) * h);
            for (auto& v : image) v = static_cast<uint8_t>(rng() % 2 ? 255 : 0);
            int count = -1;
            const std::vector<CornerPoint> corners =
                fast9Detect(image.empty() ? nullptr : image.data(), w, h, 10, &count);
            EXPECT_EQ(count, static_cast<int>(corners.size()));
            if (w <= 6 || h <= 6) {
                EXPECT_EQ(count, 0) << w << " x " << h;
            }
            EXPECT_EQ(corners, referenceDetect(image, w, h, 10));
            EXPECT_GE(corners.capacity(), kFastInitialCapacity);
        }
    }
    int count = -1;
    fast9Detect(nullptr, 100, 100, 10, &count);
    EXPECT_EQ(count, 0);
    fast9Detect(nullptr, -5, -5, 10, &count);
    EXPECT_EQ(count, 0);
}

TEST(Fast9Detect, ResultGrowsByDoublingFrom512) {
    // Isolated bright dots every 4 pixels: each dot is one corner.
    const int w = 4 * 40 + 7, h = 4 * 30 + 7;
    std::vector<uint8_t> image(static_cast<std::size_t>(w) * h, 0);
    for (int y = 4; y < h - 3; y += 4)
        for (int x = 4; x < w - 3; x += 4) image[y * w + x] = 255;
    int count = 0;
    const std::vector<CornerPoint> corners = fast9Detect(image.data(), w, h, 20, &count);
    ASSERT_GT(count, 1024);
    std::size_t expected = kFastInitialCapacity;
    while (expected < corners.size()) expected *= 2;
    EXPECT_EQ(corners.capacity(), expected);
    EXPECT_TRUE(std::is_sorted(corners.begin(), corners.end(), [](const auto& a, const auto& b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    }));
}

TEST(Fast9Score, SumsExcessOfTheLargerSide) {
    int values[16];
    std::fill(values, values + 16, 0);
    const std::vector<uint8_t> dot = circleImage(255, values);
    const FastCircleOffsets offsets = fastCircleOffsets(7);
    EXPECT_EQ(fast9Score(dot.data() + 24, offsets, 20), 16 * (235 - 0));

    // Centre 100, t 10: brighter 150 (x3) -> 3 * 40 = 120; darker 50 (x2) -> 2 * 40 = 80;
    // 110 and 90 sit on the bounds and count for neither.
    std::fill(values, values + 16, 100);
    values[0] = values[1] = values[2] = 150;
    values[8] = values[9] = 50;
    values[4] = 110;
    values[12] = 90;
    std::vector<uint8_t> mixed = circleImage(100, values);
    EXPECT_EQ(fast9Score(mixed.data() + 24, offsets, 10), 120);
    values[10] = values[11] = 0;  // darker now: 80 + 2 * 90 = 260
    mixed = circleImage(100, values);
    EXPECT_EQ(fast9Score(mixed.data() + 24, offsets, 10), 260);
}

TEST(Fast9Score, ExtremeThresholdsNeitherOverflowNorGoNegative) {
    int values[16];
    std::fill(values, values + 16, 0);
    const std::vector<uint8_t> image = circleImage(255, values);
    const FastCircleOffsets offsets = fastCircleOffsets(7);
    EXPECT_EQ(fast9Score(image.data() + 24, offsets, INT_MAX), 0);
    EXPECT_EQ(fast9Score(image.data() + 24, offsets, INT_MIN), INT_MAX);
}

// ---- Non-maximum suppression -------------------------------------------------

std::vector<CornerPoint> suppressScored(const std::vector<CornerPoint>& corners,
                                        const std::vector<int>& scores, int height,
                                        bool* returned = nullptr) {
    std::vector<CornerPoint> kept{{-1, -1}};  // marker: untouched when "none"
    std::vector<int> rowStart;
    const bool ok = fastNonmaxSuppressScored(corners.data(), scores.data(),
                                             static_cast<int>(corners.size()), height, kept,
                                             rowStart);
    if (returned != nullptr) *returned = ok;
    return kept;
}

TEST(FastNonmaxSuppression, FewerThanFiveCornersGiveNone) {
    bool ok = true;
    const std::vector<CornerPoint> kept =
        suppressScored({{3, 3}, {10, 3}, {20, 5}, {30, 9}}, {1, 1, 1, 1}, 20, &ok);
    EXPECT_FALSE(ok);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0], (CornerPoint{-1, -1}));
}

TEST(FastNonmaxSuppression, PeakOfARowSurvivesAndEndsAreDropped) {
    bool ok = false;
    EXPECT_EQ(suppressScored({{10, 5}, {11, 5}, {12, 5}, {13, 5}, {14, 5}}, {1, 2, 3, 2, 1}, 20, &ok),
              (std::vector<CornerPoint>{{12, 5}}));
    EXPECT_TRUE(ok);
    // Isolated corners: all kept except the first and the last in the list.
    EXPECT_EQ(suppressScored({{3, 3}, {10, 4}, {20, 6}, {30, 8}, {40, 10}}, {9, 1, 1, 1, 9}, 20),
              (std::vector<CornerPoint>{{10, 4}, {20, 6}, {30, 8}}));
}

TEST(FastNonmaxSuppression, EqualNeighboursAreBothKept) {
    EXPECT_EQ(suppressScored({{3, 3}, {20, 5}, {21, 5}, {40, 7}, {50, 9}}, {1, 7, 7, 1, 1}, 20),
              (std::vector<CornerPoint>{{20, 5}, {21, 5}, {40, 7}}));
}

TEST(FastNonmaxSuppression, RowsAboveAndBelowSuppressWithinOneColumn) {
    // (20, 6) has a stronger neighbour diagonally above and an equal one below;
    // (30, 6) has a stronger one two columns away only.
    const std::vector<CornerPoint> corners = {{3, 3},  {21, 5}, {32, 5}, {20, 6},
                                              {30, 6}, {20, 7}, {50, 9}};
    const std::vector<int> scores = {0, 5, 9, 4, 4, 4, 0};
    EXPECT_EQ(suppressScored(corners, scores, 20),
              (std::vector<CornerPoint>{{21, 5}, {32, 5}, {30, 6}, {20, 7}}));
    std::vector<int> belowStronger = scores;
    belowStronger[1] = 1;  // now only the corner below, (20, 7), may suppress (20, 6)
    belowStronger[5] = 8;
    EXPECT_EQ(suppressScored(corners, belowStronger, 20),
              (std::vector<CornerPoint>{{32, 5}, {30, 6}, {20, 7}}));
}

TEST(FastNonmaxSuppression, CornerRowOutsideImageGivesNone) {
    bool ok = true;
    suppressScored({{3, 3}, {4, 3}, {5, 3}, {6, 3}, {7, 25}}, {1, 1, 1, 1, 1}, 20, &ok);
    EXPECT_FALSE(ok);
    suppressScored({{3, -1}, {4, 3}, {5, 3}, {6, 3}, {7, 5}}, {1, 1, 1, 1, 1}, 20, &ok);
    EXPECT_FALSE(ok);
}

// The rule written as a quadratic search over all corners.
std::vector<CornerPoint> bruteForceSuppress(const std::vector<CornerPoint>& c,
                                            const std::vector<int>& s) {
    std::vector<CornerPoint> kept;
    const int n = static_cast<int>(c.size());
    for (int i = 1; i < n - 1; ++i) {
        bool suppressed = (c[i - 1].y == c[i].y && c[i - 1].x == c[i].x - 1 && s[i - 1] > s[i]) ||
                          (c[i + 1].y == c[i].y && c[i + 1].x == c[i].x + 1 && s[i + 1] > s[i]);
        for (int j = 0; j < n && !suppressed; ++j)
            suppressed = std::abs(c[j].y - c[i].y) == 1 && std::abs(c[j].x - c[i].x) <= 1 &&
                         s[j] > s[i];
        if (!suppressed) kept.push_back(c[i]);
    }
    return kept;
}

TEST(FastNonmaxSuppression, CursorSearchMatchesBruteForce) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 400; ++trial) {
        const int w = 5 + static_cast<int>(rng() % 40), h = 5 + static_cast<int>(rng() % 30);
        const unsigned density = 1 + rng() % 8;
        std::vector<CornerPoint> corners;
        std::vector<int> scores;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (rng() % 10 < density) {
                    corners.push_back({x, y});
                    scores.push_back(static_cast<int>(rng() % 6));
                }
        if (corners.size() < 5) continue;
        ASSERT_EQ(suppressScored(corners, scores, h), bruteForceSuppress(corners, scores))
            << "trial " << trial;
    }
}

TEST(FastNonmaxSuppression, ImageVersionScoresWithTheDetectionThreshold) {
    std::mt19937 rng(5);
    const int w = 61, h = 47;
    std::vector<uint8_t> image(static_cast<std::size_t>(w) * h);
    for (auto& v : image) v = static_cast<uint8_t>(rng());
    std::vector<CornerPoint> corners;
    fast9Detect(image.data(), w, h, 30, corners);
    ASSERT_GE(corners.size(), 5u);
    std::vector<int> scores;
    const FastCircleOffsets offsets = fastCircleOffsets(w);
    for (const CornerPoint& p : corners) scores.push_back(fast9Score(&image[p.y * w + p.x], offsets, 30));

    const auto kept = fastNonmaxSuppression(image.data(), w, h, corners.data(),
                                            static_cast<int>(corners.size()), 30);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(*kept, bruteForceSuppress(corners, scores));
    EXPECT_GE(kept->capacity(), corners.size());
}

TEST(FastNonmaxSuppression, CornersOutsideTheTestedInteriorGiveNone) {
    std::vector<uint8_t> image(20 * 20, 50);
    const std::vector<CornerPoint> corners = {{3, 3}, {4, 3}, {5, 3}, {6, 3}, {17, 16}};
    EXPECT_FALSE(fastNonmaxSuppression(image.data(), 20, 20, corners.data(), 5, 20));
    EXPECT_FALSE(fastNonmaxSuppression(nullptr, 20, 20, corners.data(), 5, 20));
    EXPECT_FALSE(fastNonmaxSuppression(image.data(), 20, 20, nullptr, 5, 20));
}

}  // namespace
