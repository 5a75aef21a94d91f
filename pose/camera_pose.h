#pragma once

#include "pose/vector3.h"

#include <cmath>

// Camera pose from 2D-3D correspondences, for a pinhole camera with the
// principal point at the image centre, square pixels, no skew and an unknown
// focal length.
//
// Units and frames: model points are world coordinates (2.4 units per brick
// edge, ground plane z = 0). Image points are pixels relative to the image
// centre, u to the right and v upwards; each record holds (u, v, ignored).
// Projection matrices are 3 × 4, row-major, mapping world to image:
// u = row1·X̃ / row3·X̃, v = row2·X̃ / row3·X̃ with X̃ = (X, 1).
//
// Not thread-safe by contract (one estimation per frame on the GUI thread),
// although the current implementation keeps all working state on the stack.

// Estimates the camera from correspondenceCount (at least 6) pairs of model
// and image points, each an array of records of three doubles.
// Returns 1 on success and writes:
//   linearProjection  the 3 × 4 matrix of the linear stage,
//   refinedProjection the final 3 × 4 matrix [r1, −r1·eye; r2, −r2·eye; d, −d·eye],
//                     |r1| = |r2| = focal length in pixels, d the unit viewing direction,
//   eye               the camera centre,
//   lookAtPoint       where the ray through the image centre meets z = 0 (z exactly 0),
//   up                unit world direction of the image's +v axis.
// Returns 0 on failure. Nothing is written when the input is unusable (count
// below 6, a null pointer, a non-finite value) or the linear stage is
// singular (also when the left 3 × 3 of its matrix is, relative to its rows);
// otherwise only linearProjection is written, and eye, lookAtPoint, up and
// refinedProjection keep their previous contents. A non-finite or degenerate
// result (viewing direction parallel to the ground, zero focal length, a model
// point at or behind the camera, that is nearer than a millionth of the
// farthest point's depth) and a search still moving at its step limit are
// failures, never successes.
int estimateCameraPose(int correspondenceCount, const double* modelPoints, const double* imagePoints,
                       double* linearProjection, double* refinedProjection, double* eye, double* lookAtPoint,
                       double* up);

// The same for arrays of Vector3 (which are laid out as three doubles).
inline int estimateCameraPose(int correspondenceCount, const Vector3* modelPoints, const Vector3* imagePoints,
                              double* linearProjection, double* refinedProjection, Vector3& eye,
                              Vector3& lookAtPoint, Vector3& up)
{
    return estimateCameraPose(correspondenceCount, modelPoints ? modelPoints->data() : nullptr,
                              imagePoints ? imagePoints->data() : nullptr, linearProjection, refinedProjection,
                              eye.data(), lookAtPoint.data(), up.data());
}

// The same estimate for a calibrated camera whose focal length (pixels,
// finite and > 0) is known: the pose alone is fitted, minimising the same sum
// of squared image residuals, and the refined projection has
// |r1| = |r2| = focalLength. Contract and failure rules as estimateCameraPose;
// a focal length that is not finite or not positive is unusable input, and a
// view that does not meet the ground in front of the eye is a failure. The
// search starts from the free estimate, or from the linear estimate when the
// free one fails. Points all in one plane, which the linear stage cannot
// place, start from the homography of their plane; linearProjection then holds
// the camera of that start.
int estimateCameraPoseWithFocalLength(int correspondenceCount, const double* modelPoints, const double* imagePoints,
                                      double focalLength, double* linearProjection, double* refinedProjection,
                                      double* eye, double* lookAtPoint, double* up);

inline int estimateCameraPoseWithFocalLength(int correspondenceCount, const Vector3* modelPoints,
                                             const Vector3* imagePoints, double focalLength,
                                             double* linearProjection, double* refinedProjection, Vector3& eye,
                                             Vector3& lookAtPoint, Vector3& up)
{
    return estimateCameraPoseWithFocalLength(correspondenceCount, modelPoints ? modelPoints->data() : nullptr,
                                             imagePoints ? imagePoints->data() : nullptr, focalLength,
                                             linearProjection, refinedProjection, eye.data(), lookAtPoint.data(),
                                             up.data());
}

// Where `point` appears under a row-major 3 × 4 projection (image point relative
// to the centre, v upwards); false when it is not in front of the camera or the
// result is not finite.
bool projectPoint(const double* projection, const Vector3& point, double& u, double& v);

// Vertical field of view in degrees subtended by an image of imageHeight
// pixels, for the refined projection, eye and look-at point of a successful
// estimation: 2·atan(h / 2f). Both edge rays are oriented along the viewing
// direction, so an image edge that looks above the horizon still gives the
// angle in front of the camera.
double verticalFieldOfView(int imageHeight, const double* refinedProjection, const double* eye,
                           const double* lookAtPoint);

inline double verticalFieldOfView(int imageHeight, const double* refinedProjection, const Vector3& eye,
                                  const Vector3& lookAtPoint)
{
    return verticalFieldOfView(imageHeight, refinedProjection, eye.data(), lookAtPoint.data());
}

// The focal length in pixels at which an image of imageHeight pixels spans
// verticalFieldOfViewDegrees: (h / 2) / tan(fov / 2), the inverse of
// verticalFieldOfView. NaN when the height is not positive or the angle is not
// strictly between 0 and 180 degrees, which the estimator then refuses.
double focalLengthForFieldOfView(int imageHeight, double verticalFieldOfViewDegrees);

// The focal length in pixels of a refined projection: the length of its first
// row, the camera's side scaled by the focal length.
inline double projectionFocalLength(const double* refinedProjection)
{
    return std::sqrt(refinedProjection[0] * refinedProjection[0] + refinedProjection[1] * refinedProjection[1] +
                     refinedProjection[2] * refinedProjection[2]);
}
