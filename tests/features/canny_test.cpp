#include "features/canny.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

ImageHandle greyImage(int w, int h, const Bytes& pixels = {}) {
    ImageHandle image = createImage(w, h, kColorSpaceGrey, kImageByte);
    EXPECT_TRUE(image);
    if (!pixels.empty()) std::memcpy(image->planes[0], pixels.data(), pixels.size());
    return image;
}

ImageHandle binaryImage(int w, int h) { return createImage(w, h, kColorSpaceBinary, kImageByte); }

Bytes contents(const ImageRecord& image) {
    return Bytes(image.planes[0], image.planes[0] + image.count);
}

Bytes randomBytes(int w, int h, std::mt19937& rng, int modulo = 256) {
    Bytes pixels(static_cast<std::size_t>(w) * h);
    for (auto& v : pixels) v = static_cast<unsigned char>(rng() % modulo);
    return pixels;
}

int mod(int i, int n) { return ((i % n) + n) % n; }

// The edge-strength computation written straight from its formulas, with
// modulo indexing everywhere.
Bytes referenceCanny(const Bytes& in, int w, int h, float sigma) {
    const CannyKernels k = makeCannyKernels(sigma);
    const int W = k.width;
    auto I = [&](int x, int y) { return static_cast<int>(in[mod(y, h) * w + mod(x, w)]); };
    std::vector<float> smx(in.size()), smy(in.size()), gx(in.size()), gy(in.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float sx = k.gau[0] * static_cast<float>(I(x, y));
            float sy = k.gau[0] * static_cast<float>(I(x, y));
            for (int t = 1; t < W; ++t) {
                sx += k.gau[t] * static_cast<float>(I(x + t, y) + I(x - t, y));
                sy += k.gau[t] * static_cast<float>(I(x, y + t) + I(x, y - t));
            }
            smx[y * w + x] = sx;
            smy[y * w + x] = sy;
        }
    float M = 0.0f;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float dx = 0.0f, dy = 0.0f;
            for (int t = 1; t < W; ++t) {
                dx += k.dgau[t] * (smx[y * w + mod(x - t, w)] - smx[y * w + mod(x + t, w)]);
                dy += k.dgau[t] * (smy[mod(y - t, h) * w + x] - smy[mod(y + t, h) * w + x]);
            }
            gx[y * w + x] = dx;
            gy[y * w + x] = dy;
            M = std::max({M, dx, dy});
        }
    const float S = M > 0 ? 255.0f / (M * 1.4142f) : INFINITY;
    auto G = [&](int x, int y) {
        const float a = gx[y * w + x], b = gy[y * w + x];
        return std::sqrt(a * a + b * b);
    };
    Bytes out(in.size(), 0);
    for (int y = 1; y <= h - 2; ++y)
        for (int x = 1; x <= w - 2; ++x) {
            const float a = gx[y * w + x], b = gy[y * w + x];
            if (std::fabs(a) < 0.01 && std::fabs(b) < 0.01) continue;
            float r, g1, g2, g3, g4;
            if (std::fabs(a) < std::fabs(b)) {
                r = std::fabs(a) / std::fabs(b);
                g2 = G(x, y - 1);
                g4 = G(x, y + 1);
                g1 = a * b > 0 ? G(x - 1, y - 1) : G(x + 1, y - 1);
                g3 = a * b > 0 ? G(x + 1, y + 1) : G(x - 1, y + 1);
            } else {
                r = std::fabs(b) / std::fabs(a);
                g2 = G(x + 1, y);
                g4 = G(x - 1, y);
                g1 = a * b > 0 ? G(x + 1, y + 1) : G(x + 1, y - 1);
                g3 = a * b > 0 ? G(x - 1, y - 1) : G(x - 1, y + 1);
            }
            const float g = G(x, y);
            if (g > r * g1 + (1 - r) * g2 && g > r * g3 + (1 - r) * g4)
                out[y * w + x] = S * g > 255 ? 255 : static_cast<unsigned char>(S * g);
        }
    return out;
}

// Hysteresis as repeated raster passes until nothing changes.
Bytes referenceHysteresis(const Bytes& s, int w, int h, int lower, int upper) {
    Bytes d(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) d[i] = s[i] > upper ? 1 : (s[i] > lower ? 2 : 0);
    bool changed = h > 2;
    while (changed) {
        changed = false;
        for (int y = 1; y <= h - 2; ++y)
            for (int x = 1; x <= w - 2; ++x) {
                if (d[y * w + x] != 2) continue;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        if (d[(y + dy) * w + x + dx] == 1 && d[y * w + x] == 2) {
                            d[y * w + x] = 1;
                            changed = true;
                        }
            }
    }
    for (auto& v : d)
        if (v == 2) v = 0;
    return d;
}

Bytes runCanny(const Bytes& in, int w, int h, float sigma) {
    ImageHandle src = greyImage(w, h, in);
    ImageHandle dst = greyImage(w, h);
    EXPECT_TRUE(cannyEdges(*src, *dst, sigma));
    return contents(*dst);
}

Bytes runHysteresis(const Bytes& in, int w, int h, int lower, int upper) {
    ImageHandle src = greyImage(w, h, in);
    ImageHandle dst = binaryImage(w, h);
    EXPECT_TRUE(hysteresisThreshold(*src, *dst, lower, upper));
    return contents(*dst);
}

TEST(CannyKernels, WidthFollowsTheCut) {
    const CannyKernels one = makeCannyKernels(1.0f);
    ASSERT_EQ(one.width, 4);
    EXPECT_NEAR(one.gau[0], (2 * std::exp(-0.125) + 1) / 3, 1e-6);
    EXPECT_NEAR(one.gau[1], (std::exp(-1.125) + std::exp(-0.5) + std::exp(-0.125)) / 3, 1e-6);
    EXPECT_EQ(one.dgau[0], 0.0f);
    EXPECT_NEAR(one.dgau[1], -std::exp(-0.5), 1e-6);
    EXPECT_NEAR(one.dgau[3], -3 * std::exp(-4.5), 1e-6);  // no 1 / sigma^2 factor

    const int w30 = makeCannyKernels(30.0f).width;
    EXPECT_GT(w30, 90);
    EXPECT_LT(w30, 100);
    EXPECT_EQ(makeCannyKernels(31.0f).width, 1);  // no tap below the cut in 100
    EXPECT_EQ(makeCannyKernels(128.0f).width, 1);
    EXPECT_EQ(makeCannyKernels(0.0f).width, 1);
    EXPECT_EQ(makeCannyKernels(-2.0f).width, 1);
    EXPECT_EQ(makeCannyKernels(std::nanf("")).width, 1);
    EXPECT_TRUE(std::isfinite(makeCannyKernels(0.0f).gau[0]));
}

TEST(CannyEdges, MatchesFormulasOnRandomImagesOfAnySize) {
    std::mt19937 rng(1);
    const int sizes[][2] = {{1, 1}, {1, 5}, {5, 1}, {2, 3}, {3, 3}, {4, 7}, {9, 5}, {17, 13}, {40, 31}};
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1];
        for (float sigma : {0.5f, 1.0f, 2.5f, 7.0f}) {
            const Bytes in = randomBytes(w, h, rng);
            EXPECT_EQ(runCanny(in, w, h, sigma), referenceCanny(in, w, h, sigma))
                << w << " x " << h << " sigma " << sigma;
        }
    }
}

TEST(CannyEdges, UniformImageAndHugeOrZeroSigmaGiveNoEdges) {
    std::mt19937 rng(2);
    const Bytes uniform(64 * 48, 137);
    const Bytes zeros(uniform.size(), 0);
    EXPECT_EQ(runCanny(uniform, 64, 48, 1.0f), zeros);
    EXPECT_EQ(runHysteresis(runCanny(uniform, 64, 48, 1.0f), 64, 48, 30, 60), zeros);
    const Bytes noise = randomBytes(64, 48, rng);
    EXPECT_EQ(runCanny(noise, 64, 48, 128.0f), zeros);
    EXPECT_EQ(runCanny(noise, 64, 48, 0.0f), zeros);
}

TEST(CannyEdges, VerticalStepGivesThinLineAndWrapAroundEcho) {
    const int w = 320, h = 240;
    ImageHandle src = greyImage(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) src->planes[0][y * w + x] = x < 160 ? 40 : 200;
    ImageHandle dst = greyImage(w, h);
    CannyWorkspace workspace;
    ASSERT_TRUE(cannyEdges(*src, *dst, 1.0f, workspace));
    const unsigned char* out = dst->planes[0];
    for (int y = 1; y < h - 1; ++y) {
        int onLine = 0;
        for (int x = 0; x < w; ++x) {
            if (out[y * w + x] == 0) continue;
            if (x == 159 || x == 160) ++onLine;
            else ADD_FAILURE() << "edge away from the step at " << x << ", " << y;
        }
        EXPECT_EQ(onLine, 1) << "row " << y;
        // The jump from the last column back to the first is a second step of the
        // same height: its gradient peaks on the border columns 319 and 0, which
        // the suppression leaves at 0.
        const float* gx = workspace.gradX.data() + y * w;
        EXPECT_NEAR(gx[0], -gx[160], 1e-3f);
        EXPECT_NEAR(gx[w - 1], -gx[159], 1e-3f);
        EXPECT_GT(std::fabs(gx[0]), std::fabs(gx[1]));
    }
    for (int x = 0; x < w; ++x) {
        EXPECT_EQ(out[x], 0);  // the one-pixel border stays 0
        EXPECT_EQ(out[(h - 1) * w + x], 0);
    }
}

TEST(CannyEdges, ResultDependsOnCurrentSourceOnlyAndMayWorkInPlace) {
    std::mt19937 rng(4);
    const Bytes first = randomBytes(33, 21, rng), second = randomBytes(33, 21, rng);
    ImageHandle dst = greyImage(33, 21);
    ImageHandle src = greyImage(33, 21, first);
    CannyWorkspace workspace;
    ASSERT_TRUE(cannyEdges(*src, *dst, 1.5f, workspace));
    std::memcpy(src->planes[0], second.data(), second.size());
    ASSERT_TRUE(cannyEdges(*src, *dst, 1.5f, workspace));
    EXPECT_EQ(contents(*dst), referenceCanny(second, 33, 21, 1.5f));

    ASSERT_TRUE(cannyEdges(*src, *src, 1.5f));
    EXPECT_EQ(contents(*src), referenceCanny(second, 33, 21, 1.5f));
}

TEST(CannyEdges, RefusesRecordsThatDoNotFit) {
    ImageHandle src = greyImage(10, 10);
    ImageHandle smaller = greyImage(10, 9);
    ImageHandle wide = createImage(10, 10, kColorSpaceGrey, kImageUShort);
    ImageHandle colour = createImage(10, 10, kColorSpaceRgb, kImageByte);
    ImageHandle empty = wrapImage(10, 10, kColorSpaceGrey, kImageByte, nullptr, nullptr, 0);
    smaller->planes[0][0] = 77;
    EXPECT_FALSE(cannyEdges(*src, *smaller, 1.0f));
    EXPECT_FALSE(hysteresisThreshold(*src, *smaller, 1, 2));
    EXPECT_EQ(smaller->planes[0][0], 77);
    EXPECT_FALSE(cannyEdges(*src, *wide, 1.0f));
    EXPECT_FALSE(cannyEdges(*colour, *src, 1.0f));
    EXPECT_FALSE(cannyEdges(*empty, *src, 1.0f));
    EXPECT_FALSE(hysteresisThreshold(*src, *empty, 1, 2));

    ImageHandle zeroA = greyImage(0, 0), zeroB = greyImage(0, 7);
    EXPECT_TRUE(cannyEdges(*zeroA, *zeroA, 1.0f));
    EXPECT_TRUE(hysteresisThreshold(*zeroB, *zeroB, 1, 2));
}

TEST(HysteresisThreshold, ThirtySixtyCases) {
    const int w = 9, h = 5;
    Bytes in(w * h, 0);
    in[2 * w + 1] = 60;  // alone, not above upper
    in[2 * w + 4] = 61;  // above upper
    in[2 * w + 5] = 45;  // candidate next to it
    in[1 * w + 3] = 30;  // next to it but not above lower
    in[2 * w + 7] = 45;  // candidate with no edge nearby
    const Bytes out = runHysteresis(in, w, h, 30, 60);
    Bytes expected(w * h, 0);
    expected[2 * w + 4] = 1;
    expected[2 * w + 5] = 1;
    EXPECT_EQ(out, expected);
}

TEST(HysteresisThreshold, LowerAboveUpperKeepsExactlyThePixelsAboveUpper) {
    std::mt19937 rng(6);
    const Bytes in = randomBytes(23, 17, rng);
    const Bytes out = runHysteresis(in, 23, 17, 200, 100);
    for (std::size_t i = 0; i < in.size(); ++i) EXPECT_EQ(out[i], in[i] > 100 ? 1 : 0);
}

TEST(HysteresisThreshold, BorderCandidatesDropAndChainsRunAgainstTheScan) {
    const int w = 12, h = 10;
    Bytes in(w * h, 0);
    // A candidate snake that reaches its only strong pixel at the bottom-right,
    // so edges must travel against the scanning order.
    for (int x = 1; x <= 10; ++x) in[1 * w + x] = 50;
    for (int y = 1; y <= 8; ++y) in[y * w + 1] = 50;
    for (int x = 1; x <= 10; ++x) in[8 * w + x] = 50;
    in[8 * w + 10] = 90;
    in[0 * w + 5] = 50;   // border candidate next to the snake: dropped
    in[9 * w + 11] = 90;  // border pixel above upper: kept
    const Bytes out = runHysteresis(in, w, h, 30, 60);
    EXPECT_EQ(out, referenceHysteresis(in, w, h, 30, 60));
    EXPECT_EQ(out[1 * w + 10], 1);
    EXPECT_EQ(out[0 * w + 5], 0);
    EXPECT_EQ(out[9 * w + 11], 1);
}

TEST(HysteresisThreshold, MatchesRepeatedPassesOnRandomImagesAndTinySizes) {
    std::mt19937 rng(8);
    for (int trial = 0; trial < 200; ++trial) {
        const int w = 1 + static_cast<int>(rng() % 30), h = 1 + static_cast<int>(rng() % 30);
        const int lower = static_cast<int>(rng() % 120), upper = static_cast<int>(rng() % 256);
        // Few strong pixels amid many candidates make long chains.
        Bytes in(static_cast<std::size_t>(w) * h);
        for (auto& v : in) v = rng() % 40 == 0 ? 255 : static_cast<unsigned char>(rng() % 160);
        ASSERT_EQ(runHysteresis(in, w, h, lower, upper), referenceHysteresis(in, w, h, lower, upper))
            << w << " x " << h << " " << lower << "/" << upper;
    }
}

TEST(HysteresisThreshold, MayWorkInPlace) {
    std::mt19937 rng(9);
    const Bytes in = randomBytes(19, 14, rng, 120);
    ImageHandle image = greyImage(19, 14, in);
    ASSERT_TRUE(hysteresisThreshold(*image, *image, 40, 80));
    EXPECT_EQ(contents(*image), referenceHysteresis(in, 19, 14, 40, 80));
}

}  // namespace
