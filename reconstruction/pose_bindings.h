#pragma once

// The reconstruction's one doorway to the pose library's estimator and filter,
// so that the rest of the ruins code depends on these few signatures only.

#include "pose/kalman_filter.h"
#include "pose/vector3.h"
#include "reconstruction/ruins_reconstruction.h"

#include <memory>

namespace ruins {

// A new pose filter started at the given pose (rotation row-major 3×3); null
// when it cannot be made (a pose that is not finite).
std::unique_ptr<KalmanFilter> createPoseFilterFor(double positionNoise, double rotationNoise, double fieldOfViewNoise,
                                                  const double rotation[9], const Vector3& eye, double fieldOfView);

// One filter step: rotation, eye and field of view are the measurement and are
// replaced by the filtered pose.
void stepPoseFilter(double positionRateNoise, double rotationRateNoise, double fieldOfViewRateNoise,
                    double rotation[9], Vector3& eye, double& fieldOfView, double timeStep, KalmanFilter* filter);

}  // namespace ruins
