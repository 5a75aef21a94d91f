#include "features/float_kernels.h"
#include "features/simd_target.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <immintrin.h>

namespace float_kernels {

namespace sse2 {
typedef float FloatVec __attribute__((vector_size(16)));
typedef int IntVec __attribute__((vector_size(16)));
inline FloatVec sqrtFloats(FloatVec v) { return FloatVec(_mm_sqrt_ps(__m128(v))); }
inline FloatVec maxFloats(FloatVec a, FloatVec b) { return FloatVec(_mm_max_ps(__m128(a), __m128(b))); }
inline unsigned laneMask(IntVec v) { return static_cast<unsigned>(_mm_movemask_ps(__m128(v))); }
inline FloatVec loadBytesAsFloats(const unsigned char* p) {
    int32_t word;
    std::memcpy(&word, p, sizeof word);
    const __m128i zero = _mm_setzero_si128();
    const __m128i bytes = _mm_cvtsi32_si128(word);
    return FloatVec(_mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero)));
}
#include "features/float_kernels_impl.h"
}  // namespace sse2

CASTELLAN_BEGIN_AVX2
namespace avx2 {
typedef float FloatVec __attribute__((vector_size(32)));
typedef int IntVec __attribute__((vector_size(32)));
inline FloatVec sqrtFloats(FloatVec v) { return FloatVec(_mm256_sqrt_ps(__m256(v))); }
inline FloatVec maxFloats(FloatVec a, FloatVec b) { return FloatVec(_mm256_max_ps(__m256(a), __m256(b))); }
inline unsigned laneMask(IntVec v) { return static_cast<unsigned>(_mm256_movemask_ps(__m256(v))); }
inline FloatVec loadBytesAsFloats(const unsigned char* p) {
    int64_t word;
    std::memcpy(&word, p, sizeof word);
    return FloatVec(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(word))));
}
#include "features/float_kernels_impl.h"
}  // namespace avx2
CASTELLAN_END_AVX2

namespace {

// CASTELLAN_SIMD=sse2 forces the baseline versions, so both can be tested on one machine.
bool detectAvx2() {
    __builtin_cpu_init();
    const char* forced = std::getenv("CASTELLAN_SIMD");
    if (forced != nullptr && std::strcmp(forced, "sse2") == 0) return false;
    return __builtin_cpu_supports("avx2");
}

}  // namespace

bool usesAvx2() {
    static const bool avx2 = detectAvx2();
    return avx2;
}

void correlateRow(const float* src, float* dst, int count, const float* weights, int taps) {
    if (usesAvx2())
        avx2::correlateRow(src, dst, count, weights, taps);
    else
        sse2::correlateRow(src, dst, count, weights, taps);
}

void correlateColumns(const float* const* rows, float* dst, int count, const float* weights, int taps) {
    if (usesAvx2())
        avx2::correlateColumns(rows, dst, count, weights, taps);
    else
        sse2::correlateColumns(rows, dst, count, weights, taps);
}

void bytesToFloats(const unsigned char* src, float* dst, std::size_t count) {
    if (usesAvx2())
        avx2::bytesToFloats(src, dst, count);
    else
        sse2::bytesToFloats(src, dst, count);
}

void separableBlock(const float* src, std::ptrdiff_t srcStride, const float* hWeights, int hTaps,
                    const float* vWeights, int vTaps, int rows, float* dst, std::ptrdiff_t dstStride) {
    if (usesAvx2())
        avx2::separableBlock(src, srcStride, hWeights, hTaps, vWeights, vTaps, rows, dst, dstStride);
    else
        sse2::separableBlock(src, srcStride, hWeights, hTaps, vWeights, vTaps, rows, dst, dstStride);
}

void gradientProducts(const float* gx, const float* gy, std::size_t count, float* xx, float* xy, float* yy) {
    if (usesAvx2())
        avx2::gradientProducts(gx, gy, count, xx, xy, yy);
    else
        sse2::gradientProducts(gx, gy, count, xx, xy, yy);
}

void windowSums(const float* const* xxRows, const float* const* xyRows, const float* const* yyRows,
                int windowHeight, int windowWidth, int count, float* sxx, float* sxy, float* syy) {
    if (usesAvx2())
        avx2::windowSums(xxRows, xyRows, yyRows, windowHeight, windowWidth, count, sxx, sxy, syy);
    else
        sse2::windowSums(xxRows, xyRows, yyRows, windowHeight, windowWidth, count, sxx, sxy, syy);
}

void smallerEigenvalues(const float* gxx, const float* gxy, const float* gyy, int count, float* lambda) {
    if (usesAvx2())
        avx2::smallerEigenvalues(gxx, gxy, gyy, count, lambda);
    else
        sse2::smallerEigenvalues(gxx, gxy, gyy, count, lambda);
}

void symmetricSmooth(const float* centre, float* dst, int count, const float* gau, int halo) {
    if (usesAvx2())
        avx2::symmetricSmooth(centre, dst, count, gau, halo);
    else
        sse2::symmetricSmooth(centre, dst, count, gau, halo);
}

void antisymmetricDerive(const float* centre, float* dst, int count, const float* dgau, int halo) {
    if (usesAvx2())
        avx2::antisymmetricDerive(centre, dst, count, dgau, halo);
    else
        sse2::antisymmetricDerive(centre, dst, count, dgau, halo);
}

void symmetricSmoothColumns(const float* centre, const float* const* before, const float* const* after,
                            float* dst, int count, const float* gau, int halo) {
    if (usesAvx2())
        avx2::symmetricSmoothColumns(centre, before, after, dst, count, gau, halo);
    else
        sse2::symmetricSmoothColumns(centre, before, after, dst, count, gau, halo);
}

void antisymmetricDeriveColumns(const float* const* before, const float* const* after, float* dst,
                                int count, const float* dgau, int halo) {
    if (usesAvx2())
        avx2::antisymmetricDeriveColumns(before, after, dst, count, dgau, halo);
    else
        sse2::antisymmetricDeriveColumns(before, after, dst, count, dgau, halo);
}

float magnitudes(const float* gx, const float* gy, float* magnitude, std::size_t count, float largest) {
    return usesAvx2() ? avx2::magnitudes(gx, gy, magnitude, count, largest)
                      : sse2::magnitudes(gx, gy, magnitude, count, largest);
}

void suppressRow(const float* gx, const float* gy, const float* above, const float* row, const float* below,
                 int width, float scale, unsigned char* out) {
    if (usesAvx2())
        avx2::suppressRow(gx, gy, above, row, below, width, scale, out);
    else
        sse2::suppressRow(gx, gy, above, row, below, width, scale, out);
}

}  // namespace float_kernels
