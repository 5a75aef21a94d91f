#pragma once

// Inner loops of the float image kernels (KLT convolution and selection, Canny
// gradients), vectorized across output pixels with runtime dispatch: the
// AVX-512 versions run where the processor has AVX-512F, the AVX2 ones where it
// has AVX2, the SSE2 ones (the x86-64 baseline) everywhere else.
//
// Every output is computed by the same sequence of single-precision operations
// on every path (no fused multiply-add, no sums reordered by the vector width),
// so results are bit-identical on every path.

#include <cstddef>

namespace float_kernels {

enum class SimdPath { sse2, avx2, avx512 };

// The versions used, decided once from the processor; CASTELLAN_SIMD=sse2 or
// CASTELLAN_SIMD=avx2 caps them at that set.
SimdPath simdPath();
// True when AVX2 may be used: on the AVX2 and the AVX-512 paths.
bool usesAvx2();

// dst[i] = sum over j = 0 .. taps-1, in that order, of src[i + j] * weights[j],
// starting from 0.0f, for i in [0, count). dst must not overlap src (some
// outputs are written twice).
void correlateRow(const float* src, float* dst, int count, const float* weights, int taps);

// dst[i] = sum over j = 0 .. taps-1, in that order, of rows[j][i] * weights[j],
// starting from 0.0f, for i in [0, count). dst must not overlap the rows.
void correlateColumns(const float* const* rows, float* dst, int count, const float* weights, int taps);

// dst[i] = (float)src[i] for i in [0, count).
void bytesToFloats(const unsigned char* src, float* dst, std::size_t count);

// The two passes of a separable correlation over a block kBlockColumns wide and
// `rows` high, with the values correlateRow then correlateColumns give: output
// (r, c) = sum over k of vWeights[k] * h(r + k, c), h(r, c) = sum over j of
// hWeights[j] * src[r * srcStride + c + j], each sum from 0.0f in tap order.
// src holds rows + vTaps - 1 rows of kBlockColumns + hTaps - 1 values; both
// tap counts are at most kBlockMaxTaps. Small blocks cost one call instead of
// one per row and pass.
constexpr int kBlockColumns = 8;
constexpr int kBlockMaxTaps = 71;
void separableBlock(const float* src, std::ptrdiff_t srcStride, const float* hWeights, int hTaps,
                    const float* vWeights, int vTaps, int rows, float* dst, std::ptrdiff_t dstStride);

// xx[i] = gx[i] * gx[i], xy[i] = gx[i] * gy[i], yy[i] = gy[i] * gy[i].
void gradientProducts(const float* gx, const float* gy, std::size_t count, float* xx, float* xy, float* yy);

// For each of `count` window positions i (window columns i .. i + windowWidth - 1
// of the given rows of the three product images): sxx[i], sxy[i] and syy[i],
// each the sum over the window's columns, left to right, of the column's sum
// over its rows, top to bottom, every sum from 0.0f.
void windowSums(const float* const* xxRows, const float* const* xyRows, const float* const* yyRows,
                int windowHeight, int windowWidth, int count, float* sxx, float* sxy, float* syy);

// lambda[i]: the smaller eigenvalue of the matrix, a value that truncates to the
// same int as (float)((dxx + dyy - sqrt((dxx - dyy)^2 + 4 dxy^2)) / 2) computed in
// double precision, with dxx = gxx[i] and so on. It is that value itself where
// the faster float formula could truncate otherwise (near an integer, beyond 2^22).
void smallerEigenvalues(const float* gxx, const float* gxy, const float* gyy, int count, float* lambda);

// Symmetric kernels (Canny's smoothing, the KLT pyramid's) and antisymmetric
// ones (Canny's derivatives); dst never overlaps the inputs.
// dst[x] = gau[0] * centre[x] + sum over k = 1 .. halo of
// gau[k] * (centre[x + k] + centre[x - k]), summed in that order; centre must
// be readable from -halo to count + halo.
void symmetricSmooth(const float* centre, float* dst, int count, const float* gau, int halo);
// dst[x] = sum over k = 1 .. halo of dgau[k] * (centre[x - k] - centre[x + k]), from 0.0f.
void antisymmetricDerive(const float* centre, float* dst, int count, const float* dgau, int halo);
// The same along columns: before[k] and after[k] are the rows k above and below
// (entries 1 .. halo are used).
void symmetricSmoothColumns(const float* centre, const float* const* before, const float* const* after,
                            float* dst, int count, const float* gau, int halo);
void antisymmetricDeriveColumns(const float* const* before, const float* const* after, float* dst,
                                int count, const float* dgau, int halo);
// magnitude[i] = sqrt(gx^2 + gy^2); returns the largest of `largest` and every
// gx[i] and gy[i] (the value, whatever the order of comparison).
float magnitudes(const float* gx, const float* gy, float* magnitude, std::size_t count, float largest);
// Non-maximum suppression of one image row of `width` pixels (x from 1 to
// width - 2): `above`, `row` and `below` are the magnitudes of rows y - 1, y,
// y + 1; out[x] receives the scaled magnitude where it is a strict maximum along
// the gradient (gx[x], gy[x]) and 0 elsewhere. out[0] and out[width - 1] are
// not written.
void suppressRow(const float* gx, const float* gy, const float* above, const float* row, const float* below,
                 int width, float scale, unsigned char* out);

}  // namespace float_kernels
