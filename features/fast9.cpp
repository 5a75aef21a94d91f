#include "features/fast9.h"
#include "features/simd_target.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include <cstring>

#include <immintrin.h>

#include "features/float_kernels.h"

namespace {

constexpr int kBorder = 3;
constexpr int kMinCorners = 5;

// Results for thresholds beyond +-256 equal those at +-256 (pixels are 0..255), so
// clamping keeps the segment test exact while c + t can never overflow.
int clampThreshold(int threshold) { return std::clamp(threshold, -256, 256); }

// True when the 16-bit circle mask holds 9 set bits that are contiguous on the
// cyclic circle: the mask is doubled so that arcs crossing index 15 -> 0 are
// seen as plain runs, then runs of 2, 4, 8 and 9 are built by shifting.
bool hasArcOfNine(uint32_t mask) {
    const uint32_t doubled = mask | (mask << 16);
    const uint32_t run2 = doubled & (doubled >> 1);
    const uint32_t run4 = run2 & (run2 >> 2);
    const uint32_t run8 = run4 & (run4 >> 4);
    const uint32_t run9 = run8 & (doubled >> 8);
    return (run9 & 0xFFFFu) != 0;
}

bool segmentTest(const unsigned char* centre, const FastCircleOffsets& offsets, int threshold) {
    const int c = *centre;
    const int high = c + threshold;
    const int low = c - threshold;
    uint32_t brighter = 0;
    uint32_t darker = 0;
    for (int i = 0; i < 16; ++i) {
        const int p = centre[offsets[i]];
        brighter |= static_cast<uint32_t>(p > high) << i;
        darker |= static_cast<uint32_t>(p < low) << i;
    }
    return hasArcOfNine(brighter) || hasArcOfNine(darker);
}

// Any arc of 9 holds two compass pixels (indices 0, 4, 8, 12) that are 4 apart,
// so a corner needs (0 or 8) and (4 or 12) all brighter, or all darker. This
// rejects flat pixels after two reads.
bool passesCompassTest(const unsigned char* centre, const FastCircleOffsets& offsets,
                       int threshold) {
    const int c = *centre;
    const int high = c + threshold;
    const int low = c - threshold;
    const int p0 = centre[offsets[0]];
    const int p8 = centre[offsets[8]];
    bool brighter = p0 > high || p8 > high;
    bool darker = p0 < low || p8 < low;
    if (!brighter && !darker) return false;
    const int p4 = centre[offsets[4]];
    const int p12 = centre[offsets[12]];
    brighter = brighter && (p4 > high || p12 > high);
    darker = darker && (p4 < low || p12 < low);
    return brighter || darker;
}

void appendCorner(std::vector<CornerPoint>& corners, int x, int y) {
    if (corners.size() == corners.capacity())
        corners.reserve(std::max(kFastInitialCapacity, 2 * corners.capacity()));
    corners.push_back(CornerPoint{x, y});
}

void scanRangeScalar(const unsigned char* row, int y, int xBegin, int xEnd,
                     const FastCircleOffsets& offsets, int threshold,
                     std::vector<CornerPoint>& corners) {
    for (int x = xBegin; x < xEnd; ++x) {
        const unsigned char* centre = row + x;
        if (passesCompassTest(centre, offsets, threshold) &&
            segmentTest(centre, offsets, threshold))
            appendCorner(corners, x, y);
    }
}

namespace sse2 {
typedef unsigned char ByteVec __attribute__((vector_size(16)));
inline ByteVec loadBytes(const unsigned char* p) {
    ByteVec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline ByteVec addSaturated(ByteVec a, ByteVec b) { return (ByteVec)_mm_adds_epu8((__m128i)a, (__m128i)b); }
inline ByteVec subtractSaturated(ByteVec a, ByteVec b) {
    return (ByteVec)_mm_subs_epu8((__m128i)a, (__m128i)b);
}
inline uint32_t byteMask(ByteVec v) { return static_cast<uint32_t>(_mm_movemask_epi8((__m128i)v)); }
#include "features/fast9_impl.h"
}  // namespace sse2

CASTELLAN_BEGIN_AVX2
namespace avx2 {
typedef unsigned char ByteVec __attribute__((vector_size(32)));
inline ByteVec loadBytes(const unsigned char* p) {
    ByteVec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline ByteVec addSaturated(ByteVec a, ByteVec b) {
    return (ByteVec)_mm256_adds_epu8((__m256i)a, (__m256i)b);
}
inline ByteVec subtractSaturated(ByteVec a, ByteVec b) {
    return (ByteVec)_mm256_subs_epu8((__m256i)a, (__m256i)b);
}
inline uint32_t byteMask(ByteVec v) { return static_cast<uint32_t>(_mm256_movemask_epi8((__m256i)v)); }
#include "features/fast9_impl.h"

// The row in 32-centre steps, then one 16-centre step.
int scanRowVectors(const unsigned char* row, int y, int xBegin, int xEnd,
                   const FastCircleOffsets& offsets, int threshold, std::vector<CornerPoint>& corners,
                   bool) {
    const int x = scanRowVectors(row, y, xBegin, xEnd, offsets, threshold, corners);
    return sse2::scanRowVectors(row, y, x, xEnd, offsets, threshold, corners);
}
}  // namespace avx2
CASTELLAN_END_AVX2

void scanRow(const unsigned char* row, int y, int width, const FastCircleOffsets& offsets,
             int threshold, std::vector<CornerPoint>& corners) {
    const int xEnd = width - kBorder;
    int x = kBorder;
    if (threshold >= 0 && threshold <= 255) {
        x = float_kernels::usesAvx2()
                ? avx2::scanRowVectors(row, y, x, xEnd, offsets, threshold, corners, true)
                : sse2::scanRowVectors(row, y, x, xEnd, offsets, threshold, corners);
    }
    scanRangeScalar(row, y, x, xEnd, offsets, threshold, corners);
}

bool insideTestedInterior(const CornerPoint& p, int width, int height) {
    return p.x >= kBorder && p.x < width - kBorder && p.y >= kBorder && p.y < height - kBorder;
}

}  // namespace

FastCircleOffsets fastCircleOffsets(int width) {
    static constexpr int kCircle[16][2] = {
        {0, 3},  {1, 3},   {2, 2},   {3, 1},   {3, 0},   {3, -1}, {2, -2}, {1, -3},
        {0, -3}, {-1, -3}, {-2, -2}, {-3, -1}, {-3, 0}, {-3, 1}, {-2, 2}, {-1, 3}};
    FastCircleOffsets offsets{};
    for (int i = 0; i < 16; ++i)
        offsets[i] = kCircle[i][0] + static_cast<std::ptrdiff_t>(kCircle[i][1]) * width;
    return offsets;
}

bool fast9IsCorner(const unsigned char* centre, const FastCircleOffsets& offsets, int threshold) {
    return segmentTest(centre, offsets, clampThreshold(threshold));
}

void fast9Detect(const unsigned char* image, int width, int height, int threshold,
                 std::vector<CornerPoint>& corners) {
    corners.clear();
    if (corners.capacity() < kFastInitialCapacity) corners.reserve(kFastInitialCapacity);
    if (image == nullptr || height <= 2 * kBorder || width <= 2 * kBorder) return;

    const int t = clampThreshold(threshold);
    const FastCircleOffsets offsets = fastCircleOffsets(width);
    for (int y = kBorder; y < height - kBorder; ++y) {
        const unsigned char* row = image + static_cast<std::size_t>(y) * width;
        scanRow(row, y, width, offsets, t, corners);
    }
}

std::vector<CornerPoint> fast9Detect(const unsigned char* image, int width, int height,
                                     int threshold, int* count) {
    std::vector<CornerPoint> corners;
    fast9Detect(image, width, height, threshold, corners);
    if (count != nullptr) *count = static_cast<int>(corners.size());
    return corners;
}

namespace {

// The score for 0 <= threshold <= 255 with the 16 circle pixels in one vector:
// the saturating differences against min(c + t, 255) and max(c - t, 0) are the
// exact excesses (0 where a pixel is not brighter or darker), summed by SAD.
int scoreInRange(const unsigned char* centre, const FastCircleOffsets& offsets, int threshold) {
    alignas(16) unsigned char ring[16];
    for (int i = 0; i < 16; ++i) ring[i] = centre[offsets[i]];
    const __m128i pixels = _mm_load_si128(reinterpret_cast<const __m128i*>(ring));
    const int c = *centre;
    const __m128i high = _mm_set1_epi8(static_cast<char>(std::min(c + threshold, 255)));
    const __m128i low = _mm_set1_epi8(static_cast<char>(std::max(c - threshold, 0)));
    const __m128i zero = _mm_setzero_si128();
    const __m128i brighter = _mm_sad_epu8(_mm_subs_epu8(pixels, high), zero);
    const __m128i darker = _mm_sad_epu8(_mm_subs_epu8(low, pixels), zero);
    const int brighterSum = _mm_cvtsi128_si32(brighter) + _mm_extract_epi16(brighter, 4);
    const int darkerSum = _mm_cvtsi128_si32(darker) + _mm_extract_epi16(darker, 4);
    return std::max(brighterSum, darkerSum);
}

}  // namespace

int fast9Score(const unsigned char* centre, const FastCircleOffsets& offsets, int threshold) {
    if (threshold >= 0 && threshold <= 255) return scoreInRange(centre, offsets, threshold);
    // 64-bit sums: with an extreme negative threshold each term exceeds INT_MAX / 16.
    const int64_t c = *centre;
    const int64_t high = c + threshold;
    const int64_t low = c - threshold;
    int64_t brighterSum = 0;
    int64_t darkerSum = 0;
    for (int i = 0; i < 16; ++i) {
        const int64_t p = centre[offsets[i]];
        if (p > high) brighterSum += p - high;
        if (p < low) darkerSum += low - p;
    }
    const int64_t score = darkerSum < brighterSum ? brighterSum : darkerSum;
    return static_cast<int>(std::min<int64_t>(score, INT_MAX));
}

namespace {

// Advances `cursor` (forward only, never past `count`) to the corners of `row`
// within one column of x, and reports whether one of them scores above `score`.
bool rowHasGreaterNeighbour(const CornerPoint* corners, const int* scores, int count,
                            const std::vector<int>& rowStart, int row, int64_t x, int score,
                            int& cursor) {
    if (rowStart[row] < 0) return false;
    if (cursor < count && corners[cursor].y < row) cursor = rowStart[row];
    while (cursor < count && corners[cursor].y == row && corners[cursor].x < x - 1) ++cursor;
    for (int j = cursor; j < count && corners[j].y == row && corners[j].x <= x + 1; ++j)
        if (scores[j] > score) return true;
    return false;
}

bool strictlyRasterOrdered(const CornerPoint* corners, int count) {
    for (int i = 1; i < count; ++i) {
        const CornerPoint& a = corners[i - 1];
        const CornerPoint& b = corners[i];
        if (b.y < a.y || (b.y == a.y && b.x <= a.x)) return false;
    }
    return true;
}

// The suppression rule for a list in strict raster order of corners inside the
// tested interior: there a greater list neighbour on the same row, or a greater
// corner within one column on the row above or below, is simply a greater score
// among the 8 neighbours. Scores of the rows of three consecutive groups of
// corners (one group per row) sit in column-indexed buffers, so each corner
// needs 8 lookups instead of a search. Gives exactly fastNonmaxSuppressScored.
void suppressRasterOrdered(const CornerPoint* corners, const int* scores, int count, int width,
                           std::vector<CornerPoint>& kept, std::vector<int>& rowScores) {
    const std::size_t stride = static_cast<std::size_t>(width);
    rowScores.assign(3 * stride, -1);
    kept.clear();
    kept.reserve(static_cast<std::size_t>(count));
    auto slot = [&](int group) { return rowScores.data() + static_cast<std::size_t>(group % 3) * stride; };
    auto groupEnd = [&](int begin) {
        int end = begin;
        while (end < count && corners[end].y == corners[begin].y) ++end;
        return end;
    };
    auto setGroup = [&](int begin, int end, int group, bool fill) {
        int* row = slot(group);
        for (int i = begin; i < end; ++i) row[corners[i].x] = fill ? scores[i] : -1;
    };

    // Groups g - 1, g and g + 1 are held; [begin, end) ranges of each.
    int previousBegin = 0, previousEnd = 0;
    int begin = 0, end = groupEnd(0);
    int nextBegin = end, nextEnd = groupEnd(end);
    setGroup(begin, end, 0, true);
    setGroup(nextBegin, nextEnd, 1, true);
    for (int group = 0; begin < count; ++group) {
        const int y = corners[begin].y;
        const int* same = slot(group);
        const bool hasAbove = previousEnd > previousBegin && corners[previousBegin].y == y - 1;
        const bool hasBelow = nextEnd > nextBegin && corners[nextBegin].y == y + 1;
        const int* above = slot(group + 2);  // (group - 1) mod 3
        const int* below = slot(group + 1);
        for (int i = begin; i < end; ++i) {
            // The first and the last corner have only one list neighbour and are never kept.
            if (i == 0 || i == count - 1) continue;
            const int x = corners[i].x;
            const int score = scores[i];
            bool greater = same[x - 1] > score || same[x + 1] > score;
            if (hasAbove) greater = greater || above[x - 1] > score || above[x] > score || above[x + 1] > score;
            if (hasBelow) greater = greater || below[x - 1] > score || below[x] > score || below[x + 1] > score;
            if (!greater) kept.push_back(corners[i]);
        }
        // Slide: group - 1 leaves, group + 2 comes in (into the same slot).
        setGroup(previousBegin, previousEnd, group + 2, false);
        previousBegin = begin;
        previousEnd = end;
        begin = nextBegin;
        end = nextEnd;
        nextBegin = nextEnd;
        nextEnd = groupEnd(nextBegin);
        setGroup(nextBegin, nextEnd, group + 2, true);
    }
}

}  // namespace

bool fastNonmaxSuppressScored(const CornerPoint* corners, const int* scores, int cornerCount,
                              int height, std::vector<CornerPoint>& kept,
                              std::vector<int>& rowStart) {
    if (cornerCount < kMinCorners || corners == nullptr || scores == nullptr) return false;
    for (int i = 0; i < cornerCount; ++i)
        if (corners[i].y < 0 || corners[i].y >= height) return false;

    rowStart.assign(static_cast<std::size_t>(height), -1);
    for (int i = 0; i < cornerCount; ++i)
        if (rowStart[corners[i].y] < 0) rowStart[corners[i].y] = i;

    kept.clear();
    kept.reserve(static_cast<std::size_t>(cornerCount));
    int cursorAbove = 0;
    int cursorBelow = 0;
    // The first and the last corner have only one list neighbour and are never kept.
    for (int i = 1; i < cornerCount - 1; ++i) {
        const CornerPoint p = corners[i];
        const int64_t x = p.x;
        const int score = scores[i];
        const CornerPoint& prev = corners[i - 1];
        const CornerPoint& next = corners[i + 1];
        if (prev.y == p.y && prev.x == x - 1 && scores[i - 1] > score) continue;
        if (next.y == p.y && next.x == x + 1 && scores[i + 1] > score) continue;
        if (p.y > 0 && rowHasGreaterNeighbour(corners, scores, cornerCount, rowStart, p.y - 1, x,
                                              score, cursorAbove))
            continue;
        if (p.y < height - 1 && rowHasGreaterNeighbour(corners, scores, cornerCount, rowStart,
                                                       p.y + 1, x, score, cursorBelow))
            continue;
        kept.push_back(p);
    }
    return true;
}

bool fastNonmaxSuppression(const unsigned char* image, int width, int height,
                           const CornerPoint* corners, int cornerCount, int threshold,
                           std::vector<CornerPoint>& kept, FastNonmaxWorkspace& workspace) {
    if (cornerCount < kMinCorners || corners == nullptr || image == nullptr) return false;
    for (int i = 0; i < cornerCount; ++i)
        if (!insideTestedInterior(corners[i], width, height)) return false;

    const FastCircleOffsets offsets = fastCircleOffsets(width);
    workspace.scores.resize(static_cast<std::size_t>(cornerCount));
    for (int i = 0; i < cornerCount; ++i) {
        const unsigned char* centre =
            image + static_cast<std::size_t>(corners[i].y) * width + corners[i].x;
        workspace.scores[i] = fast9Score(centre, offsets, threshold);
    }
    if (strictlyRasterOrdered(corners, cornerCount)) {
        suppressRasterOrdered(corners, workspace.scores.data(), cornerCount, width, kept,
                              workspace.rowScores);
        return true;
    }
    return fastNonmaxSuppressScored(corners, workspace.scores.data(), cornerCount, height, kept,
                                    workspace.rowStart);
}

std::optional<std::vector<CornerPoint>> fastNonmaxSuppression(
    const unsigned char* image, int width, int height, const CornerPoint* corners,
    int cornerCount, int threshold) {
    std::vector<CornerPoint> kept;
    FastNonmaxWorkspace workspace;
    if (!fastNonmaxSuppression(image, width, height, corners, cornerCount, threshold, kept,
                               workspace))
        return std::nullopt;
    return kept;
}
