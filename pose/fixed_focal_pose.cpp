// Camera pose with the focal length held: Levenberg–Marquardt over the camera
// centre and a rotation, starting from the estimate that fits the focal length.

#include "pose/camera_pose.h"
#include "pose/camera_pose_internal.h"
#include "pose/vector3.h"

#include <algorithm>
#include <cmath>

namespace pose_internal {

namespace {

constexpr int kPoseParameters = 6;  // eye, then a rotation vector
// An accepted step that lowers χ² by less than this fraction ends the search;
// Gauss–Newton converges quadratically, so the next would change nothing.
constexpr double kConvergedRelativeCostChange = 1e-10;
// A step below this, relative to the eye's distance from the origin (and in
// radians), is lost in rounding.
constexpr double kNegligibleStep = 1e-14;

// A camera with a fixed focal length: its centre and unit axes,
// up = right × direction as in the free estimate's rows.
struct RigidPose {
    Vector3 eye;
    Vector3 right;      // image +u
    Vector3 up;         // image +v
    Vector3 direction;  // viewing direction
};

Vector3 modelPoint(const Correspondences& correspondences, int i)
{
    const double* x = correspondences.modelPoints + 3 * i;
    return {x[0], x[1], x[2]};
}

// Rounding drifts the axes apart over many steps; this puts them back.
void orthonormalise(RigidPose& pose)
{
    pose.direction.normalize();
    pose.right = pose.right - dot(pose.right, pose.direction) * pose.direction;
    pose.right.normalize();
    pose.up = cross(pose.right, pose.direction);
}

// a turned by |rotation| radians about rotation's direction (Rodrigues).
Vector3 rotate(const Vector3& a, const Vector3& rotation)
{
    const double angle = std::sqrt(dot(rotation, rotation));
    if (angle == 0.0)
        return a;
    const Vector3 axis = (1.0 / angle) * rotation;
    const double cosine = std::cos(angle);
    return cosine * a + std::sin(angle) * cross(axis, a) + ((1.0 - cosine) * dot(axis, a)) * axis;
}

double rigidPoseCost(const RigidPose& pose, double focal, const Correspondences& correspondences)
{
    double chiSquare = 0.0;
    for (int i = 0; i < correspondences.count; ++i) {
        const Vector3 offset = modelPoint(correspondences, i) - pose.eye;
        const double scale = focal / dot(pose.direction, offset);
        const double* observed = correspondences.imagePoints + 3 * i;
        const double du = scale * dot(pose.right, offset) - observed[0];
        const double dv = scale * dot(pose.up, offset) - observed[1];
        chiSquare += du * du + dv * dv;
    }
    return chiSquare;
}

// Adds one residual's derivative row to the upper triangle of JᵀJ (alpha,
// 6 × 6) and to Jᵀr (beta).
void accumulate(const double* row, double residual, double* alpha, double* beta)
{
    for (int j = 0; j < kPoseParameters; ++j) {
        for (int k = j; k < kPoseParameters; ++k)
            alpha[j * kPoseParameters + k] += row[j] * row[k];
        beta[j] += row[j] * residual;
    }
}

// Derivative of the image coordinate focal·(axis·p)/(d·p), p = X − eye, whose
// value is `image`: moving the eye moves p by −δeye, and a rotation ω of all
// axes changes axis·p by ω·(axis × p).
void derivativeRow(const Vector3& axis, const Vector3& direction, const Vector3& offset, double focal,
                   double image, double inverseDepth, double* row)
{
    const Vector3 byEye = inverseDepth * (image * direction - focal * axis);
    const Vector3 byRotation = inverseDepth * (focal * cross(axis, offset) - image * cross(direction, offset));
    for (int k = 0; k < 3; ++k) {
        row[k] = byEye[k];
        row[3 + k] = byRotation[k];
    }
}

// Gauss–Newton normal equations of χ² at pose: alpha = JᵀJ, beta = Jᵀr.
void normalEquations(const RigidPose& pose, double focal, const Correspondences& correspondences, double* alpha,
                     double* beta)
{
    std::fill(alpha, alpha + kPoseParameters * kPoseParameters, 0.0);
    std::fill(beta, beta + kPoseParameters, 0.0);
    double row[kPoseParameters];
    for (int i = 0; i < correspondences.count; ++i) {
        const Vector3 offset = modelPoint(correspondences, i) - pose.eye;
        const double inverseDepth = 1.0 / dot(pose.direction, offset);
        const double* observed = correspondences.imagePoints + 3 * i;
        const double u = focal * dot(pose.right, offset) * inverseDepth;
        const double v = focal * dot(pose.up, offset) * inverseDepth;
        derivativeRow(pose.right, pose.direction, offset, focal, u, inverseDepth, row);
        accumulate(row, u - observed[0], alpha, beta);
        derivativeRow(pose.up, pose.direction, offset, focal, v, inverseDepth, row);
        accumulate(row, v - observed[1], alpha, beta);
    }
    for (int j = 1; j < kPoseParameters; ++j) {
        for (int k = 0; k < j; ++k)
            alpha[j * kPoseParameters + k] = alpha[k * kPoseParameters + j];
    }
}

// The pose after subtracting step (eye, rotation vector) from it.
RigidPose stepped(const RigidPose& pose, const double* step)
{
    const Vector3 rotation(-step[3], -step[4], -step[5]);
    RigidPose result;
    result.eye = pose.eye - Vector3(step[0], step[1], step[2]);
    result.right = rotate(pose.right, rotation);
    result.direction = rotate(pose.direction, rotation);
    orthonormalise(result);
    return result;
}

bool negligible(const double* step, const Vector3& eye)
{
    const double eyeScale = std::max(1.0, std::sqrt(dot(eye, eye)));
    const double eyeStep = std::sqrt(step[0] * step[0] + step[1] * step[1] + step[2] * step[2]);
    const double angle = std::sqrt(step[3] * step[3] + step[4] * step[4] + step[5] * step[5]);
    return eyeStep <= kNegligibleStep * eyeScale && angle <= kNegligibleStep;
}

// Levenberg–Marquardt from pose; accepts only strictly lower costs. Returns
// the χ² of the pose it leaves.
double refineRigidPose(RigidPose& pose, double focal, const Correspondences& correspondences)
{
    double chiSquare = rigidPoseCost(pose, focal, correspondences);
    if (!std::isfinite(chiSquare))
        return chiSquare;
    double alpha[kPoseParameters * kPoseParameters];
    double beta[kPoseParameters];
    normalEquations(pose, focal, correspondences, alpha, beta);
    double lambda = kInitialLambda;
    for (int steps = 0; steps < kMaxRefinementSteps && lambda <= kLambdaCeiling; ++steps) {
        double damped[kPoseParameters * kPoseParameters];
        double step[kPoseParameters];
        std::copy(alpha, alpha + kPoseParameters * kPoseParameters, damped);
        std::copy(beta, beta + kPoseParameters, step);
        for (int k = 0; k < kPoseParameters; ++k)
            damped[k * kPoseParameters + k] *= 1.0 + lambda;
        // A singular damped system gives no step; more damping makes it regular.
        if (!solveLinearSystem(kPoseParameters, damped, step)) {
            lambda *= 10.0;
            continue;
        }
        if (negligible(step, pose.eye))
            break;
        const RigidPose trial = stepped(pose, step);
        const double trialCost = rigidPoseCost(trial, focal, correspondences);
        if (!(trialCost < chiSquare)) {
            lambda *= 10.0;
            continue;
        }
        const bool converged = chiSquare - trialCost <= kConvergedRelativeCostChange * chiSquare;
        pose = trial;
        chiSquare = trialCost;
        lambda = std::max(lambda * 0.1, kLambdaFloor);
        if (converged)
            break;
        normalEquations(pose, focal, correspondences, alpha, beta);
    }
    return chiSquare;
}

RigidPose poseFromProjection(const double* projection, const double* eye)
{
    RigidPose pose;
    pose.eye = Vector3(eye[0], eye[1], eye[2]);
    pose.right = Vector3(projection[0], projection[1], projection[2]);
    pose.direction = Vector3(projection[8], projection[9], projection[10]);
    orthonormalise(pose);
    return pose;
}

// The free estimate with its own focal length swapped for the held one is too
// large or too small in the image; moving the eye along the view until the
// points' mean depth has scaled by the same ratio restores their size.
RigidPose dollied(const RigidPose& pose, double freeFocal, double focal, const Correspondences& correspondences)
{
    double depthSum = 0.0;
    for (int i = 0; i < correspondences.count; ++i)
        depthSum += dot(pose.direction, modelPoint(correspondences, i) - pose.eye);
    const double meanDepth = depthSum / correspondences.count;
    RigidPose result = pose;
    result.eye = pose.eye + ((1.0 - focal / freeFocal) * meanDepth) * pose.direction;
    return result;
}

// The free estimate, or its dollied version when that fits better.
RigidPose startingPose(const double* freeProjection, const double* freeEye, double focal,
                       const Correspondences& correspondences)
{
    const RigidPose freePose = poseFromProjection(freeProjection, freeEye);
    const double freeFocal = std::sqrt(freeProjection[0] * freeProjection[0] + freeProjection[1] * freeProjection[1] +
                                       freeProjection[2] * freeProjection[2]);
    const RigidPose moved = dollied(freePose, freeFocal, focal, correspondences);
    const double movedCost = rigidPoseCost(moved, focal, correspondences);
    return movedCost < rigidPoseCost(freePose, focal, correspondences) ? moved : freePose;
}

// The 3 × 4 matrix, look-at point and up vector of pose. Returns 0 when the
// view does not meet the ground in front of the eye, or the result is not finite.
int composeRigidProjection(const RigidPose& pose, double focal, double* projection, double* lookAt, double* up)
{
    const Vector3 rows[3] = {focal * pose.right, focal * pose.up, pose.direction};
    double result[12];
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k)
            result[4 * r + k] = rows[r][k];
        result[4 * r + 3] = -dot(rows[r], pose.eye);
    }
    const double along = -pose.eye.z / pose.direction.z;
    if (!(along > 0.0) || !std::isfinite(along) || !allFinite(result, 12))
        return 0;
    const Vector3 ground = pose.eye + along * pose.direction;
    const double target[3] = {ground.x, ground.y, 0.0};
    if (!lookAtLandsOnCentre(result, target))
        return 0;
    std::copy(result, result + 12, projection);
    std::copy(target, target + 3, lookAt);
    std::copy(pose.up.data(), pose.up.data() + 3, up);
    return 1;
}

}  // namespace

}  // namespace pose_internal

using namespace pose_internal;

int estimateCameraPoseWithFocalLength(int correspondenceCount, const double* modelPoints, const double* imagePoints,
                                      double focalLength, double* linearProjection, double* refinedProjection,
                                      double* eye, double* lookAtPoint, double* up)
{
    if (!usableCorrespondences(correspondenceCount, modelPoints, imagePoints) || !std::isfinite(focalLength) ||
        !(focalLength > 0.0) || !linearProjection || !refinedProjection || !eye || !lookAtPoint || !up)
        return 0;
    const Correspondences correspondences{correspondenceCount, modelPoints, imagePoints};
    FreePose start;
    if (!estimateFreePose(correspondences, linearProjection, start))
        return 0;

    RigidPose pose = startingPose(start.projection, start.eye, focalLength, correspondences);
    const double chiSquare = refineRigidPose(pose, focalLength, correspondences);
    double projection[12];
    double target[3];
    double upVector[3];
    if (!std::isfinite(chiSquare) || !composeRigidProjection(pose, focalLength, projection, target, upVector))
        return 0;

    std::copy(projection, projection + 12, refinedProjection);
    std::copy(pose.eye.data(), pose.eye.data() + 3, eye);
    std::copy(target, target + 3, lookAtPoint);
    std::copy(upVector, upVector + 3, up);
    return 1;
}
