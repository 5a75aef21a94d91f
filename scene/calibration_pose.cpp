#include "scene/calibration_pose.h"

#include "pose/camera_pose.h"
#include "scene/ruins_model.h"
#include "scene/scene.h"

#include <algorithm>
#include <array>

namespace ruins {

// The pose estimated from the ruins' 39 points and reference positions, printed
// with 17 significant digits, so the values round-trip exactly.
const CameraPose kCalibrationPose{
    {34.349880827792923, 28.684786030494028, 30.176005940667039},
    {5.2028728505303841, 1.9488088464383115, 0.0},
    {-0.45331558108455705, 0.83776205389054659, -0.30440059955109067},
    36.040694734346133,
};

std::optional<CameraPose> computeReferencePose(std::span<const Vector3> points,
                                               std::span<const PixelPosition> references, int width, int height,
                                               std::optional<double> fieldOfView)
{
    const std::size_t count = std::min(points.size(), references.size());
    if (count > std::size_t(kMaxScenePoints) || width <= 0 || height <= 0) return std::nullopt;
    std::array<Vector3, kMaxScenePoints> image;
    const double halfWidth = width * 0.5;
    const double halfHeight = height * 0.5;
    for (std::size_t i = 0; i < count; ++i) {
        // Reference rows count from the top; the estimator's v counts upwards.
        const PixelPosition& p = references[i];
        image[i] = {p.x - halfWidth, (height - p.y) - halfHeight, 0.0};
    }
    double linear[12];
    double refined[12];
    CameraPose pose;
    const int found = fieldOfView ? estimateCameraPoseWithFocalLength(int(count), points.data(), image.data(),
                                                                      focalLengthForFieldOfView(height, *fieldOfView),
                                                                      linear, refined, pose.eye, pose.lookAt, pose.up)
                                  : estimateCameraPose(int(count), points.data(), image.data(), linear, refined,
                                                       pose.eye, pose.lookAt, pose.up);
    if (found != 1) return std::nullopt;
    pose.fieldOfView = verticalFieldOfView(height, refined, pose.eye, pose.lookAt);
    return pose;
}

}  // namespace ruins
