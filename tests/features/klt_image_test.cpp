// Kernels and their cache, separable convolution, gradients, pyramids, PGM output
// and bilinear interpolation.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "features/klt.h"
#include "features/klt_internal.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

KLTFloatImage imageFrom(int ncols, int nrows, float (*f)(int, int)) {
    KLTFloatImage img = KLTCreateFloatImage(ncols, nrows);
    for (int y = 0; y < nrows; ++y)
        for (int x = 0; x < ncols; ++x) img.at(x, y) = f(x, y);
    return img;
}

ConvolutionKernel kernelOf(std::initializer_list<float> values) {
    ConvolutionKernel k;
    k.width = static_cast<int>(values.size());
    int i = 0;
    for (float v : values) k.data[i++] = v;
    return k;
}

}  // namespace

TEST(KLTKernels, WidthsForTypicalSigmas) {
    struct Row {
        float sigma;
        int gauss;
        int deriv;
    };
    for (const Row& row : {Row{1.0f, 7, 7}, Row{0.7f, 5, 5}, Row{3.6f, 21, 25}}) {
        const KernelWidths widths = getKernelWidths(row.sigma);
        EXPECT_EQ(widths.gauss, row.gauss) << "sigma " << row.sigma;
        EXPECT_EQ(widths.gaussderiv, row.deriv) << "sigma " << row.sigma;
    }
}

TEST(KLTKernels, NormalisedGaussianAndDerivative) {
    computeKernels(1.3f);
    const ConvolutionKernel& g = cachedGaussKernel();
    const ConvolutionKernel& d = cachedGaussDerivKernel();
    float sum = 0.0f;
    for (int k = 0; k < g.width; ++k) sum += g.data[k];
    EXPECT_NEAR(sum, 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(g.data[0], g.data[g.width - 1]);  // symmetric, peak in the middle
    EXPECT_GT(g.data[g.width / 2], g.data[g.width / 2 - 1]);

    const int h = d.width / 2;
    float moment = 0.0f;
    for (int i = -h; i <= h; ++i) moment -= i * d.data[i + h];
    EXPECT_NEAR(moment, 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(d.data[h], 0.0f);
    EXPECT_FLOAT_EQ(d.data[0], -d.data[d.width - 1]);
}

TEST(KLTKernels, DegenerateSigmasGiveFiniteKernels) {
    for (float sigma : {0.0f, 0.1f, -1.0f}) {
        computeKernels(sigma);
        const ConvolutionKernel& g = cachedGaussKernel();
        const ConvolutionKernel& d = cachedGaussDerivKernel();
        EXPECT_EQ(g.width % 2, 1);
        EXPECT_EQ(d.width % 2, 1);
        for (int k = 0; k < g.width; ++k) EXPECT_TRUE(std::isfinite(g.data[k]));
        for (int k = 0; k < d.width; ++k) EXPECT_TRUE(std::isfinite(d.data[k]));
    }
    EXPECT_EQ(getKernelWidths(0.1f).gauss, 1);
    EXPECT_EQ(getKernelWidths(-1.0f).gauss, 7);  // the sign does not matter
}

TEST(KLTKernelsDeathTest, SigmaTooWideEndsTheProgram) {
    EXPECT_EXIT(computeKernels(20.0f), testing::ExitedWithCode(1),
                "KLT Error: \\(_computeKernels\\) MAX_KERNEL_WIDTH 71 is too small for a sigma "
                "of 20.000000");
}

TEST(KLTKernels, CacheIsReusedWithinTolerance) {
    KLTFloatImage in = imageFrom(20, 20, [](int x, int y) { return float(x * y % 7); });
    KLTFloatImage out;
    computeKernels(1.0f);
    computeSmoothedImage(in, 1.04f, out);
    EXPECT_FLOAT_EQ(cachedKernelSigma(), 1.0f);
    KLTFloatImage gx, gy;
    computeGradients(in, 0.96f, gx, gy);
    EXPECT_FLOAT_EQ(cachedKernelSigma(), 1.0f);
    computeSmoothedImage(in, 1.06f, out);
    EXPECT_FLOAT_EQ(cachedKernelSigma(), 1.06f);
}

TEST(KLTConvolution, TrueConvolutionWithZeroBorders) {
    KLTFloatImage impulse = KLTCreateFloatImage(9, 3);
    std::fill(impulse.data.begin(), impulse.data.end(), 0.0f);
    impulse.at(5, 1) = 1.0f;
    KLTFloatImage out;
    convolveSeparate(impulse, kernelOf({1, 2, 3}), kernelOf({1}), out);
    ASSERT_EQ(out.ncols, 9);
    ASSERT_EQ(out.nrows, 3);
    // The kernel lands mirrored: a convolution, not a correlation.
    EXPECT_FLOAT_EQ(out.at(4, 1), 1.0f);
    EXPECT_FLOAT_EQ(out.at(5, 1), 2.0f);
    EXPECT_FLOAT_EQ(out.at(6, 1), 3.0f);

    KLTFloatImage ones = imageFrom(6, 7, [](int, int) { return 1.0f; });
    convolveSeparate(ones, kernelOf({1, 1, 1}), kernelOf({1, 1, 1, 1, 1}), out);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool inside = x >= 1 && x <= 4 && y >= 2 && y <= 4;
            EXPECT_FLOAT_EQ(out.at(x, y), inside ? 15.0f : 0.0f) << x << "," << y;
        }
}

// The vectorised passes cover a row in blocks and finish with one block moved
// back over outputs already made; every width, whatever it leaves for that last
// block, gives the plain loops' bits.
TEST(KLTConvolution, EveryRowWidthMatchesThePlainLoops) {
    for (const int taps : {5, 7, 21}) {
        ConvolutionKernel k;
        k.width = taps;
        for (int j = 0; j < taps; ++j) k.data[j] = 0.01f * static_cast<float>(j + 1) + 0.003f * static_cast<float>(j * j);
        const int r = taps / 2;
        for (int ncols = 1; ncols <= 90; ++ncols) {
            const int nrows = taps + 3;
            const KLTFloatImage img = imageFrom(ncols, nrows, [](int x, int y) {
                return static_cast<float>((x * 37 + y * 91 + x * y * 13) % 255) * 0.731f;
            });
            KLTFloatImage out;
            convolveSeparate(img, k, k, out);
            const auto pass = [&](auto at, int i, int n) {
                float acc = 0.0f;
                if (i < r || i >= n - r) return acc;
                for (int j = 0; j < taps; ++j) acc += at(i - r + j) * k.data[taps - 1 - j];
                return acc;
            };
            for (int y = 0; y < nrows; ++y)
                for (int x = 0; x < ncols; ++x) {
                    const float expected = pass(
                        [&](int row) { return pass([&](int col) { return img.at(col, row); }, x, ncols); }, y, nrows);
                    ASSERT_EQ(out.at(x, y), expected) << taps << " taps, " << ncols << " wide, at " << x << "," << y;
                }
        }
    }
}

TEST(KLTConvolution, ImagesSmallerThanTheKernelBecomeZero) {
    for (int size : {0, 1, 3, 4}) {
        KLTFloatImage in = KLTCreateFloatImage(size, size);
        std::fill(in.data.begin(), in.data.end(), 9.0f);
        KLTFloatImage out;
        computeSmoothedImage(in, 1.0f, out);  // width 7, radius 3
        EXPECT_EQ(out.ncols, size);
        for (float v : out.data) EXPECT_EQ(v, 0.0f);
    }
}

TEST(KLTConvolution, RampHasUnitGradient) {
    KLTFloatImage ramp = imageFrom(30, 20, [](int x, int) { return float(x); });
    KLTFloatImage gx, gy;
    computeGradients(ramp, 1.0f, gx, gy);
    const int r = getKernelWidths(1.0f).gauss / 2;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) {
            const bool inside = x >= r && x < 30 - r && y >= r && y < 20 - r;
            EXPECT_NEAR(gx.at(x, y), inside ? 1.0f : 0.0f, 1e-4f) << x << "," << y;
            EXPECT_NEAR(gy.at(x, y), 0.0f, 1e-4f);
        }
}

TEST(KLTPyramid, LevelsOfA320By240Image) {
    KLTFloatImage img = imageFrom(320, 240, [](int x, int y) { return float((x * 7 + y * 13) % 251); });
    auto pyramid = KLTCreatePyramid(320, 240, 4, 2);
    KLTComputePyramid(img, *pyramid, 0.9f);
    ASSERT_EQ(pyramid->nLevels, 2);
    EXPECT_EQ(pyramid->ncols[0], 320);
    EXPECT_EQ(pyramid->nrows[0], 240);
    EXPECT_EQ(pyramid->ncols[1], 80);
    EXPECT_EQ(pyramid->nrows[1], 60);
    EXPECT_EQ(pyramid->img[0].data, img.data);

    KLTFloatImage smoothed;
    computeSmoothedImage(img, 3.6f, smoothed);
    EXPECT_EQ(pyramid->img[1].at(0, 0), smoothed.at(2, 2));
    EXPECT_EQ(pyramid->img[1].at(30, 20), smoothed.at(122, 82));
    freePyramid(pyramid);
    EXPECT_EQ(pyramid, nullptr);
}

TEST(KLTPyramid, TinyImagesGiveEmptyUpperLevels) {
    KLTFloatImage img = imageFrom(3, 2, [](int x, int y) { return float(x + y); });
    auto pyramid = KLTCreatePyramid(3, 2, 8, 3);
    KLTComputePyramid(img, *pyramid, 0.9f);
    EXPECT_EQ(pyramid->ncols[1], 0);
    EXPECT_EQ(pyramid->nrows[2], 0);
}

TEST(KLTPyramidDeathTest, InvalidSubsamplingEndsTheProgram) {
    EXPECT_EXIT(KLTCreatePyramid(320, 240, 3, 2), testing::ExitedWithCode(1),
                "KLT Error: \\(_KLTCreatePyramid\\)  Pyramid's subsampling must be either 2, 4, "
                "8, 16, or 32");
    KLTPyramid pyramid;
    pyramid.subsampling = 3;
    EXPECT_EXIT(KLTComputePyramid(KLTCreateFloatImage(4, 4), pyramid, 0.9f),
                testing::ExitedWithCode(1),
                "KLT Error: \\(_KLTComputePyramid\\)  Pyramid's subsampling must be");
}

TEST(KLTPgm, WritesStretchedP5) {
    const std::string path = testing::TempDir() + "klt_pgm_test.pgm";
    KLTFloatImage img = KLTCreateFloatImage(3, 2);
    img.data = {-1.0f, 0.0f, 1.0f, 3.0f, 2.0f, 1.5f};
    writeFloatImageToPGM(img, path.c_str());
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string header = "P5\n3 2\n255\n";
    ASSERT_EQ(bytes.size(), header.size() + 6);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    const unsigned char expected[6] = {0, 63, 127, 255, 191, 159};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(static_cast<unsigned char>(bytes[header.size() + i]), expected[i]) << i;

    // A flat image has no range: all bytes 0, no division by zero.
    std::fill(img.data.begin(), img.data.end(), 4.0f);
    writeFloatImageToPGM(img, path.c_str());
    std::ifstream flat(path, std::ios::binary);
    const std::string flatBytes((std::istreambuf_iterator<char>(flat)), std::istreambuf_iterator<char>());
    EXPECT_EQ(flatBytes, header + std::string(6, '\0'));
    std::remove(path.c_str());
}

TEST(KLTPgmDeathTest, UnwritableFileEndsTheProgram) {
    const unsigned char bytes[1] = {0};
    EXPECT_EXIT(pgmWriteFile("/nonexistent-dir/x.pgm", bytes, 1, 1), testing::ExitedWithCode(1),
                "KLT Error: \\(pgmWriteFile\\) Can't open file named '/nonexistent-dir/x.pgm' "
                "for writing");
}

TEST(KLTInterpolate, BilinearInsideTheImage) {
    KLTFloatImage img = imageFrom(4, 3, [](int x, int y) { return float(10 * y + x); });
    EXPECT_FLOAT_EQ(interpolate(1.0f, 1.0f, img), 11.0f);
    EXPECT_FLOAT_EQ(interpolate(1.5f, 1.25f, img), 14.0f);
    EXPECT_NEAR(interpolate(2.99f, 1.99f, img), 22.89f, 1e-4f);
}

TEST(KLTInterpolate, OutsideReportsAndReadsOnlyInside) {
    KLTFloatImage img = imageFrom(4, 3, [](int x, int y) { return float(10 * y + x); });
    CaptureStderr();
    const float right = interpolate(3.5f, 1.0f, img);
    EXPECT_EQ(GetCapturedStderr(),
              "(xt,yt)=(3,1)  imgsize=(4,3)\n(x,y)=(3.500000,1.000000)  (ax,ay)=(0.500000,0.000000)\n");
    EXPECT_FLOAT_EQ(right, 13.0f);  // the nearest point, the right edge

    CaptureStderr();
    EXPECT_FLOAT_EQ(interpolate(-7.0f, 100.0f, img), 20.0f);
    EXPECT_FLOAT_EQ(interpolate(NAN, 1.0f, img), 10.0f);
    EXPECT_FLOAT_EQ(interpolate(1e30f, -1e30f, img), 3.0f);
    KLTFloatImage single = imageFrom(1, 1, [](int, int) { return 5.0f; });
    EXPECT_FLOAT_EQ(interpolate(0.0f, 0.0f, single), 5.0f);
    EXPECT_FLOAT_EQ(interpolate(0.0f, 0.0f, KLTCreateFloatImage(0, 0)), 0.0f);
    EXPECT_FALSE(GetCapturedStderr().empty());
}

// Gradients made tile by tile, as tracking makes level 0, against the whole
// image: the same bits everywhere, also in the zero borders, in tiles cut by
// the image edge, in images narrower or shorter than the kernel, and in tiles
// whose inner part goes through the block kernel (widths 7 and wider).
struct TileCase {
    int ncols;
    int nrows;
    float sigma;
    int tileWidth;
    int tileHeight;
};

class GradientTiles : public testing::TestWithParam<TileCase> {};

TEST_P(GradientTiles, MatchTheWholeImageBitForBit) {
    const TileCase c = GetParam();
    const KLTFloatImage img = imageFrom(c.ncols, c.nrows, [](int x, int y) {
        return static_cast<float>((x * 37 + y * 91 + x * y * 13) % 255) * 0.731f;
    });
    KLTFloatImage gradx, grady;
    computeGradients(img, c.sigma, gradx, grady);

    ConvolutionKernel gauss, deriv;
    klt_detail::gradientKernels(c.sigma, gauss, deriv);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    KLTFloatImage tileX = KLTCreateFloatImage(c.ncols, c.nrows);
    KLTFloatImage tileY = KLTCreateFloatImage(c.ncols, c.nrows);
    std::fill(tileX.data.begin(), tileX.data.end(), nan);
    std::fill(tileY.data.begin(), tileY.data.end(), nan);
    KLTFloatImage scratch;
    for (int y0 = 0; y0 < c.nrows; y0 += c.tileHeight)
        for (int x0 = 0; x0 < c.ncols; x0 += c.tileWidth)
            klt_detail::gradientTile(img, gauss, deriv, x0, y0, std::min(x0 + c.tileWidth, c.ncols),
                                     std::min(y0 + c.tileHeight, c.nrows), tileX, tileY, scratch);

    ASSERT_EQ(tileX.data.size(), gradx.data.size());
    EXPECT_EQ(std::memcmp(tileX.data.data(), gradx.data.data(), gradx.data.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(tileY.data.data(), grady.data.data(), grady.data.size() * sizeof(float)), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GradientTiles,
                         testing::Values(TileCase{70, 45, 1.0f, 32, 16}, TileCase{64, 48, 1.0f, 32, 16},
                                         TileCase{37, 23, 1.0f, 5, 3}, TileCase{33, 17, 3.6f, 32, 16},
                                         TileCase{5, 40, 1.0f, 32, 16}, TileCase{40, 4, 1.0f, 32, 16},
                                         TileCase{1, 1, 1.0f, 32, 16}, TileCase{70, 45, 1.0f, 8, 1},
                                         TileCase{61, 29, 1.0f, 13, 7}, TileCase{90, 60, 3.6f, 8, 5}));
