// Feature tracking of the KLT library: iterative Lucas-Kanade steps, coarse to
// fine over Gaussian pyramids, with the pyramids of the last image kept in the
// context in sequential mode.

#include "features/klt.h"
#include "features/simd_target.h"
#include "features/klt_internal.h"
#include "features/float_kernels.h"

#include <algorithm>
#include <cstddef>
#include <immintrin.h>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <utility>

namespace {

// Keeps a window position strictly inside the level so that every bilinear
// lookup of the window has its right and lower neighbours. NaN is outside.
constexpr float kImageMargin = 1.000001f;

struct WindowGeometry {
    float hw;
    float hh;
    float limitX;
    float limitY;

    bool contains(float x, float y) const {
        return x - hw >= 0.0f && x + hw <= limitX && y - hh >= 0.0f && y + hh <= limitY;
    }
};

struct WindowSums {
    float gxx = 0.0f;
    float gxy = 0.0f;
    float gyy = 0.0f;
    float ex = 0.0f;
    float ey = 0.0f;
};

// The window sums are taken eight columns at a time: for each term, eight
// partial sums, the one of column k + 8m of the window in lane k (row by row
// within a group of eight columns, group after group, each product added by a
// fused multiply-add), then folded into one as the vector code folds them:
// lanes k and k + 4, then k and k + 2, then 0 and 1. The scalar code below keeps
// exactly those operations, so both give the same bits.
constexpr int kSumLanes = 8;

// Where the samples of a window fall. Its columns and rows are whole pixels
// apart, so every sample lies the same fractions (ax, ay) past its pixel: the
// window's centre cell and those fractions describe them all.
struct WindowCell {
    int xt = 0;
    int yt = 0;
    float ax = 0.0f;
    float ay = 0.0f;
    // Every sample's four pixels lie inside the image.
    bool inside = false;
};

inline WindowCell windowCell(float x, float y, int hw, int hh, const KLTFloatImage& img) {
    WindowCell c;
    // Far outside (or NaN) the cell stays at 0 and is not inside.
    if (!(x > -1e8f && x < 1e8f && y > -1e8f && y < 1e8f)) return c;
    // The floor, by truncation and a step down below 0.
    c.xt = static_cast<int>(x);
    c.yt = static_cast<int>(y);
    c.xt -= static_cast<float>(c.xt) > x ? 1 : 0;
    c.yt -= static_cast<float>(c.yt) > y ? 1 : 0;
    c.ax = x - static_cast<float>(c.xt);
    c.ay = y - static_cast<float>(c.yt);
    c.inside = c.xt - hw >= 0 && c.yt - hh >= 0 && c.xt + hw + 1 <= img.ncols - 1 && c.yt + hh + 1 <= img.nrows - 1;
    return c;
}

// The bilinear value of the window's sample (i, j): across the columns in each
// of its two rows, then across the rows, each by a product and a fused
// multiply-add, as the vector code takes it (which reuses a row's value for the
// sample below). Outside the image, the value at the nearest point.
inline float windowSample(const KLTFloatImage& img, const WindowCell& c, int i, int j) {
    const int x = c.xt + i;
    const int y = c.yt + j;
    if (!(x >= 0 && y >= 0 && x <= img.ncols - 2 && y <= img.nrows - 2))
        return klt_detail::interpolateOutside(static_cast<float>(x) + c.ax, static_cast<float>(y) + c.ay, img);
    const float* p = img.data.data() + static_cast<size_t>(y) * img.ncols + x;
    const float top = std::fma(c.ax, p[1], (1.0f - c.ax) * p[0]);
    const float bottom = std::fma(c.ax, p[img.ncols + 1], (1.0f - c.ax) * p[img.ncols]);
    return std::fma(c.ay, bottom, (1.0f - c.ay) * top);
}

inline float foldLanes(const float (&lanes)[kSumLanes]) {
    const float a0 = lanes[0] + lanes[4], a1 = lanes[1] + lanes[5];
    const float a2 = lanes[2] + lanes[6], a3 = lanes[3] + lanes[7];
    return (a0 + a2) + (a1 + a3);
}

// Difference and gradient sums over the window, in the order described above.
// The first image's gradients stand for both images' (the second image's would
// have to be sampled again at every step, the first's only once per level);
// doubled, they keep the sums, and the determinant the small-determinant rule
// compares, at the scale of the two images' gradients added. The differences
// are doubled too: d times four gradients is 2d times two, bit for bit.
WindowSums sumWindows(float x1, float y1, float x2, float y2, const KLTFloatImage& img1,
                      const KLTFloatImage& gradx1, const KLTFloatImage& grady1, const KLTFloatImage& img2,
                      int hw, int hh) {
    const WindowCell c1 = windowCell(x1, y1, hw, hh, img1);
    const WindowCell c2 = windowCell(x2, y2, hw, hh, img2);
    float acc[5][kSumLanes] = {};
    for (int i0 = -hw; i0 <= hw; i0 += kSumLanes) {
        for (int j = -hh; j <= hh; ++j) {
            for (int k = 0; k < kSumLanes && i0 + k <= hw; ++k) {
                const int i = i0 + k;
                const float d = windowSample(img1, c1, i, j) - windowSample(img2, c2, i, j);
                const float gx = 2.0f * windowSample(gradx1, c1, i, j);
                const float gy = 2.0f * windowSample(grady1, c1, i, j);
                acc[0][k] = std::fma(gx, gx, acc[0][k]);
                acc[1][k] = std::fma(gx, gy, acc[1][k]);
                acc[2][k] = std::fma(gy, gy, acc[2][k]);
                acc[3][k] = std::fma(d, 2.0f * gx, acc[3][k]);
                acc[4][k] = std::fma(d, 2.0f * gy, acc[4][k]);
            }
        }
    }
    return {foldLanes(acc[0]), foldLanes(acc[1]), foldLanes(acc[2]), foldLanes(acc[3]), foldLanes(acc[4])};
}

float sumAbsoluteDifference(float x1, float y1, float x2, float y2, const KLTFloatImage& img1,
                            const KLTFloatImage& img2, int hw, int hh) {
    const WindowCell c1 = windowCell(x1, y1, hw, hh, img1);
    const WindowCell c2 = windowCell(x2, y2, hw, hh, img2);
    float acc[kSumLanes] = {};
    for (int i0 = -hw; i0 <= hw; i0 += kSumLanes)
        for (int j = -hh; j <= hh; ++j)
            for (int k = 0; k < kSumLanes && i0 + k <= hw; ++k)
                acc[k] += std::fabs(windowSample(img1, c1, i0 + k, j) - windowSample(img2, c2, i0 + k, j));
    return foldLanes(acc);
}

// The first image's samples of one feature's window (value, and four times the x
// and y gradient, eight lanes each, per window row and eight-column chunk) and
// their gradient sums: they are the same in every iteration, so they are taken
// once.
struct FirstWindow {
    static constexpr int kMaxRows = 15;
    static constexpr int kMaxChunks = 2;
    bool taken = false;
    float gxx = 0.0f;
    float gxy = 0.0f;
    float gyy = 0.0f;
    alignas(32) float samples[kMaxRows][kMaxChunks][3 * 8];

    bool fits(int hw, int hh) const { return 2 * hh + 1 <= kMaxRows && 2 * hw + 1 <= 8 * kMaxChunks; }
    // Out of range slots are never read or written: fits() guards the caching.
    float* slot(int row, int chunk) { return samples[std::min(row, kMaxRows - 1)][std::min(chunk, kMaxChunks - 1)]; }
    const float* slot(int row, int chunk) const {
        return samples[std::min(row, kMaxRows - 1)][std::min(chunk, kMaxChunks - 1)];
    }
};

// Features tracked side by side, so that their level-0 windows and coarse
// levels are handled in turns.
constexpr int kLanes = 8;

CASTELLAN_BEGIN_AVX2_FMA

// One eight-column chunk of a window's samples, row after row: each image row's
// values across the columns are taken once and serve the window rows above and
// below it. Every value is computed lane by lane with windowSample's operations.
class ChunkSampler {
public:
    // Chunk `chunk` of the window of `cell` (whose samples lie inside the image)
    // in images of ncols × nrows; `active` marks the window's columns.
    ChunkSampler(const WindowCell& cell, int ncols, int nrows, int hw, int hh, int chunk, __m256 active)
        : ncols_(ncols), active_(active), activeMask_(_mm256_castps_si256(active)),
          ax_(_mm256_set1_ps(cell.ax)), oneMinusAx_(_mm256_set1_ps(1.0f - cell.ax)),
          ay_(_mm256_set1_ps(cell.ay)), oneMinusAy_(_mm256_set1_ps(1.0f - cell.ay)) {
        const int firstColumn = cell.xt - hw + 8 * chunk;
        offset_ = static_cast<std::ptrdiff_t>(cell.yt - hh) * ncols + firstColumn;
        // Whole vectors where they stay inside the image: the lanes outside the
        // window then read neighbouring pixels, and their values are never summed.
        const std::ptrdiff_t lastRead = static_cast<std::ptrdiff_t>(cell.yt + hh + 1) * ncols + firstColumn + 8;
        wholeVectors_ = lastRead < static_cast<std::ptrdiff_t>(ncols) * nrows;
    }

    // The values of image row `row` of the chunk (0 is the window's first row).
    __m256 across(const float* data, int row) const {
        const float* p = data + offset_ + static_cast<std::ptrdiff_t>(row) * ncols_;
        return _mm256_fmadd_ps(ax_, load(p + 1), _mm256_mul_ps(oneMinusAx_, load(p)));
    }
    // The samples between two rows' values, 0 outside the window.
    __m256 between(__m256 top, __m256 bottom) const {
        return _mm256_and_ps(_mm256_fmadd_ps(ay_, bottom, _mm256_mul_ps(oneMinusAy_, top)), active_);
    }

private:
    __m256 load(const float* p) const {
        return wholeVectors_ ? _mm256_loadu_ps(p) : _mm256_maskload_ps(p, activeMask_);
    }

    int ncols_;
    std::ptrdiff_t offset_ = 0;
    __m256 active_;
    __m256i activeMask_;
    __m256 ax_, oneMinusAx_, ay_, oneMinusAy_;
    bool wholeVectors_ = false;
};

// Which lanes of a window chunk are columns of the window.
inline __m256 chunkLanes(int i0, int hw) {
    const __m256 lane = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    const int count = std::min(8, hw - i0 + 1);
    return _mm256_cmp_ps(lane, _mm256_set1_ps(static_cast<float>(count)), _CMP_LT_OQ);
}

// Both images have cells to sample.
bool sampleable(const KLTFloatImage& img1, const KLTFloatImage& img2) {
    return img1.ncols >= 2 && img1.nrows >= 2 && img2.ncols >= 2 && img2.nrows >= 2;
}

// Lanes k and k + 4, then k and k + 2, then 0 and 1: foldLanes.
inline float foldVector(__m256 v) {
    const __m128 half = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 quarter = _mm_add_ps(half, _mm_movehl_ps(half, half));
    return _mm_cvtss_f32(_mm_add_ss(quarter, _mm_shuffle_ps(quarter, quarter, 1)));
}

// The first image's samples of the window and their gradient sums, into firstWindow.
void takeFirstWindow(const WindowCell& c1, const KLTFloatImage& img1, const KLTFloatImage& gradx1,
                     const KLTFloatImage& grady1, int hw, int hh, FirstWindow& firstWindow) {
    const __m256 two = _mm256_set1_ps(2.0f);
    __m256 sxx = _mm256_setzero_ps(), sxy = _mm256_setzero_ps(), syy = _mm256_setzero_ps();
    for (int i0 = -hw, chunk = 0; i0 <= hw; i0 += 8, ++chunk) {
        const ChunkSampler s(c1, img1.ncols, img1.nrows, hw, hh, chunk, chunkLanes(i0, hw));
        __m256 value = s.across(img1.data.data(), 0);
        __m256 gx = s.across(gradx1.data.data(), 0);
        __m256 gy = s.across(grady1.data.data(), 0);
        for (int row = 0; row < 2 * hh + 1; ++row) {
            const __m256 nextValue = s.across(img1.data.data(), row + 1);
            const __m256 nextGx = s.across(gradx1.data.data(), row + 1);
            const __m256 nextGy = s.across(grady1.data.data(), row + 1);
            const __m256 twiceGx = _mm256_mul_ps(two, s.between(gx, nextGx));
            const __m256 twiceGy = _mm256_mul_ps(two, s.between(gy, nextGy));
            float* slot = firstWindow.slot(row, chunk);
            _mm256_store_ps(slot, s.between(value, nextValue));
            _mm256_store_ps(slot + 8, _mm256_mul_ps(two, twiceGx));
            _mm256_store_ps(slot + 16, _mm256_mul_ps(two, twiceGy));
            sxx = _mm256_fmadd_ps(twiceGx, twiceGx, sxx);
            sxy = _mm256_fmadd_ps(twiceGx, twiceGy, sxy);
            syy = _mm256_fmadd_ps(twiceGy, twiceGy, syy);
            value = nextValue;
            gx = nextGx;
            gy = nextGy;
        }
    }
    firstWindow.gxx = foldVector(sxx);
    firstWindow.gxy = foldVector(sxy);
    firstWindow.gyy = foldVector(syy);
    firstWindow.taken = true;
}

// sumWindows, eight columns at a time, the first image's samples and gradient
// sums taken into (or read from) firstWindow.
bool windowSumsAvx2(float x1, float y1, float x2, float y2, const KLTFloatImage& img1,
                    const KLTFloatImage& gradx1, const KLTFloatImage& grady1, const KLTFloatImage& img2, int hw,
                    int hh, FirstWindow& firstWindow, WindowSums& out) {
    if (!sampleable(img1, img2) || !firstWindow.fits(hw, hh)) return false;
    const WindowCell c2 = windowCell(x2, y2, hw, hh, img2);
    if (!c2.inside) return false;
    if (!firstWindow.taken) {
        const WindowCell c1 = windowCell(x1, y1, hw, hh, img1);
        if (!c1.inside) return false;
        takeFirstWindow(c1, img1, gradx1, grady1, hw, hh, firstWindow);
    }
    __m256 ex = _mm256_setzero_ps(), ey = _mm256_setzero_ps();
    for (int i0 = -hw, chunk = 0; i0 <= hw; i0 += 8, ++chunk) {
        const ChunkSampler s(c2, img2.ncols, img2.nrows, hw, hh, chunk, chunkLanes(i0, hw));
        __m256 value = s.across(img2.data.data(), 0);
        for (int row = 0; row < 2 * hh + 1; ++row) {
            const __m256 next = s.across(img2.data.data(), row + 1);
            const float* slot = firstWindow.slot(row, chunk);
            const __m256 d = _mm256_sub_ps(_mm256_load_ps(slot), s.between(value, next));
            ex = _mm256_fmadd_ps(d, _mm256_load_ps(slot + 8), ex);
            ey = _mm256_fmadd_ps(d, _mm256_load_ps(slot + 16), ey);
            value = next;
        }
    }
    out = {firstWindow.gxx, firstWindow.gxy, firstWindow.gyy, foldVector(ex), foldVector(ey)};
    return true;
}

// sumAbsoluteDifference the same way, the first image's samples from the window
// cache.
bool absoluteDifferenceAvx2(float x2, float y2, const KLTFloatImage& img1, const KLTFloatImage& img2, int hw,
                            int hh, const FirstWindow& firstWindow, float& out) {
    if (!sampleable(img1, img2) || !firstWindow.fits(hw, hh) || !firstWindow.taken) return false;
    const WindowCell c2 = windowCell(x2, y2, hw, hh, img2);
    if (!c2.inside) return false;
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    __m256 sum = _mm256_setzero_ps();
    for (int i0 = -hw, chunk = 0; i0 <= hw; i0 += 8, ++chunk) {
        const ChunkSampler s(c2, img2.ncols, img2.nrows, hw, hh, chunk, chunkLanes(i0, hw));
        __m256 value = s.across(img2.data.data(), 0);
        for (int row = 0; row < 2 * hh + 1; ++row) {
            const __m256 next = s.across(img2.data.data(), row + 1);
            const __m256 d = _mm256_sub_ps(_mm256_load_ps(firstWindow.slot(row, chunk)), s.between(value, next));
            sum = _mm256_add_ps(sum, _mm256_and_ps(d, magnitude));
            value = next;
        }
    }
    out = foldVector(sum);
    return true;
}

CASTELLAN_END_AVX2_FMA

// The pixels a window reads, [x0, x1) × [y0, y1); empty at first.
struct PixelBox {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool operator==(const PixelBox&) const = default;
};

// Level 0 of one image's pyramids, made window by window where tracking reads
// it rather than over the whole image: the smoothed image from the frame's
// bytes, and, around the first image's windows, its gradients from the smoothed
// image. Each window's pixels are made exactly, with no record of what is made
// already: windows of neighbouring features overlap little, and a pixel made
// twice gets the same value twice.
class WindowLevel {
public:
    WindowLevel(LazyGradientLevel& state, KLTFloatImage& img, KLTFloatImage& gradx, KLTFloatImage& grady,
                KLTFloatImage& scratch, KLTFloatImage& rowScratch)
        : state_(state), img_(img), gradx_(gradx), grady_(grady), scratch_(scratch), rowScratch_(rowScratch),
          margin_(std::max(state.gauss.width, state.deriv.width) / 2) {}

    // The values and gradients the window around (x, y) reads.
    void makeWindow(float x, float y, int hw, int hh) {
        const PixelBox box = windowBox(x, y, hw, hh);
        if (box.x0 >= box.x1 || box.y0 >= box.y1) return;
        // Whole blocks of columns, which the block kernels take at once.
        const int columns = roundToBlocks(box.x1 - box.x0 + 2 * margin_);
        smooth({box.x0 - margin_, box.y0 - margin_, box.x0 - margin_ + columns, box.y1 + margin_});
        klt_detail::gradientTile(img_, state_.gauss, state_.deriv, box.x0, box.y0,
                                 std::min(box.x0 + roundToBlocks(box.x1 - box.x0), img_.ncols), box.y1, gradx_,
                                 grady_, scratch_);
    }

    // The values alone, where no gradient is read. `made` is the last box made
    // for the same feature: a window on the same pixels needs nothing more.
    void makeValues(float x, float y, int hw, int hh, PixelBox& made) {
        const PixelBox box = windowBox(x, y, hw, hh);
        if (box == made) return;
        made = box;
        smooth({box.x0, box.y0, box.x0 + roundToBlocks(box.x1 - box.x0), box.y1});
    }

    void makeAll() {
        smooth({0, 0, img_.ncols, img_.nrows});
        klt_detail::gradientTile(img_, state_.gauss, state_.deriv, 0, 0, img_.ncols, img_.nrows, gradx_, grady_,
                                 scratch_);
    }

private:
    static int roundToBlocks(int columns) {
        constexpr int block = float_kernels::kBlockColumns;
        return (columns + block - 1) / block * block;
    }

    // The pixels the samples of the window around (x, y) read (see windowCell),
    // clipped to the image.
    PixelBox windowBox(float x, float y, int hw, int hh) const {
        const WindowCell c = windowCell(x, y, hw, hh, img_);
        return {std::clamp(c.xt - hw, 0, img_.ncols), std::clamp(c.yt - hh, 0, img_.nrows),
                std::clamp(c.xt + hw + 2, 0, img_.ncols), std::clamp(c.yt + hh + 2, 0, img_.nrows)};
    }

    // The smoothed image on `box`, clipped to the image.
    void smooth(PixelBox box) {
        box = {std::max(box.x0, 0), std::max(box.y0, 0), std::min(box.x1, img_.ncols), std::min(box.y1, img_.nrows)};
        if (box.x0 >= box.x1 || box.y0 >= box.y1) return;
        klt_detail::smoothBytesTile(state_.bytes.data(), img_.ncols, img_.nrows, state_.smooth, box.x0, box.y0,
                                    box.x1, box.y1, img_, scratch_, rowScratch_);
    }

    LazyGradientLevel& state_;
    KLTFloatImage& img_;
    KLTFloatImage& gradx_;
    KLTFloatImage& grady_;
    KLTFloatImage& scratch_;
    KLTFloatImage& rowScratch_;
    int margin_;
};

LazyGradientLevel* lazyLevelOf(KLTWorkspace& ws, const KLTPyramid* gradx) {
    for (LazyGradientLevel& level : ws.lazyLevels)
        if (level.owner == gradx) return &level;
    return nullptr;
}

// Marks level 0 of freshly built pyramids as not made yet and keeps the frame
// it is made from: in sequential mode the pyramids outlive the caller's image.
void startLazyLevel(const KLTTrackingContext& tc, KLTWorkspace& ws, const KLTPyramid& gradx,
                    const unsigned char* img) {
    LazyGradientLevel* level = lazyLevelOf(ws, &gradx);
    for (LazyGradientLevel& candidate : ws.lazyLevels) {
        if (level) break;
        const KLTPyramid* owner = candidate.owner;
        if (!owner || (owner != tc.pyramid_last_gradx.get() && owner != ws.first[1].get() &&
                       owner != ws.second[1].get()))
            level = &candidate;
    }
    level->owner = &gradx;
    const int ncols = gradx.ncols[0];
    const int nrows = gradx.nrows[0];
    const size_t size = static_cast<size_t>(ncols) * static_cast<size_t>(nrows);
    if (img)
        level->bytes.assign(img, img + size);
    else
        level->bytes.assign(size, 0);
    klt_detail::smoothingKernel(computeSmoothSigma(tc), level->smooth);
    klt_detail::gradientKernels(tc.grad_sigma, level->gauss, level->deriv);
}

using PyramidSet = std::array<std::unique_ptr<KLTPyramid>, 3>;

// Intensity pyramid of the smoothed image and the gradients of every level.
// Level 0 is made where tracking reads it (see WindowLevel); level 1 comes
// straight from the bytes.
void buildPyramids(const KLTTrackingContext& tc, KLTWorkspace& ws, const unsigned char* img,
                   int ncols, int nrows, int nLevels, PyramidSet& out) {
    for (auto& pyramid : out)
        klt_detail::ensurePyramid(pyramid, ncols, nrows, tc.subsampling, nLevels);
    KLTPyramid& intensity = *out[0];
    if (nLevels > 1) {
        KLTFloatImage& level1 = intensity.img[1];
        level1.resize(ncols / tc.subsampling, nrows / tc.subsampling);
        klt_detail::sampledLevelFromBytes(img, ncols, nrows, computeSmoothSigma(tc),
                                          static_cast<float>(tc.subsampling) * tc.pyramid_sigma_fact,
                                          tc.subsampling, level1, ws.convolveTemp, ws.phaseRows, ws.halfLevel,
                                          ws.binomialRows);
        intensity.ncols[1] = level1.ncols;
        intensity.nrows[1] = level1.nrows;
    }
    klt_detail::computeUpperLevels(intensity, tc.pyramid_sigma_fact, ws.pyramidTemp, ws.phaseRows, 2);
    for (int level = 0; level < nLevels; ++level) {
        if (level > 0)
            klt_detail::computeGradients(intensity.img[level], tc.grad_sigma, out[1]->img[level],
                                         out[2]->img[level], ws.convolveTemp);
        for (int k = 1; k < 3; ++k) {
            out[k]->ncols[level] = out[0]->ncols[level];
            out[k]->nrows[level] = out[0]->nrows[level];
        }
    }
    startLazyLevel(tc, ws, *out[1], img);
}

void writePyramids(const KLTPyramid& pyramid, const KLTPyramid& gradx, const KLTPyramid& grady,
                   char imageLetter) {
    char name[64];
    for (int level = 0; level < pyramid.nLevels; ++level) {
        std::snprintf(name, sizeof name, "kltimg_tf_%c%d.pgm", imageLetter, level);
        writeFloatImageToPGM(pyramid.img[level], name);
        std::snprintf(name, sizeof name, "kltimg_tf_%c%d_gx.pgm", imageLetter, level);
        writeFloatImageToPGM(gradx.img[level], name);
        std::snprintf(name, sizeof name, "kltimg_tf_%c%d_gy.pgm", imageLetter, level);
        writeFloatImageToPGM(grady.img[level], name);
    }
}

// The stored pyramids serve as the first image only when they match the frame
// and the context's pyramid shape; otherwise they are dropped rather than
// indexed past their levels or compared with a frame of another size.
bool storedPyramidsUsable(KLTTrackingContext& tc, int ncols, int nrows, int nLevels) {
    if (!tc.sequentialMode || !tc.pyramid_last || !tc.pyramid_last_gradx || !tc.pyramid_last_grady)
        return false;
    const KLTPyramid& stored = *tc.pyramid_last;
    if (stored.nLevels < 1) {
        KLTFreeStoredPyramids(tc);
        return false;
    }
    if (stored.ncols[0] != ncols || stored.nrows[0] != nrows) {
        kltWarning("(KLTTrackFeatures) Size of incoming image (%d by %d) is different from size "
                   "of previous image (%d by %d); the previous image is dropped\n",
                   ncols, nrows, stored.ncols[0], stored.nrows[0]);
        KLTFreeStoredPyramids(tc);
        return false;
    }
    if (stored.nLevels != nLevels || stored.subsampling != tc.subsampling) {
        KLTFreeStoredPyramids(tc);
        return false;
    }
    return true;
}

}  // namespace

namespace {

// The images of one pyramid level that tracking reads.
struct LevelImages {
    const KLTFloatImage& img1;
    const KLTFloatImage& gradx1;
    const KLTFloatImage& grady1;
    const KLTFloatImage& img2;
};

// One feature at one level: (x1, y1) in the first image, (x2, y2) the guess
// then the result in the second. Stopped lanes are left alone.
struct FeatureTrack {
    float x1 = 0.0f;
    float y1 = 0.0f;
    float x2 = 0.0f;
    float y2 = 0.0f;
    int status = KLT_TRACKED;
    bool stopped = false;
};

// What a lane keeps from one iteration to the next.
struct LaneState {
    FirstWindow firstWindow;
    bool firstMade = false;  // the first image's window is made at level 0
    PixelBox values2;        // the second image's last window made at level 0
    int iteration = 0;
    bool running = false;
    WindowSums sums;
};

// The vectorised window sums need AVX2 and FMA (and run on the AVX-512 path too).
bool trackerVectorised() {
    static const bool vectorised = float_kernels::usesAvx2() && __builtin_cpu_supports("fma");
    return vectorised;
}

// The window sums of every running lane at its current position.
void sumRunningLanes(std::span<const FeatureTrack> lanes, std::span<LaneState> states, const LevelImages& im,
                     int hw, int hh) {
    for (size_t l = 0; l < lanes.size(); ++l) {
        if (!states[l].running) continue;
        const FeatureTrack& f = lanes[l];
        if (!(trackerVectorised() && windowSumsAvx2(f.x1, f.y1, f.x2, f.y2, im.img1, im.gradx1, im.grady1,
                                                    im.img2, hw, hh, states[l].firstWindow, states[l].sums)))
            states[l].sums = sumWindows(f.x1, f.y1, f.x2, f.y2, im.img1, im.gradx1, im.grady1, im.img2, hw, hh);
    }
}

// The summed absolute differences of the two windows of every wanted lane.
void residues(std::span<const FeatureTrack> lanes, std::span<const LaneState> states, const bool* wanted,
              const LevelImages& im, int hw, int hh, float* sum) {
    for (size_t l = 0; l < lanes.size(); ++l) {
        if (!wanted[l]) continue;
        const FeatureTrack& f = lanes[l];
        if (!(trackerVectorised() &&
              absoluteDifferenceAvx2(f.x2, f.y2, im.img1, im.img2, hw, hh, states[l].firstWindow, sum[l])))
            sum[l] = sumAbsoluteDifference(f.x1, f.y1, f.x2, f.y2, im.img1, im.img2, hw, hh);
    }
}

// trackFeature for up to kLanes features at once, each lane with the single
// feature's steps, making the pixels each window reads first when the level is
// made on demand (level1, level2 not null).
void trackLanes(std::span<FeatureTrack> lanes, const LevelImages& im, const KLTTrackParams& params,
                WindowLevel* level1, WindowLevel* level2) {
    const int hw = params.window_width / 2;
    const int hh = params.window_height / 2;
    const WindowGeometry window{static_cast<float>(hw), static_cast<float>(hh),
                                static_cast<float>(im.img1.ncols) - kImageMargin,
                                static_cast<float>(im.img1.nrows) - kImageMargin};
    std::array<LaneState, kLanes> states;
    int running = 0;
    for (size_t l = 0; l < lanes.size(); ++l) {
        if (lanes[l].stopped) continue;
        states[l].running = true;
        lanes[l].status = KLT_TRACKED;
        ++running;
    }
    const auto stop = [&](size_t l) {
        states[l].running = false;
        --running;
    };
    while (running > 0) {
        for (size_t l = 0; l < lanes.size(); ++l) {
            FeatureTrack& f = lanes[l];
            if (!states[l].running) continue;
            if (!window.contains(f.x1, f.y1) || !window.contains(f.x2, f.y2)) {
                f.status = KLT_OOB;
                stop(l);
                continue;
            }
            if (level1 && !states[l].firstMade) {
                level1->makeWindow(f.x1, f.y1, hw, hh);
                states[l].firstMade = true;
            }
            if (level2) level2->makeValues(f.x2, f.y2, hw, hh, states[l].values2);
        }
        sumRunningLanes(lanes, states, im, hw, hh);
        for (size_t l = 0; l < lanes.size(); ++l) {
            if (!states[l].running) continue;
            FeatureTrack& f = lanes[l];
            const WindowSums& s = states[l].sums;
            const float det = s.gxx * s.gyy - s.gxy * s.gxy;
            if (det < params.min_determinant) {
                f.status = KLT_SMALL_DET;
                stop(l);
                continue;
            }
            const float dx = (s.gyy * s.ex - s.gxy * s.ey) / det;
            const float dy = (s.gxx * s.ey - s.gxy * s.ex) / det;
            f.x2 += dx;
            f.y2 += dy;
            ++states[l].iteration;
            const bool moved = std::fabs(dx) >= params.min_displacement || std::fabs(dy) >= params.min_displacement;
            if (!(moved && states[l].iteration < params.max_iterations)) stop(l);
        }
    }

    bool wanted[kLanes] = {};
    float sum[kLanes] = {};
    for (size_t l = 0; l < lanes.size(); ++l) {
        if (lanes[l].stopped) continue;
        if (!window.contains(lanes[l].x2, lanes[l].y2))
            lanes[l].status = KLT_OOB;
        else
            wanted[l] = lanes[l].status == KLT_TRACKED;
        // The last step moved the window after its values were last read.
        if (wanted[l] && level2) level2->makeValues(lanes[l].x2, lanes[l].y2, hw, hh, states[l].values2);
    }
    residues(lanes, states, wanted, im, hw, hh, sum);
    const float area = static_cast<float>(int64_t{params.window_width} * params.window_height);
    for (size_t l = 0; l < lanes.size(); ++l) {
        FeatureTrack& f = lanes[l];
        if (f.stopped || f.status != KLT_TRACKED) continue;
        if (wanted[l] && sum[l] / area > params.max_residue)
            f.status = KLT_LARGE_RESIDUE;
        else if (states[l].iteration >= params.max_iterations)
            // Converging on the last allowed iteration still counts as too many.
            f.status = KLT_MAX_ITERATIONS;
    }
}

// The feature after the last level: moved when tracked inside the border,
// marked lost otherwise.
void storeResult(const FeatureTrack& lane, float minX, float maxX, float minY, float maxY, KLTFeature& feature) {
    const bool inside = lane.x2 >= minX && lane.x2 <= maxX && lane.y2 >= minY && lane.y2 <= maxY;
    int val = lane.status;
    if (lane.status == KLT_OOB || !inside) val = KLT_OOB;
    if (val == KLT_TRACKED) {
        feature.x = lane.x2;
        feature.y = lane.y2;
    } else {
        feature.x = -1.0f;
        feature.y = -1.0f;
    }
    feature.val = val;
}

}  // namespace

int trackFeature(float x1, float y1, float& x2, float& y2, const KLTFloatImage& img1,
                 const KLTFloatImage& gradx1, const KLTFloatImage& grady1,
                 const KLTFloatImage& img2, const KLTTrackParams& params) {
    FeatureTrack lane{x1, y1, x2, y2};
    trackLanes({&lane, 1}, {img1, gradx1, grady1, img2}, params, nullptr, nullptr);
    x2 = lane.x2;
    y2 = lane.y2;
    return lane.status;
}

void KLTTrackFeatures(KLTTrackingContext& tc, const unsigned char* img1,
                      const unsigned char* img2, int ncols, int nrows, KLTFeatureList& fl) {
    if (KLTVerbosity() > 0) {
        std::fprintf(stderr, "(KLT) Tracking %d features in a %d by %d image...  ",
                     countRemainingFeatures(fl), ncols, nrows);
        std::fflush(stderr);
    }
    klt_detail::checkWindowSizeForSelectAndTrack(tc);
    if (!img2 || ncols <= 0 || nrows <= 0) {
        // Nothing readable: every live feature leaves the (empty) image.
        ncols = nrows = 0;
        img2 = nullptr;
    }

    KLTWorkspace& ws = klt_detail::workspace(tc);
    const int nLevels = std::max(tc.nPyramidLevels, 1);
    const float subsampling = static_cast<float>(tc.subsampling);

    const bool useStored = storedPyramidsUsable(tc, ncols, nrows, nLevels);
    if (!useStored) {
        // Without a first image and nothing stored, the second image is tracked
        // against itself.
        buildPyramids(tc, ws, img1 ? img1 : img2, ncols, nrows, nLevels, ws.first);
    }
    KLTPyramid& pyramid1 = useStored ? *tc.pyramid_last : *ws.first[0];
    KLTPyramid& gradx1 = useStored ? *tc.pyramid_last_gradx : *ws.first[1];
    KLTPyramid& grady1 = useStored ? *tc.pyramid_last_grady : *ws.first[2];

    buildPyramids(tc, ws, img2, ncols, nrows, nLevels, ws.second);
    KLTPyramid& pyramid2 = *ws.second[0];
    KLTPyramid& gradx2 = *ws.second[1];
    KLTPyramid& grady2 = *ws.second[2];

    // Every pyramid set comes from buildPyramids, with its level 0 made on demand.
    std::optional<WindowLevel> level1;
    if (LazyGradientLevel* lazy = lazyLevelOf(ws, &gradx1))
        level1.emplace(*lazy, pyramid1.img[0], gradx1.img[0], grady1.img[0], ws.tileScratch, ws.floatImage);
    WindowLevel level2(*lazyLevelOf(ws, &gradx2), pyramid2.img[0], gradx2.img[0], grady2.img[0],
                       ws.tileScratch, ws.floatImage);

    if (tc.writeInternalImages) {
        if (level1) level1->makeAll();
        level2.makeAll();
        writePyramids(pyramid1, gradx1, grady1, 'i');
        writePyramids(pyramid2, gradx2, grady2, 'j');
    }

    const KLTTrackParams params{tc.window_width,    tc.window_height,  tc.max_iterations,
                                tc.min_determinant, tc.min_displacement, tc.max_residue};
    const float minX = static_cast<float>(tc.borderx);
    const float maxX = static_cast<float>(int64_t{ncols} - tc.borderx - 1);
    const float minY = static_cast<float>(tc.bordery);
    const float maxY = static_cast<float>(int64_t{nrows} - tc.bordery - 1);

    for (size_t next = 0; next < fl.feature.size();) {
        KLTFeature* batch[kLanes];
        FeatureTrack lanes[kLanes];
        size_t count = 0;
        for (; next < fl.feature.size() && count < kLanes; ++next) {
            KLTFeature& feature = fl.feature[next];
            if (feature.val < 0) continue;
            FeatureTrack& lane = lanes[count];
            lane.x1 = feature.x;
            lane.y1 = feature.y;
            for (int level = 0; level < nLevels; ++level) {
                lane.x1 /= subsampling;
                lane.y1 /= subsampling;
            }
            lane.x2 = lane.x1;
            lane.y2 = lane.y1;
            batch[count++] = &feature;
        }
        const std::span<FeatureTrack> tracks(lanes, count);
        for (int level = nLevels - 1; level >= 0; --level) {
            for (FeatureTrack& lane : tracks) {
                if (lane.stopped) continue;
                lane.x1 *= subsampling;
                lane.y1 *= subsampling;
                lane.x2 *= subsampling;
                lane.y2 *= subsampling;
            }
            const bool lazy = level == 0;
            trackLanes(tracks,
                       {pyramid1.img[level], gradx1.img[level], grady1.img[level], pyramid2.img[level]},
                       params, lazy && level1 ? &*level1 : nullptr, lazy ? &level2 : nullptr);
            for (FeatureTrack& lane : tracks)
                lane.stopped = lane.stopped || lane.status == KLT_SMALL_DET || lane.status == KLT_OOB;
        }
        for (size_t l = 0; l < count; ++l) storeResult(lanes[l], minX, maxX, minY, maxY, *batch[l]);
    }

    // The second image's pyramids become the stored ones; the previous stored set
    // (or an empty slot) takes their place as next call's working pyramids.
    if (tc.sequentialMode) {
        std::swap(tc.pyramid_last, ws.second[0]);
        std::swap(tc.pyramid_last_gradx, ws.second[1]);
        std::swap(tc.pyramid_last_grady, ws.second[2]);
    }

    if (KLTVerbosity() > 0) {
        std::fprintf(stderr, "\n\t%d features successfully tracked.\n", countRemainingFeatures(fl));
        if (tc.writeInternalImages) std::fprintf(stderr, "\tWrote images to 'kltimg_tf*.pgm'.\n");
        std::fflush(stderr);
    }
}
