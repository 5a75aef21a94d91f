#pragma once

#include "pose/kalman_filter.h"
#include "pose/vector3.h"

#include <memory>

// The camera pose filter: a constant-rate Kalman filter over 14 values,
//   0..2  change of orientation from the filter's reference orientation R_ref,
//         the Euler angles (roll about x, pitch about y, yaw about z, radians)
//         of the relative rotation R_ref⁻¹·R, applied back as R_ref·R(change),
//   3..5  eye x, y, z in world units,
//   6     vertical field of view in degrees,
//   7..13 the rates of 0..6 per time step,
// measuring the first seven. Rotations are 3 × 3 row-major doubles with
// R = Rz(yaw)·Ry(pitch)·Rx(roll). GUI thread only.

// A filter started at the given pose, with measurement noise
// diag(rotationNoise ×3, positionNoise ×3, fieldOfViewNoise) and an initial
// covariance of 100000·I. Returns null when the pose is not finite or its eye or
// field of view lies beyond single precision (the filter's state).
std::unique_ptr<KalmanFilter> createPoseFilter(double positionNoise, double rotationNoise, double fieldOfViewNoise,
                                               const double* rotation, const double* eye, double fieldOfView);

// Feeds one measured pose and replaces rotation, eye and fieldOfView with the
// filtered pose; the process noise of the rates is the given noise × timeStep.
// The output is always finite: a non-finite measurement is skipped (the pose
// is predicted only), and a step that would leave the state non-finite
// restarts the filter at the measurement (or, without a usable measurement, is
// undone and returns the pose from before the call). A constant input pose comes
// back unchanged with zero rates. Returns 1, or 0, touching neither the
// filter nor the pose, for a null argument or a time step that is not finite
// and positive.
int filterPose(double positionRateNoise, double rotationRateNoise, double fieldOfViewRateNoise, double* rotation,
               double* eye, double& fieldOfView, double timeStep, KalmanFilter* filter);

inline int filterPose(double positionRateNoise, double rotationRateNoise, double fieldOfViewRateNoise,
                      double* rotation, Vector3& eye, double& fieldOfView, double timeStep, KalmanFilter* filter)
{
    return filterPose(positionRateNoise, rotationRateNoise, fieldOfViewRateNoise, rotation, eye.data(),
                      fieldOfView, timeStep, filter);
}

// Z-Y-X Euler angles of a rotation matrix, and back.
void eulerFromRotation(const double* rotation, double& roll, double& pitch, double& yaw);
void rotationFromEuler(double roll, double pitch, double yaw, double* rotation);
