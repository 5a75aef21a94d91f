#pragma once

// The ruins as the tables they were first written down as: the 33 ruins bricks
// and the 75 virtual bricks in drawing order, the 39 model points and their
// reference positions in the 320 × 240 calibration frame. The program reads the
// ruins from their scene file; the tests hold it, and what is derived from it,
// against these tables.

#include "pose/vector3.h"
#include "scene/calibration_pose.h"
#include "scene/ruins_model.h"

#include <array>
#include <optional>
#include <span>

namespace ruins {

inline constexpr int kRuinsBrickCount = 33;
inline constexpr int kVirtualBrickCount = 75;

// The bricks that really stand in front of the camera, in drawing order
// (cell (0, 0, 0) appears three times).
std::span<const GridCell, kRuinsBrickCount> ruinsModelCells();
// The bricks that complete the ruins, in drawing order ((1, 3, 0) and (2, 3, 0) twice).
std::span<const GridCell, kVirtualBrickCount> virtualModelCells();

inline constexpr int kModelPointCount = 39;

// Model point i as grid integers (corners of the cells) and in model units
// (grid integer × 2.4 in double precision).
std::span<const GridCell, kModelPointCount> modelPointGrid();
Vector3 modelPoint(int index);
std::array<Vector3, kModelPointCount> modelPoints();

// Reference position i: column x and row y counted from the top edge of the
// calibration frame, in that picture's pixels.
std::span<const PixelPosition, kModelPointCount> referencePositions();

// Reference position i carried over to a frame of frameWidth × frameHeight as
// the guide fits the calibration picture to it (rounded to the nearest pixel).
// Still counted from the top edge. A non-positive calibration size is taken as
// the default size.
PixelPosition scaledReferencePosition(int index, int frameWidth, int frameHeight, int calibrationWidth,
                                      int calibrationHeight);

// Recomputes the calibration pose with estimateCameraPose from the 39 model
// points and the reference positions (image points relative to the centre of
// the 320 × 240 calibration frame, v upwards). Empty when the estimator fails.
std::optional<CameraPose> computeCalibrationPose();

}  // namespace ruins
