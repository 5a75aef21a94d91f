#include "ruins/ruins_reconstruction.h"

#include "ruins/pose_bindings.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ruins {

void TrackedPoints::restart()
{
    valid.fill(1);
    confidence.fill(1.0f);
}

namespace {

constexpr std::int64_t kFarAxis = 65535;

float clampConfidence(double c) { return static_cast<float>(std::clamp(c, 0.0, 1.0)); }

bool isFinite(const Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

bool isFinite(const Matrix4& m)
{
    return std::all_of(m.data(), m.data() + 16, [](double value) { return std::isfinite(value); });
}

// A perspective needs an angle strictly between 0 and 180 degrees.
bool isUsableFieldOfView(double degrees) { return std::isfinite(degrees) && degrees > 0.0 && degrees < 180.0; }

}  // namespace

void recordMatch(TrackedPoints& points, int index, const CornerPoint& corner)
{
    const double c = double(points.confidence[index]) * double(kMatchGain);
    if (c >= kValidityThreshold) points.valid[index] = 1;
    points.confidence[index] = clampConfidence(c);
    points.positions[index] = corner;
    points.confidence[index] = clampConfidence(double(points.confidence[index]) * kMatchBoost);
}

void recordMiss(TrackedPoints& points, int index)
{
    const double c = double(points.confidence[index]) * double(kMissDecay);
    if (c < kValidityThreshold) points.valid[index] = 0;
    points.confidence[index] = clampConfidence(c);
}

NearestCorner findNearestCorner(const CornerPoint& position, const CornerPoint* corners, int count)
{
    NearestCorner best;
    if (!corners) return best;
    for (int j = 0; j < count; ++j) {
        const std::int64_t dx = std::int64_t(position.x) - corners[j].x;
        const std::int64_t dy = std::int64_t(position.y) - corners[j].y;
        // Beyond 65535 in either axis the distance exceeds the starting best
        // (2^31 − 1) anyway; skipping keeps the squares from overflowing.
        if (dx > kFarAxis || dx < -kFarAxis || dy > kFarAxis || dy < -kFarAxis) continue;
        const std::int64_t d = dx * dx + dy * dy;
        if (d < best.distanceSquared) {
            best.distanceSquared = d;
            best.index = j;
        }
    }
    return best;
}

void matchTrackedPoints(TrackedPoints& points, const CornerPoint* corners, int cornerCount)
{
    const int count = std::clamp(points.count, 0, TrackedPoints::kCapacity);
    for (int i = 0; i < count; ++i) {
        const NearestCorner nearest = findNearestCorner(points.positions[i], corners, cornerCount);
        if (nearest.index >= 0 && nearest.distanceSquared <= kMaxMatchDistanceSquared)
            recordMatch(points, i, corners[nearest.index]);
        else
            recordMiss(points, i);
    }
}

RuinsPoseState::RuinsPoseState() = default;
RuinsPoseState::~RuinsPoseState() = default;

RuinsPoseState& sharedRuinsPoseState()
{
    static RuinsPoseState state;
    return state;
}

void rotationFromViewMatrix(const Matrix4& view, double rotation[9])
{
    static constexpr int kUpperLeft[9] = {0, 1, 2, 4, 5, 6, 8, 9, 10};
    for (int n = 0; n < 9; ++n) rotation[n] = view.data()[kUpperLeft[n]];
}

ViewPose viewPoseFromRotation(const double rotation[9], const Vector3& eye)
{
    // Row-major 3×3 whose columns are side, up and minus the viewing direction.
    const Vector3 up{rotation[1], rotation[4], rotation[7]};
    const Vector3 viewing{-rotation[2], -rotation[5], -rotation[8]};
    return {eye, eye + viewing, up};
}

RuinsReconstruction::RuinsReconstruction(RuinsPoseState& poseState, PoseEstimator estimator)
    : modelPoints_(ruins::modelPoints()), pose_(poseState), estimator_(estimator)
{
}

void RuinsReconstruction::setImageSize(int width, int height)
{
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
}

void RuinsReconstruction::frameStep(const unsigned char* input, unsigned char* output, CornerDetector* detector,
                                    const GrabberSnapshot& grabber)
{
    const std::size_t bytes = std::size_t(width_) * std::size_t(height_);
    if (!input || !output || bytes == 0) return;
    if (input != output) std::memcpy(output, input, bytes);
    preparedView_ = {};
    if (matchingMode_) {
        // While the user aligns the camera the pose follows the reference
        // positions; the left canvas shows it as a wireframe.
        if (leftOverlay(grabber.state) != LeftOverlay::MatchingWireframe) return;
        updatePose();
        preparedView_ = preparePoseView();
        return;
    }
    followFrame(output, detector, grabber);
    if (rightOverlay(grabber.state) == RightOverlay::AugmentedModels) preparedView_ = preparePoseView();
}

void RuinsReconstruction::followFrame(unsigned char* output, CornerDetector* detector, const GrabberSnapshot& grabber)
{
    if (tracked_.count == 0) {
        switch (grabber.state) {
        case 1:
            poseValid_ = false;
            hasPose_ = false;
            return;
        case 2:
            adoptClicks(grabber.clicks);
            break;
        default:
            return;
        }
    }
    if (detector) {
        detector->detect(output, width_, height_);
        const int cornerCount = std::clamp(detector->cornerCount(), 0, detector->capacity());
        matchCorners(detector->corners(), cornerCount);
    }
    updatePose();
}

void RuinsReconstruction::adoptClicks(std::span<const PixelPosition> clicks)
{
    // Only the first 39 clicks have model points; later ones are not adopted.
    const int count = int(std::min<std::size_t>(clicks.size(), TrackedPoints::kCapacity));
    for (int i = 0; i < count; ++i) tracked_.positions[i] = {clicks[i].x, height_ - clicks[i].y};
    tracked_.count = count;
}

void RuinsReconstruction::matchCorners(const CornerPoint* corners, int cornerCount)
{
    matchTrackedPoints(tracked_, corners, cornerCount);
}

int RuinsReconstruction::gatherCorrespondences()
{
    const double halfWidth = width_ * 0.5;
    const double halfHeight = height_ * 0.5;
    int n = 0;
    const int count = std::clamp(tracked_.count, 0, TrackedPoints::kCapacity);
    for (int i = 0; i < count; ++i) {
        if (!tracked_.valid[i]) continue;
        pose_.correspondenceModelPoints[n] = modelPoints_[i];
        pose_.correspondenceImagePoints[n][0] = tracked_.positions[i].x - halfWidth;
        pose_.correspondenceImagePoints[n][1] = tracked_.positions[i].y - halfHeight;
        pose_.correspondenceImagePoints[n][2] = 0.0;
        ++n;
    }
    return n;
}

void RuinsReconstruction::createPoseFilterFromLastPose()
{
    pose_.viewMatrix.lookAt(pose_.poseEye, pose_.poseLookAt, pose_.poseUp);
    rotationFromViewMatrix(pose_.viewMatrix, pose_.poseRotation);
    pose_.poseFilter = createPoseFilterFor(kFilterPositionNoise, kFilterRotationNoise, kFilterFieldOfViewNoise,
                                           pose_.poseRotation, pose_.poseEye, pose_.poseFieldOfView);
    poseFilterCreated_ = pose_.poseFilter != nullptr;
}

void RuinsReconstruction::updatePose()
{
    gatheredCount_ = 0;
    if (tracked_.count < kMinPointsInUse) {
        poseValid_ = false;
        return;
    }
    const int n = gatherCorrespondences();
    gatheredCount_ = n;
    if (useKalman_ && !poseFilterCreated_ && hasPose_) createPoseFilterFromLastPose();
    if (n < kMinValidPoints || !estimatePose(n)) {
        poseValid_ = false;
        return;
    }
    poseValid_ = true;
    hasPose_ = true;
}

bool RuinsReconstruction::estimatePose(int correspondenceCount)
{
    if (!estimator_.estimate || !estimator_.fieldOfView) return false;
    // Estimate into copies: a result that is not finite must neither count as a
    // pose nor overwrite the last good one.
    Vector3 eye = pose_.poseEye;
    Vector3 lookAt = pose_.poseLookAt;
    Vector3 up = pose_.poseUp;
    if (estimator_.estimate(correspondenceCount, pose_.correspondenceModelPoints.data(),
                            pose_.correspondenceImagePoints, pose_.linearProjection, pose_.refinedProjection, eye,
                            lookAt, up) != 1)
        return false;
    if (!isFinite(eye) || !isFinite(lookAt) || !isFinite(up)) return false;
    const double fieldOfView = estimator_.fieldOfView(height_, pose_.refinedProjection, eye, lookAt);
    if (!isUsableFieldOfView(fieldOfView)) return false;
    pose_.poseEye = eye;
    pose_.poseLookAt = lookAt;
    pose_.poseUp = up;
    pose_.poseFieldOfView = fieldOfView;
    return true;
}

void RuinsReconstruction::beginAutomaticSelection(int calibrationWidth, int calibrationHeight)
{
    hasPose_ = false;
    poseValid_ = false;
    matchingMode_ = true;
    tracked_.count = kModelPointCount;
    for (int i = 0; i < kModelPointCount; ++i) {
        const PixelPosition p = scaledReferencePosition(i, width_, height_, calibrationWidth, calibrationHeight);
        tracked_.positions[i] = {p.x, height_ - p.y};
    }
}

bool RuinsReconstruction::endMatching()
{
    const bool was = matchingMode_;
    matchingMode_ = false;
    return was;
}

void RuinsReconstruction::restartFollowing(CornerDetector* detector)
{
    tracked_.restart();
    if (detector) detector->reset();
    resetPoseFilter();
}

void RuinsReconstruction::resetPoseFilter()
{
    // A filter that carried rates from before the restart would drag the new
    // poses towards where the old ones were heading.
    pose_.poseFilter.reset();
    poseFilterCreated_ = false;
}

PreparedView RuinsReconstruction::preparePoseView()
{
    PreparedView view;
    if (!hasPose_ && !poseValid_ && !matchingMode_) return view;
    view.prepared = true;
    view.pose = {pose_.poseEye, pose_.poseLookAt, pose_.poseUp};
    if (useKalman_ && poseFilterCreated_ && pose_.poseFilter) {
        pose_.viewMatrix.lookAt(pose_.poseEye, pose_.poseLookAt, pose_.poseUp);
        rotationFromViewMatrix(pose_.viewMatrix, pose_.poseRotation);
        stepPoseFilter(kFilterPositionRateNoise, kFilterRotationRateNoise, kFilterFieldOfViewRateNoise,
                       pose_.poseRotation, pose_.poseEye, pose_.poseFieldOfView, kFilterTimeStep,
                       pose_.poseFilter.get());
        view.pose = viewPoseFromRotation(pose_.poseRotation, pose_.poseEye);
    }
    view.fieldOfView = pose_.poseFieldOfView;
    pose_.viewMatrix.lookAt(view.pose.eye, view.pose.lookAt, view.pose.up);
    view.viewMatrix = pose_.viewMatrix;
    view.drawable = width_ > 0 && height_ > 0 && isFinite(view.viewMatrix) && isUsableFieldOfView(view.fieldOfView);
    return view;
}

LeftOverlay RuinsReconstruction::leftOverlay(int grabberState) const
{
    if (grabberState == 1) return LeftOverlay::PointLabels;
    if (matchingMode_) return LeftOverlay::MatchingWireframe;
    return LeftOverlay::Nothing;
}

RightOverlay RuinsReconstruction::rightOverlay(int grabberState) const
{
    if (matchingMode_) return RightOverlay::Nothing;
    if (grabberState == 1) return RightOverlay::CalibrationGuide;
    return RightOverlay::AugmentedModels;
}

}  // namespace ruins
