#include "processors/fast_corner_detector.h"

#include <algorithm>
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
    const int count = std::min(static_cast<int>(kept_.size()), capacity());
    std::copy_n(kept_.begin(), count, mutableCorners());
    setCornerCount(count);
}
