#include "ruins/calibration_pose.h"

#include "pose/camera_pose.h"
#include "ruins/ruins_model.h"

#include <array>

namespace ruins {

// computeCalibrationPose() printed with 17 significant digits, so the values
// round-trip exactly.
const CameraPose kCalibrationPose{
    {34.349880827792923, 28.684786030494028, 30.176005940667039},
    {5.2028728505303841, 1.9488088464383115, 0.0},
    {-0.45331558108455705, 0.83776205389054659, -0.30440059955109067},
    36.040694734346133,
};

std::optional<CameraPose> computeCalibrationPose()
{
    const std::array<Vector3, kModelPointCount> model = modelPoints();
    std::array<Vector3, kModelPointCount> image;
    const auto reference = referencePositions();
    const double halfWidth = kDefaultCalibrationWidth * 0.5;
    const double halfHeight = kDefaultCalibrationHeight * 0.5;
    for (int i = 0; i < kModelPointCount; ++i) {
        // Reference rows count from the top; the estimator's v counts upwards.
        const PixelPosition& p = reference[static_cast<std::size_t>(i)];
        image[static_cast<std::size_t>(i)] = {p.x - halfWidth, (kDefaultCalibrationHeight - p.y) - halfHeight, 0.0};
    }
    double linear[12];
    double refined[12];
    CameraPose pose;
    if (estimateCameraPose(kModelPointCount, model.data(), image.data(), linear, refined, pose.eye, pose.lookAt,
                           pose.up) != 1)
        return std::nullopt;
    pose.fieldOfView = verticalFieldOfView(kDefaultCalibrationHeight, refined, pose.eye, pose.lookAt);
    return pose;
}

}  // namespace ruins
