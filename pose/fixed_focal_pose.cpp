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

// Levenberg–Marquardt from pose; accepts only strictly lower costs and leaves
// the cost of the pose it ends at in chiSquare. Returns false when that cost is
// not finite or the search is still moving after kMaxRefinementSteps: where a
// drifting search happens to stop is no answer.
bool refineRigidPose(RigidPose& pose, double focal, const Correspondences& correspondences, double& chiSquare)
{
    chiSquare = rigidPoseCost(pose, focal, correspondences);
    if (!std::isfinite(chiSquare))
        return false;
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
            return true;
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
            return true;
        normalEquations(pose, focal, correspondences, alpha, beta);
    }
    // Settled when no damping finds a lower cost; otherwise out of steps.
    return lambda > kLambdaCeiling;
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

void rigidProjection(const RigidPose& pose, double focal, double* projection)
{
    const Vector3 rows[3] = {focal * pose.right, focal * pose.up, pose.direction};
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k)
            projection[4 * r + k] = rows[r][k];
        projection[4 * r + 3] = -dot(rows[r], pose.eye);
    }
}

// The 3 × 4 matrix, look-at point and up vector of pose. Returns 0 when the
// view does not meet the ground in front of the eye, a point is not in front
// of the camera, or the result is not finite.
int composeRigidProjection(const RigidPose& pose, double focal, const Correspondences& correspondences,
                           double* projection, double* lookAt, double* up)
{
    double result[12];
    rigidProjection(pose, focal, result);
    const double along = -pose.eye.z / pose.direction.z;
    if (!(along > 0.0) || !std::isfinite(along) || !allFinite(result, 12))
        return 0;
    const Vector3 ground = pose.eye + along * pose.direction;
    const double target[3] = {ground.x, ground.y, 0.0};
    if (!lookAtLandsOnCentre(result, target) || !allPointsInFront(result, correspondences))
        return 0;
    std::copy(result, result + 12, projection);
    std::copy(target, target + 3, lookAt);
    std::copy(pose.up.data(), pose.up.data() + 3, up);
    return 1;
}

// A refined camera with the held focal length and what the caller is given of it.
struct HeldPose {
    double chiSquare = 0.0;
    double start[12];  // the matrix of the camera the search started from
    double projection[12];
    double eye[3];
    double lookAt[3];
    double up[3];
};

bool heldPoseFrom(RigidPose pose, double focal, const Correspondences& correspondences, HeldPose& held)
{
    rigidProjection(pose, focal, held.start);
    if (!refineRigidPose(pose, focal, correspondences, held.chiSquare) ||
        !composeRigidProjection(pose, focal, correspondences, held.projection, held.lookAt, held.up))
        return false;
    std::copy(pose.eye.data(), pose.eye.data() + 3, held.eye);
    return true;
}

// The linear estimate as a rigid camera. The linear stage leaves the points at
// negative projective depth; the matrix is turned round to face them first.
bool linearStart(const double* linear, double focal, const Correspondences& correspondences, RigidPose& start)
{
    double eye[3];
    if (!cameraCentre(linear, eye) || !allFinite(eye, 3))
        return false;
    double depthSum = 0.0;
    for (int i = 0; i < correspondences.count; ++i) {
        const Vector3 x = modelPoint(correspondences, i);
        depthSum += linear[8] * x.x + linear[9] * x.y + linear[10] * x.z + linear[11];
    }
    const double sign = depthSum < 0.0 ? -1.0 : 1.0;
    double facing[12];
    for (int k = 0; k < 12; ++k)
        facing[k] = sign * linear[k];
    start = startingPose(facing, eye, focal, correspondences);
    return true;
}

// An orthonormal frame of the plane nearest the model points: origin at their
// centroid, normal along their least spread, (first, second, normal) right-handed.
struct PlaneFrame {
    Vector3 origin, first, second, normal;
};

bool fitPlane(const Correspondences& correspondences, PlaneFrame& plane)
{
    const int n = correspondences.count;
    Vector3 centroid;
    for (int i = 0; i < n; ++i)
        centroid = centroid + modelPoint(correspondences, i);
    centroid = (1.0 / n) * centroid;
    Vector3 scatter[3];  // rows of Σ (X − c)(X − c)ᵀ
    for (int i = 0; i < n; ++i) {
        const Vector3 offset = modelPoint(correspondences, i) - centroid;
        for (int r = 0; r < 3; ++r)
            scatter[r] = scatter[r] + offset[static_cast<std::size_t>(r)] * offset;
    }
    // The adjugate weights each eigenvector of the scatter by the product of
    // the other two eigenvalues, so it pulls any vector towards the normal;
    // a few products make that exact enough for a start.
    const Vector3 adjugate[3] = {cross(scatter[1], scatter[2]), cross(scatter[2], scatter[0]),
                                 cross(scatter[0], scatter[1])};
    Vector3 normal = adjugate[0];
    for (const Vector3& column : adjugate) {
        if (dot(column, column) > dot(normal, normal))
            normal = column;
    }
    for (int pass = 0; pass < 3; ++pass) {
        normal.normalize();
        normal = Vector3(dot(adjugate[0], normal), dot(adjugate[1], normal), dot(adjugate[2], normal));
    }
    // A zero normal: the points lie on a line or on one point.
    if (normal.normalize() == 0.0 || !std::isfinite(dot(normal, normal)))
        return false;
    int leastAligned = 0;
    for (int k = 1; k < 3; ++k) {
        if (std::fabs(normal[static_cast<std::size_t>(k)]) < std::fabs(normal[static_cast<std::size_t>(leastAligned)]))
            leastAligned = k;
    }
    Vector3 axis;
    axis[static_cast<std::size_t>(leastAligned)] = 1.0;
    plane.origin = centroid;
    plane.normal = normal;
    plane.first = axis - dot(axis, normal) * normal;
    plane.first.normalize();
    plane.second = cross(normal, plane.first);
    return true;
}

// The homography from plane coordinates (a, b) to the image by least squares,
// its last entry (the projective depth of the plane's origin, the centroid)
// fixed at 1. h holds 9 values, row-major.
bool fitHomography(const Correspondences& correspondences, const PlaneFrame& plane, double* h)
{
    constexpr int kUnknowns = 8;
    double normal[kUnknowns * kUnknowns] = {};
    double rightHandSide[kUnknowns] = {};
    for (int i = 0; i < correspondences.count; ++i) {
        const Vector3 offset = modelPoint(correspondences, i) - plane.origin;
        const double a = dot(plane.first, offset);
        const double b = dot(plane.second, offset);
        const double* image = correspondences.imagePoints + 3 * i;
        const double u = image[0];
        const double v = image[1];
        const double rows[2][kUnknowns] = {{a, b, 1.0, 0.0, 0.0, 0.0, -u * a, -u * b},
                                           {0.0, 0.0, 0.0, a, b, 1.0, -v * a, -v * b}};
        const double targets[2] = {u, v};
        for (int r = 0; r < 2; ++r) {
            for (int j = 0; j < kUnknowns; ++j) {
                for (int k = 0; k < kUnknowns; ++k)
                    normal[j * kUnknowns + k] += rows[r][j] * rows[r][k];
                rightHandSide[j] += rows[r][j] * targets[r];
            }
        }
    }
    if (!solveLinearSystem(kUnknowns, normal, rightHandSide))
        return false;
    std::copy(rightHandSide, rightHandSide + kUnknowns, h);
    h[8] = 1.0;
    return allFinite(h, 9);
}

// The camera that the homography of the points' plane gives for the held
// focal length. It needs no depth across the plane, so it also places points
// that all lie in one plane, which the linear stage cannot.
bool planeStart(double focal, const Correspondences& correspondences, RigidPose& start)
{
    PlaneFrame plane;
    double h[9];
    if (!fitPlane(correspondences, plane) || !fitHomography(correspondences, plane, h))
        return false;
    // The columns of diag(1/f, 1/f, 1)·H are the plane's axes and origin in
    // camera coordinates (right, up, depth), up to one positive scale: the
    // origin's depth is fixed at 1.
    Vector3 first(h[0] / focal, h[3] / focal, h[6]);
    Vector3 second(h[1] / focal, h[4] / focal, h[7]);
    const Vector3 origin(h[2] / focal, h[5] / focal, h[8]);
    const double scale = 2.0 / (std::sqrt(dot(first, first)) + std::sqrt(dot(second, second)));
    first.normalize();
    second = second - dot(second, first) * first;
    second.normalize();
    // Camera coordinates (right, up, depth) are left-handed (up = right × d),
    // so the plane's normal maps to −(first × second).
    const Vector3 normal = -cross(first, second);
    start.right = first.x * plane.first + second.x * plane.second + normal.x * plane.normal;
    start.direction = first.z * plane.first + second.z * plane.second + normal.z * plane.normal;
    orthonormalise(start);
    const Vector3 offset = scale * origin;
    start.eye = plane.origin - (offset.x * start.right + offset.y * start.up + offset.z * start.direction);
    return std::isfinite(dot(start.eye, start.eye)) && std::isfinite(dot(start.right, start.right)) &&
           std::isfinite(dot(start.direction, start.direction));
}

// The search from the free estimate, as it has always started; when that
// estimate fails (or leads to no camera), from the linear estimate, since the
// held focal length may still place the camera that the free search could not.
// Points in one plane give no linear estimate (linear is null); the plane's
// homography gives their start instead.
bool findHeldPose(const double* linear, double focal, const Correspondences& correspondences, HeldPose& held)
{
    RigidPose start;
    if (!linear)
        return planeStart(focal, correspondences, start) && heldPoseFrom(start, focal, correspondences, held);
    FreePose free;
    if (refineLinearEstimate(correspondences, linear, free) &&
        heldPoseFrom(startingPose(free.projection, free.eye, focal, correspondences), focal, correspondences, held))
        return true;
    return linearStart(linear, focal, correspondences, start) && heldPoseFrom(start, focal, correspondences, held);
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
    double linear[12];
    const bool linearFound = computeLinearProjection(correspondences, linear) == 1;
    if (linearFound)
        std::copy(linear, linear + 12, linearProjection);
    HeldPose held;
    if (!findHeldPose(linearFound ? linear : nullptr, focalLength, correspondences, held))
        return 0;

    // Without a linear estimate the plane's camera stood in for it.
    if (!linearFound)
        std::copy(held.start, held.start + 12, linearProjection);
    std::copy(held.projection, held.projection + 12, refinedProjection);
    std::copy(held.eye, held.eye + 3, eye);
    std::copy(held.lookAt, held.lookAt + 3, lookAtPoint);
    std::copy(held.up, held.up + 3, up);
    return 1;
}
