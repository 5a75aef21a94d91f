#include "reconstruction/ruins_reconstruction.h"

#include "pose/camera_pose.h"
#include "reconstruction/pose_bindings.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

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
        // A tracker marks lost and empty entries with negative positions; they
        // are no corners, and near the frame's corner a point would take them.
        if (corners[j].x < 0 || corners[j].y < 0) continue;
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

namespace {

struct FieldOfViewDefault {
    FieldOfViewMode mode = FieldOfViewMode::Auto;
    double degrees = 0.0;
};

FieldOfViewDefault& fieldOfViewDefault()
{
    static FieldOfViewDefault value;
    return value;
}

}  // namespace

bool parseFieldOfViewMode(const std::string& text, FieldOfViewMode& mode, double& degrees)
{
    if (text == "free" || text == "auto") {
        mode = text == "free" ? FieldOfViewMode::Free : FieldOfViewMode::Auto;
        return true;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || !end || *end != '\0' || !(value >= kMinFieldOfView && value <= kMaxFieldOfView)) return false;
    mode = FieldOfViewMode::Fixed;
    degrees = value;
    return true;
}

void setDefaultFieldOfViewMode(FieldOfViewMode mode, double degrees) { fieldOfViewDefault() = {mode, degrees}; }

RuinsReconstruction::RuinsReconstruction(RuinsPoseState& poseState, PoseEstimator estimator)
    : pose_(poseState), estimator_(estimator), fieldOfViewMode_(fieldOfViewDefault().mode),
      fixedFieldOfView_(fieldOfViewDefault().degrees)
{
    setScene(sceneInUse());
}

void RuinsReconstruction::setScene(std::shared_ptr<const SceneModel> scene)
{
    if (!scene) return;
    scene_ = std::move(scene);
    pointCount_ = std::min(scene_->pointCount(), int(kMaxScenePoints));
    std::copy_n(scene_->points.begin(), pointCount_, modelPoints_.begin());
    structureCentre_ = scene_->pointsCentre();
    brickPixels_ = 0.0;
    tracked_.capacity = pointCount_;
    tracked_.count = 0;
    tracked_.restart();
    matchingMode_ = false;
    awaitingSearch_ = false;
    hasPose_ = false;
    poseValid_ = false;
    inlierCount_ = 0;
    lostFrames_ = 0;
    resetPoseFilter();
    forgetMotion();
    fieldOfViewHold_.reset();
    search_.setScene(scene_);
    occlusion_ = BrickOcclusion(*scene_);
    outline_ = OutlineCheck(*scene_);
}

void RuinsReconstruction::setImageSize(int width, int height)
{
    // Focal lengths are in the frame's pixels.
    if (std::max(width, 0) == width_ && std::max(height, 0) == height_) return;
    fieldOfViewHold_.reset();
    forgetCornerOffsets();
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
    search_.setImageSize(width_, height_);
}

void RuinsReconstruction::frameStep(const unsigned char* input, unsigned char* output, CornerDetector* detector,
                                    const GrabberSnapshot& grabber)
{
    // The colour frame belongs to this step alone; its buffer may be gone by the next.
    struct ForgetColour {
        const unsigned char*& colour;
        ~ForgetColour() { colour = nullptr; }
    } forget{colour_};
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
    // The search hands over to model following only.
    if (awaitingSearch_ && following_ != Following::Model) return;
    if (detector) detector->detect(output, width_, height_);
    if (following_ == Following::Model) {
        followModel(output, detector);
        return;
    }
    if (detector) matchCorners(detector->corners(), std::clamp(detector->cornerCount(), 0, detector->capacity()));
    updatePose();
}

void RuinsReconstruction::followModel(const unsigned char* frame, const CornerDetector* detector)
{
    const GreyFrame grey{frame, width_, height_, colour_};
    searched_ = false;
    if (awaitingSearch_ && unconfirmedFrames_ == 0) {
        poseValid_ = false;
        poseFollowed_ = false;
    } else {
        predictPositions();
        followPredictions(grey, detector);
        confirmFoundPose();
    }
    // Lost for more than a frame, the structure may be anywhere by now.
    if (!poseFollowed_ && (awaitingSearch_ || lostFrames_ > 0)) {
        searched_ = true;
        if (searchStructure(grey, detector)) {
            unconfirmedFrames_ = kSearchConfirmFrames;
            poseValid_ = false;
        }
    }
    noteTrackingOutcome();
    recordReprojections();
    learnCornerOffsets();
}

void RuinsReconstruction::learnCornerOffsets()
{
    if (!poseFollowed_ || searched_ || inlierCount_ < kCornerOffsetMinSupport) {
        forgetCornerOffsets();
        return;
    }
    // Against where this frame's pose puts the points, as recorded for the next prediction.
    const int count = std::clamp(tracked_.count, 0, TrackedPoints::kCapacity);
    for (int i = 0; i < count; ++i) {
        if (!refinedNow_[i] || !reprojected_[i]) continue;
        const SubpixelPoint& p = lastReprojection_[i];
        SubpixelPoint& offset = cornerOffset_[i];
        offset.x += kCornerOffsetRate * (tracked_.subpixel[i].x - p.x - offset.x);
        offset.y += kCornerOffsetRate * (tracked_.subpixel[i].y - p.y - offset.y);
    }
}

void RuinsReconstruction::forgetCornerOffsets() { cornerOffset_.fill({}); }

SubpixelPoint RuinsReconstruction::seenCorner(int i) const
{
    const SubpixelPoint& seen = tracked_.subpixel[i];
    const SubpixelPoint& offset = cornerOffset_[i];
    if (std::hypot(offset.x, offset.y) <= height_ / kResidualFloorDivisor) return seen;
    return {seen.x - offset.x, seen.y - offset.y};
}

void RuinsReconstruction::confirmFoundPose()
{
    if (unconfirmedFrames_ == 0) return;
    if (!poseFollowed_) {
        unconfirmedFrames_ = 0;
        return;
    }
    if (--unconfirmedFrames_ > 0) {
        poseValid_ = false;
        return;
    }
    // Followed on, but on too few of the points it puts in the frame to be
    // shown: taken, it would be neither shown nor searched for again.
    if (!poseValid_) {
        poseFollowed_ = false;
        return;
    }
    awaitingSearch_ = false;
}

void RuinsReconstruction::followPredictions(const GreyFrame& frame, const CornerDetector* detector)
{
    const CornerPoint* corners = detector ? detector->corners() : nullptr;
    const int cornerCount = detector ? std::clamp(detector->cornerCount(), 0, detector->capacity()) : 0;
    claimCornersNearPredictions(predictions_.data(), predictionUsable_.data(), tracked_.count, corners, cornerCount,
                                pointReach(), starts_.data());
    refineFoundPoints(frame);
    const bool lastShown = poseValid_;
    updatePose();
    // Kept only on the frame-sized residual: then its outline must be seen.
    if (poseFollowed_ && lastShown && residualRms_ > kMaxResidualRms && !keepsShownPose() &&
        outline_.agreement(pose_.refinedProjection, pose_.poseEye, occlusion_, frame.pixels, frame.rgb, width_,
                           height_) < kKeptMinOutline) {
        poseFollowed_ = false;
        poseValid_ = false;
    }
}

bool RuinsReconstruction::searchStructure(const GreyFrame& frame, const CornerDetector* detector)
{
    const int found = search_.step(frame.pixels, heldFocalLength(), found_);
    for (int n = 0; n < found; ++n)
        if (followFound(found_[std::size_t(n)], frame, detector)) return true;
    return false;
}

bool RuinsReconstruction::followFound(const FoundStructure& found, const GreyFrame& frame,
                                      const CornerDetector* detector)
{
    // What the search found is followed from like a prediction: the following
    // confirms it, with the corners refined and the lost test passed, or not.
    const int count = std::clamp(tracked_.count, 0, std::min(TrackedPoints::kCapacity, found.pointCount));
    for (int i = 0; i < count; ++i)
        setPrediction(i, {found.x[std::size_t(i)], found.y[std::size_t(i)]},
                      found.inFront[std::size_t(i)] && seenClearly(i, found.eye));
    forgetMotion();
    brickPixels_ = apparentBrickEdge(found.eye, found.focalLength);
    // The found pose is only near: each round on the same frame starts from the
    // last round's fit, until it fits as a found pose must. A round whose fit
    // is not followed, on fewer supporters than a followed pose needs, may
    // still be nearer than the search's pose: the search fits its pose to
    // coarse corners, and that of a small structure often puts points 2 to
    // 7 px from their corners, beyond the following's reach.
    bool fits = false;
    for (int round = 0; round < kSearchFitRounds; ++round) {
        followPredictions(frame, detector);
        fits = poseFollowed_ && fitsAsFound(frame);
        if (fits || inlierCount_ < kMinValidPoints) break;
        for (int i = 0; i < count; ++i) {
            SubpixelPoint p;
            const bool seen = reprojectToFrame(pose_.refinedProjection, modelPoints_[i], width_, height_, p) &&
                              seenClearly(i, pose_.poseEye);
            setPrediction(i, p, seen);
        }
    }
    if (!fits) {
        poseFollowed_ = false;
        poseValid_ = false;
        return false;
    }
    foundUsable_ = predictionUsable_;
    return true;
}

bool RuinsReconstruction::fitsAsFound(const GreyFrame& frame) const
{
    // A structure found anywhere must fit better than one followed from the
    // last frame, and its outline must be in the frame: a pose a block along
    // a stack of alike blocks fits their corners about as well as the right
    // one (on rendered footage of a tower it was shown 32 px off), but puts a
    // block's outline on the table; right poses showed 92 to 100 % of their
    // outline, that one 55 %, and one 35 px off on a circuit board 86 %
    // (where the board's texture meets much of any outline). With the
    // outline checked, the fit may be a little looser than the 1 px that once
    // alone kept near likenesses out:
    // the right pose of a small structure (bricks 7 to 10 px across at
    // 320 × 240) leaves 1.1 to 1.7 px. Taking up to 1.25 px finds it from 8
    // more of 200 viewpoints; up to 1.5 px from 17 more, but then on a
    // circuit-board backdrop three poses 35 to 58 px off passed as well.
    // A looser fit, up to the following's own bound, still passes when two
    // thirds of the points support it and nearly all its outline is there:
    // right poses of small structures left 1.3 to 1.6 px on 65 to 80 % of
    // their points with 96 to 98 % of the outline (found from 4 more of 200
    // viewpoints at 320 × 240, and no wrong pose more on a circuit board).
    const double scale = std::sqrt(std::max(1.0, height_ / double(kSmoothingHeight)));
    const int corners = pointsInFrame(true);
    const bool tight = residualRms_ <= kSearchMaxResidualRms * scale && inlierCount_ >= kSearchMinShare * corners;
    const bool loose = residualRms_ <= kMaxResidualRms * scale && inlierCount_ >= kSearchLooseShare * corners;
    if (!tight && !loose) return false;
    const double outline = outline_.agreement(pose_.refinedProjection, pose_.poseEye, occlusion_, frame.pixels,
                                              frame.rgb, width_, height_);
    return outline >= (tight ? kSearchMinOutline : kSearchLooseOutline);
}

bool RuinsReconstruction::seenClearly(int index, const Vector3& eye) const
{
    const Vector3& point = modelPoints_[index];
    return !occlusion_.hides(point, eye) && !occlusion_.crowds(point, eye, kCrowdingMargin * scene_->brickEdge());
}

void RuinsReconstruction::setPrediction(int index, const SubpixelPoint& position, bool seen)
{
    const double margin = searchRadius();
    predictions_[index] = position;
    predictionUsable_[index] = seen && position.x >= -margin && position.y >= -margin &&
                               position.x < width_ + margin && position.y < height_ + margin;
}

void RuinsReconstruction::noteTrackingOutcome()
{
    if (poseFollowed_) {
        lostFrames_ = 0;
        return;
    }
    // Found again later, the pose starts afresh: rates from before the loss
    // would carry it off.
    if (lostFrames_ == 0) resetPoseFilter();
    ++lostFrames_;
}

bool RuinsReconstruction::predictsFromCalibration() const
{
    return lostFrames_ >= kCalibrationRetryFrames && lostFrames_ % 2 == 1;
}

bool RuinsReconstruction::trackingLost() const
{
    return following_ == Following::Model && !matchingMode_ && tracked_.count > 0 && !poseValid_ && !awaitingSearch_;
}

void RuinsReconstruction::predictPositions()
{
    const int count = std::clamp(tracked_.count, 0, TrackedPoints::kCapacity);
    const double margin = searchRadius();
    const bool calibration = predictsFromCalibration();
    for (int i = 0; i < count; ++i) {
        SubpixelPoint p{double(tracked_.positions[i].x), double(tracked_.positions[i].y)};
        if (calibration) {
            const PixelPosition r = scaledReferencePosition(scene_->reference(i), width_, height_, calibrationWidth_,
                                                            calibrationHeight_);
            p = {double(r.x), double(height_ - r.y)};
        } else if (hasLastReprojection_ && reprojected_[i]) {
            p = lastReprojection_[i];
            // Carried on by the last frame's motion: the camera rarely stops at once.
            if (hasPreviousReprojection_) {
                p.x += lastReprojection_[i].x - previousReprojection_[i].x;
                p.y += lastReprojection_[i].y - previousReprojection_[i].y;
            }
        }
        predictions_[i] = p;
        predictionUsable_[i] = p.x >= -margin && p.y >= -margin && p.x < width_ + margin && p.y < height_ + margin;
        // A found pose is confirmed on the points it was found on: the rest are
        // those its rough first guess saw hidden or crowded, and on a right
        // pose they took wrong corners enough to lose it (640 × 480: found
        // from 132 of 200 viewpoints with them, 142 without).
        if (unconfirmedFrames_ > 0) predictionUsable_[i] = predictionUsable_[i] && foundUsable_[i];
    }
}

void RuinsReconstruction::refineFoundPoints(const GreyFrame& frame)
{
    const int count = std::clamp(tracked_.count, 0, TrackedPoints::kCapacity);
    const int frameRadius = std::clamp(height_ / kRefinementRadiusDivisor, kMinRefinementRadius, kMaxRefinementRadius);
    const int radius = brickPixels_ > 0.0 ? std::clamp(int(std::lround(brickPixels_ / kBrickEdgePerRadius)),
                                                       kSmallestRefinementRadius, frameRadius)
                                          : frameRadius;
    const double relativeHeight = double(height_) / kSmoothingHeight;
    const double relativeRadius = double(radius) / kMinRefinementRadius;
    const int smoothing = std::clamp(int(std::lround(std::min(relativeHeight * relativeHeight,
                                                              relativeRadius * relativeRadius))),
                                     1, kMaxSmoothing);
    const double reach = pointReach();
    for (int i = 0; i < count; ++i) {
        tracked_.valid[i] = 0;
        refinedNow_[i] = 0;
        SubpixelPoint refined;
        if (!predictionUsable_[i] || !refineCorner(frame, starts_[i], radius, smoothing, 2.0 * reach, refined)) continue;
        if (std::hypot(refined.x - predictions_[i].x, refined.y - predictions_[i].y) > reach) continue;
        tracked_.valid[i] = 1;
        refinedNow_[i] = 1;
        tracked_.subpixel[i] = refined;
        tracked_.positions[i] = {int(std::lround(refined.x)), int(std::lround(refined.y))};
    }
}

void RuinsReconstruction::recordReprojections()
{
    if (!poseFollowed_) {
        // Without this frame's pose the motion is unknown; predict from the last.
        hasPreviousReprojection_ = false;
        return;
    }
    previousReprojection_ = lastReprojection_;
    hasPreviousReprojection_ = hasLastReprojection_;
    const int count = std::clamp(tracked_.count, 0, TrackedPoints::kCapacity);
    for (int i = 0; i < count; ++i) {
        const bool seen = reprojectToFrame(pose_.refinedProjection, modelPoints_[i], width_, height_,
                                           lastReprojection_[i]);
        hasPreviousReprojection_ = hasPreviousReprojection_ && reprojected_[i] && seen;
        reprojected_[i] = seen;
    }
    // A pose kept on a looser fit is shown, but its motion does not carry the
    // next prediction: carried on, its error grew into a loss (the bright
    // circuit board at 640 x 480: a pose in 85 % of frames, 88 % without).
    if (residualRms_ > kMaxResidualRms) hasPreviousReprojection_ = false;
    hasLastReprojection_ = true;
}

void RuinsReconstruction::forgetMotion()
{
    forgetCornerOffsets();
    hasLastReprojection_ = false;
    hasPreviousReprojection_ = false;
}

void RuinsReconstruction::adoptClicks(std::span<const PixelPosition> clicks)
{
    // Only the first clicks, one per model point, are adopted.
    const int count = int(std::min<std::size_t>(clicks.size(), std::size_t(pointCount_)));
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
    const bool subpixel = followsModel();
    for (int i = 0; i < count; ++i) {
        if (!tracked_.valid[i]) continue;
        pose_.correspondenceModelPoints[n] = modelPoints_[i];
        const SubpixelPoint seen =
            subpixel ? seenCorner(i) : SubpixelPoint{double(tracked_.positions[i].x), double(tracked_.positions[i].y)};
        pose_.correspondenceImagePoints[n][0] = seen.x - halfWidth;
        pose_.correspondenceImagePoints[n][1] = seen.y - halfHeight;
        pose_.correspondenceImagePoints[n][2] = 0.0;
        correspondencePoint_[n] = i;
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
    const bool lastShown = poseValid_;
    gatheredCount_ = 0;
    inlierCount_ = 0;
    poseValid_ = false;
    poseFollowed_ = false;
    if (tracked_.count < kMinPointsInUse) return;
    const int n = gatherCorrespondences();
    gatheredCount_ = n;
    // Following the model, the last pose is one worth starting from only if it was shown.
    if (useKalman_ && !poseFilterCreated_ && hasPose_ && (!followsModel() || lastShown))
        createPoseFilterFromLastPose();
    if (n < kMinValidPoints || !estimatePose(n)) return;
    if (followsModel()) {
        // A pose found anywhere must fit on all its points in the frame it was
        // found in: without its worst ones, a pose 4 px off (a field of view of
        // 73° instead of 40°) was taken on the handheld tower at 320 x 240.
        // Its confirmation may drop them: on a right pose, six of 26 corners
        // could go 4 to 7 px astray and lose it.
        inlierCount_ = rejectOutliers(n, !searched_);
        // A pose with few supporters among many points in view may still be
        // right, and following on from it keeps the motion; it is only not shown.
        poseFollowed_ = inlierCount_ >= kMinInliers &&
                        (residualRms_ <= kMaxResidualRms ||
                         (lastShown && (keepsShownPose() || withinFrameSizedResidual())));
        // Once shown, a pose keeps being shown on fewer supporters, or on a
        // looser fit that nearly all points support: a point or two losing
        // contrast, or a frame of blurred corners, must not blank the bricks.
        const double share = lastShown ? kKeptInlierShare : kMinInlierShare;
        poseValid_ = poseFollowed_ && inlierCount_ >= share * pointsInFrame();
    } else {
        inlierCount_ = n;
        poseFollowed_ = true;
        poseValid_ = true;
    }
    hasPose_ = hasPose_ || poseValid_;
    if (poseFollowed_)
        brickPixels_ = apparentBrickEdge(pose_.poseEye, projectionFocalLength(pose_.refinedProjection));
    if (!matchingMode_) watchFieldOfView(inlierCount_);
}

double RuinsReconstruction::apparentBrickEdge(const Vector3& eye, const double focalLength) const
{
    const Vector3 away = structureCentre_ - eye;
    const double distance = std::sqrt(dot(away, away));
    return distance > 0.0 && std::isfinite(focalLength) ? scene_->brickEdge() * focalLength / distance : 0.0;
}

bool RuinsReconstruction::keepsShownPose() const
{
    // On rendered footage of wooden blocks at 640 x 480 a right pose left 1.9 px
    // for a frame with 32 of 38 points supporting it; a pose drifting off the
    // handheld tower had 2.3 px on 18 of 23.
    return residualRms_ <= kKeptResidualRms && inlierCount_ >= kKeptFitShare * pointsInFrame();
}

bool RuinsReconstruction::withinFrameSizedResidual() const
{
    return residualRms_ <= kMaxResidualRms * std::max(1.0, height_ / double(kSmoothingHeight));
}

int RuinsReconstruction::rejectOutliers(int correspondenceCount, bool judgeWorstPoints)
{
    int kept = correspondenceCount;
    measureResiduals(kept);
    for (int round = 0; round < kWorstPointRounds && judgeWorstPoints; ++round)
        if (!dropWorstIfOutlier(kept)) break;
    // Each estimate without the outliers is pulled less towards the rest of
    // them, so the bound tightens for a few rounds.
    for (int round = 0; round < kOutlierRounds; ++round) {
        const int before = kept;
        kept = dropOutliers(before);
        if (kept == before) return kept;
        if (kept < kMinValidPoints || !estimatePose(kept)) return 0;
        measureResiduals(kept);
    }
    return kept;
}

// One wrong corner among a dozen pulls a least-squares pose so far towards it
// that its residual falls within three robust deviations of the others' (the
// handheld tower: a corner 12 px off, left 4 px from a pose 3.4 px off). So the
// worst point is also judged by a pose fitted without it.
bool RuinsReconstruction::dropWorstIfOutlier(int& correspondenceCount)
{
    const int count = correspondenceCount;
    const double floor = height_ / kResidualFloorDivisor;
    if (count <= kMinInliers) return false;  // fewer would not be followed on
    const int worst = int(std::max_element(residuals_.begin(), residuals_.begin() + count) - residuals_.begin());
    if (!(residuals_[std::size_t(worst)] > floor)) return false;
    const FittedPose withWorst = fittedPose();
    swapCorrespondences(worst, count - 1);
    if (estimatePose(count - 1)) {
        measureResiduals(count - 1);
        const double bound = outlierBound(residuals_.data(), count - 1, floor, residualScratch_.data());
        if (residual(pose_.refinedProjection, count - 1) > bound) {
            tracked_.valid[std::size_t(correspondencePoint_[std::size_t(count - 1)])] = 0;
            correspondenceCount = count - 1;
            return true;
        }
    }
    restoreFittedPose(withWorst);
    swapCorrespondences(worst, count - 1);
    measureResiduals(count);
    return false;
}

RuinsReconstruction::FittedPose RuinsReconstruction::fittedPose() const
{
    FittedPose fitted{{}, {}, pose_.poseEye, pose_.poseLookAt, pose_.poseUp, pose_.poseFieldOfView};
    std::copy_n(pose_.linearProjection, 12, fitted.linearProjection.begin());
    std::copy_n(pose_.refinedProjection, 12, fitted.refinedProjection.begin());
    return fitted;
}

void RuinsReconstruction::restoreFittedPose(const FittedPose& fitted)
{
    std::copy(fitted.linearProjection.begin(), fitted.linearProjection.end(), pose_.linearProjection);
    std::copy(fitted.refinedProjection.begin(), fitted.refinedProjection.end(), pose_.refinedProjection);
    pose_.poseEye = fitted.eye;
    pose_.poseLookAt = fitted.lookAt;
    pose_.poseUp = fitted.up;
    pose_.poseFieldOfView = fitted.fieldOfView;
}

void RuinsReconstruction::swapCorrespondences(int a, int b)
{
    std::swap(pose_.correspondenceModelPoints[std::size_t(a)], pose_.correspondenceModelPoints[std::size_t(b)]);
    std::swap_ranges(pose_.correspondenceImagePoints[a], pose_.correspondenceImagePoints[a] + 3,
                     pose_.correspondenceImagePoints[b]);
    std::swap(correspondencePoint_[std::size_t(a)], correspondencePoint_[std::size_t(b)]);
    std::swap(residuals_[std::size_t(a)], residuals_[std::size_t(b)]);
}

int RuinsReconstruction::dropOutliers(int correspondenceCount)
{
    const double bound = outlierBound(residuals_.data(), correspondenceCount, height_ / kResidualFloorDivisor,
                                      residualScratch_.data());
    int kept = 0;
    for (int n = 0; n < correspondenceCount; ++n) {
        if (residuals_[n] > bound) {
            tracked_.valid[correspondencePoint_[n]] = 0;
            continue;
        }
        pose_.correspondenceModelPoints[kept] = pose_.correspondenceModelPoints[n];
        std::copy(pose_.correspondenceImagePoints[n], pose_.correspondenceImagePoints[n] + 3,
                  pose_.correspondenceImagePoints[kept]);
        correspondencePoint_[kept] = correspondencePoint_[n];
        residuals_[kept] = residuals_[n];
        ++kept;
    }
    return kept;
}

int RuinsReconstruction::pointsInFrame(bool cornersOnly) const
{
    int inFrame = 0;
    for (int i = 0; i < pointCount_; ++i) {
        SubpixelPoint p;
        if ((!cornersOnly || scene_->seenAsCorner(i)) &&
            reprojectToFrame(pose_.refinedProjection, modelPoints_[i], width_, height_, p) &&
            p.x >= 0.0 && p.y >= 0.0 && p.x < width_ && p.y < height_ &&
            !occlusion_.hides(modelPoints_[i], pose_.poseEye))
            ++inFrame;
    }
    return inFrame;
}

double RuinsReconstruction::residual(const double* projection, int correspondence) const
{
    SubpixelPoint seen;
    const double* image = pose_.correspondenceImagePoints[correspondence];
    return reprojectToFrame(projection, pose_.correspondenceModelPoints[correspondence], 0, 0, seen)
               ? std::hypot(seen.x - image[0], seen.y - image[1])
               : std::numeric_limits<double>::infinity();
}

double RuinsReconstruction::residualRms(const double* projection, int correspondenceCount) const
{
    double sum = 0.0;
    for (int n = 0; n < correspondenceCount; ++n) {
        const double r = residual(projection, n);
        sum += r * r;
    }
    return correspondenceCount > 0 ? std::sqrt(sum / correspondenceCount) : 0.0;
}

void RuinsReconstruction::measureResiduals(int correspondenceCount)
{
    double sum = 0.0;
    for (int n = 0; n < correspondenceCount; ++n) {
        residuals_[n] = residual(pose_.refinedProjection, n);
        sum += residuals_[n] * residuals_[n];
    }
    residualRms_ = correspondenceCount > 0 ? std::sqrt(sum / correspondenceCount) : 0.0;
}

std::optional<double> RuinsReconstruction::heldFocalLength() const
{
    if (!estimator_.focalLength) return std::nullopt;
    // A calibrated camera's field of view is known: holding it leaves fewer unknowns.
    if (scene_->scene.fieldOfView) {
        // The field of view is the reference picture's; a frame of another shape
        // sees that picture as referenceFit lays it on the frame.
        const PictureSize& picture = scene_->pictureSize;
        return estimator_.focalLength(height_, *scene_->scene.fieldOfView) *
               referenceFocalScale(width_, height_, picture.width, picture.height);
    }
    switch (fieldOfViewMode_) {
    case FieldOfViewMode::Fixed:
        return estimator_.focalLength(height_, fixedFieldOfView_);
    case FieldOfViewMode::Auto:
        if (fieldOfViewHold_.held()) return fieldOfViewHold_.focalLength();
        return std::nullopt;
    case FieldOfViewMode::Free:
        break;
    }
    return std::nullopt;
}

int RuinsReconstruction::runEstimator(int correspondenceCount, Vector3& eye, Vector3& lookAt, Vector3& up)
{
    const std::optional<double> focalLength = heldFocalLength();
    if (focalLength && estimator_.estimateWithFocalLength)
        return estimator_.estimateWithFocalLength(correspondenceCount, pose_.correspondenceModelPoints.data(),
                                                  pose_.correspondenceImagePoints, *focalLength,
                                                  pose_.linearProjection, pose_.refinedProjection, eye, lookAt, up);
    return estimator_.estimate(correspondenceCount, pose_.correspondenceModelPoints.data(),
                               pose_.correspondenceImagePoints, pose_.linearProjection, pose_.refinedProjection, eye,
                               lookAt, up);
}

void RuinsReconstruction::watchFieldOfView(int correspondenceCount)
{
    if (fieldOfViewMode_ != FieldOfViewMode::Auto || scene_->scene.fieldOfView || !poseValid_) return;
    const double* projection = pose_.refinedProjection;
    if (fieldOfViewHold_.held()) {
        // What the camera's focal length looks like now, without the hold. It
        // speaks for a zoom only when it fits the points clearly better than the
        // held one: with one unknown more, a free fit always fits a little better.
        Vector3 eye, lookAt, up;
        if (estimator_.estimate(correspondenceCount, pose_.correspondenceModelPoints.data(),
                                pose_.correspondenceImagePoints, freeLinearProjection_.data(),
                                freeRefinedProjection_.data(), eye, lookAt, up) != 1)
            return;
        if (!(residualRms(freeRefinedProjection_.data(), correspondenceCount) <
              kZoomResidualShare * residualRms_)) {
            fieldOfViewHold_.addFreeEstimate(fieldOfViewHold_.focalLength(), {});
            return;
        }
        projection = freeRefinedProjection_.data();
    }
    // Rows of the projection: r1 (its length the focal length), r2, the viewing direction.
    fieldOfViewHold_.addFreeEstimate(projectionFocalLength(projection), {projection[8], projection[9], projection[10]});
}

void RuinsReconstruction::setFieldOfViewMode(FieldOfViewMode mode, double degrees)
{
    fieldOfViewMode_ = mode;
    fixedFieldOfView_ = degrees;
    fieldOfViewHold_.reset();
}

bool RuinsReconstruction::fieldOfViewHeld() const { return heldFocalLength().has_value(); }

bool RuinsReconstruction::estimatePose(int correspondenceCount)
{
    if (!estimator_.estimate || !estimator_.fieldOfView) return false;
    // Estimate into copies: a result that is not finite must neither count as a
    // pose nor overwrite the last good one.
    Vector3 eye = pose_.poseEye;
    Vector3 lookAt = pose_.poseLookAt;
    Vector3 up = pose_.poseUp;
    if (runEstimator(correspondenceCount, eye, lookAt, up) != 1) return false;
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
    awaitingSearch_ = false;
    calibrationWidth_ = calibrationWidth;
    calibrationHeight_ = calibrationHeight;
    tracked_.count = pointCount_;
    for (int i = 0; i < pointCount_; ++i) {
        const PixelPosition p =
            scaledReferencePosition(scene_->reference(i), width_, height_, calibrationWidth, calibrationHeight);
        tracked_.positions[i] = {p.x, height_ - p.y};
    }
}

void RuinsReconstruction::beginSearch()
{
    matchingMode_ = false;
    hasPose_ = false;
    poseValid_ = false;
    tracked_.count = pointCount_;
    awaitingSearch_ = true;
    unconfirmedFrames_ = 0;
    search_.restart();
}

void RuinsReconstruction::beginManualSelection()
{
    awaitingSearch_ = false;
    // The clicks to come replace the points in use, as the automatic choice
    // replaces them with the reference positions.
    tracked_.count = 0;
    hasPose_ = false;
    poseValid_ = false;
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
    forgetMotion();
    lostFrames_ = 0;
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
