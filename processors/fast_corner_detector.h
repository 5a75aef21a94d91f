#pragma once

#include <vector>

#include "features/fast9.h"
#include "processors/corner_detector.h"

// Finds corners anew in every frame: the FAST-9 segment test, then non-maximum
// suppression; of the survivors `capacity` are kept, by default the first in
// raster order (lowest row first). On a textured picture those all sit in the
// bottom rows, so the strongest corners, or the strongest spread over the frame,
// can be kept instead. The list is in raster order either way. Holds nothing
// between frames but the last result and the working lists it reuses so that a
// frame allocates nothing once they have grown.
// GUI thread only.
class FASTCornerDetector : public CornerDetector {
public:
    enum class Keep { FirstInRasterOrder, Strongest, SpreadOverFrame };

    explicit FASTCornerDetector(int capacity);

    void detect(const unsigned char* image, int width, int height) override;
    void setKeep(Keep keep) { keep_ = keep; }
    Keep keep() const { return keep_; }
    // No state links one frame to the next, so there is nothing to reset.
    void reset() override {}
    bool isTracker() const override { return false; }

private:
    void keepStrongest(const unsigned char* image, int width, int height);
    void takeStrongestPerCell(int width, int height);

    Keep keep_ = Keep::FirstInRasterOrder;
    std::vector<CornerPoint> detected_;
    std::vector<int> byScore_;    // positions in kept_, strongest first
    std::vector<int> scores_;     // of kept_
    std::vector<char> taken_;     // by position in kept_
    std::vector<char> cellUsed_;  // by grid cell
    std::vector<CornerPoint> kept_;
    FastNonmaxWorkspace workspace_;
};
