// The generic bodies of float_kernels, included once per instruction set by
// float_kernels.cpp (SSE2, AVX2, AVX-512), each time inside its own namespace
// with FloatVec, IntVec and their helpers (sqrtFloats; maxFloats(a, b): a where
// a > b, else b; laneMask: bit k set when lane k is all ones; loadBytesAsFloats:
// one vector's count of bytes, each to its float value) defined for that width.
// CASTELLAN_KERNELS_WITHOUT_BLOCK leaves out separableBlock, whose block is
// narrower than a 16-lane vector. No include guard on purpose.

// Unaligned loads and stores; memcpy compiles to single vector moves.
inline FloatVec loadFloats(const float* p) {
    FloatVec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storeFloats(float* p, FloatVec v) { std::memcpy(p, &v, sizeof v); }

constexpr int kFloatLanes = static_cast<int>(sizeof(FloatVec) / sizeof(float));

// Lane-wise choice by a mask of all-ones or all-zeros lanes.
inline FloatVec select(IntVec mask, FloatVec a, FloatVec b) {
    return (FloatVec)(((IntVec)a & mask) | ((IntVec)b & ~mask));
}
inline IntVec select(IntVec mask, IntVec a, IntVec b) { return (a & mask) | (b & ~mask); }
inline FloatVec absFloats(FloatVec v) { return (FloatVec)((IntVec)v & 0x7fffffff); }
inline IntVec truncateToInts(FloatVec v) { return __builtin_convertvector(v, IntVec); }

// Vectors consecutive output vectors from output i, each output the sum of
// `taps` products from 0.0f: each sum is a chain of dependent additions, and
// independent chains side by side keep the adders busy. Taps > 0 fixes the count
// at compile time; 0 takes it from `taps`. at(j, i) points to the input of tap j
// for output i.
template <int Taps, int Vectors, typename At>
inline void correlateVectors(At at, float* dst, int i, const float* weights, int taps) {
    const int n = Taps > 0 ? Taps : taps;
    FloatVec acc[Vectors] = {};
    for (int j = 0; j < n; ++j) {
        const float w = weights[j];
        const float* in = at(j, i);
        for (int v = 0; v < Vectors; ++v) acc[v] += loadFloats(in + v * kFloatLanes) * w;
    }
    for (int v = 0; v < Vectors; ++v) storeFloats(dst + i + v * kFloatLanes, acc[v]);
}

template <int Taps, typename At>
void correlateVectors(int vectors, At at, float* dst, int i, const float* weights, int taps) {
    switch (vectors) {
    case 1: return correlateVectors<Taps, 1>(at, dst, i, weights, taps);
    case 2: return correlateVectors<Taps, 2>(at, dst, i, weights, taps);
    case 3: return correlateVectors<Taps, 3>(at, dst, i, weights, taps);
    case 4: return correlateVectors<Taps, 4>(at, dst, i, weights, taps);
    case 5: return correlateVectors<Taps, 5>(at, dst, i, weights, taps);
    case 6: return correlateVectors<Taps, 6>(at, dst, i, weights, taps);
    case 7: return correlateVectors<Taps, 7>(at, dst, i, weights, taps);
    default: return correlateVectors<Taps, 8>(at, dst, i, weights, taps);
    }
}

// Every output keeps its own order of operations, so the blocks change nothing
// in the results. For short kernels four chains are enough: the loads, not the
// adders, bound the loop (more chains measured no faster). A block of the
// 21-tap pyramid kernel is too long for the processor to overlap it with the
// next, so its chains' latency showed; eight chains measured a few per cent
// faster at 640 x 480 and 7 % at 1280 x 720. The outputs past the last whole block
// are one more block of as many vectors as they need, moved back to end at the
// last output (the outputs it shares with the block before are computed again,
// to the same values): a tail of lone vector chains and scalar chains, each
// waiting on `taps` dependent additions, used to cost as much as the rest of a
// 150-output row of the 21-tap pyramid kernel.
template <int Taps, typename At>
inline void correlate(At at, float* dst, int count, const float* weights, int taps) {
    constexpr int kInFlight = Taps > 7 ? 8 : 4;
    constexpr int kBlock = kInFlight * kFloatLanes;
    int i = 0;
    for (; i + kBlock <= count; i += kBlock) correlateVectors<Taps, kInFlight>(at, dst, i, weights, taps);
    if (i < count && count >= kFloatLanes) {
        const int vectors = (count - i + kFloatLanes - 1) / kFloatLanes;
        const int start = count - vectors * kFloatLanes;
        if (start >= 0) return correlateVectors<Taps>(vectors, at, dst, start, weights, taps);
        // Fewer outputs than whole vectors: the last vector overlaps the others.
        correlateVectors<Taps>(vectors - 1, at, dst, 0, weights, taps);
        return correlateVectors<Taps, 1>(at, dst, count - kFloatLanes, weights, taps);
    }
    for (; i < count; ++i) {
        float acc = 0.0f;
        for (int j = 0; j < (Taps > 0 ? Taps : taps); ++j) acc += *at(j, i) * weights[j];
        dst[i] = acc;
    }
}

// The kernels' usual widths (5 for smoothing, 7 for gradients, 21 for the
// pyramid) get their own unrolled loops.
template <typename At>
inline void correlateAnyWidth(At at, float* dst, int count, const float* weights, int taps) {
    switch (taps) {
    case 5: return correlate<5>(at, dst, count, weights, taps);
    case 7: return correlate<7>(at, dst, count, weights, taps);
    case 21: return correlate<21>(at, dst, count, weights, taps);
    default: return correlate<0>(at, dst, count, weights, taps);
    }
}

void correlateRow(const float* src, float* dst, int count, const float* weights, int taps) {
    correlateAnyWidth([src](int j, int i) { return src + i + j; }, dst, count, weights, taps);
}

void correlateColumns(const float* const* rows, float* dst, int count, const float* weights, int taps) {
    correlateAnyWidth([rows](int j, int i) { return rows[j] + i; }, dst, count, weights, taps);
}

void bytesToFloats(const unsigned char* src, float* dst, std::size_t count) {
    std::size_t i = 0;
    for (; i + kFloatLanes <= count; i += kFloatLanes) storeFloats(dst + i, loadBytesAsFloats(src + i));
    for (; i < count; ++i) dst[i] = static_cast<float>(src[i]);
}

#if !defined(CASTELLAN_KERNELS_WITHOUT_BLOCK)
// Strips of output rows keep the horizontal rows on the stack.
template <int HTaps, int VTaps>
void separableBlockWith(const float* src, std::ptrdiff_t srcStride, const float* hWeights, int hTaps,
                        const float* vWeights, int vTaps, int rows, float* dst, std::ptrdiff_t dstStride) {
    constexpr int kVectors = kBlockColumns / kFloatLanes;
    constexpr int kStripRows = 16;
    const int ht = HTaps > 0 ? HTaps : hTaps;
    const int vt = VTaps > 0 ? VTaps : vTaps;
    FloatVec h[kStripRows + kBlockMaxTaps - 1][kVectors];
    for (int r0 = 0; r0 < rows; r0 += kStripRows) {
        const int n = std::min(kStripRows, rows - r0);
        for (int r = 0; r < n + vt - 1; ++r) {
            const float* in = src + (r0 + r) * srcStride;
            FloatVec acc[kVectors] = {};
            for (int j = 0; j < ht; ++j)
                for (int v = 0; v < kVectors; ++v) acc[v] += loadFloats(in + j + v * kFloatLanes) * hWeights[j];
            for (int v = 0; v < kVectors; ++v) h[r][v] = acc[v];
        }
        for (int r = 0; r < n; ++r) {
            FloatVec acc[kVectors] = {};
            for (int k = 0; k < vt; ++k)
                for (int v = 0; v < kVectors; ++v) acc[v] += h[r + k][v] * vWeights[k];
            for (int v = 0; v < kVectors; ++v) storeFloats(dst + (r0 + r) * dstStride + v * kFloatLanes, acc[v]);
        }
    }
}

void separableBlock(const float* src, std::ptrdiff_t srcStride, const float* hWeights, int hTaps,
                    const float* vWeights, int vTaps, int rows, float* dst, std::ptrdiff_t dstStride) {
    if (hTaps == 7 && vTaps == 7)
        return separableBlockWith<7, 7>(src, srcStride, hWeights, hTaps, vWeights, vTaps, rows, dst, dstStride);
    if (hTaps == 5 && vTaps == 5)
        return separableBlockWith<5, 5>(src, srcStride, hWeights, hTaps, vWeights, vTaps, rows, dst, dstStride);
    separableBlockWith<0, 0>(src, srcStride, hWeights, hTaps, vWeights, vTaps, rows, dst, dstStride);
}
#endif

void gradientProducts(const float* gx, const float* gy, std::size_t count, float* xx, float* xy, float* yy) {
    std::size_t i = 0;
    for (; i + kFloatLanes <= count; i += kFloatLanes) {
        const FloatVec a = loadFloats(gx + i);
        const FloatVec b = loadFloats(gy + i);
        storeFloats(xx + i, a * a);
        storeFloats(xy + i, a * b);
        storeFloats(yy + i, b * b);
    }
    for (; i < count; ++i) {
        xx[i] = gx[i] * gx[i];
        xy[i] = gx[i] * gy[i];
        yy[i] = gy[i] * gy[i];
    }
}

// Column sums of one product over the window rows, for `count` columns.
inline void columnSums(const float* const* rows, int windowHeight, int from, int count, float* out) {
    int c = 0;
    for (; c + kFloatLanes <= count; c += kFloatLanes) {
        FloatVec sum = {};
        for (int r = 0; r < windowHeight; ++r) sum += loadFloats(rows[r] + from + c);
        storeFloats(out + c, sum);
    }
    for (; c < count; ++c) {
        float sum = 0.0f;
        for (int r = 0; r < windowHeight; ++r) sum += rows[r][from + c];
        out[c] = sum;
    }
}

// Window sums of one product from its column sums.
inline void rowSums(const float* columns, int windowWidth, int count, float* out) {
    int i = 0;
    for (; i + kFloatLanes <= count; i += kFloatLanes) {
        FloatVec sum = {};
        for (int c = 0; c < windowWidth; ++c) sum += loadFloats(columns + i + c);
        storeFloats(out + i, sum);
    }
    for (; i < count; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < windowWidth; ++c) sum += columns[i + c];
        out[i] = sum;
    }
}

void windowSums(const float* const* xxRows, const float* const* xyRows, const float* const* yyRows,
                int windowHeight, int windowWidth, int count, float* sxxOut, float* sxyOut, float* syyOut) {
    // A chunk of windows at a time: the column sums of a chunk stay in the
    // first-level cache. Windows too wide for it sum their columns one by one.
    constexpr int kColumns = 512;
    const int chunk = kColumns - (windowWidth - 1);
    if (chunk < kFloatLanes) {
        for (int i = 0; i < count; ++i) {
            float column[1];
            float sxx = 0.0f, sxy = 0.0f, syy = 0.0f;
            for (int c = 0; c < windowWidth; ++c) {
                columnSums(xxRows, windowHeight, i + c, 1, column);
                sxx += column[0];
                columnSums(xyRows, windowHeight, i + c, 1, column);
                sxy += column[0];
                columnSums(yyRows, windowHeight, i + c, 1, column);
                syy += column[0];
            }
            sxxOut[i] = sxx;
            sxyOut[i] = sxy;
            syyOut[i] = syy;
        }
        return;
    }
    float columns[kColumns];
    for (int i = 0; i < count; i += chunk) {
        const int n = std::min(chunk, count - i);
        const int span = n + windowWidth - 1;
        columnSums(xxRows, windowHeight, i, span, columns);
        rowSums(columns, windowWidth, n, sxxOut + i);
        columnSums(xyRows, windowHeight, i, span, columns);
        rowSums(columns, windowWidth, n, sxyOut + i);
        columnSums(yyRows, windowHeight, i, span, columns);
        rowSums(columns, windowWidth, n, syyOut + i);
    }
}

inline double smallerEigenvalue(double dxx, double dxy, double dyy) {
    return (dxx + dyy - std::sqrt((dxx - dyy) * (dxx - dyy) + 4.0 * dxy * dxy)) / 2.0;
}

// The float formula is trusted where its value and every value within its error
// bound truncate to one integer: then the double value, rounded to float, does
// too. The error of the float formula, with the rounding of the double value
// to float, is below 3 * 2^-24 * (|dxx| + |dyy| + root); kEigenError leaves a
// margin for the rounding of the bounds themselves. Below 2^22 every value stays
// far inside the int range.
constexpr float kEigenError = 0x1p-21f;
constexpr float kEigenLimit = 0x1p22f;

void smallerEigenvalues(const float* gxx, const float* gxy, const float* gyy, int count, float* lambda) {
    int i = 0;
    const FloatVec zero = {};
    for (; i + kFloatLanes <= count; i += kFloatLanes) {
        const FloatVec a = loadFloats(gxx + i);
        const FloatVec b = loadFloats(gyy + i);
        const FloatVec c = loadFloats(gxy + i);
        const FloatVec diff = a - b;
        const FloatVec root = sqrtFloats(diff * diff + 4.0f * c * c);
        const FloatVec scale = absFloats(a) + absFloats(b) + root;
        const IntVec small = (IntVec)(scale < kEigenLimit);  // false for NaN
        const FloatVec value = select(small, (a + b - root) / 2.0f, zero);
        const FloatVec err = select(small, scale * kEigenError, zero);
        const IntVec sure = small & (truncateToInts(value - err) == truncateToInts(value + err));
        storeFloats(lambda + i, value);
        // One branch per vector: a branch per lane mispredicts on the few unsure ones.
        for (unsigned unsure = ~laneMask(sure) & ((1u << kFloatLanes) - 1); unsure != 0; unsure &= unsure - 1) {
            const int k = i + __builtin_ctz(unsure);
            lambda[k] = static_cast<float>(smallerEigenvalue(gxx[k], gxy[k], gyy[k]));
        }
    }
    for (; i < count; ++i) lambda[i] = static_cast<float>(smallerEigenvalue(gxx[i], gxy[i], gyy[i]));
}

// --- Canny -------------------------------------------------------------------------

// A float f satisfies (double)f < 0.01 exactly when f <= 0.01f: 0.01f lies just
// below 0.01 and the next float above it lies above 0.01.
constexpr float kCannyFlatLimit = 0.01f;

void symmetricSmooth(const float* centre, float* dst, int count, const float* gau, int halo) {
    int x = 0;
    for (; x + kFloatLanes <= count; x += kFloatLanes) {
        FloatVec acc = gau[0] * loadFloats(centre + x);
        for (int k = 1; k <= halo; ++k) acc += gau[k] * (loadFloats(centre + x + k) + loadFloats(centre + x - k));
        storeFloats(dst + x, acc);
    }
    for (; x < count; ++x) {
        float acc = gau[0] * centre[x];
        for (int k = 1; k <= halo; ++k) acc += gau[k] * (centre[x + k] + centre[x - k]);
        dst[x] = acc;
    }
}

void antisymmetricDerive(const float* centre, float* dst, int count, const float* dgau, int halo) {
    int x = 0;
    for (; x + kFloatLanes <= count; x += kFloatLanes) {
        FloatVec acc = {};
        for (int k = 1; k <= halo; ++k) acc += dgau[k] * (loadFloats(centre + x - k) - loadFloats(centre + x + k));
        storeFloats(dst + x, acc);
    }
    for (; x < count; ++x) {
        float acc = 0.0f;
        for (int k = 1; k <= halo; ++k) acc += dgau[k] * (centre[x - k] - centre[x + k]);
        dst[x] = acc;
    }
}

void symmetricSmoothColumns(const float* centre, const float* const* before, const float* const* after,
                            float* dst, int count, const float* gau, int halo) {
    int x = 0;
    // Four vectors side by side: each output's sum is a chain of dependent
    // additions, and a long kernel's chain alone would leave the adders idle.
    constexpr int kBlock = 4 * kFloatLanes;
    for (; x + kBlock <= count; x += kBlock) {
        FloatVec acc[4];
        for (int v = 0; v < 4; ++v) acc[v] = gau[0] * loadFloats(centre + x + v * kFloatLanes);
        for (int k = 1; k <= halo; ++k) {
            const float* a = after[k] + x;
            const float* b = before[k] + x;
            for (int v = 0; v < 4; ++v)
                acc[v] += gau[k] * (loadFloats(a + v * kFloatLanes) + loadFloats(b + v * kFloatLanes));
        }
        for (int v = 0; v < 4; ++v) storeFloats(dst + x + v * kFloatLanes, acc[v]);
    }
    const auto vectorAt = [&](int at) {
        FloatVec acc = gau[0] * loadFloats(centre + at);
        for (int k = 1; k <= halo; ++k)
            acc += gau[k] * (loadFloats(after[k] + at) + loadFloats(before[k] + at));
        storeFloats(dst + at, acc);
    };
    for (; x + kFloatLanes <= count; x += kFloatLanes) vectorAt(x);
    // The last outputs as one vector moved back over outputs made already, which
    // it makes again to the same values.
    if (x < count && count >= kFloatLanes) {
        vectorAt(count - kFloatLanes);
        return;
    }
    for (; x < count; ++x) {
        float acc = gau[0] * centre[x];
        for (int k = 1; k <= halo; ++k) acc += gau[k] * (after[k][x] + before[k][x]);
        dst[x] = acc;
    }
}

void antisymmetricDeriveColumns(const float* const* before, const float* const* after, float* dst,
                                int count, const float* dgau, int halo) {
    int x = 0;
    for (; x + kFloatLanes <= count; x += kFloatLanes) {
        FloatVec acc = {};
        for (int k = 1; k <= halo; ++k) acc += dgau[k] * (loadFloats(before[k] + x) - loadFloats(after[k] + x));
        storeFloats(dst + x, acc);
    }
    for (; x < count; ++x) {
        float acc = 0.0f;
        for (int k = 1; k <= halo; ++k) acc += dgau[k] * (before[k][x] - after[k][x]);
        dst[x] = acc;
    }
}

float magnitudes(const float* gx, const float* gy, float* magnitude, std::size_t count, float largest) {
    std::size_t i = 0;
    FloatVec top = {};
    for (int k = 0; k < kFloatLanes; ++k) top[k] = largest;
    for (; i + kFloatLanes <= count; i += kFloatLanes) {
        const FloatVec a = loadFloats(gx + i);
        const FloatVec b = loadFloats(gy + i);
        storeFloats(magnitude + i, sqrtFloats(a * a + b * b));
        top = maxFloats(top, maxFloats(a, b));
    }
    for (int k = 0; k < kFloatLanes; ++k) largest = std::max(largest, top[k]);
    for (; i < count; ++i) {
        magnitude[i] = std::sqrt(gx[i] * gx[i] + gy[i] * gy[i]);
        largest = std::max(largest, std::max(gx[i], gy[i]));
    }
    return largest;
}

// One row of the non-maximum suppression; x runs over [1, count + 1). Both
// interpolation directions are computed for every pixel and the one its
// gradient picks is selected, with the arithmetic of the branching loop.
inline unsigned char suppressedValue(float a, float b, const float* above, const float* row, const float* below,
                                     int x, float scale) {
    const float absA = std::fabs(a);
    const float absB = std::fabs(b);
    if (absA <= kCannyFlatLimit && absB <= kCannyFlatLimit) return 0;
    float r, g1, g2, g3, g4;
    if (absA < absB) {
        r = absA / absB;
        g2 = above[x];
        g4 = below[x];
        if (a * b > 0) {
            g1 = above[x - 1];
            g3 = below[x + 1];
        } else {
            g1 = above[x + 1];
            g3 = below[x - 1];
        }
    } else {
        r = absB / absA;
        g2 = row[x + 1];
        g4 = row[x - 1];
        if (a * b > 0) {
            g1 = below[x + 1];
            g3 = above[x - 1];
        } else {
            g1 = above[x + 1];
            g3 = below[x - 1];
        }
    }
    const float centre = row[x];
    if (centre > r * g1 + (1 - r) * g2 && centre > r * g3 + (1 - r) * g4) {
        const float value = scale * centre;
        return value > 255.0f ? 255 : static_cast<unsigned char>(value);
    }
    return 0;
}

void suppressRow(const float* gx, const float* gy, const float* above, const float* row, const float* below,
                 int width, float scale, unsigned char* out) {
    const int end = width - 1;
    int x = 1;
    const FloatVec zero = {};
    const IntVec zeroInts = {};
    FloatVec flat = zero, one = zero, limit = zero, scaleVec = zero;
    for (int k = 0; k < kFloatLanes; ++k) {
        flat[k] = kCannyFlatLimit;
        one[k] = 1.0f;
        limit[k] = 255.0f;
        scaleVec[k] = scale;
    }
    for (; x + kFloatLanes <= end; x += kFloatLanes) {
        const FloatVec a = loadFloats(gx + x);
        const FloatVec b = loadFloats(gy + x);
        const FloatVec absA = absFloats(a);
        const FloatVec absB = absFloats(b);
        const IntVec steep = (IntVec)(absA < absB);
        const IntVec sameSign = (IntVec)(a * b > zero);
        const IntVec notFlat = ~((IntVec)(absA <= flat) & (IntVec)(absB <= flat));
        const FloatVec r = select(steep, absA / absB, absB / absA);
        const FloatVec n = loadFloats(above + x), s = loadFloats(below + x);
        const FloatVec e = loadFloats(row + x + 1), w = loadFloats(row + x - 1);
        const FloatVec ne = loadFloats(above + x + 1), nw = loadFloats(above + x - 1);
        const FloatVec se = loadFloats(below + x + 1), sw = loadFloats(below + x - 1);
        const FloatVec g2 = select(steep, n, e);
        const FloatVec g4 = select(steep, s, w);
        const FloatVec g1 = select(steep, select(sameSign, nw, ne), select(sameSign, se, ne));
        const FloatVec g3 = select(steep, select(sameSign, se, sw), select(sameSign, nw, sw));
        const FloatVec centre = loadFloats(row + x);
        const IntVec keep = notFlat & (IntVec)(centre > r * g1 + (one - r) * g2) &
                            (IntVec)(centre > r * g3 + (one - r) * g4);
        const FloatVec value = scaleVec * centre;
        const IntVec saturated = keep & (IntVec)(value > limit);
        // Only kept values of at most 255 are converted; the others are 0 or 255.
        const IntVec truncated = truncateToInts(select(keep & ~saturated, value, zero));
        const IntVec bytes = select(saturated, zeroInts + 255, truncated);
        for (int k = 0; k < kFloatLanes; ++k) out[x + k] = static_cast<unsigned char>(bytes[k]);
    }
    for (; x < end; ++x) out[x] = suppressedValue(gx[x], gy[x], above, row, below, x, scale);
}
