#pragma once

// A camera's field of view does not change unless it zooms, but estimated
// afresh every frame it wanders with every point that loses contrast, and the
// pose trades it against distance. This gathers the focal lengths of freely
// estimated poses; once the structure has been seen from enough viewpoints and
// they agree, it holds their median, and the poses are estimated with it. While
// held, it keeps watching free estimates and lets go when they settle
// elsewhere: the camera zoomed (or another camera took over).
//
// Focal lengths are in pixels of the frame; a new frame size starts afresh.
// Fixed capacity, no allocation.

#include "pose/vector3.h"

#include <array>

namespace ruins {

class FieldOfViewHold {
public:
    // Poses gathered before holding, and how many of them the decision reads.
    static constexpr int kWindow = 45;
    // The viewing directions of the window must span at least this angle.
    static constexpr double kMinViewSpreadDegrees = 6.0;
    // Their focal lengths must agree: median absolute deviation over the median.
    static constexpr double kMaxRelativeSpread = 0.02;
    // Held, the median of the last kReleaseWindow free focal lengths may stray
    // this far (relative) before the hold is let go.
    static constexpr int kReleaseWindow = 15;
    static constexpr double kReleaseChange = 0.04;

    // Nothing gathered, nothing held.
    void reset();
    // The focal length (pixels) and unit viewing direction of a free estimate
    // of a pose that was shown.
    void addFreeEstimate(double focalLength, const Vector3& direction);

    bool held() const { return held_; }
    double focalLength() const { return heldFocal_; }

private:
    void decideToHold();
    void decideToRelease();

    std::array<double, kWindow> focal_{};
    std::array<Vector3, kWindow> direction_{};
    int count_ = 0;  // samples in the ring, up to kWindow
    int next_ = 0;
    bool held_ = false;
    double heldFocal_ = 0.0;
    std::array<double, kReleaseWindow> watched_{};
    int watchedCount_ = 0;
    int watchedNext_ = 0;
};

}  // namespace ruins
