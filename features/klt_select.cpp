// Good-feature selection of the KLT library: rate every candidate pixel by the
// smaller eigenvalue of its gradient matrix, sort, and fill the feature list
// greedily while keeping features apart.

#include "features/klt.h"
#include "features/klt_internal.h"

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

// Smaller eigenvalue of the gradient matrix of the window around every candidate
// pixel, appended row by row, left to right.
void findTrackability(const KLTTrackingContext& tc, const KLTFloatImage& gradx,
                      const KLTFloatImage& grady, std::vector<KLTCandidate>& candidates) {
    const int ncols = gradx.ncols;
    const int nrows = gradx.nrows;
    const int hw = tc.window_width / 2;
    const int hh = tc.window_height / 2;
    const int64_t bx = std::max(tc.borderx, hw);
    const int64_t by = std::max(tc.bordery, hh);
    // A negative nSkippedPixels would never advance; a step of at least one pixel
    // keeps the scan finite.
    const int64_t step = std::max<int64_t>(int64_t{tc.nSkippedPixels} + 1, 1);

    candidates.clear();
    for (int64_t y = by; y < nrows - by; y += step) {
        for (int64_t x = bx; x < ncols - bx; x += step) {
            float gxx = 0.0f;
            float gxy = 0.0f;
            float gyy = 0.0f;
            for (int64_t yy = y - hh; yy <= y + hh; ++yy) {
                const float* gxRow = gradx.data.data() + static_cast<size_t>(yy) * ncols;
                const float* gyRow = grady.data.data() + static_cast<size_t>(yy) * ncols;
                for (int64_t xx = x - hw; xx <= x + hw; ++xx) {
                    const float gx = gxRow[xx];
                    const float gy = gyRow[xx];
                    gxx += gx * gx;
                    gxy += gx * gy;
                    gyy += gy * gy;
                }
            }
            const double dxx = gxx;
            const double dxy = gxy;
            const double dyy = gyy;
            float lambda = static_cast<float>(
                (dxx + dyy - std::sqrt((dxx - dyy) * (dxx - dyy) + 4.0 * dxy * dxy)) / 2.0);
            int val;
            if (static_cast<double>(lambda) > kIntCapacity) {
                kltWarning("(_KLTSelectGoodFeatures) minimum eigenvalue %f is greater than the "
                           "capacity of an int; setting to maximum value",
                           static_cast<double>(lambda));
                val = std::numeric_limits<int>::max();
            } else {
                val = klt_detail::truncateToInt(lambda);
            }
            candidates.push_back({static_cast<int>(x), static_cast<int>(y), val});
        }
    }
}

void fillMapAndFeatures(const KLTCandidate* candidates, int nCandidates, KLTFeatureList& fl,
                        int ncols, int nrows, int mindist, int min_eigenvalue,
                        std::vector<unsigned char>& featureMap) {
    featureMap.assign(static_cast<size_t>(std::max(ncols, 0)) * std::max(nrows, 0), 0);
    const int64_t m = int64_t{mindist} - 1;
    const int threshold = min_eigenvalue > 0 ? min_eigenvalue : 1;
    const int nFeatures = fl.nFeatures();

    int index = 0;
    for (int c = 0; c < nCandidates && index < nFeatures; ++c) {
        const KLTCandidate& candidate = candidates[c];
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
        toFloatImage(img, ncols, nrows, ws.floatImage);
        klt_detail::computeSmoothedImage(ws.floatImage, computeSmoothSigma(tc), working,
                                         ws.convolveTemp);
    } else {
        toFloatImage(img, ncols, nrows, working);
    }
    klt_detail::computeGradients(working, tc.grad_sigma, ws.gradx, ws.grady, ws.convolveTemp);

    if (tc.writeInternalImages) {
        writeFloatImageToPGM(working, "kltimg_sgfrlf.pgm");
        writeFloatImageToPGM(ws.gradx, "kltimg_sgfrlf_gx.pgm");
        writeFloatImageToPGM(ws.grady, "kltimg_sgfrlf_gy.pgm");
    }

    findTrackability(tc, ws.gradx, ws.grady, ws.candidates);
    sortPointList(ws.candidates.data(), static_cast<int>(ws.candidates.size()));

    if (tc.mindist < 0) {
        kltWarning("(_KLTSelectGoodFeatures) Tracking context field tc->mindist is negative "
                   "(%d); setting to zero",
                   tc.mindist);
        tc.mindist = 0;
    }
    fillMapAndFeatures(ws.candidates.data(), static_cast<int>(ws.candidates.size()), fl, ncols,
                       nrows, tc.mindist, tc.min_eigenvalue, ws.featureMap);
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
    // The exact steps fix where equal values end up; selection depends on them.
    while (n > 1) {
        std::swap(candidates[0], candidates[n / 2]);
        const int pivot = candidates[0].val;
        int i = 0;
        int j = n;
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
    fillMapAndFeatures(candidates, nCandidates, fl, ncols, nrows, mindist, min_eigenvalue,
                       featureMap);
}

void fillFeatureMap(int x, int y, unsigned char* featuremap, int m, int ncols, int nrows) {
    const int64_t x0 = std::max<int64_t>(int64_t{x} - m, 0);
    const int64_t x1 = std::min<int64_t>(int64_t{x} + m, int64_t{ncols} - 1);
    const int64_t y0 = std::max<int64_t>(int64_t{y} - m, 0);
    const int64_t y1 = std::min<int64_t>(int64_t{y} + m, int64_t{nrows} - 1);
    for (int64_t iy = y0; iy <= y1; ++iy)
        for (int64_t ix = x0; ix <= x1; ++ix) featuremap[iy * ncols + ix] = 1;
}
