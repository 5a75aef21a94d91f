// Good-feature selection of the KLT library: rate every candidate pixel by the
// smaller eigenvalue of its gradient matrix, sort, and fill the feature list
// greedily while keeping features apart.

#include "features/klt.h"
#include "features/klt_internal.h"
#include "features/float_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace {

constexpr double kIntCapacity = 2147483647.0;

void resetToEmpty(KLTFeature& feature, float x, float y, int val) {
    feature = KLTFeature{};
    feature.x = x;
    feature.y = y;
    feature.val = val;
}

// Features need a value of at least min_eigenvalue, and of at least 1.
int acceptanceThreshold(int min_eigenvalue) { return min_eigenvalue > 0 ? min_eigenvalue : 1; }

int trackabilityValue(float lambda) {
    // The common case, exactly what truncateToInt gives there.
    if (lambda >= 0.0f && lambda < 2147483648.0f) return static_cast<int>(lambda);
    if (static_cast<double>(lambda) > kIntCapacity) {
        kltWarning("(_KLTSelectGoodFeatures) minimum eigenvalue %f is greater than the "
                   "capacity of an int; setting to maximum value",
                   static_cast<double>(lambda));
        return std::numeric_limits<int>::max();
    }
    return klt_detail::truncateToInt(lambda);
}

// One pixel's smaller eigenvalue, for scans that skip pixels.
float windowEigenvalue(const KLTFloatImage& gradx, const KLTFloatImage& grady, int64_t x,
                       int64_t y, int hw, int hh) {
    const int ncols = gradx.ncols;
    // Column by column, each column top to bottom: the order of the window sums
    // of the full scan.
    float gxx = 0.0f;
    float gxy = 0.0f;
    float gyy = 0.0f;
    for (int64_t xx = x - hw; xx <= x + hw; ++xx) {
        float cxx = 0.0f;
        float cxy = 0.0f;
        float cyy = 0.0f;
        for (int64_t yy = y - hh; yy <= y + hh; ++yy) {
            const float gx = gradx.data[static_cast<size_t>(yy) * ncols + static_cast<size_t>(xx)];
            const float gy = grady.data[static_cast<size_t>(yy) * ncols + static_cast<size_t>(xx)];
            cxx += gx * gx;
            cxy += gx * gy;
            cyy += gy * gy;
        }
        gxx += cxx;
        gxy += cxy;
        gyy += cyy;
    }
    const double dxx = gxx;
    const double dxy = gxy;
    const double dyy = gyy;
    return static_cast<float>((dxx + dyy - std::sqrt((dxx - dyy) * (dxx - dyy) + 4.0 * dxy * dxy)) / 2.0);
}

// Smaller eigenvalue of the gradient matrix of the window around every candidate
// pixel, appended row by row, left to right. Without skipped pixels a whole row
// of windows is summed at once, each window in its own order.
void findTrackability(const KLTTrackingContext& tc, const KLTFloatImage& gradx,
                      const KLTFloatImage& grady, KLTWorkspace& ws) {
    const int ncols = gradx.ncols;
    const int nrows = gradx.nrows;
    const int hw = tc.window_width / 2;
    const int hh = tc.window_height / 2;
    const int64_t bx = std::max(tc.borderx, hw);
    const int64_t by = std::max(tc.bordery, hh);
    // A negative nSkippedPixels would never advance; a step of at least one pixel
    // keeps the scan finite.
    const int64_t step = std::max<int64_t>(int64_t{tc.nSkippedPixels} + 1, 1);

    // The values, row by row; a candidate's place in the list gives its position.
    std::vector<int>& values = ws.candidateValues;
    ws.candidateOrigin = {static_cast<int>(bx), static_cast<int>(by)};
    ws.candidateStep = static_cast<int>(std::min<int64_t>(step, std::numeric_limits<int>::max()));
    ws.candidateRowLength = 0;
    if (step != 1) {
        values.clear();
        const int64_t perRow = ncols - bx > bx ? (ncols - bx - bx + step - 1) / step : 0;
        ws.candidateRowLength = static_cast<int>(perRow);
        for (int64_t y = by; y < nrows - by && perRow > 0; y += step)
            for (int64_t x = bx; x < ncols - bx; x += step)
                values.push_back(trackabilityValue(windowEigenvalue(gradx, grady, x, y, hw, hh)));
        return;
    }

    const int64_t perRow = ncols - 2 * bx;
    if (perRow <= 0 || nrows - 2 * by <= 0) {
        values.clear();
        return;
    }
    ws.candidateRowLength = static_cast<int>(perRow);
    const int count = static_cast<int>(perRow);
    const int windowWidth = 2 * hw + 1;
    const int windowHeight = 2 * hh + 1;
    ws.windowSums.resize(4 * static_cast<size_t>(count));
    float* gxx = ws.windowSums.data();
    float* gxy = gxx + count;
    float* gyy = gxy + count;
    float* lambda = gyy + count;
    // The products every window sums, each computed once (the same products
    // the windows would form), a row at a time into a ring of window-height rows
    // that stays in cache.
    const size_t rowLength = static_cast<size_t>(ncols);
    const size_t ringRows = static_cast<size_t>(windowHeight);
    ws.gradientProducts.resize(3 * ringRows * rowLength);
    float* xx = ws.gradientProducts.data();
    float* xy = xx + ringRows * rowLength;
    float* yy = xy + ringRows * rowLength;
    const auto slot = [&](int64_t row) { return static_cast<size_t>(row) % ringRows * rowLength; };
    const size_t firstColumn = static_cast<size_t>(bx - hw);
    const size_t columns = static_cast<size_t>(count + windowWidth - 1);
    int64_t produced = by - hh;

    values.resize(static_cast<size_t>(count) * static_cast<size_t>(nrows - 2 * by));
    ws.windowRows.resize(3 * static_cast<size_t>(windowHeight));
    const float** xxRows = ws.windowRows.data();
    const float** xyRows = xxRows + windowHeight;
    const float** yyRows = xyRows + windowHeight;
    for (int64_t y = by; y < nrows - by; ++y) {
        for (; produced <= y + hh; ++produced) {
            const size_t at = static_cast<size_t>(produced) * rowLength + firstColumn;
            const size_t to = slot(produced) + firstColumn;
            float_kernels::gradientProducts(gradx.data.data() + at, grady.data.data() + at, columns, xx + to,
                                            xy + to, yy + to);
        }
        for (int r = 0; r < windowHeight; ++r) {
            const size_t rowStart = slot(y - hh + r) + firstColumn;
            xxRows[r] = xx + rowStart;
            xyRows[r] = xy + rowStart;
            yyRows[r] = yy + rowStart;
        }
        float_kernels::windowSums(xxRows, xyRows, yyRows, windowHeight, windowWidth, count, gxx, gxy,
                                  gyy);
        float_kernels::smallerEigenvalues(gxx, gxy, gyy, count, lambda);
        int* row = values.data() + static_cast<size_t>(y - by) * count;
        // Inside the int range the value is its truncation, as trackabilityValue
        // gives it; the loop has no branch (the processor would mispredict the
        // sign of the many values near 0), and the rare values outside are
        // mended after it.
        int outside = 0;
        for (int i = 0; i < count; ++i) {
            const float value = lambda[i];
            const bool inRange = (value > -2147483648.0f) & (value < 2147483648.0f);
            row[i] = inRange ? static_cast<int>(value) : 0;
            outside |= inRange ? 0 : 1;
        }
        if (outside)
            for (int i = 0; i < count; ++i)
                if (!(lambda[i] > -2147483648.0f && lambda[i] < 2147483648.0f)) row[i] = trackabilityValue(lambda[i]);
    }
}

// The scalar partition loop from the state after the swap of positions i and j
// (i = 0, j = n before any): returns the pivot's final place.
int finishPartition(KLTCandidate* candidates, int i, int j, int pivot) {
    for (;;) {
        // Entry 0 holds the pivot, so j stops there at the latest.
        do --j;
        while (candidates[j].val < pivot);
        do ++i;
        while (i < j && candidates[i].val > pivot);
        if (i >= j) break;
        std::swap(candidates[i], candidates[j]);
    }
    std::swap(candidates[j], candidates[0]);
    return j;
}

// Positions in [from, to) where the test holds, in scan order (descending when
// `down`), written without branches on the values. Returns how many.
template <bool down, typename Test>
int stoppers(const KLTCandidate* candidates, int from, int to, int* out, Test test) {
    int count = 0;
    for (int t = 0; t < to - from; ++t) {
        const int position = down ? to - 1 - t : from + t;
        out[count] = position;
        count += test(candidates[position].val) ? 1 : 0;
    }
    return count;
}

// One partition step of the candidate quicksort: swaps the middle entry to the
// front as pivot, partitions, puts the pivot in its final place and returns that
// place. The exact steps fix where equal values end up; selection depends on them.
//
// The scalar loop pairs the next entry from the left that is not above the
// pivot with the next from the right that is not below it, and swaps them. The
// same pairs are found here a block at a time, without a branch per entry that
// the processor would mispredict: while both sides have such entries left in
// the scanned blocks, and the blocks do not meet, the pairs are exactly the
// loop's. Where they meet the loop itself finishes.
int partitionCandidates(KLTCandidate* candidates, int n) {
    std::swap(candidates[0], candidates[n / 2]);
    const int pivot = candidates[0].val;
    constexpr int kBlock = 64;
    int leftStops[kBlock];
    int rightStops[kBlock];
    int leftCount = 0, leftNext = 0, rightCount = 0, rightNext = 0;
    int left = 1;   // first entry not scanned from the left
    int right = n;  // last entry not scanned from the right, plus one
    int i = 0;
    int j = n;
    for (;;) {
        // A block may hold no such entry at all: scan on until one turns up.
        while (leftNext == leftCount && right - left >= kBlock) {
            leftCount = stoppers<false>(candidates, left, left + kBlock, leftStops,
                                        [pivot](int val) { return val <= pivot; });
            leftNext = 0;
            left += kBlock;
        }
        while (rightNext == rightCount && right - left >= kBlock) {
            rightCount = stoppers<true>(candidates, right - kBlock, right, rightStops,
                                        [pivot](int val) { return val >= pivot; });
            rightNext = 0;
            right -= kBlock;
        }
        if (leftNext == leftCount || rightNext == rightCount) break;
        while (leftNext < leftCount && rightNext < rightCount) {
            i = leftStops[leftNext++];
            j = rightStops[rightNext++];
            std::swap(candidates[i], candidates[j]);
        }
    }
    return finishPartition(candidates, i, j, pivot);
}

// Candidates, highest value first, equal values in the order of the list (row
// by row, left to right), at or above a threshold. Selection usually stops long
// before the end, so they are ordered only as far as it asks: a band of values
// at a time, each from half the one above's lower bound up to it, and within a
// band through a heap, one at a time.
class CandidatesByValue {
public:
    // Candidates on a set cell of `blocked` (ncols wide) are left out: in
    // selection the cells of the map are only ever set.
    CandidatesByValue(const KLTWorkspace& ws, int threshold, std::vector<int>& blockMax, std::vector<uint64_t>& band,
                      const unsigned char* blocked, int ncols)
        : values_(ws.candidateValues), rowLength_(ws.candidateRowLength), origin_(ws.candidateOrigin),
          step_(ws.candidateStep), threshold_(threshold), blockMax_(blockMax), band_(band), blocked_(blocked),
          ncols_(ncols) {
        band_.clear();
        const size_t n = values_.size();
        blockMax_.resize((n + kBlock - 1) / kBlock);
        int64_t largest = std::numeric_limits<int>::min();
        for (size_t b = 0; b < blockMax_.size(); ++b) {
            int m = std::numeric_limits<int>::min();
            for (size_t i = b * kBlock; i < std::min(n, b * kBlock + kBlock); ++i) m = std::max(m, values_[i]);
            blockMax_[b] = m;
            largest = std::max<int64_t>(largest, m);
        }
        upper_ = largest + 1;
    }

    // The next candidate, or null after the last one at or above the threshold.
    const KLTCandidate* next() {
        while (heapSize_ == 0)
            if (!gatherBand()) return nullptr;
        std::pop_heap(band_.begin(), band_.begin() + static_cast<std::ptrdiff_t>(heapSize_--));
        const uint64_t key = band_[heapSize_];
        const size_t index = kIndexMask - (key & kIndexMask);
        const size_t length = static_cast<size_t>(rowLength_);
        current_ = {origin_.first + static_cast<int>(index % length) * step_,
                    origin_.second + static_cast<int>(index / length) * step_, values_[index]};
        return &current_;
    }

private:
    // Blocks of candidates whose largest value lies below a band are not read for it.
    static constexpr size_t kBlock = 16;
    // A candidate's key: its value above its place in the list, counted from
    // the end, so that the larger key comes first.
    static constexpr uint64_t kIndexMask = 0xffffffffu;

    bool gatherBand() {
        if (upper_ <= threshold_) return false;
        const int64_t lower = std::max<int64_t>(upper_ / 2, threshold_);
        const size_t n = values_.size();
        // Every candidate of a block read is written, the pass moves on only past those of the band.
        size_t room = 0;
        for (int value : blockMax_) room += value >= lower ? kBlock : 0;
        band_.resize(room);
        size_t count = 0;
        const size_t length = static_cast<size_t>(rowLength_);
        const size_t step = static_cast<size_t>(step_);
        for (size_t b = 0; b < blockMax_.size(); ++b) {
            if (blockMax_[b] < lower) continue;
            size_t row = b * kBlock / length;
            size_t column = b * kBlock % length;
            for (size_t i = b * kBlock; i < std::min(n, b * kBlock + kBlock); ++i) {
                const int value = values_[i];
                const size_t cell = (static_cast<size_t>(origin_.second) + row * step) * static_cast<size_t>(ncols_) +
                                    static_cast<size_t>(origin_.first) + column * step;
                band_[count] = static_cast<uint64_t>(static_cast<uint32_t>(value)) << 32 | (kIndexMask - i);
                count += value >= lower && value < upper_ && !blocked_[cell] ? 1 : 0;
                if (++column == length) {
                    column = 0;
                    ++row;
                }
            }
        }
        band_.resize(count);
        std::make_heap(band_.begin(), band_.end());
        heapSize_ = count;
        upper_ = lower;
        return true;
    }

    const std::vector<int>& values_;
    int rowLength_;
    std::pair<int, int> origin_;
    int step_;
    int64_t threshold_;
    std::vector<int>& blockMax_;
    std::vector<uint64_t>& band_;
    const unsigned char* blocked_;
    int ncols_;
    size_t heapSize_ = 0;
    int64_t upper_ = 0;
    KLTCandidate current_{};
};

// Fills the list from the candidates `next` gives, best first (null: no more).
template <typename Next>
void fillMapAndFeatures(Next next, KLTFeatureList& fl, int ncols, int nrows, int mindist, int min_eigenvalue,
                        std::vector<unsigned char>& featureMap) {
    featureMap.assign(static_cast<size_t>(std::max(ncols, 0)) * std::max(nrows, 0), 0);
    const int64_t m = int64_t{mindist} - 1;
    const int threshold = acceptanceThreshold(min_eigenvalue);
    const int nFeatures = fl.nFeatures();

    int index = 0;
    while (index < nFeatures) {
        const KLTCandidate* found = next();
        if (!found) break;
        const KLTCandidate& candidate = *found;
        // Candidates come from inside the image; anything else cannot be a feature.
        if (candidate.x < 0 || candidate.x >= ncols || candidate.y < 0 || candidate.y >= nrows)
            continue;
        const size_t cell = static_cast<size_t>(candidate.y) * ncols + candidate.x;
        if (featureMap[cell] || candidate.val < threshold) continue;
        resetToEmpty(fl.feature[index], static_cast<float>(candidate.x),
                     static_cast<float>(candidate.y), candidate.val);
        const int radius = static_cast<int>(std::clamp<int64_t>(m, -1, std::numeric_limits<int>::max()));
        fillFeatureMap(candidate.x, candidate.y, featureMap.data(), radius, ncols, nrows);
        ++index;
    }
    for (; index < nFeatures; ++index) resetToEmpty(fl.feature[index], -1.0f, -1.0f, KLT_NOT_FOUND);
}

void selectProper(KLTTrackingContext& tc, const unsigned char* img, int ncols, int nrows,
                  KLTFeatureList& fl) {
    klt_detail::checkWindowSizeForSelectAndTrack(tc);
    if (!img || ncols <= 0 || nrows <= 0) ncols = nrows = 0;  // nothing to read

    KLTWorkspace& ws = klt_detail::workspace(tc);
    KLTFloatImage& working = ws.smoothImage;
    if (tc.smoothBeforeSelecting) {
        klt_detail::smoothBytes(img, ncols, nrows, computeSmoothSigma(tc), working, ws.convolveTemp,
                                ws.floatImage);
    } else {
        toFloatImage(img, ncols, nrows, working);
    }
    klt_detail::computeGradients(working, tc.grad_sigma, ws.gradx, ws.grady, ws.convolveTemp);

    if (tc.writeInternalImages) {
        writeFloatImageToPGM(working, "kltimg_sgfrlf.pgm");
        writeFloatImageToPGM(ws.gradx, "kltimg_sgfrlf_gx.pgm");
        writeFloatImageToPGM(ws.grady, "kltimg_sgfrlf_gy.pgm");
    }

    findTrackability(tc, ws.gradx, ws.grady, ws);

    if (tc.mindist < 0) {
        kltWarning("(_KLTSelectGoodFeatures) Tracking context field tc->mindist is negative "
                   "(%d); setting to zero",
                   tc.mindist);
        tc.mindist = 0;
    }
    // The map is cleared here, before the candidates read it.
    ws.featureMap.assign(static_cast<size_t>(ncols) * static_cast<size_t>(nrows), 0);
    CandidatesByValue ordered(ws, acceptanceThreshold(tc.min_eigenvalue), ws.blockMax, ws.candidateBand,
                              ws.featureMap.data(), ncols);
    fillMapAndFeatures([&ordered] { return ordered.next(); }, fl, ncols, nrows, tc.mindist, tc.min_eigenvalue,
                       ws.featureMap);
}

}  // namespace

void selectGoodFeatures(KLTTrackingContext& tc, const unsigned char* img, int ncols, int nrows,
                        KLTFeatureList& fl) {
    if (KLTVerbosity() > 0) {
        std::fprintf(stderr, "(KLT) Selecting the %d best features from a %d by %d image...  ",
                     fl.nFeatures(), ncols, nrows);
        std::fflush(stderr);
    }
    selectProper(tc, img, ncols, nrows, fl);
    if (KLTVerbosity() > 0) {
        std::fprintf(stderr, "\n\t%d features found.\n", countRemainingFeatures(fl));
        if (tc.writeInternalImages) std::fprintf(stderr, "\tWrote images to 'kltimg_sgfrlf*.pgm'.\n");
        std::fflush(stderr);
    }
}

void sortPointList(KLTCandidate* candidates, int n) {
    while (n > 1) {
        const int j = partitionCandidates(candidates, n);
        const int leftCount = j;
        const int rightCount = n - j - 1;
        // Recurse into the smaller part so the depth stays logarithmic.
        if (leftCount < rightCount) {
            sortPointList(candidates, leftCount);
            candidates += j + 1;
            n = rightCount;
        } else {
            sortPointList(candidates + j + 1, rightCount);
            n = leftCount;
        }
    }
}

void enforceMinimumDistance(const KLTCandidate* candidates, int nCandidates, KLTFeatureList& fl,
                            int ncols, int nrows, int mindist, int min_eigenvalue) {
    std::vector<unsigned char> featureMap;
    int c = 0;
    const auto next = [&]() -> const KLTCandidate* { return c < nCandidates ? &candidates[c++] : nullptr; };
    fillMapAndFeatures(next, fl, ncols, nrows, mindist, min_eigenvalue, featureMap);
}

void fillFeatureMap(int x, int y, unsigned char* featuremap, int m, int ncols, int nrows) {
    const int64_t x0 = std::max<int64_t>(int64_t{x} - m, 0);
    const int64_t x1 = std::min<int64_t>(int64_t{x} + m, int64_t{ncols} - 1);
    const int64_t y0 = std::max<int64_t>(int64_t{y} - m, 0);
    const int64_t y1 = std::min<int64_t>(int64_t{y} + m, int64_t{nrows} - 1);
    for (int64_t iy = y0; iy <= y1; ++iy)
        for (int64_t ix = x0; ix <= x1; ++ix) featuremap[iy * ncols + ix] = 1;
}
