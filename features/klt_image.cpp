// Float images, Gaussian kernels and their cache, separable convolution,
// smoothing, gradients, pyramids and bilinear interpolation of the KLT library.

#include "features/klt.h"
#include "features/klt_internal.h"
#include "features/float_kernels.h"
#include "features/simd_target.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include <immintrin.h>

namespace {

// Kernel cache shared by every smoothing and gradient request.
ConvolutionKernel gaussKernel;
ConvolutionKernel gaussDerivKernel;
float sigmaLast = -10.0f;

constexpr float kKernelCutoff = 0.01f;     // entries below this fraction are dropped
constexpr float kKernelReuseTolerance = 0.05f;

bool isValidSubsampling(int subsampling) {
    return subsampling == 2 || subsampling == 4 || subsampling == 8 || subsampling == 16 ||
           subsampling == 32;
}

void ensureKernelsFor(float sigma) {
    if (std::fabs(sigma - sigmaLast) > kKernelReuseTolerance) computeKernels(sigma);
}

// Drops `width` leading entries by moving the central ones to the front.
void centreKernel(ConvolutionKernel& kernel, int width) {
    const int offset = (MAX_KERNEL_WIDTH - width) / 2;
    for (int k = 0; k < width; ++k) kernel.data[k] = kernel.data[k + offset];
    kernel.width = width;
}

// The kernel applied mirrored (a true convolution): entry k weighs offset
// (width - 1 - k) - radius, and each output sums from the last entry to the
// first. Reversing the entries turns that into a plain correlation summed from
// the first entry on.
struct ReversedKernel {
    float weights[MAX_KERNEL_WIDTH];
    int width;
    int radius;

    explicit ReversedKernel(const ConvolutionKernel& kernel)
        : width(std::clamp(kernel.width, 0, MAX_KERNEL_WIDTH)), radius(width / 2) {
        for (int j = 0; j < width; ++j) weights[j] = kernel.data[width - 1 - j];
    }
};

// One row of the horizontal pass. Both borders are 0; in a row narrower than
// the kernel the two border ranges overlap and the row stays all 0. Nothing is
// written outside it.
void horizontalRow(const float* src, float* dst, int ncols, const ReversedKernel& kernel) {
    const int radius = kernel.radius;
    const int inner = ncols - 2 * radius;
    if (inner <= 0) {
        std::fill(dst, dst + ncols, 0.0f);
        return;
    }
    std::fill(dst, dst + radius, 0.0f);
    std::fill(dst + ncols - radius, dst + ncols, 0.0f);
    float_kernels::correlateRow(src, dst + radius, inner, kernel.weights, kernel.width);
}

// Separable convolution, horizontal pass then vertical, of an ncols × nrows
// input whose row k inputRow(k) supplies as floats. The horizontal rows pass
// through a ring of kernel-height rows, which stays in cache, instead of a
// full-size intermediate image. The first and last `radius` rows of the
// vertical pass are 0. Input row k is read before output row k is written, so
// the input may be `out` itself.
template <typename InputRow>
void convolveThroughRing(InputRow inputRow, int ncols, int nrows, const ReversedKernel& horizontal,
                         const ReversedKernel& vertical, KLTFloatImage& out, KLTFloatImage& ring) {
    const int radius = vertical.radius;
    const int ringRows = std::max(vertical.width, 1);
    ring.resize(ncols, ringRows);
    const auto ringRow = [&](int k) {
        return ring.data.data() + static_cast<size_t>(k % ringRows) * static_cast<size_t>(ncols);
    };
    const float* rows[MAX_KERNEL_WIDTH];
    int produced = 0;
    for (int y = radius; y < nrows - radius; ++y) {
        for (; produced < y - radius + vertical.width; ++produced)
            horizontalRow(inputRow(produced), ringRow(produced), ncols, horizontal);
        for (int j = 0; j < vertical.width; ++j) rows[j] = ringRow(y - radius + j);
        float_kernels::correlateColumns(rows, out.data.data() + static_cast<size_t>(y) * ncols, ncols,
                                        vertical.weights, vertical.width);
    }
    // The zero rows last: the first of them may still have been input.
    const int top = std::min(radius, nrows);
    const int bottom = std::max(nrows - radius, top);
    std::fill(out.data.begin(), out.data.begin() + static_cast<std::ptrdiff_t>(top) * ncols, 0.0f);
    std::fill(out.data.begin() + static_cast<std::ptrdiff_t>(bottom) * ncols, out.data.end(), 0.0f);
}

// convolveImage restricted to the outputs [x0, x1) × [y0, y1): each of them gets
// the value, bit for bit, that the whole-image convolution gives it. The
// horizontal pass runs only on the rows and columns those outputs read.
// source(r, c, n) points to n input values of row r from column c on, as floats.
template <typename Source>
void convolveTileOf(Source source, int ncols, int nrows, const ReversedKernel& horizontal,
                    const ReversedKernel& vertical, int x0, int y0, int x1, int y1, KLTFloatImage& out,
                    KLTFloatImage& scratch) {
    const int width = x1 - x0;
    const int rv = vertical.radius;
    const int ya = std::clamp(rv, y0, y1);
    const int yb = std::clamp(nrows - rv, ya, y1);
    for (int y = y0; y < y1; ++y) {
        if (y >= ya && y < yb) continue;
        float* dst = out.data.data() + static_cast<size_t>(y) * ncols + x0;
        std::fill(dst, dst + width, 0.0f);
    }
    if (ya >= yb) return;

    const int rh = horizontal.radius;
    const int firstRow = ya - rv;
    const int rowCount = yb - ya + vertical.width - 1;
    const int innerFrom = std::clamp(rh, x0, x1);
    const int innerTo = std::clamp(ncols - rh, innerFrom, x1);
    scratch.resize(width, rowCount);
    for (int r = 0; r < rowCount; ++r) {
        float* dst = scratch.data.data() + static_cast<size_t>(r) * width;
        std::fill(dst, dst + (innerFrom - x0), 0.0f);
        std::fill(dst + (innerTo - x0), dst + width, 0.0f);
        if (innerTo > innerFrom)
            float_kernels::correlateRow(source(firstRow + r, innerFrom - rh, innerTo - innerFrom + 2 * rh),
                                        dst + (innerFrom - x0), innerTo - innerFrom, horizontal.weights,
                                        horizontal.width);
    }
    const float* rows[MAX_KERNEL_WIDTH];
    for (int y = ya; y < yb; ++y) {
        for (int j = 0; j < vertical.width; ++j)
            rows[j] = scratch.data.data() + static_cast<size_t>(y - rv + j - firstRow) * width;
        float_kernels::correlateColumns(rows, out.data.data() + static_cast<size_t>(y) * ncols + x0, width,
                                        vertical.weights, vertical.width);
    }
}

void convolveTile(const KLTFloatImage& in, const ReversedKernel& horizontal, const ReversedKernel& vertical,
                  int x0, int y0, int x1, int y1, KLTFloatImage& out, KLTFloatImage& scratch) {
    const float* data = in.data.data();
    const int ncols = in.ncols;
    convolveTileOf([data, ncols](int r, int c, int) { return data + static_cast<size_t>(r) * ncols + c; },
                   ncols, in.nrows, horizontal, vertical, x0, y0, x1, y1, out, scratch);
}

void convolveImage(const KLTFloatImage& in, const ConvolutionKernel& horizKernel,
                   const ConvolutionKernel& vertKernel, KLTFloatImage& out, KLTFloatImage& ring) {
    const int ncols = in.ncols;
    const int nrows = in.nrows;
    const float* data = in.data.data();
    out.resize(ncols, nrows);
    convolveThroughRing(
        [data, ncols](int k) { return data + static_cast<size_t>(k) * static_cast<size_t>(ncols); }, ncols,
        nrows, ReversedKernel(horizKernel), ReversedKernel(vertKernel), out, ring);
}

// Phase p of a row (columns p, p + s, p + 2s, ...) to phases + p * phaseLength.
// One pass over the row, with a fixed step the compiler turns into shuffles.
template <int S>
void splitPhasesBy(const float* src, int ncols, float* phases, int phaseLength) {
    const int whole = ncols / S;
    for (int m = 0; m < whole; ++m)
        for (int p = 0; p < S; ++p) phases[static_cast<size_t>(p) * phaseLength + m] = src[m * S + p];
    for (int c = whole * S; c < ncols; ++c) phases[static_cast<size_t>(c % S) * phaseLength + c / S] = src[c];
}

void splitPhases(const float* src, int ncols, int subsampling, float* phases, int phaseLength) {
    switch (subsampling) {
    case 2: return splitPhasesBy<2>(src, ncols, phases, phaseLength);
    case 4: return splitPhasesBy<4>(src, ncols, phases, phaseLength);
    case 8: return splitPhasesBy<8>(src, ncols, phases, phaseLength);
    case 16: return splitPhasesBy<16>(src, ncols, phases, phaseLength);
    default: return splitPhasesBy<32>(src, ncols, phases, phaseLength);
    }
}

// The smoothed image (horizontal, then vertical pass with the same kernel) at
// the positions (subsampling * x + offset, subsampling * y + offset) only, with
// the values a full smoothing would have there. Each row is split into its
// `subsampling` phases first, so the taps of neighbouring outputs lie next to
// each other in memory and the sums vectorize.
void smoothAtSampledPositions(const KLTFloatImage& in, const ConvolutionKernel& kernel,
                              int subsampling, KLTFloatImage& out, KLTFloatImage& horizontal,
                              KLTFloatImage& phases) {
    const ReversedKernel reversed(kernel);
    const int ncols = in.ncols;
    const int nrows = in.nrows;
    const int radius = reversed.radius;
    const int offset = subsampling / 2;
    const int outCols = out.ncols;
    const int outRows = out.nrows;
    const int phaseLength = (ncols + subsampling - 1) / subsampling;

    // Output columns whose horizontal pass is inside the row: radius <= column < ncols - radius.
    auto firstInside = [&](int size) {
        int x = 0;
        while (x < size && subsampling * x + offset < radius) ++x;
        return x;
    };
    auto endInside = [&](int size, int extent) {
        int x = size;
        while (x > 0 && subsampling * (x - 1) + offset >= extent - radius) --x;
        return x;
    };
    const int x0 = firstInside(outCols);
    const int x1 = std::max(x0, endInside(outCols, ncols));

    // Horizontal pass at the sampled columns, into a ring of kernel-height rows
    // that the vertical pass reads while they are still in cache.
    const int ringRows = std::max(reversed.width, 1);
    horizontal.resize(outCols, ringRows);
    const auto ringRow = [&](int row) {
        return horizontal.data.data() + static_cast<size_t>(row % ringRows) * static_cast<size_t>(outCols);
    };
    phases.resize(phaseLength, subsampling);
    const float* phaseRows[MAX_KERNEL_WIDTH] = {};
    // Without a sampled column inside the row the pass is all 0 (and the phase
    // offsets below would point outside the phases).
    for (int j = 0; j < reversed.width && x1 > x0; ++j) {
        // Column subsampling * x + offset - radius + j lies in phase p at index x + q,
        // which is in the phase for every x from x0 on.
        const int shift = offset - radius + j;
        const int q = shift >= 0 ? shift / subsampling : -((-shift + subsampling - 1) / subsampling);
        const int p = shift - q * subsampling;
        phaseRows[j] = phases.data.data() + static_cast<size_t>(p) * phaseLength + (q + x0);
    }
    const auto horizontalPass = [&](int row) {
        float* dst = ringRow(row);
        std::fill(dst, dst + x0, 0.0f);
        std::fill(dst + x1, dst + outCols, 0.0f);
        if (x1 <= x0) return;
        splitPhases(in.data.data() + static_cast<size_t>(row) * ncols, ncols, subsampling, phases.data.data(),
                    phaseLength);
        float_kernels::correlateColumns(phaseRows, dst + x0, x1 - x0, reversed.weights, reversed.width);
    };

    // Vertical pass at the sampled rows, each after the rows it reads; rows no
    // sampled row reads are never made.
    const float* rows[MAX_KERNEL_WIDTH];
    int made = 0;
    for (int y = 0; y < outRows; ++y) {
        const int centre = subsampling * y + offset;
        float* dst = out.data.data() + static_cast<size_t>(y) * outCols;
        if (centre < radius || centre >= nrows - radius) {
            std::fill(dst, dst + outCols, 0.0f);
            continue;
        }
        for (made = std::max(made, centre - radius); made <= centre + radius; ++made) horizontalPass(made);
        for (int j = 0; j < reversed.width; ++j) rows[j] = ringRow(centre - radius + j);
        float_kernels::correlateColumns(rows, dst, outCols, reversed.weights, reversed.width);
    }
}

}  // namespace

// --- Float images ----------------------------------------------------------------

void KLTFloatImage::resize(int cols, int rows) {
    ncols = std::max(cols, 0);
    nrows = std::max(rows, 0);
    try {
        data.resize(static_cast<size_t>(ncols) * static_cast<size_t>(nrows));
    } catch (const std::exception&) {
        kltError("(_KLTCreateFloatImage)  Out of memory");
    }
}

KLTFloatImage KLTCreateFloatImage(int ncols, int nrows) {
    KLTFloatImage image;
    image.resize(ncols, nrows);
    return image;
}

void toFloatImage(const unsigned char* img, int ncols, int nrows, KLTFloatImage& out) {
    out.resize(ncols, nrows);
    if (!img) {
        std::fill(out.data.begin(), out.data.end(), 0.0f);
        return;
    }
    for (size_t i = 0; i < out.data.size(); ++i) out.data[i] = static_cast<float>(img[i]);
}

// --- Kernels ---------------------------------------------------------------------

void computeKernels(float sigma) {
    // Tracking asks for a few sigmas in turn on every frame; the kernels of the
    // last few are kept instead of being worked out again.
    struct Kept {
        float sigma;
        ConvolutionKernel gauss;
        ConvolutionKernel deriv;
    };
    static Kept kept[4];
    static int keptCount = 0;
    static int nextSlot = 0;
    for (int k = 0; k < keptCount; ++k) {
        if (kept[k].sigma != sigma) continue;
        gaussKernel = kept[k].gauss;
        gaussDerivKernel = kept[k].deriv;
        sigmaLast = sigma;
        return;
    }
    constexpr int half = MAX_KERNEL_WIDTH / 2;
    const float twoSigmaSquared = 2.0f * sigma * sigma;
    for (int i = -half; i <= half; ++i) {
        // sigma 0 would make the centre 0/0; its Gaussian is the unit impulse.
        const float g = (i == 0) ? 1.0f
                        : (twoSigmaSquared == 0.0f)
                            ? 0.0f
                            : std::exp(-static_cast<float>(i * i) / twoSigmaSquared);
        gaussKernel.data[i + half] = g;
        gaussDerivKernel.data[i + half] = -static_cast<float>(i) * g;
    }
    const float maxDeriv = sigma * std::exp(-0.5f);

    // Leading entries below the cutoff shrink the kernel; the centre always stays,
    // so a tiny sigma gives width 1 instead of running past the array.
    int gaussWidth = MAX_KERNEL_WIDTH;
    for (int k = 0; k < half && std::fabs(gaussKernel.data[k]) < kKernelCutoff; ++k)
        gaussWidth -= 2;
    int derivWidth = MAX_KERNEL_WIDTH;
    for (int k = 0; k < half; ++k) {
        const float relative = maxDeriv == 0.0f ? 0.0f : gaussDerivKernel.data[k] / maxDeriv;
        if (!(std::fabs(relative) < kKernelCutoff)) break;
        derivWidth -= 2;
    }
    if (gaussWidth == MAX_KERNEL_WIDTH || derivWidth == MAX_KERNEL_WIDTH)
        kltError("(_computeKernels) MAX_KERNEL_WIDTH %d is too small for a sigma of %f",
                 MAX_KERNEL_WIDTH, static_cast<double>(sigma));

    centreKernel(gaussKernel, gaussWidth);
    centreKernel(gaussDerivKernel, derivWidth);

    float sum = 0.0f;
    for (int k = 0; k < gaussWidth; ++k) sum += gaussKernel.data[k];
    for (int k = 0; k < gaussWidth; ++k) gaussKernel.data[k] /= sum;

    // Scaled so that a ramp rising by 1 per pixel has derivative 1. A derivative
    // kernel reduced to its zero centre has nothing to scale (and would give 0/0).
    const int derivHalf = derivWidth / 2;
    float den = 0.0f;
    for (int i = -derivHalf; i <= derivHalf; ++i)
        den -= static_cast<float>(i) * gaussDerivKernel.data[i + derivHalf];
    if (den != 0.0f)
        for (int k = 0; k < derivWidth; ++k) gaussDerivKernel.data[k] /= den;

    sigmaLast = sigma;
    kept[nextSlot] = {sigma, gaussKernel, gaussDerivKernel};
    nextSlot = (nextSlot + 1) % 4;
    keptCount = std::min(keptCount + 1, 4);
}

KernelWidths getKernelWidths(float sigma) {
    computeKernels(sigma);
    return {gaussKernel.width, gaussDerivKernel.width};
}

const ConvolutionKernel& cachedGaussKernel() { return gaussKernel; }
const ConvolutionKernel& cachedGaussDerivKernel() { return gaussDerivKernel; }
float cachedKernelSigma() { return sigmaLast; }

// --- Convolution -------------------------------------------------------------------

namespace klt_detail {

void convolveSeparate(const KLTFloatImage& in, const ConvolutionKernel& horizKernel,
                      const ConvolutionKernel& vertKernel, KLTFloatImage& out,
                      KLTFloatImage& temp) {
    convolveImage(in, horizKernel, vertKernel, out, temp);
}

void computeSmoothedImage(const KLTFloatImage& in, float sigma, KLTFloatImage& out,
                          KLTFloatImage& temp) {
    ensureKernelsFor(sigma);
    convolveImage(in, gaussKernel, gaussKernel, out, temp);
}

void smoothBytes(const unsigned char* img, int ncols, int nrows, float sigma, KLTFloatImage& out,
                 KLTFloatImage& ring, KLTFloatImage& rowScratch) {
    ensureKernelsFor(sigma);
    ncols = std::max(ncols, 0);
    nrows = std::max(nrows, 0);
    out.resize(ncols, nrows);
    rowScratch.resize(ncols, 1);
    float* row = rowScratch.data.data();
    const auto convertedRow = [&](int k) {
        if (!img) {
            std::fill(row, row + ncols, 0.0f);
            return static_cast<const float*>(row);
        }
        float_kernels::bytesToFloats(img + static_cast<size_t>(k) * static_cast<size_t>(ncols), row,
                                     static_cast<size_t>(ncols));
        return static_cast<const float*>(row);
    };
    const ReversedKernel kernel(gaussKernel);
    convolveThroughRing(convertedRow, ncols, nrows, kernel, kernel, out, ring);
}

void gradientKernels(float sigma, ConvolutionKernel& gauss, ConvolutionKernel& deriv) {
    ensureKernelsFor(sigma);
    gauss = gaussKernel;
    deriv = gaussDerivKernel;
}

void smoothingKernel(float sigma, ConvolutionKernel& gauss) {
    ensureKernelsFor(sigma);
    gauss = gaussKernel;
}

void smoothBytesTile(const unsigned char* img, int ncols, int nrows, const ConvolutionKernel& kernel, int x0,
                     int y0, int x1, int y1, KLTFloatImage& out, KLTFloatImage& scratch,
                     KLTFloatImage& rowScratch) {
    const ReversedKernel reversed(kernel);
    const int r = reversed.radius;
    // Blocks whose every output has both passes inside the image take the block
    // kernel over the bytes converted once; the rest, near the borders, the
    // general tile.
    int blocksFrom = x1;
    int blocksTo = x1;
    if (img && y0 >= r && y1 <= nrows - r && y1 > y0) {
        blocksFrom = std::clamp(r, x0, x1);
        const int whole = (std::min(x1, ncols - r) - blocksFrom) / float_kernels::kBlockColumns;
        blocksTo = blocksFrom + std::max(whole, 0) * float_kernels::kBlockColumns;
    }
    const auto general = [&](int from, int to) {
        if (from >= to) return;
        rowScratch.resize(ncols, 1);
        float* row = rowScratch.data.data();
        const auto source = [&](int y, int c, int n) {
            if (!img) {
                std::fill(row, row + n, 0.0f);
            } else {
                float_kernels::bytesToFloats(img + static_cast<size_t>(y) * static_cast<size_t>(ncols) + c, row,
                                             static_cast<size_t>(n));
            }
            return static_cast<const float*>(row);
        };
        convolveTileOf(source, ncols, nrows, reversed, reversed, from, y0, to, y1, out, scratch);
    };
    general(x0, blocksFrom);
    general(blocksTo, x1);
    if (blocksTo <= blocksFrom) return;
    const int width = blocksTo - blocksFrom + 2 * r;
    const int rows = y1 - y0 + 2 * r;
    rowScratch.resize(width, rows);
    for (int k = 0; k < rows; ++k)
        float_kernels::bytesToFloats(img + static_cast<size_t>(y0 - r + k) * static_cast<size_t>(ncols) + blocksFrom - r,
                                     rowScratch.data.data() + static_cast<size_t>(k) * width, static_cast<size_t>(width));
    for (int x = blocksFrom; x < blocksTo; x += float_kernels::kBlockColumns)
        float_kernels::separableBlock(rowScratch.data.data() + (x - blocksFrom), width, reversed.weights,
                                      reversed.width, reversed.weights, reversed.width, y1 - y0,
                                      out.data.data() + static_cast<size_t>(y0) * ncols + x, ncols);
}

// The binomial halving of levelByHalvings, 16 columns at a time with AVX2; the
// integer sums are those of the scalar loops, so the results are the same.
CASTELLAN_BEGIN_AVX2
namespace halving_avx2 {

// Vertical sums of the rows r[0..4] for columns [0, count) (count a multiple of
// 16), the even columns' to evens, the odd ones' to odds.
// 16 bytes widened to 16-bit values, and 16 such values, from unaligned memory.
inline __m256i widenedBytes(const unsigned char* p) {
    __m128i bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return _mm256_cvtepu8_epi16(bytes);
}
inline __m256i sixteenValues(const uint16_t* p) {
    __m256i v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void verticalSums(const unsigned char* const* r, int count, uint16_t* evens, uint16_t* odds) {
    const __m256i lowHalves = _mm256_set1_epi32(0xffff);
    for (int c = 0; c < count; c += 16) {
        const __m256i middle = widenedBytes(r[2] + c);
        const __m256i t = _mm256_add_epi16(
            _mm256_add_epi16(_mm256_add_epi16(widenedBytes(r[0] + c), widenedBytes(r[4] + c)),
                             _mm256_slli_epi16(_mm256_add_epi16(widenedBytes(r[1] + c), widenedBytes(r[3] + c)), 2)),
            _mm256_add_epi16(_mm256_slli_epi16(middle, 2), _mm256_slli_epi16(middle, 1)));
        const __m256i packed =
            _mm256_packus_epi32(_mm256_and_si256(t, lowHalves), _mm256_srli_epi32(t, 16));
        const __m256i ordered = _mm256_permute4x64_epi64(packed, 0xd8);
        const __m128i evenHalf = _mm256_castsi256_si128(ordered);
        const __m128i oddHalf = _mm256_extracti128_si256(ordered, 1);
        std::memcpy(evens + c / 2, &evenHalf, sizeof evenHalf);
        std::memcpy(odds + c / 2, &oddHalf, sizeof oddHalf);
    }
}

// Half-size values for u in [from, to) (to - from a multiple of 16), all inside the row.
void horizontalSums(const uint16_t* evens, const uint16_t* odds, int from, int to, float* dst) {
    const __m256 scale = _mm256_set1_ps(1.0f / 256.0f);
    for (int u = from; u < to; u += 16) {
        const __m256i centre = sixteenValues(evens + u);
        const __m256i sum = _mm256_add_epi16(
            _mm256_add_epi16(_mm256_add_epi16(sixteenValues(evens + u - 1), sixteenValues(evens + u + 1)),
                             _mm256_slli_epi16(_mm256_add_epi16(sixteenValues(odds + u - 1), sixteenValues(odds + u)), 2)),
            _mm256_add_epi16(_mm256_slli_epi16(centre, 2), _mm256_slli_epi16(centre, 1)));
        const __m256 low = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(sum)));
        const __m256 high = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(sum, 1)));
        _mm256_storeu_ps(dst + u, _mm256_mul_ps(low, scale));
        _mm256_storeu_ps(dst + u + 8, _mm256_mul_ps(high, scale));
    }
}

}  // namespace halving_avx2
CASTELLAN_END_AVX2

// Level 1 for a subsampling of 4 in two halvings: the bytes smoothed with the
// binomial kernel 1 4 6 4 1 (variance 1) at every second row and column, in
// integers (rows and columns beyond the border repeat the last), then that
// half-size image smoothed with the Gaussian that brings the variance to the sum
// of the smoothing's and the pyramid's, at every second of its odd rows and
// columns: full-size positions 4x + 2, as the pyramid samples. Positions closer
// to the border than the two kernels reach together are 0.
void levelByHalvings(const unsigned char* img, int ncols, int nrows, float smoothSigma, float pyramidSigma,
                     KLTFloatImage& out, KLTFloatImage& half, std::vector<uint16_t>& rowSums, KLTFloatImage& ring,
                     KLTFloatImage& phases) {
    const int halfCols = ncols / 2;
    const int halfRows = nrows / 2;
    half.resize(halfCols, halfRows);
    // The vertical sums of one row: the even columns', then the odd columns',
    // with room for a vector past each.
    const size_t stride = static_cast<size_t>(ncols) / 2 + 1 + 16;
    rowSums.resize(2 * stride);
    uint16_t* evens = rowSums.data();
    uint16_t* odds = evens + stride;
    const bool avx2 = float_kernels::usesAvx2();
    const int vectorColumns = avx2 ? ncols / 16 * 16 : 0;
    // Output u of the vector pass reads columns 2u - 2 .. 2u + 2 and 16 of them at a time.
    const int innerFrom = 1;
    const int innerTo = std::max(innerFrom, ncols >= 3 ? (ncols - 3) / 2 + 1 : innerFrom);
    // The last vector moves back over outputs the one before made, to the same values.
    const int vectorTo = avx2 && innerTo - innerFrom >= 16 ? innerTo : innerFrom;
    const auto clampRow = [&](int r) { return img + static_cast<size_t>(std::clamp(r, 0, nrows - 1)) * ncols; };
    const auto column = [&](int c) {
        c = std::clamp(c, 0, ncols - 1);
        return static_cast<int>(c % 2 == 0 ? evens[c / 2] : odds[c / 2]);
    };
    for (int v = 0; v < halfRows; ++v) {
        const unsigned char* r[5] = {clampRow(2 * v - 2), clampRow(2 * v - 1), clampRow(2 * v), clampRow(2 * v + 1),
                                     clampRow(2 * v + 2)};
        if (vectorColumns > 0) halving_avx2::verticalSums(r, vectorColumns, evens, odds);
        for (int x = vectorColumns; x < ncols; ++x) {
            const int t = r[0][x] + r[4][x] + 4 * (r[1][x] + r[3][x]) + 6 * r[2][x];
            (x % 2 == 0 ? evens : odds)[x / 2] = static_cast<uint16_t>(t);
        }
        float* dst = half.data.data() + static_cast<size_t>(v) * halfCols;
        // Sums of at most 16 * 16 * 255, exact in floats; 1 / 256 is exact too.
        const auto scalar = [&](int u) {
            const int sum = column(2 * u - 2) + column(2 * u + 2) + 4 * (column(2 * u - 1) + column(2 * u + 1)) +
                            6 * column(2 * u);
            dst[u] = static_cast<float>(sum) * (1.0f / 256.0f);
        };
        if (vectorTo > innerFrom) {
            const int whole = innerFrom + (vectorTo - innerFrom) / 16 * 16;
            halving_avx2::horizontalSums(evens, odds, innerFrom, whole, dst);
            if (whole < vectorTo) halving_avx2::horizontalSums(evens, odds, vectorTo - 16, vectorTo, dst);
        }
        for (int u = 0; u < std::min(innerFrom, halfCols); ++u) scalar(u);
        for (int u = std::max(vectorTo, innerFrom); u < halfCols; ++u) scalar(u);
    }
    // The Gaussian of the rest of the variance, in half-size pixels.
    const float rest = (smoothSigma * smoothSigma + pyramidSigma * pyramidSigma - 1.0f) / 4.0f;
    ensureKernelsFor(std::sqrt(std::max(rest, 0.0f)));
    const ConvolutionKernel kernel = gaussKernel;
    const int rb = kernel.width / 2;
    float weights[MAX_KERNEL_WIDTH];  // weights[k] weighs the offsets k and -k
    for (int k = 0; k <= rb; ++k) weights[k] = kernel.data[rb + k];
    // At every second odd column and row of the half-size image: horizontal
    // pass first, each row split into its even and odd columns, folded taps.
    int x0 = 0;
    while (x0 < out.ncols && 2 * x0 + 1 < rb) ++x0;
    int x1 = out.ncols;
    while (x1 > x0 && 2 * (x1 - 1) + 1 >= halfCols - rb) --x1;
    const int count = x1 - x0;
    const int phaseLength = (halfCols + 1) / 2;
    phases.resize(phaseLength, 2);
    const auto phaseTap = [&](int j) {
        // Column 2x + 1 + j is entry x + q of phase p.
        const int shift = 1 + j;
        const int q = shift >= 0 ? shift / 2 : -((-shift + 1) / 2);
        const int p = shift - 2 * q;
        return phases.data.data() + static_cast<size_t>(p) * phaseLength + (q + x0);
    };
    const float* phaseBefore[MAX_KERNEL_WIDTH] = {};
    const float* phaseAfter[MAX_KERNEL_WIDTH] = {};
    for (int k = 1; k <= rb && count > 0; ++k) {
        phaseBefore[k] = phaseTap(-k);
        phaseAfter[k] = phaseTap(k);
    }
    const float* phaseCentre = count > 0 ? phaseTap(0) : nullptr;
    const int ringRows = std::max(kernel.width, 1);
    ring.resize(std::max(count, 1), ringRows);
    const auto ringRow = [&](int k) {
        return ring.data.data() + static_cast<size_t>(k % ringRows) * static_cast<size_t>(std::max(count, 1));
    };
    const float* before[MAX_KERNEL_WIDTH] = {};
    const float* after[MAX_KERNEL_WIDTH] = {};
    int made = 0;
    for (int y = 0; y < out.nrows; ++y) {
        const int centre = 2 * y + 1;
        float* dst = out.data.data() + static_cast<size_t>(y) * out.ncols;
        if (centre < rb || centre >= halfRows - rb || count <= 0) {
            std::fill(dst, dst + out.ncols, 0.0f);
            continue;
        }
        for (made = std::max(made, centre - rb); made <= centre + rb; ++made) {
            splitPhases(half.data.data() + static_cast<size_t>(made) * halfCols, halfCols, 2, phases.data.data(),
                        phaseLength);
            float_kernels::symmetricSmoothColumns(phaseCentre, phaseBefore, phaseAfter, ringRow(made), count,
                                                  weights, rb);
        }
        for (int k = 1; k <= rb; ++k) {
            before[k] = ringRow(centre - k);
            after[k] = ringRow(centre + k);
        }
        std::fill(dst, dst + x0, 0.0f);
        std::fill(dst + x1, dst + out.ncols, 0.0f);
        float_kernels::symmetricSmoothColumns(ringRow(centre), before, after, dst + x0, count, weights, rb);
    }
    const int radius = 2 * rb + 2;
    for (int y = 0; y < out.nrows; ++y) {
        float* row = out.data.data() + static_cast<size_t>(y) * out.ncols;
        const int centreY = 4 * y + 2;
        if (centreY < radius || centreY >= nrows - radius) {
            std::fill(row, row + out.ncols, 0.0f);
            continue;
        }
        for (int x = 0; x < out.ncols && 4 * x + 2 < radius; ++x) row[x] = 0.0f;
        for (int x = out.ncols - 1; x >= 0 && 4 * x + 2 >= ncols - radius; --x) row[x] = 0.0f;
    }
}

void sampledLevelFromBytes(const unsigned char* img, int ncols, int nrows, float smoothSigma,
                           float pyramidSigma, int subsampling, KLTFloatImage& out, KLTFloatImage& ring,
                           KLTFloatImage& phases, KLTFloatImage& half, std::vector<uint16_t>& rowSums) {
    if (img && subsampling == 4) {
        levelByHalvings(img, ncols, nrows, smoothSigma, pyramidSigma, out, half, rowSums, ring, phases);
        return;
    }
    // The two Gaussians convolved into one kernel, in double precision. Both are
    // symmetric and so is the result: weights[k] weighs the offsets k and -k.
    ensureKernelsFor(smoothSigma);
    const ConvolutionKernel smooth = gaussKernel;
    ensureKernelsFor(pyramidSigma);
    const ConvolutionKernel& pyramid = gaussKernel;
    const int width = smooth.width + pyramid.width - 1;
    const int radius = width / 2;
    float weights[MAX_KERNEL_WIDTH];
    for (int k = 0; k <= radius; ++k) {
        const int m = radius + k;
        double sum = 0.0;
        for (int i = std::max(0, m - pyramid.width + 1); i <= std::min(m, smooth.width - 1); ++i)
            sum += static_cast<double>(smooth.data[i]) * static_cast<double>(pyramid.data[m - i]);
        weights[k] = static_cast<float>(sum);
    }

    const int offset = subsampling / 2;
    const int outCols = out.ncols;
    const int outRows = out.nrows;
    // Sampled columns whose kernel lies inside the row.
    int x0 = 0;
    while (x0 < outCols && subsampling * x0 + offset < radius) ++x0;
    int x1 = outCols;
    while (x1 > x0 && subsampling * (x1 - 1) + offset >= ncols - radius) --x1;
    const int count = x1 - x0;

    // Each row the horizontal pass reads is split into its phases so that the
    // taps of neighbouring outputs lie side by side.
    const int phaseLength = (ncols + subsampling - 1) / subsampling;
    // The phases, then the row as floats.
    phases.resize(phaseLength * subsampling + ncols, 1);
    float* rowFloats = phases.data.data() + static_cast<size_t>(subsampling) * phaseLength;
    const auto ringRow = [&](int k) {
        return ring.data.data() + static_cast<size_t>(k % width) * static_cast<size_t>(std::max(count, 1));
    };
    // Tap offset j from the centre of sampled column x: column subsampling * x +
    // offset + j, which is entry x + q of phase p.
    const auto phaseTap = [&](int j) {
        const int shift = offset + j;
        const int q = shift >= 0 ? shift / subsampling : -((-shift + subsampling - 1) / subsampling);
        const int p = shift - q * subsampling;
        return phases.data.data() + static_cast<size_t>(p) * phaseLength + (q + x0);
    };
    // The symmetric kernel is folded: before[k] and after[k] are the taps k before and after the centre.
    const float* phaseBefore[MAX_KERNEL_WIDTH] = {};
    const float* phaseAfter[MAX_KERNEL_WIDTH] = {};
    const float* phaseCentre = count > 0 ? phaseTap(0) : nullptr;
    for (int k = 1; k <= radius && count > 0; ++k) {
        phaseBefore[k] = phaseTap(-k);
        phaseAfter[k] = phaseTap(k);
    }
    const auto horizontalPass = [&](const float* input, float* output) {
        splitPhases(input, ncols, subsampling, phases.data.data(), phaseLength);
        float_kernels::symmetricSmoothColumns(phaseCentre, phaseBefore, phaseAfter, output, count, weights, radius);
    };
    const auto convertRow = [&](int row, float* to) {
        if (img)
            float_kernels::bytesToFloats(img + static_cast<size_t>(row) * static_cast<size_t>(ncols), to,
                                         static_cast<size_t>(ncols));
        else
            std::fill(to, to + ncols, 0.0f);
    };

    const float* before[MAX_KERNEL_WIDTH] = {};
    const float* after[MAX_KERNEL_WIDTH] = {};
    // The horizontal pass first, at the sampled columns only, into a ring of
    // kernel-height rows that the vertical pass at the sampled rows reads while
    // they are still in the first-level cache.
    ring.resize(std::max(count, 1), width);
    int made = 0;
    for (int y = 0; y < outRows; ++y) {
        const int centre = subsampling * y + offset;
        float* dst = out.data.data() + static_cast<size_t>(y) * outCols;
        if (centre < radius || centre >= nrows - radius || count <= 0) {
            std::fill(dst, dst + outCols, 0.0f);
            continue;
        }
        for (made = std::max(made, centre - radius); made <= centre + radius; ++made) {
            convertRow(made, rowFloats);
            horizontalPass(rowFloats, ringRow(made));
        }
        for (int k = 1; k <= radius; ++k) {
            before[k] = ringRow(centre - k);
            after[k] = ringRow(centre + k);
        }
        std::fill(dst, dst + x0, 0.0f);
        std::fill(dst + x1, dst + outCols, 0.0f);
        float_kernels::symmetricSmoothColumns(ringRow(centre), before, after, dst + x0, count, weights, radius);
    }
}

void gradientTile(const KLTFloatImage& in, const ConvolutionKernel& gauss, const ConvolutionKernel& deriv,
                  int x0, int y0, int x1, int y1, KLTFloatImage& gradx, KLTFloatImage& grady,
                  KLTFloatImage& scratch) {
    const ReversedKernel g(gauss);
    const ReversedKernel d(deriv);
    // Blocks whose every output has both passes inside the image take the block
    // kernel; the rest, near the borders, the general tile.
    const int margin = std::max(g.radius, d.radius);
    int blocksFrom = x1;
    int blocksTo = x1;
    if (y0 >= margin && y1 <= in.nrows - margin && y1 > y0) {
        blocksFrom = std::clamp(margin, x0, x1);
        const int whole = (std::min(x1, in.ncols - margin) - blocksFrom) / float_kernels::kBlockColumns;
        blocksTo = blocksFrom + std::max(whole, 0) * float_kernels::kBlockColumns;
    }
    const auto general = [&](int from, int to) {
        if (from >= to) return;
        convolveTile(in, d, g, from, y0, to, y1, gradx, scratch);
        convolveTile(in, g, d, from, y0, to, y1, grady, scratch);
    };
    general(x0, blocksFrom);
    general(blocksTo, x1);
    const std::ptrdiff_t stride = in.ncols;
    const auto offset = [stride](int x, int y) { return static_cast<std::ptrdiff_t>(y) * stride + x; };
    const float* src = in.data.data();
    for (int x = blocksFrom; x < blocksTo; x += float_kernels::kBlockColumns) {
        float_kernels::separableBlock(src + offset(x - d.radius, y0 - g.radius), stride, d.weights, d.width,
                                      g.weights, g.width, y1 - y0, gradx.data.data() + offset(x, y0), stride);
        float_kernels::separableBlock(src + offset(x - g.radius, y0 - d.radius), stride, g.weights, g.width,
                                      d.weights, d.width, y1 - y0, grady.data.data() + offset(x, y0), stride);
    }
}

void computeGradients(const KLTFloatImage& in, float sigma, KLTFloatImage& gradx,
                      KLTFloatImage& grady, KLTFloatImage& temp) {
    ensureKernelsFor(sigma);
    convolveImage(in, gaussDerivKernel, gaussKernel, gradx, temp);
    convolveImage(in, gaussKernel, gaussDerivKernel, grady, temp);
}

}  // namespace klt_detail

void convolveSeparate(const KLTFloatImage& in, const ConvolutionKernel& horizKernel,
                      const ConvolutionKernel& vertKernel, KLTFloatImage& out) {
    KLTFloatImage temp;
    klt_detail::convolveSeparate(in, horizKernel, vertKernel, out, temp);
}

void computeSmoothedImage(const KLTFloatImage& in, float sigma, KLTFloatImage& out) {
    KLTFloatImage temp;
    klt_detail::computeSmoothedImage(in, sigma, out, temp);
}

void computeGradients(const KLTFloatImage& in, float sigma, KLTFloatImage& gradx,
                      KLTFloatImage& grady) {
    KLTFloatImage temp;
    klt_detail::computeGradients(in, sigma, gradx, grady, temp);
}

// --- Pyramids ------------------------------------------------------------------------

std::unique_ptr<KLTPyramid> KLTCreatePyramid(int ncols, int nrows, int subsampling, int nLevels) {
    if (!isValidSubsampling(subsampling))
        kltError("(_KLTCreatePyramid)  Pyramid's subsampling must be either 2, 4, 8, 16, or 32");
    std::unique_ptr<KLTPyramid> pyramid;
    try {
        pyramid = std::make_unique<KLTPyramid>();
        const size_t levels = static_cast<size_t>(std::max(nLevels, 0));
        pyramid->img.resize(levels);
        pyramid->ncols.resize(levels);
        pyramid->nrows.resize(levels);
    } catch (const std::exception&) {
        kltError("(_KLTCreatePyramid)  Out of memory");
    }
    pyramid->subsampling = subsampling;
    pyramid->nLevels = std::max(nLevels, 0);
    for (int level = 0; level < pyramid->nLevels; ++level) {
        pyramid->img[level].resize(ncols, nrows);
        pyramid->ncols[level] = pyramid->img[level].ncols;
        pyramid->nrows[level] = pyramid->img[level].nrows;
        ncols /= subsampling;
        nrows /= subsampling;
    }
    return pyramid;
}

namespace klt_detail {

void ensurePyramid(std::unique_ptr<KLTPyramid>& pyramid, int ncols, int nrows, int subsampling,
                   int nLevels) {
    const bool fits = pyramid && pyramid->subsampling == subsampling &&
                      pyramid->nLevels == nLevels && nLevels > 0 &&
                      pyramid->ncols[0] == ncols && pyramid->nrows[0] == nrows;
    if (!fits) pyramid = KLTCreatePyramid(ncols, nrows, subsampling, nLevels);
}

void computePyramid(const KLTFloatImage& img, KLTPyramid& pyramid, float sigmaFact,
                    KLTFloatImage& smoothTemp, KLTFloatImage& phases) {
    // Level sizes follow the image, so a pyramid of another shape is never overrun.
    if (pyramid.nLevels >= 1 && isValidSubsampling(pyramid.subsampling)) {
        pyramid.img[0].resize(img.ncols, img.nrows);
        std::copy(img.data.begin(), img.data.end(), pyramid.img[0].data.begin());
    }
    computeUpperLevels(pyramid, sigmaFact, smoothTemp, phases);
}

void computeUpperLevels(KLTPyramid& pyramid, float sigmaFact, KLTFloatImage& smoothTemp,
                        KLTFloatImage& phases, int firstLevel) {
    const int subsampling = pyramid.subsampling;
    if (!isValidSubsampling(subsampling))
        kltError("(_KLTComputePyramid)  Pyramid's subsampling must be either 2, 4, 8, 16, or 32");
    if (pyramid.nLevels < 1) return;
    pyramid.ncols[0] = pyramid.img[0].ncols;
    pyramid.nrows[0] = pyramid.img[0].nrows;

    const float sigma = static_cast<float>(subsampling) * sigmaFact;
    for (int level = std::max(firstLevel, 1); level < pyramid.nLevels; ++level) {
        const KLTFloatImage& previous = pyramid.img[level - 1];
        ensureKernelsFor(sigma);
        KLTFloatImage& current = pyramid.img[level];
        current.resize(previous.ncols / subsampling, previous.nrows / subsampling);
        pyramid.ncols[level] = current.ncols;
        pyramid.nrows[level] = current.nrows;
        // Only the sampled positions of the smoothed level are ever read.
        smoothAtSampledPositions(previous, gaussKernel, subsampling, current, smoothTemp, phases);
    }
}

}  // namespace klt_detail

void KLTComputePyramid(const KLTFloatImage& img, KLTPyramid& pyramid, float sigmaFact) {
    KLTFloatImage smoothTemp;
    KLTFloatImage phases;
    klt_detail::computePyramid(img, pyramid, sigmaFact, smoothTemp, phases);
}

void freePyramid(std::unique_ptr<KLTPyramid>& pyramid) { pyramid.reset(); }

// --- Interpolation -------------------------------------------------------------------

namespace klt_detail {

float interpolateOutside(float x, float y, const KLTFloatImage& img) {
    const int xt = truncateToInt(x);
    const int yt = truncateToInt(y);
    const float ax = x - static_cast<float>(xt);
    const float ay = y - static_cast<float>(yt);
    std::fprintf(stderr, "(xt,yt)=(%d,%d)  imgsize=(%d,%d)\n(x,y)=(%f,%f)  (ax,ay)=(%f,%f)\n", xt,
                 yt, img.ncols, img.nrows, static_cast<double>(x), static_cast<double>(y),
                 static_cast<double>(ax), static_cast<double>(ay));
    std::fflush(stderr);
    if (img.ncols <= 0 || img.nrows <= 0) return 0.0f;

    // The value at the nearest point of the image: nothing outside it is read.
    const auto clampInto = [](float v, int size) {
        if (std::isnan(v)) return 0.0f;
        return std::clamp(v, 0.0f, static_cast<float>(size - 1));
    };
    const float cx = clampInto(x, img.ncols);
    const float cy = clampInto(y, img.nrows);
    const int x0 = static_cast<int>(cx);
    const int y0 = static_cast<int>(cy);
    const int x1 = std::min(x0 + 1, img.ncols - 1);
    const int y1 = std::min(y0 + 1, img.nrows - 1);
    const float bx = cx - static_cast<float>(x0);
    const float by = cy - static_cast<float>(y0);
    return (1 - bx) * (1 - by) * img.at(x0, y0) + bx * (1 - by) * img.at(x1, y0) +
           (1 - bx) * by * img.at(x0, y1) + bx * by * img.at(x1, y1);
}

}  // namespace klt_detail

float interpolate(float x, float y, const KLTFloatImage& img) {
    return interpolateInline(x, y, img);
}
