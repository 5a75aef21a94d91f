// Good-feature selection: candidates, the quicksort's order, the minimum
// distance rule, the acceptance threshold and odd contexts.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "features/float_kernels.h"
#include "features/klt.h"
#include "tests/features/klt_test_texture.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

void expectEmpty(const KLTFeature& f) {
    EXPECT_EQ(f.x, -1.0f);
    EXPECT_EQ(f.y, -1.0f);
    EXPECT_EQ(f.val, -1);
}

// Bright squares on grey, far apart: each gives one cluster of good candidates.
std::vector<unsigned char> spots(int count) {
    std::vector<unsigned char> img(kWidth * kHeight, 100);
    for (int i = 0; i < count; ++i) {
        const int cx = 40 + (i % 6) * 48;
        const int cy = 50 + (i / 6) * 60;
        for (int y = cy - 2; y <= cy + 2; ++y)
            for (int x = cx - 2; x <= cx + 2; ++x) img[y * kWidth + x] = 220;
    }
    return img;
}

}  // namespace

TEST(KLTSelect, ConstantImageGivesOnlyEmptyFeatures) {
    auto tc = createTrackingContext();
    auto fl = createFeatureList(20);
    std::vector<unsigned char> img(kWidth * kHeight, 77);
    selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
    for (const KLTFeature& f : fl->feature) expectEmpty(f);
}

TEST(KLTSelect, CandidatesCoverTheImageInsideTheBorder) {
    auto tc = createTrackingContext();
    tc->mindist = 0;
    auto fl = createFeatureList(kWidth * kHeight);
    const auto img = klt_test::texture(kWidth, kHeight, 5);
    selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
    int minX = kWidth, maxX = -1, minY = kHeight, maxY = -1, count = 0;
    for (const KLTFeature& f : fl->feature) {
        if (f.val < 0) continue;
        ++count;
        minX = std::min(minX, int(f.x));
        maxX = std::max(maxX, int(f.x));
        minY = std::min(minY, int(f.y));
        maxY = std::max(maxY, int(f.y));
    }
    EXPECT_EQ(minX, 24);
    EXPECT_EQ(maxX, 295);
    EXPECT_EQ(minY, 24);
    EXPECT_EQ(maxY, 215);
    EXPECT_LE(count, 272 * 192);
    EXPECT_GT(count, 272 * 192 * 9 / 10);
}

TEST(KLTSelect, FeaturesAreOrderedByValueAndKeptApart) {
    auto tc = createTrackingContext();
    auto fl = createFeatureList(78);
    const auto img = klt_test::texture(kWidth, kHeight, 11);
    selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
    ASSERT_EQ(countRemainingFeatures(*fl), 78);
    for (int i = 1; i < 78; ++i) EXPECT_GE(fl->feature[i - 1].val, fl->feature[i].val);
    for (int i = 0; i < 78; ++i)
        for (int j = i + 1; j < 78; ++j) {
            const float dx = std::abs(fl->feature[i].x - fl->feature[j].x);
            const float dy = std::abs(fl->feature[i].y - fl->feature[j].y);
            EXPECT_TRUE(dx >= 10 || dy >= 10) << i << " and " << j;
        }
}

TEST(KLTSelect, TwelveAcceptableOfSeventyEight) {
    auto tc = createTrackingContext();
    auto fl = createFeatureList(78);
    const auto img = spots(12);
    selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
    EXPECT_EQ(countRemainingFeatures(*fl), 12);
    for (int i = 0; i < 12; ++i) EXPECT_GE(fl->feature[i].val, 1);
    for (int i = 12; i < 78; ++i) expectEmpty(fl->feature[i]);
}

TEST(KLTSelect, QuicksortOrderOfEqualValues) {
    // Worked through by hand from the partition steps.
    std::vector<KLTCandidate> c;
    for (int i = 0; i < 5; ++i) c.push_back({i, 0, 7});
    sortPointList(c.data(), 5);
    const int expected[5] = {3, 4, 2, 0, 1};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c[i].x, expected[i]) << i;
}

TEST(KLTSelect, QuicksortSortsDecreasingAndKeepsEveryEntry) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> value(0, 20);
    for (int n : {0, 1, 2, 3, 17, 1000}) {
        std::vector<KLTCandidate> c;
        for (int i = 0; i < n; ++i) c.push_back({i, -i, value(rng)});
        std::vector<KLTCandidate> sorted = c;
        sortPointList(sorted.data(), n);
        for (int i = 1; i < n; ++i) EXPECT_GE(sorted[i - 1].val, sorted[i].val);
        std::vector<int> ids;
        for (const auto& s : sorted) {
            EXPECT_EQ(s.val, c[s.x].val);
            ids.push_back(s.x);
        }
        std::sort(ids.begin(), ids.end());
        for (int i = 0; i < n; ++i) EXPECT_EQ(ids[i], i);
    }
}

namespace {

// The quicksort exactly as its steps are written, one entry at a time.
void referenceQuicksort(KLTCandidate* c, int n) {
    while (n > 1) {
        std::swap(c[0], c[n / 2]);
        const int pivot = c[0].val;
        int i = 0, j = n;
        for (;;) {
            do --j;
            while (c[j].val < pivot);
            do ++i;
            while (i < j && c[i].val > pivot);
            if (i >= j) break;
            std::swap(c[i], c[j]);
        }
        std::swap(c[j], c[0]);
        if (j < n - j - 1) {
            referenceQuicksort(c, j);
            c += j + 1;
            n -= j + 1;
        } else {
            referenceQuicksort(c + j + 1, n - j - 1);
            n = j;
        }
    }
}

}  // namespace

// Equal keys are where a faster partition could order entries differently:
// lists of a few distinct values, long enough to be partitioned block by block.
TEST(KLTSelect, QuicksortPlacesEqualValuesAsTheStepsDo) {
    std::mt19937 rng(8);
    for (int distinct : {1, 2, 3, 50}) {
        for (int n : {63, 64, 65, 128, 129, 300, 4099}) {
            std::uniform_int_distribution<int> value(0, distinct - 1);
            std::vector<KLTCandidate> c;
            for (int i = 0; i < n; ++i) c.push_back({i, 0, value(rng)});
            std::vector<KLTCandidate> expected = c;
            referenceQuicksort(expected.data(), n);
            sortPointList(c.data(), n);
            for (int i = 0; i < n; ++i)
                ASSERT_EQ(c[i].x, expected[i].x) << "distinct " << distinct << " n " << n << " at " << i;
        }
    }
}

TEST(KLTSelect, NegativeMindistBecomesZeroWithAWarning) {
    auto tc = createTrackingContext();
    tc->mindist = -5;
    auto fl = createFeatureList(10);
    const auto img = klt_test::texture(kWidth, kHeight, 11);
    KLTSetVerbosity(0);
    CaptureStderr();
    selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
    EXPECT_EQ(GetCapturedStderr(),
              "KLT Warning: (_KLTSelectGoodFeatures) Tracking context field tc->mindist is "
              "negative (-5); setting to zero\n");
    EXPECT_EQ(tc->mindist, 0);
    EXPECT_EQ(countRemainingFeatures(*fl), 10);
}

TEST(KLTSelect, MinimumDistanceAndThreshold) {
    // Sorted candidates: two close ones, one far, one too weak.
    const KLTCandidate candidates[] = {{10, 10, 50}, {14, 10, 40}, {30, 30, 30}, {50, 50, 0}};
    auto fl = createFeatureList(4);
    enforceMinimumDistance(candidates, 4, *fl, 64, 64, 5, 0);  // threshold 1
    EXPECT_EQ(fl->feature[0].x, 10.0f);
    EXPECT_EQ(fl->feature[0].val, 50);
    EXPECT_EQ(fl->feature[1].x, 30.0f);  // (14, 10) lies within 4 of (10, 10)
    expectEmpty(fl->feature[2]);
    expectEmpty(fl->feature[3]);
    EXPECT_EQ(fl->feature[0].aff_Axx, 1.0f);

    enforceMinimumDistance(candidates, 4, *fl, 64, 64, 4, -3);
    EXPECT_EQ(fl->feature[1].x, 14.0f);  // 4 apart is enough for mindist 4
    enforceMinimumDistance(candidates, 4, *fl, 64, 64, 0, 35);
    EXPECT_EQ(fl->feature[1].x, 14.0f);
    expectEmpty(fl->feature[2]);

    // Candidates outside the image are skipped, never written to the map.
    const KLTCandidate outside[] = {{-3, 5, 9}, {64, 5, 9}, {5, 5, 9}};
    enforceMinimumDistance(outside, 3, *fl, 64, 64, 10, 1);
    EXPECT_EQ(fl->feature[0].x, 5.0f);
    expectEmpty(fl->feature[1]);
}

TEST(KLTSelect, FeatureMapSquareIsClippedAtTheImage) {
    std::vector<unsigned char> map(8 * 6, 0);
    fillFeatureMap(1, 4, map.data(), 2, 8, 6);
    int set = 0;
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            const bool inSquare = x <= 3 && y >= 2;
            EXPECT_EQ(map[y * 8 + x], inSquare ? 1 : 0) << x << "," << y;
            set += map[y * 8 + x];
        }
    EXPECT_EQ(set, 16);
    std::vector<unsigned char> none(16, 0);
    fillFeatureMap(2, 2, none.data(), -1, 4, 4);
    EXPECT_EQ(std::count(none.begin(), none.end(), 1), 0);
    fillFeatureMap(2, 2, none.data(), 2147483646, 4, 4);
    EXPECT_EQ(std::count(none.begin(), none.end(), 1), 16);
}

TEST(KLTSelect, OddContextsAndTinyImagesNeverCrash) {
    const auto img = klt_test::texture(kWidth, kHeight, 2);
    {
        auto tc = createTrackingContext();
        tc->window_width = 4;
        auto fl = createFeatureList(5);
        KLTSetVerbosity(0);
        CaptureStderr();
        selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
        EXPECT_EQ(GetCapturedStderr(),
                  "KLT Warning: Tracking context's window width must be odd.  Changing to 5.\n\n");
        EXPECT_EQ(tc->window_width, 5);
        EXPECT_EQ(countRemainingFeatures(*fl), 5);
    }
    {
        auto tc = createTrackingContext();
        tc->nSkippedPixels = 1000000;
        auto fl = createFeatureList(5);
        selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
        EXPECT_EQ(countRemainingFeatures(*fl), 1);  // only (24, 24) is rated
        EXPECT_EQ(fl->feature[0].x, 24.0f);
        tc->nSkippedPixels = -7;  // would never advance
        selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
        EXPECT_EQ(countRemainingFeatures(*fl), 5);
        tc->nSkippedPixels = 2147483647;
        selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
        EXPECT_EQ(countRemainingFeatures(*fl), 1);
    }
    for (int size : {0, 1, 5, 30, 48}) {
        auto tc = createTrackingContext();
        auto fl = createFeatureList(3);
        std::vector<unsigned char> small(static_cast<size_t>(size) * size + 1, 0);
        for (size_t i = 0; i < small.size(); ++i) small[i] = static_cast<unsigned char>(i * 37);
        selectGoodFeatures(*tc, small.data(), size, size, *fl);
        for (const KLTFeature& f : fl->feature) expectEmpty(f);  // all inside the border
    }
    auto tc = createTrackingContext();
    auto fl = createFeatureList(3);
    selectGoodFeatures(*tc, nullptr, 100, 100, *fl);
    selectGoodFeatures(*tc, img.data(), -4, 100, *fl);
    for (const KLTFeature& f : fl->feature) expectEmpty(f);
}

TEST(KLTSelect, VerboseProgressLines) {
    auto tc = createTrackingContext();
    auto fl = createFeatureList(4);
    const auto img = klt_test::texture(kWidth, kHeight, 2);
    KLTSetVerbosity(1);
    CaptureStderr();
    selectGoodFeatures(*tc, img.data(), kWidth, kHeight, *fl);
    const std::string text = GetCapturedStderr();
    KLTSetVerbosity(0);
    EXPECT_EQ(text, "(KLT) Selecting the 4 best features from a 320 by 240 image...  \n\t4 features found.\n");
}

// Eigenvalues are taken in float where that is safe: every trackability value
// (the truncated eigenvalue) must be the one of the double formula, also for
// matrices whose eigenvalue lies just off an integer, near 0 or beyond 2^22.
TEST(KLTSelectEigenvalues, TruncateAsTheDoubleFormula) {
    std::mt19937 random(17);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> gxx, gxy, gyy;
    for (const float size : {1e-3f, 1.0f, 300.0f, 1e5f, 5e6f, 1e8f}) {
        for (int k = 0; k < 4000; ++k) {
            const float a = size * unit(random);
            const float b = size * unit(random);
            // Near-singular matrices: gxy^2 close to gxx * gyy, the eigenvalue near 0.
            const float c = (k % 2 ? 1.0f : unit(random)) * std::sqrt(a * b) * (k % 3 ? 1.0f : -1.0f);
            gxx.push_back(a);
            gxy.push_back(c);
            gyy.push_back(b);
        }
    }
    // Diagonal matrices put the eigenvalue exactly on integers and one float off.
    for (float v = 1.0f; v < 1e7f; v *= 1.7f) {
        const float n = std::floor(v);
        for (const float e : {std::nextafter(n, 0.0f), n, std::nextafter(n, 2 * n + 1)}) {
            gxx.push_back(e);
            gxy.push_back(0.0f);
            gyy.push_back(e + 1.0f);
        }
    }
    const int count = static_cast<int>(gxx.size());
    std::vector<float> lambda(gxx.size());
    float_kernels::smallerEigenvalues(gxx.data(), gxy.data(), gyy.data(), count, lambda.data());
    for (int i = 0; i < count; ++i) {
        const double a = gxx[i], b = gyy[i], c = gxy[i];
        const float exact = static_cast<float>((a + b - std::sqrt((a - b) * (a - b) + 4.0 * c * c)) / 2.0);
        ASSERT_EQ(static_cast<int64_t>(lambda[i]), static_cast<int64_t>(exact))
            << gxx[i] << " " << gxy[i] << " " << gyy[i];
    }
}
