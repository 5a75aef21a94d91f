#pragma once

#include <vector>

#include "features/fast9.h"
#include "processors/corner_detector.h"

// Finds corners anew in every frame: the FAST-9 segment test, then non-maximum
// suppression; of the survivors the first `capacity` in raster order (lowest row
// first) are kept. Holds nothing between frames but the last result and the
// working lists it reuses so that a frame allocates nothing once they have grown.
// GUI thread only.
class FASTCornerDetector : public CornerDetector {
public:
    explicit FASTCornerDetector(int capacity);

    void detect(const unsigned char* image, int width, int height) override;
    // No state links one frame to the next, so there is nothing to reset.
    void reset() override {}
    bool isTracker() const override { return false; }

private:
    std::vector<CornerPoint> detected_;
    std::vector<CornerPoint> kept_;
    FastNonmaxWorkspace workspace_;
};
