#pragma once

// The pieces of model-guided following as plain functions over caller-owned
// data: reprojection of model points with a 3 × 4 projection, the claiming of
// detector corners near the predicted positions (one corner per point),
// sub-pixel refinement of a corner on lightly smoothed gradients, and the
// residual bound that separates outliers. No Qt, no allocation.
//
// Positions are frame-buffer pixels as double: x the column, y the buffer row
// counted from the bottom, the centre of pixel (c, r) at (c, r).

#include "pose/vector3.h"
#include "processors/corner_detector.h"

#include <cstdint>

namespace ruins {

struct SubpixelPoint {
    double x = 0.0;
    double y = 0.0;
};

// Where `point` appears under the row-major 3 × 4 projection (image points
// relative to the centre, v upwards) on a width × height frame; false when the
// point is not in front of the camera or the result is not finite.
bool reprojectToFrame(const double projection[12], const Vector3& point, int width, int height,
                      SubpixelPoint& position);

// For each of `count` predictions with usable[i] set: the nearest corner within
// `radius`, each corner given to one point only (the nearer point keeps it; on
// a tie the earlier). Corners at negative positions are empty or lost entries
// and never taken. starts[i] becomes that corner, or the prediction itself
// when no corner is near.
void claimCornersNearPredictions(const SubpixelPoint* predictions, const std::uint8_t* usable, int count,
                                 const CornerPoint* corners, int cornerCount, double radius, SubpixelPoint* starts);

// A grey frame: width × height bytes, rows bottom-up, no padding; with the
// colour frame it was made from (R, G, B per pixel, same layout), if known.
struct GreyFrame {
    const unsigned char* pixels = nullptr;
    int width = 0;
    int height = 0;
    const unsigned char* rgb = nullptr;
};

// The window of the refinement, and how corner-like its gradients must be: the
// smaller eigenvalue of the gradients' second-moment matrix against the larger.
// Along a straight edge every gradient points one way and the ratio is near 0.
inline constexpr int kMaxRefinementRadius = 12;
// Rounds of 3 × 3 binomial smoothing before the gradients, at most.
inline constexpr int kMaxSmoothing = 4;
inline constexpr double kMinCornerEigenvalueRatio = 0.12;

// Refines a corner near `start` to the point that best lies on the lines of all
// the gradients in a Gaussian-weighted window of the given radius (1 ..
// kMaxRefinementRadius), the image smoothed first by `smoothing` rounds of
// 3 × 3 binomial (1 .. kMaxSmoothing): one so that the pixel grid does not pass
// slanted straight edges off as corners, more so that texture on the faces
// (wood grain) does not pull the point; a point found on a picture smoothed more
// is then sharpened, within a pixel, on the lightly smoothed one. False when the
// window leaves the frame, the gradients are too weak or do not form a corner,
// or the point wanders more than `maxShift` from the start. Where the grey
// gradients fail and the colour frame is known, the three colour channels'
// gradients are taken together: faces of different colours may share a grey.
bool refineCorner(const GreyFrame& frame, const SubpixelPoint& start, int radius, int smoothing, double maxShift,
                  SubpixelPoint& refined);

// The residual above which a correspondence counts as an outlier: three robust
// standard deviations (1.4826 × the median) of the given residuals, but never
// below `floor`. `scratch` holds count doubles; `residuals` is not reordered.
double outlierBound(const double* residuals, int count, double floor, double* scratch);

}  // namespace ruins
