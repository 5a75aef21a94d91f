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

CASTELLAN_BEGIN_AVX512
namespace avx512 {
typedef float FloatVec __attribute__((vector_size(64)));
typedef int IntVec __attribute__((vector_size(64)));
// The zero-masked forms of all lanes: GCC 12 warns that the plain ones read an
// undefined vector.
constexpr __mmask16 kAllLanes = 0xffff;
inline FloatVec sqrtFloats(FloatVec v) { return FloatVec(_mm512_maskz_sqrt_ps(kAllLanes, __m512(v))); }
inline FloatVec maxFloats(FloatVec a, FloatVec b) {
    return FloatVec(_mm512_maskz_max_ps(kAllLanes, __m512(a), __m512(b)));
}
inline unsigned laneMask(IntVec v) {
    return static_cast<unsigned>(_mm512_cmplt_epi32_mask(__m512i(v), _mm512_setzero_si512()));
}
inline FloatVec loadBytesAsFloats(const unsigned char* p) {
    __m128i bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return FloatVec(_mm512_maskz_cvtepi32_ps(kAllLanes, _mm512_maskz_cvtepu8_epi32(kAllLanes, bytes)));
}
#define CASTELLAN_KERNELS_WITHOUT_BLOCK
#include "features/float_kernels_impl.h"
#undef CASTELLAN_KERNELS_WITHOUT_BLOCK
}  // namespace avx512
CASTELLAN_END_AVX512

namespace {

// CASTELLAN_SIMD=sse2 or avx2 caps the versions used at that set, so every path
// can be tested on one machine.
SimdPath detectPath() {
    __builtin_cpu_init();
    const char* forced = std::getenv("CASTELLAN_SIMD");
    const bool capSse2 = forced != nullptr && std::strcmp(forced, "sse2") == 0;
    const bool capAvx2 = forced != nullptr && std::strcmp(forced, "avx2") == 0;
    if (capSse2 || !__builtin_cpu_supports("avx2")) return SimdPath::sse2;
    if (capAvx2 || !__builtin_cpu_supports("avx512f")) return SimdPath::avx2;
    return SimdPath::avx512;
}

}  // namespace

SimdPath simdPath() {
    static const SimdPath path = detectPath();
    return path;
}

bool usesAvx2() { return simdPath() != SimdPath::sse2; }

#define CASTELLAN_DISPATCH(call)                                       \
    switch (simdPath()) {                                              \
    case SimdPath::avx512: return avx512::call;                        \
    case SimdPath::avx2: return avx2::call;                            \
    default: return sse2::call;                                        \
    }

void correlateRow(const float* src, float* dst, int count, const float* weights, int taps) {
    CASTELLAN_DISPATCH(correlateRow(src, dst, count, weights, taps));
}

void correlateColumns(const float* const* rows, float* dst, int count, const float* weights, int taps) {
    CASTELLAN_DISPATCH(correlateColumns(rows, dst, count, weights, taps));
}

void bytesToFloats(const unsigned char* src, float* dst, std::size_t count) {
    CASTELLAN_DISPATCH(bytesToFloats(src, dst, count));
}

void separableBlock(const float* src, std::ptrdiff_t srcStride, const float* hWeights, int hTaps,
                    const float* vWeights, int vTaps, int rows, float* dst, std::ptrdiff_t dstStride) {
    // A block is eight columns, one AVX2 vector: the 16-lane path has no version of its own.
    if (simdPath() == SimdPath::sse2)
        return sse2::separableBlock(src, srcStride, hWeights, hTaps, vWeights, vTaps, rows, dst, dstStride);
    avx2::separableBlock(src, srcStride, hWeights, hTaps, vWeights, vTaps, rows, dst, dstStride);
}

void gradientProducts(const float* gx, const float* gy, std::size_t count, float* xx, float* xy, float* yy) {
    CASTELLAN_DISPATCH(gradientProducts(gx, gy, count, xx, xy, yy));
}

void windowSums(const float* const* xxRows, const float* const* xyRows, const float* const* yyRows,
                int windowHeight, int windowWidth, int count, float* sxx, float* sxy, float* syy) {
    CASTELLAN_DISPATCH(windowSums(xxRows, xyRows, yyRows, windowHeight, windowWidth, count, sxx, sxy, syy));
}

void smallerEigenvalues(const float* gxx, const float* gxy, const float* gyy, int count, float* lambda) {
    CASTELLAN_DISPATCH(smallerEigenvalues(gxx, gxy, gyy, count, lambda));
}

void symmetricSmooth(const float* centre, float* dst, int count, const float* gau, int halo) {
    CASTELLAN_DISPATCH(symmetricSmooth(centre, dst, count, gau, halo));
}

void antisymmetricDerive(const float* centre, float* dst, int count, const float* dgau, int halo) {
    CASTELLAN_DISPATCH(antisymmetricDerive(centre, dst, count, dgau, halo));
}

void symmetricSmoothColumns(const float* centre, const float* const* before, const float* const* after,
                            float* dst, int count, const float* gau, int halo) {
    CASTELLAN_DISPATCH(symmetricSmoothColumns(centre, before, after, dst, count, gau, halo));
}

void antisymmetricDeriveColumns(const float* const* before, const float* const* after, float* dst,
                                int count, const float* dgau, int halo) {
    CASTELLAN_DISPATCH(antisymmetricDeriveColumns(before, after, dst, count, dgau, halo));
}

float magnitudes(const float* gx, const float* gy, float* magnitude, std::size_t count, float largest) {
    CASTELLAN_DISPATCH(magnitudes(gx, gy, magnitude, count, largest));
}

void suppressRow(const float* gx, const float* gy, const float* above, const float* row, const float* below,
                 int width, float scale, unsigned char* out) {
    CASTELLAN_DISPATCH(suppressRow(gx, gy, above, row, below, width, scale, out));
}

#undef CASTELLAN_DISPATCH

}  // namespace float_kernels
