#include "reconstruction/pose_bindings.h"

#include "pose/camera_pose.h"

namespace ruins {

namespace {

int estimate(int correspondenceCount, const Vector3* modelPoints, const double (*imagePoints)[3],
             double* linearProjection, double* refinedProjection, Vector3& eye, Vector3& lookAtPoint, Vector3& up)
{
    return estimateCameraPose(correspondenceCount, modelPoints ? modelPoints->data() : nullptr,
                              imagePoints ? imagePoints[0] : nullptr, linearProjection, refinedProjection, eye.data(),
                              lookAtPoint.data(), up.data());
}

int estimateHeld(int correspondenceCount, const Vector3* modelPoints, const double (*imagePoints)[3],
                 double focalLength, double* linearProjection, double* refinedProjection, Vector3& eye,
                 Vector3& lookAtPoint, Vector3& up)
{
    return estimateCameraPoseWithFocalLength(correspondenceCount, modelPoints ? modelPoints->data() : nullptr,
                                             imagePoints ? imagePoints[0] : nullptr, focalLength, linearProjection,
                                             refinedProjection, eye.data(), lookAtPoint.data(), up.data());
}

double fieldOfView(int imageHeight, const double* refinedProjection, const Vector3& eye, const Vector3& lookAtPoint)
{
    return verticalFieldOfView(imageHeight, refinedProjection, eye.data(), lookAtPoint.data());
}

}  // namespace

PoseEstimator defaultPoseEstimator() { return {&estimate, &fieldOfView, &estimateHeld, &focalLengthForFieldOfView}; }

}  // namespace ruins

#include "pose/pose_filter.h"

namespace ruins {

std::unique_ptr<KalmanFilter> createPoseFilterFor(double positionNoise, double rotationNoise, double fieldOfViewNoise,
                                                  const double rotation[9], const Vector3& eye, double fieldOfView)
{
    return createPoseFilter(positionNoise, rotationNoise, fieldOfViewNoise, rotation, eye.data(), fieldOfView);
}

void stepPoseFilter(double positionRateNoise, double rotationRateNoise, double fieldOfViewRateNoise,
                    double rotation[9], Vector3& eye, double& fieldOfView, double timeStep, KalmanFilter* filter)
{
    filterPose(positionRateNoise, rotationRateNoise, fieldOfViewRateNoise, rotation, eye.data(), fieldOfView, timeStep,
               filter);
}

}  // namespace ruins
