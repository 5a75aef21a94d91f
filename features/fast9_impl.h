// The vectorized FAST-9 row scan, included twice by fast9.cpp: once for the SSE2
// baseline (16 centres per step) and once under the AVX2 target (32 centres),
// each time inside its own namespace with ByteVec and the few operations below
// defined for that width. No include guard on purpose.
//
// Requires 0 <= threshold <= 255: then the saturated c + t and c - t give the
// same strict comparisons as exact int arithmetic, because p > 255 and p < 0 are
// impossible.

constexpr int kLanes = static_cast<int>(sizeof(ByteVec));

// Lanes where none of the 9 cyclically consecutive circle entries starting at
// any index is "not" set: `notSet[i]` is 0xFF where circle pixel i fails the
// test. Runs of 2, 4, 8 and 9 are built by OR-ing shifted runs, so a lane is
// 0 in run9[i] exactly when entries i .. i + 8 (mod 16) all pass.
inline ByteVec arcOfNine(const ByteVec* notSet) {
    ByteVec run2[16], run4[16];
    for (int i = 0; i < 16; ++i) run2[i] = notSet[i] | notSet[(i + 1) & 15];
    for (int i = 0; i < 16; ++i) run4[i] = run2[i] | run2[(i + 2) & 15];
    ByteVec none = run4[0] | run4[4] | notSet[8];  // run9 at 0
    for (int i = 1; i < 16; ++i) none &= run4[i] | run4[(i + 4) & 15] | notSet[(i + 8) & 15];
    return ~none;  // 0xFF where some arc of 9 passes
}

// Bit i set when centre i of the kLanes centres starting at `centres` is a corner.
inline uint32_t cornerMask(const unsigned char* centres, const FastCircleOffsets& offsets,
                           ByteVec threshold) {
    const ByteVec c = loadBytes(centres);
    const ByteVec high = addSaturated(c, threshold);
    const ByteVec low = subtractSaturated(c, threshold);
    const ByteVec zero = {};
    // Compass pixels first: every arc of 9 holds (0 or 8) and (4 or 12), so most
    // flat stretches are rejected after four loads.
    const ByteVec p0 = loadBytes(centres + offsets[0]), p4 = loadBytes(centres + offsets[4]);
    const ByteVec p8 = loadBytes(centres + offsets[8]), p12 = loadBytes(centres + offsets[12]);
    const ByteVec maybeBright = (ByteVec)((subtractSaturated(p0, high) | subtractSaturated(p8, high)) != zero);
    const ByteVec maybeBright2 = (ByteVec)((subtractSaturated(p4, high) | subtractSaturated(p12, high)) != zero);
    const ByteVec maybeDark = (ByteVec)((subtractSaturated(low, p0) | subtractSaturated(low, p8)) != zero);
    const ByteVec maybeDark2 = (ByteVec)((subtractSaturated(low, p4) | subtractSaturated(low, p12)) != zero);
    const ByteVec candidates = (maybeBright & maybeBright2) | (maybeDark & maybeDark2);
    if (byteMask(candidates) == 0) return 0;

    ByteVec notBright[16], notDark[16];
    for (int i = 0; i < 16; ++i) {
        const ByteVec p = loadBytes(centres + offsets[i]);
        notBright[i] = (ByteVec)(subtractSaturated(p, high) == zero);
        notDark[i] = (ByteVec)(subtractSaturated(low, p) == zero);
    }
    return byteMask(arcOfNine(notBright) | arcOfNine(notDark));
}

// Appends the corners of row y in x order; returns the first x not scanned.
inline int scanRowVectors(const unsigned char* row, int y, int xBegin, int xEnd,
                          const FastCircleOffsets& offsets, int threshold,
                          std::vector<CornerPoint>& corners) {
    ByteVec thresholdVector;
    for (int i = 0; i < kLanes; ++i) thresholdVector[i] = static_cast<unsigned char>(threshold);
    int x = xBegin;
    for (; x + kLanes <= xEnd; x += kLanes) {
        uint32_t mask = cornerMask(row + x, offsets, thresholdVector);
        while (mask != 0) {
            const int bit = __builtin_ctz(mask);
            mask &= mask - 1;
            appendCorner(corners, x + bit, y);
        }
    }
    return x;
}
