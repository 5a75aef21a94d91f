#pragma once

// The camera that took the calibration frame: the pose from which the 39 model
// points appear at the 39 reference positions of a 320 × 240 picture.
//
// Units and frames: model units (2.4 per brick edge), ground plane z = 0. The
// pose is the eye, a look-at point on the ground, the unit up vector and the
// vertical field of view in degrees, as the reconstructor stores a pose.

#include "pose/vector3.h"
#include "scene/frame_camera.h"
#include "scene/ruins_model.h"

#include <optional>
#include <span>

namespace ruins {

// The calibration pose, kept as a constant so that the virtual camera and the
// committed calibration frame do not depend on how the estimator rounds today.
// Estimating it again from the ruins' points must reproduce it (a test checks that).
extern const CameraPose kCalibrationPose;

// The camera from which `points` (model units) appear at `references` (column,
// row from the top) of a width × height picture, with `fieldOfView` (degrees)
// held when it is known. Empty when the estimator fails.
std::optional<CameraPose> computeReferencePose(std::span<const Vector3> points,
                                               std::span<const PixelPosition> references, int width, int height,
                                               std::optional<double> fieldOfView = std::nullopt);

}  // namespace ruins
