// The 16-lane versions of the float kernels, which run on AVX-512 machines,
// checked on any machine: the same source is compiled here with 16-lane vectors
// the compiler emulates and plain per-lane helpers, and every kernel must give
// bit for bit what the kernels in use give (on an AVX-512 machine, the real
// 16-lane versions).

#pragma GCC diagnostic ignored "-Wpsabi"  // 64-byte vectors without AVX-512

#include "features/float_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace sixteen_lanes {
typedef float FloatVec __attribute__((vector_size(64)));
typedef int IntVec __attribute__((vector_size(64)));
constexpr int kLanes = 16;
inline FloatVec sqrtFloats(FloatVec v) {
    for (int k = 0; k < kLanes; ++k) v[k] = std::sqrt(v[k]);
    return v;
}
inline FloatVec maxFloats(FloatVec a, FloatVec b) {
    for (int k = 0; k < kLanes; ++k) a[k] = a[k] > b[k] ? a[k] : b[k];
    return a;
}
inline unsigned laneMask(IntVec v) {
    unsigned mask = 0;
    for (int k = 0; k < kLanes; ++k) mask |= (v[k] < 0 ? 1u : 0u) << k;
    return mask;
}
inline FloatVec loadBytesAsFloats(const unsigned char* p) {
    FloatVec v;
    for (int k = 0; k < kLanes; ++k) v[k] = p[k];
    return v;
}
#define CASTELLAN_KERNELS_WITHOUT_BLOCK
#include "features/float_kernels_impl.h"
#undef CASTELLAN_KERNELS_WITHOUT_BLOCK
}  // namespace sixteen_lanes

namespace {

namespace wide = sixteen_lanes;
using Floats = std::vector<float>;

constexpr int kHalo = 24;  // room before and after every input row: more than a 21-tap kernel reads

bool sameBits(const Floats& a, const Floats& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Inputs of one length: pixel-like values, gradients of both signs with exact
// zeros, and whole numbers that put eigenvalues next to integers.
struct Inputs {
    std::vector<unsigned char> bytes;
    std::vector<Floats> rows;  // 2 * kHalo + 1 rows of count + 2 * kHalo values
    Floats gx, gy, xx, xy, yy;
    std::vector<const float*> before, after;

    Inputs(int count, std::mt19937& random) {
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_real_distribution<float> signed100(-100.0f, 100.0f);
        const auto fill = [&](Floats& v, size_t n, bool whole) {
            v.resize(n);
            for (float& x : v) {
                const int kind = byte(random) % 8;
                x = kind == 0 ? 0.0f : whole ? std::round(signed100(random)) : signed100(random);
            }
        };
        bytes.resize(static_cast<size_t>(count) + kHalo);
        for (auto& b : bytes) b = static_cast<unsigned char>(byte(random));
        rows.resize(2 * kHalo + 1);
        for (Floats& row : rows) fill(row, static_cast<size_t>(count) + 2 * kHalo, false);
        fill(gx, count + 2 * kHalo, false);
        fill(gy, count + 2 * kHalo, false);
        fill(xx, count + 2 * kHalo, true);
        fill(xy, count + 2 * kHalo, true);
        fill(yy, count + 2 * kHalo, false);
        for (float& v : xx) v = std::fabs(v) * 64.0f;  // sums of squares: not negative
        for (float& v : yy) v = std::fabs(v);
        for (int k = 0; k <= kHalo; ++k) {
            before.push_back(row(kHalo - k));
            after.push_back(row(kHalo + k));
        }
    }
    const float* row(int r) const { return rows[static_cast<size_t>(r)].data() + kHalo; }
};

class SixteenLaneKernels : public testing::TestWithParam<int> {};

TEST_P(SixteenLaneKernels, GiveTheBitsOfTheKernelsInUse) {
    const int count = GetParam();
    std::mt19937 random(static_cast<unsigned>(count) * 7919u + 1u);
    const Inputs in(count, random);
    const size_t n = static_cast<size_t>(count);
    const auto expectSame = [](const char* kernel, const Floats& inUse, const Floats& emulated) {
        EXPECT_TRUE(sameBits(inUse, emulated)) << kernel;
    };

    std::vector<float> weights(21);
    std::uniform_real_distribution<float> weight(-1.0f, 1.0f);
    for (float& w : weights) w = weight(random);
    for (int taps : {3, 5, 7, 21}) {
        Floats a(n + 1, -7.0f), b(n + 1, -7.0f);  // one more: nothing is written past the end
        ::float_kernels::correlateRow(in.row(0), a.data(), count, weights.data(), taps);
        wide::correlateRow(in.row(0), b.data(), count, weights.data(), taps);
        expectSame("correlateRow", a, b);
        std::vector<const float*> rows;
        for (int j = 0; j < taps; ++j) rows.push_back(in.row(j));
        ::float_kernels::correlateColumns(rows.data(), a.data(), count, weights.data(), taps);
        wide::correlateColumns(rows.data(), b.data(), count, weights.data(), taps);
        expectSame("correlateColumns", a, b);
    }

    Floats a(n + 1, -7.0f), b(n + 1, -7.0f);
    ::float_kernels::bytesToFloats(in.bytes.data(), a.data(), n);
    wide::bytesToFloats(in.bytes.data(), b.data(), n);
    expectSame("bytesToFloats", a, b);

    Floats a2(n + 1), a3(n + 1), b2(n + 1), b3(n + 1);
    ::float_kernels::gradientProducts(in.gx.data(), in.gy.data(), n, a.data(), a2.data(), a3.data());
    wide::gradientProducts(in.gx.data(), in.gy.data(), n, b.data(), b2.data(), b3.data());
    expectSame("gradientProducts", a, b);
    expectSame("gradientProducts", a2, b2);
    expectSame("gradientProducts", a3, b3);

    const float* xxRows[7] = {in.xx.data(), in.xx.data() + 1, in.xx.data() + 3, in.xx.data() + 2,
                              in.xx.data() + 5, in.xx.data() + 4, in.xx.data() + 6};
    const float* xyRows[7] = {in.xy.data(), in.xy.data() + 2, in.xy.data() + 1, in.xy.data() + 3,
                              in.xy.data() + 4, in.xy.data() + 6, in.xy.data() + 5};
    const float* yyRows[7] = {in.yy.data(), in.yy.data() + 1, in.yy.data() + 2, in.yy.data() + 4,
                              in.yy.data() + 3, in.yy.data() + 5, in.yy.data() + 6};
    ::float_kernels::windowSums(xxRows, xyRows, yyRows, 7, 7, count, a.data(), a2.data(), a3.data());
    wide::windowSums(xxRows, xyRows, yyRows, 7, 7, count, b.data(), b2.data(), b3.data());
    expectSame("windowSums", a, b);
    expectSame("windowSums", a2, b2);
    expectSame("windowSums", a3, b3);

    ::float_kernels::smallerEigenvalues(in.xx.data(), in.xy.data(), in.yy.data(), count, a.data());
    wide::smallerEigenvalues(in.xx.data(), in.xy.data(), in.yy.data(), count, b.data());
    // Pinned only as far as selection reads them: truncated to ints (the tails
    // past the last whole vector take the double formula, so values may differ).
    for (size_t i = 0; i < n; ++i)
        EXPECT_EQ(static_cast<int64_t>(a[i]), static_cast<int64_t>(b[i])) << "smallerEigenvalues at " << i;

    const float* centre = in.row(kHalo);
    ::float_kernels::symmetricSmooth(centre, a.data(), count, weights.data(), 4);
    wide::symmetricSmooth(centre, b.data(), count, weights.data(), 4);
    expectSame("symmetricSmooth", a, b);
    ::float_kernels::antisymmetricDerive(centre, a.data(), count, weights.data(), 5);
    wide::antisymmetricDerive(centre, b.data(), count, weights.data(), 5);
    expectSame("antisymmetricDerive", a, b);
    ::float_kernels::symmetricSmoothColumns(centre, in.before.data(), in.after.data(), a.data(), count,
                                            weights.data(), 4);
    wide::symmetricSmoothColumns(centre, in.before.data(), in.after.data(), b.data(), count, weights.data(), 4);
    expectSame("symmetricSmoothColumns", a, b);
    ::float_kernels::antisymmetricDeriveColumns(in.before.data(), in.after.data(), a.data(), count,
                                                weights.data(), 5);
    wide::antisymmetricDeriveColumns(in.before.data(), in.after.data(), b.data(), count, weights.data(), 5);
    expectSame("antisymmetricDeriveColumns", a, b);

    const float largestA = ::float_kernels::magnitudes(in.gx.data(), in.gy.data(), a.data(), n, -1.0f);
    const float largestB = wide::magnitudes(in.gx.data(), in.gy.data(), b.data(), n, -1.0f);
    expectSame("magnitudes", a, b);
    EXPECT_EQ(largestA, largestB);

    // Magnitudes of a row above, the row and a row below, with the gradients of the row.
    std::vector<unsigned char> suppressedA(n + 2, 9), suppressedB(n + 2, 9);
    const int width = count + 2;
    ::float_kernels::suppressRow(in.gx.data(), in.gy.data(), in.row(0), in.row(1), in.row(2), width, 3.0f,
                                 suppressedA.data());
    wide::suppressRow(in.gx.data(), in.gy.data(), in.row(0), in.row(1), in.row(2), width, 3.0f,
                      suppressedB.data());
    EXPECT_EQ(suppressedA, suppressedB) << "suppressRow";
}

// Every tail length around one, two and eight 16-lane vectors, and two whole rows.
INSTANTIATE_TEST_SUITE_P(Counts, SixteenLaneKernels,
                         testing::Values(0, 1, 7, 8, 15, 16, 17, 31, 33, 47, 63, 64, 65, 127, 128, 129, 150, 333));

}  // namespace
