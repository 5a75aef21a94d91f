// The reconstructor's decisions without a window: matching and confidence,
// adoption of clicks, gathering, the pose update thresholds, automatic
// selection, restarts, the view pose and its filter, the drawing decision.

#include "reconstruction/ruins_reconstruction.h"

#include "pose/pose_filter.h"
#include "ruins_test_support.h"
#include "tests/support/ruins_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace ruins;
using ruins_test::PinholeCamera;
using ruins_test::ScriptedDetector;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

TrackedPoints pointsAt(std::initializer_list<CornerPoint> positions)
{
    TrackedPoints points;
    for (const CornerPoint& p : positions) points.positions[points.count++] = p;
    return points;
}

// Buffer positions (x, row from the bottom) of the 39 model points seen by `camera`.
std::vector<CornerPoint> projectedModelPoints(const PinholeCamera& camera, int width = kWidth, int height = kHeight)
{
    std::vector<CornerPoint> result;
    for (int i = 0; i < kModelPointCount; ++i) {
        const auto uv = camera.project(modelPoint(i));
        if (!uv) return {};
        result.push_back({int(std::lround((*uv)[0] + width * 0.5)), int(std::lround((*uv)[1] + height * 0.5))});
    }
    return result;
}

// A reconstruction following the given points with `valid` of them valid.
struct Harness {
    RuinsPoseState pose;
    RuinsReconstruction reconstruction{pose};
    ScriptedDetector detector;
    std::vector<unsigned char> input = std::vector<unsigned char>(std::size_t(kWidth) * kHeight, 90);
    std::vector<unsigned char> output = std::vector<unsigned char>(std::size_t(kWidth) * kHeight, 0);

    // The nearest-corner following, whose specified details these tests pin.
    Harness()
    {
        reconstruction.setImageSize(kWidth, kHeight);
        reconstruction.setFollowing(Following::Nearest);
    }

    void track(const std::vector<CornerPoint>& positions)
    {
        TrackedPoints& t = reconstruction.trackedPoints();
        t.count = int(positions.size());
        for (std::size_t i = 0; i < positions.size(); ++i) t.positions[i] = positions[i];
    }
    void step() { reconstruction.frameStep(input.data(), output.data(), &detector, {}); }
};

}  // namespace

TEST(RuinsMatching, SquaredDistance64MatchesAnd65DoesNot)
{
    TrackedPoints points = pointsAt({{100, 100}, {200, 100}});
    const CornerPoint corners[] = {{108, 100}, {208, 101}};  // 64 and 65 away
    matchTrackedPoints(points, corners, 2);
    EXPECT_EQ(points.positions[0].x, 108);
    EXPECT_FLOAT_EQ(points.confidence[0], 1.0f);
    EXPECT_EQ(points.positions[1].x, 200) << "a missed point keeps its position";
    EXPECT_FLOAT_EQ(points.confidence[1], 0.99f);
}

TEST(RuinsMatching, EarlierOfEquallyNearCornersWins)
{
    const CornerPoint corners[] = {{50, 50}, {103, 100}, {97, 100}, {100, 103}};
    const NearestCorner nearest = findNearestCorner({100, 100}, corners, 4);
    EXPECT_EQ(nearest.index, 1);
    EXPECT_EQ(nearest.distanceSquared, 9);

    TrackedPoints points = pointsAt({{100, 100}});
    matchTrackedPoints(points, corners, 4);
    EXPECT_EQ(points.positions[0].x, 103);
    EXPECT_EQ(points.positions[0].y, 100);
}

TEST(RuinsMatching, ExtremePositionsDoNotOverflow)
{
    const CornerPoint corners[] = {{std::numeric_limits<int>::max(), std::numeric_limits<int>::max()}};
    const NearestCorner nearest = findNearestCorner({std::numeric_limits<int>::min(), 0}, corners, 1);
    EXPECT_EQ(nearest.index, -1) << "farther than the starting best distance";
    TrackedPoints points = pointsAt({{std::numeric_limits<int>::min(), std::numeric_limits<int>::min()}});
    matchTrackedPoints(points, corners, 1);
    EXPECT_FLOAT_EQ(points.confidence[0], 0.99f);
    matchTrackedPoints(points, nullptr, 5);  // a null list is no corners
    EXPECT_EQ(points.valid[0], 1);
}

TEST(RuinsMatching, LostTrackerEntriesAreNotCorners)
{
    TrackedPoints points = pointsAt({{2, 3}});
    const CornerPoint corners[] = {{-1, -1}, {-1, -1}};
    matchTrackedPoints(points, corners, 2);
    EXPECT_EQ(points.positions[0].x, 2) << "not moved onto a lost entry";
    EXPECT_FLOAT_EQ(points.confidence[0], 0.99f);
}

TEST(RuinsMatching, ValidityLostAtThe138thMissAndRegainedByOneMatch)
{
    TrackedPoints points = pointsAt({{10, 10}});
    for (int miss = 1; miss <= 137; ++miss) {
        matchTrackedPoints(points, nullptr, 0);
        ASSERT_EQ(points.valid[0], 1) << "miss " << miss;
    }
    matchTrackedPoints(points, nullptr, 0);
    EXPECT_EQ(points.valid[0], 0);
    EXPECT_LT(points.confidence[0], 0.25f);

    const CornerPoint corner{12, 9};
    matchTrackedPoints(points, &corner, 1);
    EXPECT_EQ(points.valid[0], 1);
    EXPECT_EQ(points.positions[0].x, 12);
    EXPECT_EQ(points.positions[0].y, 9);
}

TEST(RuinsMatching, ConfidenceArithmeticUsesFloatFactorsAndDoubleBoost)
{
    TrackedPoints points = pointsAt({{0, 0}});
    points.confidence[0] = 0.5f;
    recordMatch(points, 0, {1, 1});
    const float afterGain = float(0.5 * double(1.01f));
    EXPECT_EQ(points.confidence[0], float(double(afterGain) * 1.1));

    points.confidence[0] = 0.5f;
    recordMiss(points, 0);
    EXPECT_EQ(points.confidence[0], float(0.5 * double(0.99f)));

    // An invalid point whose gain stays below the threshold stays invalid.
    points.valid[0] = 0;
    points.confidence[0] = 0.2f;
    recordMatch(points, 0, {2, 2});
    EXPECT_EQ(points.valid[0], 0);
    points.confidence[0] = 1.0f;
    recordMatch(points, 0, {2, 2});
    EXPECT_EQ(points.confidence[0], 1.0f) << "clamped to 1";
}

TEST(RuinsFrameStep, CopiesFrameAndStopsInMatchingOrWithoutPoints)
{
    Harness h;
    h.input[5] = 7;
    h.step();
    EXPECT_EQ(h.output, h.input);
    EXPECT_EQ(h.detector.detectCalls, 0) << "idle: copy only";

    h.reconstruction.beginAutomaticSelection(0, 0);
    h.step();
    EXPECT_EQ(h.detector.detectCalls, 0) << "matching: copy only";
}

TEST(RuinsFrameStep, CollectingWithoutPointsClearsPoseFlags)
{
    Harness h;
    h.track(projectedModelPoints(ruins_test::sceneCamera()));
    h.detector.setCorners(projectedModelPoints(ruins_test::sceneCamera()));
    h.step();
    ASSERT_TRUE(h.reconstruction.poseValid());
    h.reconstruction.trackedPoints().count = 0;
    h.reconstruction.frameStep(h.input.data(), h.output.data(), &h.detector, {1, {}});
    EXPECT_FALSE(h.reconstruction.poseValid());
    EXPECT_FALSE(h.reconstruction.hasPose());
}

TEST(RuinsFrameStep, AdoptsHeldClicksFlippedAndAtMost39)
{
    Harness h;
    std::vector<PixelPosition> clicks;
    for (int i = 0; i < 45; ++i) clicks.push_back({i, 10 + i});
    h.reconstruction.frameStep(h.input.data(), h.output.data(), &h.detector, {2, clicks});
    const TrackedPoints& t = h.reconstruction.trackedPoints();
    EXPECT_EQ(t.count, 39);
    EXPECT_EQ(t.positions[0].x, 0);
    EXPECT_EQ(t.positions[0].y, kHeight - 10);
    EXPECT_EQ(t.positions[38].y, kHeight - 48);
    EXPECT_EQ(h.detector.detectCalls, 1);
    EXPECT_EQ(h.detector.lastWidth, kWidth);

    // With points in use, held clicks are not adopted again.
    const std::vector<PixelPosition> other{{300, 5}};
    h.reconstruction.frameStep(h.input.data(), h.output.data(), &h.detector, {2, other});
    EXPECT_EQ(h.reconstruction.trackedPoints().count, 39);
    EXPECT_EQ(h.reconstruction.trackedPoints().positions[0].x, 0);
}

TEST(RuinsFrameStep, BadSizesAndNullBuffersDoNothing)
{
    RuinsPoseState pose;
    RuinsReconstruction r(pose);
    ScriptedDetector detector;
    r.setImageSize(-5, 10);
    unsigned char byte = 3;
    r.frameStep(&byte, &byte, &detector, {2, {}});
    r.setImageSize(4, 4);
    r.frameStep(nullptr, &byte, &detector, {});
    EXPECT_EQ(detector.detectCalls, 0);
}

TEST(RuinsPoseUpdate, GathersOnlyValidPointsCentredInIndexOrder)
{
    Harness h;
    std::vector<CornerPoint> positions(12);
    for (int i = 0; i < 12; ++i) positions[i] = {160 + i, 120 - i};
    h.track(positions);
    TrackedPoints& t = h.reconstruction.trackedPoints();
    t.valid[1] = 0;
    t.valid[5] = 0;
    h.reconstruction.updatePose();
    ASSERT_EQ(h.reconstruction.gatheredCount(), 10);
    EXPECT_DOUBLE_EQ(h.pose.correspondenceImagePoints[0][0], 0.0);
    EXPECT_DOUBLE_EQ(h.pose.correspondenceImagePoints[0][1], 0.0) << "(w/2, h/2) is the centre";
    EXPECT_DOUBLE_EQ(h.pose.correspondenceImagePoints[1][0], 2.0) << "entry 1 is invalid";
    EXPECT_DOUBLE_EQ(h.pose.correspondenceImagePoints[1][1], -2.0);
    EXPECT_DOUBLE_EQ(h.pose.correspondenceModelPoints[1].z, modelPoint(2).z);
    EXPECT_DOUBLE_EQ(h.pose.correspondenceModelPoints[4].x, modelPoint(6).x);
}

TEST(RuinsPoseUpdate, EightValidPointsGiveNoPoseAndNineDo)
{
    const std::vector<CornerPoint> all = projectedModelPoints(ruins_test::sceneCamera());
    ASSERT_EQ(all.size(), 39u);
    for (int count : {7, 8}) {
        Harness h;
        h.track(std::vector<CornerPoint>(all.begin(), all.begin() + count));
        h.reconstruction.updatePose();
        EXPECT_FALSE(h.reconstruction.poseValid()) << count;
    }
    Harness h;
    h.track(std::vector<CornerPoint>(all.begin(), all.begin() + 9));
    h.reconstruction.updatePose();
    EXPECT_TRUE(h.reconstruction.poseValid());
    EXPECT_TRUE(h.reconstruction.hasPose());

    // 39 in use, exactly 9 valid: estimated from those 9.
    Harness nine;
    nine.track(all);
    for (int i = 9; i < 39; ++i) nine.reconstruction.trackedPoints().valid[i] = 0;
    nine.reconstruction.updatePose();
    EXPECT_EQ(nine.reconstruction.gatheredCount(), 9);
    EXPECT_TRUE(nine.reconstruction.poseValid());
    nine.reconstruction.trackedPoints().valid[8] = 0;
    nine.reconstruction.updatePose();
    EXPECT_FALSE(nine.reconstruction.poseValid());
    EXPECT_TRUE(nine.reconstruction.hasPose()) << "the last pose is kept";
}

TEST(RuinsPoseUpdate, RecoversTheCameraThatSawThePoints)
{
    const PinholeCamera camera = ruins_test::sceneCamera();
    Harness h;
    h.track(projectedModelPoints(camera));
    h.detector.setCorners(projectedModelPoints(camera));
    h.step();
    ASSERT_TRUE(h.reconstruction.poseValid());
    const double distance = std::sqrt(dot(h.pose.poseEye - camera.eye, h.pose.poseEye - camera.eye));
    EXPECT_LT(distance, 1.0) << "rounded pixel positions, eye within a model unit";
    EXPECT_NEAR(h.pose.poseFieldOfView, camera.verticalFieldOfViewDegrees(kHeight), 0.5);
    EXPECT_DOUBLE_EQ(h.pose.poseLookAt.z, 0.0);
}

namespace {

Vector3 brokenEye;
int estimateNonFinite(int, const Vector3*, const double (*)[3], double*, double*, Vector3& eye, Vector3& lookAt,
                      Vector3& up)
{
    eye = brokenEye;
    lookAt = {0, 0, 0};
    up = {0, 0, 1};
    return 1;
}
int estimateFinite(int, const Vector3*, const double (*)[3], double*, double*, Vector3& eye, Vector3& lookAt,
                   Vector3& up)
{
    eye = {1, 2, 3};
    lookAt = {0, 0, 0};
    up = {0, 0, 1};
    return 1;
}
double fieldOfViewNaN(int, const double*, const Vector3&, const Vector3&) { return std::nan(""); }
double fieldOfView40(int, const double*, const Vector3&, const Vector3&) { return 40.0; }

}  // namespace

TEST(RuinsPoseUpdate, DegenerateEstimatesAreNoPoseAndKeepTheLastOne)
{
    const std::vector<CornerPoint> all = projectedModelPoints(ruins_test::sceneCamera());
    RuinsPoseState pose;
    pose.poseEye = {7, 7, 7};
    brokenEye = {std::numeric_limits<double>::infinity(), 0, 1};
    RuinsReconstruction broken(pose, {&estimateNonFinite, &fieldOfView40});
    broken.setImageSize(kWidth, kHeight);
    broken.trackedPoints().count = 39;
    for (int i = 0; i < 39; ++i) broken.trackedPoints().positions[i] = all[i];
    broken.updatePose();
    EXPECT_FALSE(broken.poseValid());
    EXPECT_DOUBLE_EQ(pose.poseEye.x, 7.0);

    RuinsReconstruction noAngle(pose, {&estimateFinite, &fieldOfViewNaN});
    noAngle.setImageSize(kWidth, kHeight);
    noAngle.trackedPoints().count = 39;
    noAngle.updatePose();
    EXPECT_FALSE(noAngle.poseValid());
    EXPECT_DOUBLE_EQ(pose.poseEye.x, 7.0);
    EXPECT_FALSE(noAngle.preparePoseView().prepared);

    // All points on one spot: the real estimator fails cleanly.
    Harness h;
    h.track(std::vector<CornerPoint>(39, CornerPoint{100, 100}));
    h.reconstruction.updatePose();
    EXPECT_FALSE(h.reconstruction.poseValid());
}

TEST(RuinsSelection, AutomaticSelectionPutsReferencePositionsInBufferRows)
{
    Harness h;
    h.reconstruction.beginAutomaticSelection(0, 0);  // no calibration frame: 320 × 240
    const TrackedPoints& t = h.reconstruction.trackedPoints();
    EXPECT_TRUE(h.reconstruction.matchingMode());
    EXPECT_FALSE(h.reconstruction.hasPose());
    EXPECT_EQ(t.count, 39);
    EXPECT_EQ(t.positions[0].x, 41);
    EXPECT_EQ(t.positions[0].y, 105);
    EXPECT_EQ(t.positions[38].x, 175);
    EXPECT_EQ(t.positions[38].y, 240 - 106);
    EXPECT_TRUE(h.reconstruction.endMatching());
    EXPECT_FALSE(h.reconstruction.endMatching());
}

TEST(RuinsSelection, ReferencePositionsFitTheFrame)
{
    // The guide fits the calibration picture to the frame; the points follow it.
    Harness h;
    h.reconstruction.setImageSize(640, 480);
    h.reconstruction.beginAutomaticSelection(320, 240);
    EXPECT_EQ(h.reconstruction.trackedPoints().positions[0].x, 82);
    EXPECT_EQ(h.reconstruction.trackedPoints().positions[0].y, 480 - 270);

    h.reconstruction.setImageSize(160, 120);  // smaller than the table's positions
    h.reconstruction.beginAutomaticSelection(0, 0);
    for (int i = 0; i < 39; ++i) {
        const CornerPoint p = h.reconstruction.trackedPoints().positions[i];
        EXPECT_TRUE(p.x >= 0 && p.x < 160 && p.y >= 0 && p.y < 120) << i;
    }
    // A calibration picture of another size than the frame.
    h.reconstruction.setImageSize(320, 240);
    h.reconstruction.beginAutomaticSelection(640, 480);
    EXPECT_EQ(h.reconstruction.trackedPoints().positions[36].x, 114);  // 227 / 2 rounded
}

TEST(RuinsSelection, RestartMakesAllCapacityValidAndResetsDetector)
{
    Harness h;
    TrackedPoints& t = h.reconstruction.trackedPoints();
    t.count = 3;
    for (int i = 0; i < 39; ++i) {
        t.valid[i] = 0;
        t.confidence[i] = 0.1f;
    }
    h.reconstruction.restartFollowing(&h.detector);
    EXPECT_EQ(t.count, 3);
    for (int i = 0; i < 39; ++i) {
        EXPECT_EQ(t.valid[i], 1);
        EXPECT_EQ(t.confidence[i], 1.0f);
    }
    EXPECT_EQ(h.detector.resetCalls, 1);
    h.reconstruction.restartFollowing(nullptr);
}

TEST(RuinsViewPose, RotationLayoutRoundTripsThroughTheViewMatrix)
{
    const PinholeCamera camera = ruins_test::sceneCamera();
    double rotation[9];
    rotationFromViewMatrix(camera.view(), rotation);
    const ViewPose view = viewPoseFromRotation(rotation, camera.eye);
    Vector3 direction = camera.lookAt - camera.eye;
    direction.normalize();
    EXPECT_NEAR(view.lookAt.x - camera.eye.x, direction.x, 1e-12);
    EXPECT_NEAR(view.lookAt.y - camera.eye.y, direction.y, 1e-12);
    EXPECT_NEAR(view.lookAt.z - camera.eye.z, direction.z, 1e-12);
    const Matrix4 rebuilt = lookAt(view.eye, view.lookAt, view.up);
    for (int n = 0; n < 16; ++n) EXPECT_NEAR(rebuilt.data()[n], camera.view().data()[n], 1e-9) << n;
}

TEST(RuinsViewPose, NothingPreparedWithoutPoseAndMatchingPreparesFromReferences)
{
    Harness h;
    EXPECT_FALSE(h.reconstruction.preparePoseView().prepared);
    h.reconstruction.beginAutomaticSelection(0, 0);
    h.reconstruction.updatePose();  // as the left canvas does in matching mode
    EXPECT_TRUE(h.reconstruction.poseValid()) << "the reference positions give a pose";
    const PreparedView view = h.reconstruction.preparePoseView();
    EXPECT_TRUE(view.prepared);
    EXPECT_TRUE(view.drawable);
    for (int n = 0; n < 16; ++n) EXPECT_EQ(view.viewMatrix.data()[n], h.pose.viewMatrix.data()[n]);
}

TEST(RuinsViewPose, FilterIsCreatedOnceFromTheLastPoseAndPassesAConstantPose)
{
    const PinholeCamera camera = ruins_test::sceneCamera();
    Harness h;
    h.track(projectedModelPoints(camera));
    h.detector.setCorners(projectedModelPoints(camera));
    h.reconstruction.setUseKalman(true);
    h.step();
    EXPECT_FALSE(h.reconstruction.poseFilterCreated()) << "no pose existed before this update";
    h.step();
    ASSERT_TRUE(h.reconstruction.poseFilterCreated());
    KalmanFilter* filter = h.pose.poseFilter.get();

    const Vector3 eye = h.pose.poseEye;
    const Vector3 look = h.pose.poseLookAt;
    const Vector3 up = h.pose.poseUp;
    const double fov = h.pose.poseFieldOfView;
    const Matrix4 unfiltered = lookAt(eye, look, up);
    for (int frame = 0; frame < 20; ++frame) {
        const PreparedView view = h.reconstruction.preparedView();  // one filter step per frame step
        ASSERT_TRUE(view.drawable);
        EXPECT_NEAR(view.fieldOfView, fov, 1e-6);
        for (int n = 0; n < 16; ++n) ASSERT_NEAR(view.viewMatrix.data()[n], unfiltered.data()[n], 1e-6) << n;
        h.step();
    }
    EXPECT_EQ(h.pose.poseFilter.get(), filter) << "never recreated";

    // Off: bypassed, and the stored pose is the estimator's again after a step.
    h.reconstruction.setUseKalman(false);
    h.step();
    const PreparedView plain = h.reconstruction.preparedView();
    for (int n = 0; n < 16; ++n) EXPECT_NEAR(plain.viewMatrix.data()[n], lookAt(eye, look, up).data()[n], 1e-6);

    // Following started anew: the old filter's rates must not carry over.
    h.reconstruction.setUseKalman(true);
    h.reconstruction.restartFollowing(&h.detector);
    EXPECT_FALSE(h.reconstruction.poseFilterCreated());
    EXPECT_FALSE(h.pose.poseFilter);
    h.step();
    EXPECT_TRUE(h.reconstruction.poseFilterCreated()) << "created again from the last pose";
}

TEST(RuinsViewPose, FilterSmoothsAJump)
{
    const PinholeCamera camera = ruins_test::sceneCamera();
    Harness h;
    h.track(projectedModelPoints(camera));
    h.detector.setCorners(projectedModelPoints(camera));
    h.reconstruction.setUseKalman(true);
    h.step();
    h.step();
    for (int i = 0; i < 10; ++i) h.reconstruction.preparePoseView();
    const Vector3 before = h.pose.poseEye;
    h.pose.poseEye = before + Vector3(10.0, 0.0, 0.0);  // a sudden jump of the estimate
    h.reconstruction.preparePoseView();
    EXPECT_GT(h.pose.poseEye.x, before.x);
    EXPECT_LT(h.pose.poseEye.x, before.x + 10.0) << "the filtered eye lags the jump";
}

TEST(RuinsDrawingDecision, FollowsGrabberAndMatchingMode)
{
    Harness h;
    RuinsReconstruction& r = h.reconstruction;
    EXPECT_EQ(r.leftOverlay(0), LeftOverlay::Nothing);
    EXPECT_EQ(r.leftOverlay(1), LeftOverlay::PointLabels);
    EXPECT_EQ(r.leftOverlay(2), LeftOverlay::Nothing);
    EXPECT_EQ(r.rightOverlay(0), RightOverlay::AugmentedModels);
    EXPECT_EQ(r.rightOverlay(1), RightOverlay::CalibrationGuide);
    r.beginAutomaticSelection(0, 0);
    EXPECT_EQ(r.leftOverlay(0), LeftOverlay::MatchingWireframe);
    EXPECT_EQ(r.leftOverlay(1), LeftOverlay::PointLabels);
    EXPECT_EQ(r.rightOverlay(1), RightOverlay::Nothing);
}

TEST(RuinsViewPose, NonFiniteStoredPoseIsPreparedButNotDrawable)
{
    RuinsPoseState pose;
    RuinsReconstruction r(pose, {&estimateFinite, &fieldOfView40});
    r.setFollowing(Following::Nearest);  // a scripted estimate has no residuals to judge
    r.setImageSize(kWidth, kHeight);
    r.trackedPoints().count = 39;
    r.updatePose();
    ASSERT_TRUE(r.poseValid());
    EXPECT_TRUE(r.preparePoseView().drawable);
    pose.poseEye = {std::nan(""), 0, 0};
    const PreparedView view = r.preparePoseView();
    EXPECT_TRUE(view.prepared);
    EXPECT_FALSE(view.drawable);
    pose.poseEye = {1, 2, 3};
    pose.poseFieldOfView = 180.0;
    EXPECT_FALSE(r.preparePoseView().drawable);
    pose.poseFieldOfView = 40.0;
    r.setImageSize(0, 0);
    EXPECT_FALSE(r.preparePoseView().drawable) << "no aspect without a frame";
}
