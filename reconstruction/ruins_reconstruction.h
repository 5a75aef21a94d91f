#pragma once

// The ruins reconstructor's decisions in plain C++: following the scene's points from
// frame to frame, gathering correspondences, updating and filtering the camera
// pose, and forming the view pose. No Qt and no OpenGL: the processor shell feeds
// it frames, detector results and the point grabber's state, and draws what it
// decides; a headless run can drive it the same way.
//
// Coordinates: tracked positions are frame-buffer pixels, x the column and y the
// buffer row counted from the bottom row. Model points are in model units
// (2.4 per brick edge). Image points handed to the estimator are relative to the
// image centre with v upwards.
//
// Not thread-safe; the pose estimator behind it is not re-entrant.

#include "pose/kalman_filter.h"
#include "pose/matrix4.h"
#include "pose/vector3.h"
#include "processors/corner_detector.h"
#include "reconstruction/field_of_view_hold.h"
#include "reconstruction/model_following.h"
#include "scene/brick_occlusion.h"
#include "scene/ruins_model.h"
#include "scene/scene_model.h"
#include "search/outline_check.h"
#include "search/structure_search.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace ruins {

// The points being followed. Entry i always corresponds to model point i; a
// scene has at most kCapacity of them.
struct TrackedPoints {
    static constexpr int kCapacity = kMaxScenePoints;

    int capacity = kCapacity;
    int count = 0;
    std::array<CornerPoint, kCapacity> positions{};
    std::array<std::uint8_t, kCapacity> valid{};
    std::array<float, kCapacity> confidence{};
    // Model-guided following: where each point was found in this frame, to a
    // fraction of a pixel (meaningful where valid).
    std::array<SubpixelPoint, kCapacity> subpixel{};

    TrackedPoints() { restart(); }
    // Every entry (the whole capacity, not only count) valid with confidence 1.0.
    void restart();
};

// Confidence arithmetic. The factors 1.01 and 0.99 are the single-precision
// values of those decimals, 1.1 is a double; products are formed in double and
// stored as float. A point at confidence 1.0 survives 137 consecutive misses and
// turns invalid at the 138th; one match then makes it valid again.
inline constexpr float kMatchGain = 1.01f;
inline constexpr float kMissDecay = 0.99f;
inline constexpr double kMatchBoost = 1.1;
inline constexpr double kValidityThreshold = 0.25;
// A corner is taken when it lies within 8 pixels (squared distance ≤ 64).
inline constexpr std::int64_t kMaxMatchDistanceSquared = 64;

void recordMatch(TrackedPoints& points, int index, const CornerPoint& corner);
void recordMiss(TrackedPoints& points, int index);

struct NearestCorner {
    int index = -1;                               // -1: none
    std::int64_t distanceSquared = 2147483647;    // as the search starts
};
// The nearest of `count` corners to `position`; among equally near corners the
// earliest in the list wins; corners at negative positions (a tracker's lost or
// empty entries) are passed over. Distances are exact (64-bit) for any int
// positions.
NearestCorner findNearestCorner(const CornerPoint& position, const CornerPoint* corners, int count);

// Matches every point in use to its nearest corner (or records a miss).
void matchTrackedPoints(TrackedPoints& points, const CornerPoint* corners, int cornerCount);

// The pose state of the reconstruction. The program keeps one, shared by every
// reconstructor (sharedRuinsPoseState()); tests and headless runs may own theirs.
struct RuinsPoseState {
    static constexpr int kCorrespondenceCapacity = 100;

    RuinsPoseState();
    ~RuinsPoseState();
    RuinsPoseState(const RuinsPoseState&) = delete;
    RuinsPoseState& operator=(const RuinsPoseState&) = delete;

    std::array<Vector3, kCorrespondenceCapacity> correspondenceModelPoints{};
    double correspondenceImagePoints[kCorrespondenceCapacity][3]{};
    double linearProjection[12]{};
    double refinedProjection[12]{};
    Vector3 poseEye;
    Vector3 poseLookAt;
    Vector3 poseUp;
    double poseFieldOfView = 0.0;  // degrees, vertical
    Matrix4 viewMatrix;            // the modelview of the last prepared view
    double poseRotation[9]{};      // row-major 3×3 handed to the pose filter
    std::unique_ptr<KalmanFilter> poseFilter;  // created at most once per reconstruction
};

RuinsPoseState& sharedRuinsPoseState();

// The estimator behind the pose update; replaceable so that tests can feed
// degenerate results. Signatures as the pose library's.
struct PoseEstimator {
    int (*estimate)(int correspondenceCount, const Vector3* modelPoints, const double (*imagePoints)[3],
                    double* linearProjection, double* refinedProjection, Vector3& eye, Vector3& lookAtPoint,
                    Vector3& up) = nullptr;
    double (*fieldOfView)(int imageHeight, const double* refinedProjection, const Vector3& eye,
                          const Vector3& lookAtPoint) = nullptr;
    // For a scene of a calibrated camera: the estimate with the focal length held.
    int (*estimateWithFocalLength)(int correspondenceCount, const Vector3* modelPoints,
                                   const double (*imagePoints)[3], double focalLength, double* linearProjection,
                                   double* refinedProjection, Vector3& eye, Vector3& lookAtPoint,
                                   Vector3& up) = nullptr;
    double (*focalLength)(int imageHeight, double fieldOfViewDegrees) = nullptr;
};
PoseEstimator defaultPoseEstimator();

// The rows of a look-at matrix are side, up and minus the viewing direction; its
// upper-left 3×3 in storage order, read row-major, therefore has those three as
// columns. This is the layout the pose filter is given and gives back.
void rotationFromViewMatrix(const Matrix4& view, double rotation[9]);

struct ViewPose {
    Vector3 eye;
    Vector3 lookAt;
    Vector3 up;
};
// The view pose of a filtered rotation (layout as rotationFromViewMatrix): the
// eye, a look-at point one unit along the viewing direction, and the up vector.
ViewPose viewPoseFromRotation(const double rotation[9], const Vector3& eye);

// How the points are followed from frame to frame. Nearest: each point moves
// to the nearest detector corner within 8 pixels and keeps counting while
// missed. Model: each point is looked for near where the last pose, carried on
// by the last motion, puts it, refined to a fraction of a pixel, and only points
// found in this frame and agreeing with the pose enter it.
enum class Following { Nearest, Model };

// How the field of view is found when the scene does not give it: estimated
// every frame (Free), held once many frames agree and let go when they no
// longer do (Auto), or given (Fixed, degrees of the frame's height).
enum class FieldOfViewMode { Free, Auto, Fixed };
// "free", "auto" or a number of degrees from 1 to 179 (Fixed); false otherwise.
bool parseFieldOfViewMode(const std::string& text, FieldOfViewMode& mode, double& degrees);
// The mode every reconstruction made from now on starts with (the program's --fov).
void setDefaultFieldOfViewMode(FieldOfViewMode mode, double degrees);

// What the drawing of one canvas shows.
enum class LeftOverlay { Nothing, PointLabels, MatchingWireframe };
enum class RightOverlay { Nothing, CalibrationGuide, AugmentedModels };

// The point grabber as the frame step sees it: its state (0 idle, 1 collecting,
// 2 holding) and the clicks it holds, in frame pixels with y counted from the top.
struct GrabberSnapshot {
    int state = 0;
    std::span<const PixelPosition> clicks;
};

// A view ready to load: modelview and a perspective of `fieldOfView` degrees.
// `drawable` is false when any part is not finite or the frame has no area, so
// nothing is drawn from a broken matrix.
struct PreparedView {
    bool prepared = false;
    bool drawable = false;
    ViewPose pose;
    double fieldOfView = 0.0;
    Matrix4 viewMatrix;
};

class RuinsReconstruction {
public:
    // Filter noise: one value for rotation, eye and field of view alike. The
    // pose trades camera distance against zoom; unequal gains for the two pull
    // the filtered pose off the balance the estimate found. The ratio of rate to
    // measurement noise was chosen on the virtual camera: at 2, the drawn points
    // move 0.012 to 0.019 px per frame at rest under sensor noise 2, and at 16
    // times the path's speed the lag adds at most 1.2 px; 0.1 lags by up to 7 px
    // there, 3 jitters up to 0.020 px.
    static constexpr double kFilterPositionNoise = 1.0;
    static constexpr double kFilterRotationNoise = 1.0;
    static constexpr double kFilterFieldOfViewNoise = 1.0;
    static constexpr double kFilterPositionRateNoise = 2.0;
    static constexpr double kFilterRotationRateNoise = 2.0;
    static constexpr double kFilterFieldOfViewRateNoise = 2.0;
    static constexpr double kFilterTimeStep = 1.0;
    // Fewer points in use than this: no pose at all.
    static constexpr int kMinPointsInUse = 8;
    // At least this many valid points are needed for an estimate.
    static constexpr int kMinValidPoints = 9;
    // Model following looks for a point within height / kSearchRadiusDivisor
    // pixels of its prediction, refines it in a window of height /
    // kRefinementRadiusDivisor pixels (at least kMinRefinementRadius), and drops
    // correspondences whose residual exceeds height / kResidualFloorDivisor
    // pixels and three robust standard deviations.
    static constexpr double kSearchRadiusDivisor = 60.0;
    static constexpr int kRefinementRadiusDivisor = 80;
    static constexpr int kMinRefinementRadius = 3;
    // The refinement window's radius is also at most the apparent brick edge
    // over kBrickEdgePerRadius pixels, and at least kSmallestRefinementRadius,
    // with the smoothing shrunk alike: where the structure is small in the
    // frame (bricks 7 to 10 px across at 320 × 240), a wider window takes in
    // its neighbours' corners and edges: handed the true pose from 200 random
    // viewpoints, the following took it from 118 at 320 × 240 and 104 at
    // 640 × 480, and from 135 at both with this. The bricks the bundled
    // scenes and footage show, 15 to 45 px across, keep the window the
    // frame's height gives.
    static constexpr double kBrickEdgePerRadius = 6.0;
    // A point's corner is looked for within the search radius of its
    // prediction, but at most a third of the apparent brick edge, lest it be
    // taken for a neighbour's (from 200 random viewpoints at 320 × 240 the
    // search then found the ruins from 131 instead of 121; the bundled
    // scenes' bricks are large enough to keep the search radius).
    static constexpr double kBrickEdgePerReach = 3.0;
    static constexpr int kSmallestRefinementRadius = 2;
    // Smoothing before the refinement grows with the square of the frame's
    // height over kSmoothingHeight (one round there and below), so that it
    // blurs a structure's faces alike at every size: at 640 × 480 the grain
    // of real wooden blocks otherwise scatters the corners by 1 to 2 px.
    static constexpr int kSmoothingHeight = 240;
    static constexpr double kResidualFloorDivisor = 240.0;
    static constexpr int kOutlierRounds = 3;
    // Worst points judged by a pose fitted without them, one by one, at most:
    // blurred corners at the foot of the ruins on a bright circuit board left
    // five to eight of 30 points 3 to 9 px off (640 × 480: 95th percentile
    // 1.48 px with three rounds, 0.94 with eight).
    static constexpr int kWorstPointRounds = 8;
    // A pose from model following is followed on from when at least kMinInliers
    // correspondences support it with an RMS residual of at most kMaxResidualRms
    // pixels, and shown only when they are also at least kMinInlierShare of the
    // points it puts inside the frame where the bricks do not hide them
    // (kKeptInlierShare when the last frame's pose was shown). A pose fitted to corners of something else, or to a few points
    // dragged along by fast motion, does neither: on the virtual camera such
    // poses had 12 to 20 supporters of 39 points in view, or 1.8 px and more;
    // right ones rarely fewer than half the points in view. Neither bound grows
    // with the frame for a pose shown anew: sensor noise does not, and a right pose on a blurred,
    // noisy 320 × 240 frame of a small structure still leaves about 1.2 px.
    // Lost, each frame looks for the points where the last shown pose saw them;
    // from kCalibrationRetryFrames on, every other frame where the calibration
    // pose sees them; and from the second lost frame on, where the search finds
    // the structure anywhere in the frame.
    static constexpr int kMinInliers = 12;
    static constexpr double kMinInlierShare = 0.5;
    static constexpr double kKeptInlierShare = 0.4;
    static constexpr double kMaxResidualRms = 1.75;
    // A shown pose is kept on an RMS residual up to kKeptResidualRms when at
    // least kKeptFitShare of the points it puts in the frame support it.
    static constexpr double kKeptResidualRms = 2.25;
    static constexpr double kKeptFitShare = 0.8;
    // Above 240 rows a shown pose is also kept on an RMS residual up to
    // kMaxResidualRms times the height over 240 when the frame shows at least
    // kKeptMinOutline of its outline: on real footage a corner's error is
    // set by blur and rounded edges, which grow with the frame in pixels (the
    // handheld tower leaves 1.5 to 3.5 px at 640 × 480 with its pose within
    // 2.9 px, and as much at 320 × 240 in angle).
    static constexpr double kKeptMinOutline = 0.8;
    static constexpr int kCalibrationRetryFrames = 15;
    // With the field of view held, a free estimate counts towards letting it go
    // only when its RMS residual is below this share of the held one's.
    static constexpr double kZoomResidualShare = 0.95;
    // A pose the search found is shown once it has been followed for this many
    // frames more: a wrong one rarely survives the camera's next moves.
    static constexpr int kSearchConfirmFrames = 2;
    // Rounds of following on the frame the search found the structure in, and
    // how well the last must fit: RMS pixels at 320 × 240, growing with the
    // square root of the height, the share of the unhidden points in view
    // that can be seen as corners that support it, and the share of its
    // visible outline the frame shows; or, fitting only as loosely as a
    // followed pose may, a larger share of both. (The lost test counts every
    // unhidden point in view, as its bounds were set on: counted as here, it
    // showed a pose 7 px off in a frame of motion too fast to follow.)
    static constexpr int kSearchFitRounds = 3;
    static constexpr double kSearchMaxResidualRms = 1.25;
    static constexpr double kSearchMinShare = 0.45;
    static constexpr double kSearchMinOutline = 0.9;
    static constexpr double kSearchLooseShare = 0.65;
    static constexpr double kSearchLooseOutline = 0.95;
    // Following a found structure, points closer than this share of a brick
    // edge to a brick in front of them are left out: where the outlines meet,
    // the corner refines 2 to 4 px away from the point.
    static constexpr double kCrowdingMargin = 0.25;
    // Some corners of real blocks are seen steadily off the model's corner
    // from a given side: where a block's shadow or a neighbour's rounding
    // meets it, 1 to 3 px at 640 x 480 on the wooden ruins, and each pulls the
    // pose its way or is dropped as an outlier. Each point's residual against
    // the followed pose is averaged (at kCornerOffsetRate a frame), and a
    // point whose average lies beyond the residual floor (height /
    // kResidualFloorDivisor) is taken as seen that far off. That took the
    // 95th percentile on a bright circuit board whose grey matches the
    // bricks' side faces from 1.27 to 0.43 px at 320 x 240, and on the wooden
    // ruins at 640 x 480 from 0.87 to 0.70 px.
    // The averages are learned only from poses at least
    // kCornerOffsetMinSupport points support, and forgotten otherwise: on
    // fewer, a pose's error passes into them and back into the next pose (the
    // handheld tower's 12 to 17 points). Residuals within the floor are left
    // alone: taken off every point, they hold the pose where it was.
    static constexpr double kCornerOffsetRate = 0.2;
    static constexpr int kCornerOffsetMinSupport = 20;

    explicit RuinsReconstruction(RuinsPoseState& poseState = sharedRuinsPoseState(),
                                 PoseEstimator estimator = defaultPoseEstimator());

    // Frames are width × height from now on (negative sizes count as 0).
    void setImageSize(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }

    // One frame: copies input to output (width × height bytes), then, unless the
    // user is aligning the camera, adopts held clicks when no points are in use,
    // runs the detector on the output, matches and updates the pose. Ends by
    // preparing the view the canvases will draw (one filter step with Kalman
    // on), so that drawing only reads preparedView().
    void frameStep(const unsigned char* input, unsigned char* output, CornerDetector* detector,
                   const GrabberSnapshot& grabber);

    // The colour frame the next frame step's input was made from (R, G, B per
    // pixel, same layout; null: none), looked at where the grey fails. Not kept
    // beyond that step.
    void setColourFrame(const unsigned char* rgb) { colour_ = rgb; }

    // The view prepared by the last frame step; not prepared before the first.
    const PreparedView& preparedView() const { return preparedView_; }

    // Matches the points in use to a detector's corners.
    void matchCorners(const CornerPoint* corners, int cornerCount);

    // Gathers the valid points, creates the pose filter when filtering is first
    // wanted while a pose exists, and estimates the pose from 9 or more valid points.
    void updatePose();

    // "Automatic Initial Points": clears the pose flags, enters matching mode and
    // puts the scene's reference positions in use, carried from the calibration
    // picture (calibrationWidth × calibrationHeight, ≤ 0: the default size) to the
    // frame by referenceFit.
    void beginAutomaticSelection(int calibrationWidth, int calibrationHeight);
    // "Find Automatically": every point in use, no pose, and the structure
    // searched for in every frame until the following confirms what was found.
    void beginSearch();
    // "Manual Initial Points": no points in use until the clicks are adopted.
    void beginManualSelection();
    // Leaves matching mode; returns whether it was set.
    bool endMatching();
    // All points valid with confidence 1.0, the detector and the pose filter
    // start afresh (the filter is created again from the next pose).
    void restartFollowing(CornerDetector* detector);

    // The view for drawing: nothing when there is no pose to show; with filtering
    // on, advances the filter once and stores the filtered eye and field of view.
    // Writes the pose state's viewMatrix.
    PreparedView preparePoseView();

    LeftOverlay leftOverlay(int grabberState) const;
    RightOverlay rightOverlay(int grabberState) const;

    const TrackedPoints& trackedPoints() const { return tracked_; }
    TrackedPoints& trackedPoints() { return tracked_; }
    // The scene followed (the scene in use when made): its points, references and bricks.
    const SceneModel& scene() const { return *scene_; }
    const std::shared_ptr<const SceneModel>& sharedScene() const { return scene_; }
    // Follows `scene` from now on: no points in use, no pose, matching mode left.
    void setScene(std::shared_ptr<const SceneModel> scene);
    int pointCount() const { return pointCount_; }
    // Corners a detector that follows the points keeps: two per model point.
    static constexpr int kCornersPerPoint = 2;
    int detectorCapacity() const { return kCornersPerPoint * pointCount_; }
    std::span<const Vector3> modelPoints() const { return {modelPoints_.data(), std::size_t(pointCount_)}; }
    RuinsPoseState& poseState() { return pose_; }
    const RuinsPoseState& poseState() const { return pose_; }
    // Number of correspondences gathered at the last pose update.
    int gatheredCount() const { return gatheredCount_; }

    bool poseValid() const { return poseValid_; }
    bool hasPose() const { return hasPose_; }
    bool matchingMode() const { return matchingMode_; }
    Following following() const { return following_; }
    // Following the nearest corners, nothing is searched for.
    void setFollowing(Following following)
    {
        following_ = following;
        if (following_ != Following::Model) awaitingSearch_ = false;
    }
    // Correspondences that support the last pose, and their RMS residual in pixels.
    int inlierCount() const { return inlierCount_; }
    double residualRms() const { return residualRms_; }
    // Model following has points to follow but this frame gave no pose to show.
    bool trackingLost() const;
    // The last frame step searched for the structure and has no pose to show:
    // at the start of "Find Automatically", and after the pose was lost.
    bool searching() const { return (searched_ || unconfirmedFrames_ > 0) && !poseValid_; }
    void setFieldOfViewMode(FieldOfViewMode mode, double degrees = 0.0);
    FieldOfViewMode fieldOfViewMode() const { return fieldOfViewMode_; }
    // The poses are estimated with the field of view held (given, or settled).
    bool fieldOfViewHeld() const;
    bool useKalman() const { return useKalman_; }
    void setUseKalman(bool on) { useKalman_ = on; }
    bool poseFilterCreated() const { return poseFilterCreated_; }

private:
    void adoptClicks(std::span<const PixelPosition> clicks);
    void resetPoseFilter();
    int gatherCorrespondences();
    void createPoseFilterFromLastPose();
    bool estimatePose(int correspondenceCount);
    int runEstimator(int correspondenceCount, Vector3& eye, Vector3& lookAt, Vector3& up);
    std::optional<double> heldFocalLength() const;
    void watchFieldOfView(int correspondenceCount);
    void followFrame(unsigned char* output, CornerDetector* detector, const GrabberSnapshot& grabber);
    void followModel(const unsigned char* frame, const CornerDetector* detector);
    void followPredictions(const GreyFrame& frame, const CornerDetector* detector);
    bool searchStructure(const GreyFrame& frame, const CornerDetector* detector);
    void confirmFoundPose();
    bool followFound(const FoundStructure& found, const GreyFrame& frame, const CornerDetector* detector);
    void setPrediction(int index, const SubpixelPoint& position, bool seen);
    // Neither hidden by the bricks nor up against the outline of one in front.
    bool seenClearly(int index, const Vector3& eye) const;
    bool fitsAsFound(const GreyFrame& frame) const;
    bool keepsShownPose() const;
    bool withinFrameSizedResidual() const;
    void predictPositions();
    void refineFoundPoints(const GreyFrame& frame);
    int rejectOutliers(int correspondenceCount, bool judgeWorstPoints);
    int dropOutliers(int correspondenceCount);
    bool dropWorstIfOutlier(int& correspondenceCount);
    void swapCorrespondences(int a, int b);
    // What an estimate writes into the pose state, to try another and go back.
    struct FittedPose {
        std::array<double, 12> linearProjection{};
        std::array<double, 12> refinedProjection{};
        Vector3 eye, lookAt, up;
        double fieldOfView = 0.0;
    };
    FittedPose fittedPose() const;
    void restoreFittedPose(const FittedPose& fitted);
    void measureResiduals(int correspondenceCount);
    // Pixels between a correspondence's image point and where `projection` puts
    // its model point (infinite behind the camera), and the RMS of the first
    // correspondenceCount of them.
    double residual(const double* projection, int correspondence) const;
    double residualRms(const double* projection, int correspondenceCount) const;
    // Model points the estimated pose puts in front of the camera, inside the
    // frame and not behind the real bricks; with `cornersOnly`, of those that
    // can be seen as a corner.
    int pointsInFrame(bool cornersOnly = false) const;
    void recordReprojections();
    void forgetMotion();
    void learnCornerOffsets();
    void forgetCornerOffsets();
    // Where the pose is fitted to point i: where its corner was refined, less
    // its learned offset when that is beyond the bound.
    SubpixelPoint seenCorner(int i) const;
    bool followsModel() const { return following_ == Following::Model && !matchingMode_; }
    bool predictsFromCalibration() const;
    void noteTrackingOutcome();
    double searchRadius() const { return height_ / kSearchRadiusDivisor; }
    // How far from its prediction a point's corner is looked for.
    double pointReach() const
    {
        return brickPixels_ > 0.0 ? std::min(searchRadius(), brickPixels_ / kBrickEdgePerReach) : searchRadius();
    }
    // The brick edge in pixels at the structure's centre, seen from `eye`.
    double apparentBrickEdge(const Vector3& eye, double focalLength) const;

    int width_ = 0;
    int height_ = 0;
    const unsigned char* colour_ = nullptr;
    TrackedPoints tracked_;
    std::shared_ptr<const SceneModel> scene_;
    int pointCount_ = 0;
    std::array<Vector3, kMaxScenePoints> modelPoints_{};
    Vector3 structureCentre_;
    // The apparent brick edge under the last pose followed or found; 0 before any.
    double brickPixels_ = 0.0;
    RuinsPoseState& pose_;
    PoseEstimator estimator_;
    int gatheredCount_ = 0;
    Following following_ = Following::Model;
    // Model following, per point: the reprojections of the last two poses, the
    // prediction of this frame and where its refinement starts.
    std::array<SubpixelPoint, kMaxScenePoints> lastReprojection_{};
    std::array<SubpixelPoint, kMaxScenePoints> previousReprojection_{};
    std::array<std::uint8_t, kMaxScenePoints> reprojected_{};
    // Per point: whether its corner was refined in this frame, and how far
    // from the followed poses its corner has been seen of late.
    std::array<std::uint8_t, kMaxScenePoints> refinedNow_{};
    std::array<SubpixelPoint, kMaxScenePoints> cornerOffset_{};
    bool hasLastReprojection_ = false;
    bool hasPreviousReprojection_ = false;
    std::array<SubpixelPoint, kMaxScenePoints> predictions_{};
    std::array<std::uint8_t, kMaxScenePoints> predictionUsable_{};
    // The points a found pose was found on, which its confirmation follows.
    std::array<std::uint8_t, kMaxScenePoints> foundUsable_{};
    std::array<SubpixelPoint, kMaxScenePoints> starts_{};
    // Per correspondence: the point it came from and its residual.
    std::array<int, RuinsPoseState::kCorrespondenceCapacity> correspondencePoint_{};
    std::array<double, RuinsPoseState::kCorrespondenceCapacity> residuals_{};
    std::array<double, RuinsPoseState::kCorrespondenceCapacity> residualScratch_{};
    int inlierCount_ = 0;
    double residualRms_ = 0.0;
    // Frames in a row without a pose to show while following the model.
    int lostFrames_ = 0;
    StructureSearch search_;
    // The poses one frame's search hands over, tried in turn.
    static constexpr int kHandovers = 3;
    std::array<FoundStructure, kHandovers> found_{};
    BrickOcclusion occlusion_;
    OutlineCheck outline_;
    // Nothing to predict the points from until the search finds the structure.
    bool awaitingSearch_ = false;
    // Frames a pose the search found must still be followed for before it is shown.
    int unconfirmedFrames_ = 0;
    bool searched_ = false;  // in the last frame step
    FieldOfViewMode fieldOfViewMode_ = FieldOfViewMode::Auto;
    double fixedFieldOfView_ = 0.0;
    FieldOfViewHold fieldOfViewHold_;
    std::array<double, 12> freeLinearProjection_{};
    std::array<double, 12> freeRefinedProjection_{};
    int calibrationWidth_ = 0;
    int calibrationHeight_ = 0;
    PreparedView preparedView_;
    bool poseValid_ = false;
    // Model following: the pose is good enough to follow on from, shown or not.
    bool poseFollowed_ = false;
    bool hasPose_ = false;
    bool matchingMode_ = false;
    bool useKalman_ = false;
    bool poseFilterCreated_ = false;
};

}  // namespace ruins
