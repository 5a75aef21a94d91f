#include "processors/fast_corner_detector.h"

#include <algorithm>
#include <cmath>
#include <new>

FASTCornerDetector::FASTCornerDetector(int capacity) : CornerDetector(capacity) {}

void FASTCornerDetector::detect(const unsigned char* image, int width, int height) {
    try {
        fast9Detect(image, width, height, threshold(), detected_);
        if (!fastNonmaxSuppression(image, width, height, detected_.data(),
                                   static_cast<int>(detected_.size()), threshold(), kept_,
                                   workspace_)) {
            setCornerCount(0);  // fewer than 5 corners count as none
            return;
        }
    } catch (const std::bad_alloc&) {
        // A frame whose corner lists cannot be held reports no corners rather
        // than ending the program; the next frame tries again.
        setCornerCount(0);
        return;
    }
    if (keep_ != Keep::FirstInRasterOrder && static_cast<int>(kept_.size()) > capacity()) {
        keepStrongest(image, width, height);
        return;
    }
    const int count = std::min(static_cast<int>(kept_.size()), capacity());
    std::copy_n(kept_.begin(), count, mutableCorners());
    setCornerCount(count);
}

// Orders the survivors by score and takes `capacity` of them: the strongest, or
// first the strongest of each grid cell and then the strongest of the rest.
void FASTCornerDetector::keepStrongest(const unsigned char* image, int width, int height) {
    const FastCircleOffsets offsets = fastCircleOffsets(width);
    const int count = static_cast<int>(kept_.size());
    scores_.resize(count);
    byScore_.resize(count);
    for (int i = 0; i < count; ++i) {
        scores_[i] = fast9Score(image + std::ptrdiff_t(kept_[i].y) * width + kept_[i].x, offsets, threshold());
        byScore_[i] = i;
    }
    // Ties go to raster order, so the choice is the same on every run.
    std::stable_sort(byScore_.begin(), byScore_.end(), [this](int a, int b) { return scores_[a] > scores_[b]; });
    taken_.assign(count, 0);
    if (keep_ == Keep::SpreadOverFrame) takeStrongestPerCell(width, height);
    int taken = static_cast<int>(std::count(taken_.begin(), taken_.end(), 1));
    for (int i = 0; i < count && taken < capacity(); ++i)
        if (!taken_[byScore_[i]]) {
            taken_[byScore_[i]] = 1;
            ++taken;
        }
    CornerPoint* corners = mutableCorners();
    int n = 0;
    for (int i = 0; i < count; ++i)
        if (taken_[i]) corners[n++] = kept_[i];
    setCornerCount(n);
}

// A grid of about `capacity` cells over the frame; each cell gives its strongest corner.
void FASTCornerDetector::takeStrongestPerCell(int width, int height) {
    const int side = std::max(1, static_cast<int>(std::sqrt(double(capacity()))));
    cellUsed_.assign(std::size_t(side) * side, 0);
    for (int position : byScore_) {
        const CornerPoint& corner = kept_[position];
        const std::size_t cell = std::size_t(corner.y) * side / height * side + std::size_t(corner.x) * side / width;
        if (cellUsed_[cell]) continue;
        cellUsed_[cell] = 1;
        taken_[position] = 1;
    }
}
