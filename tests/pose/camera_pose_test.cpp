#include "pose/camera_pose.h"
#include "pose/camera_pose_internal.h"
#include "synthetic_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <cmath>
#include <limits>
#include <random>

using namespace pose_internal;

namespace {

constexpr double kPi = 3.141592653589793;

using PoseResult = PoseOutputs;

PoseResult estimate(int count, const Vector3* model, const Vector3* image)
{
    PoseResult result;
    result.status = estimateCameraPose(count, model, image, result.linear, result.refined, result.eye, result.lookAt,
                                       result.up);
    return result;
}

PoseResult estimate(const SyntheticScene& scene)
{
    return estimate(scene.count(), scene.modelPoints.data(), scene.imagePoints.data());
}

PoseResult estimateHeld(const SyntheticScene& scene, double focal)
{
    PoseResult result;
    result.status = estimateCameraPoseWithFocalLength(scene.count(), scene.modelPoints.data(), scene.imagePoints.data(),
                                                      focal, result.linear, result.refined, result.eye, result.lookAt,
                                                      result.up);
    return result;
}

Correspondences view(const SyntheticScene& scene)
{
    return {scene.count(), scene.modelPoints.data()->data(), scene.imagePoints.data()->data()};
}

std::string scientific(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3e", value);
    return buffer;
}

double distance(const Vector3& a, const Vector3& b)
{
    const Vector3 d = a - b;
    return std::sqrt(dot(d, d));
}

// The contract every successful estimate keeps, whatever the data.
void expectWellFormed(const PoseResult& result)
{
    ASSERT_EQ(result.status, 1);
    EXPECT_TRUE(result.allFinite());
    EXPECT_EQ(result.lookAt.z, 0.0);
    EXPECT_NEAR(std::sqrt(dot(result.up, result.up)), 1.0, 1e-12);
    Vector3 direction = result.lookAt - result.eye;
    direction.normalize();
    EXPECT_NEAR(dot(result.up, direction), 0.0, 1e-9);
    double u, v;
    reproject(result.refined, result.lookAt, u, v);
    EXPECT_NEAR(u, 0.0, 1e-6);
    EXPECT_NEAR(v, 0.0, 1e-6);
    // Rows 1 and 2 have the focal length as norm and are orthogonal to the view.
    const Vector3 r1(result.refined[0], result.refined[1], result.refined[2]);
    const Vector3 r2(result.refined[4], result.refined[5], result.refined[6]);
    const Vector3 d(result.refined[8], result.refined[9], result.refined[10]);
    EXPECT_NEAR(std::sqrt(dot(r1, r1)), std::sqrt(dot(r2, r2)), 1e-9 * std::sqrt(dot(r1, r1)));
    EXPECT_NEAR(dot(d, d), 1.0, 1e-12);
}

// Every model point lies in front of the reported camera, and not merely by
// rounding: by more than a millionth of the farthest point's depth.
void expectPointsInFront(const PoseResult& result, const SyntheticScene& scene)
{
    double nearest = std::numeric_limits<double>::infinity();
    double farthest = 0.0;
    for (const Vector3& p : scene.modelPoints) {
        const double* row = result.refined + 8;
        const double depth = row[0] * p.x + row[1] * p.y + row[2] * p.z + row[3];
        nearest = std::min(nearest, depth);
        farthest = std::max(farthest, depth);
    }
    EXPECT_GT(nearest, 1e-6 * farthest) << "farthest depth " << farthest;
}

// All an estimate of any input may give: nothing, or a camera of the points.
void expectCameraOrNothing(const PoseResult& result, const SyntheticScene& scene)
{
    if (result.status == 1) {
        expectWellFormed(result);
        expectPointsInFront(result, scene);
    } else {
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(result.poseUntouched());
    }
}

void expectRecovers(const PoseResult& result, const SyntheticScene& scene, double tolerance)
{
    expectWellFormed(result);
    const SyntheticCamera& truth = scene.camera;
    const double range = distance(truth.eye, truth.lookAt);
    EXPECT_LT(distance(result.eye, truth.eye) / std::sqrt(dot(truth.eye, truth.eye)), tolerance);
    EXPECT_LT(distance(result.lookAt, truth.lookAt) / range, tolerance);
    EXPECT_LT(distance(result.up, truth.up), tolerance);
    const Vector3 r1(result.refined[0], result.refined[1], result.refined[2]);
    EXPECT_NEAR(std::sqrt(dot(r1, r1)) / truth.focal, 1.0, tolerance);
}

SyntheticScene sceneFromPoints(const SyntheticCamera& camera, const std::vector<Vector3>& points)
{
    SyntheticScene scene;
    scene.camera = camera;
    for (const Vector3& p : points)
        scene.add(p);
    return scene;
}

// A camera 60 units away looking down at 40° with f = 800 and a small roll.
SyntheticCamera nominalCamera()
{
    return SyntheticCamera::make(Vector3(-30, -40, 40), Vector3(2, 1, 0), 0.2, 800);
}

std::vector<Vector3> boxPoints(std::mt19937& random, int count)
{
    std::uniform_real_distribution<double> xy(-10, 10), z(0, 8);
    std::vector<Vector3> points;
    for (int i = 0; i < count; ++i)
        points.emplace_back(xy(random), xy(random), z(random));
    return points;
}

// Twelve points on a tilted plane and one off it, with 0.5 px of noise: the
// linear stage has almost nothing to fix the depth across the plane with.
SyntheticScene planeAndOnePoint(unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<Vector3> points = boxPoints(random, 12);
    for (Vector3& p : points)
        p.z = 2 + 0.3 * p.x - 0.2 * p.y;
    points.emplace_back(1, -2, 6);
    SyntheticScene scene = sceneFromPoints(nominalCamera(), points);
    scene.addNoise(random, 0.5);
    return scene;
}

// Nine points seen from 1000 units with a 2° field of view and 0.5 px of
// noise: nearly parallel rays, along which the free search can recede for ever.
SyntheticScene farNarrowView(unsigned seed)
{
    std::mt19937 random(seed);
    const Vector3 lookAt(2, 1, 0);
    const Vector3 eye = lookAt + (1000 / std::sqrt(41.0)) * Vector3(-3, -4, 4);
    const SyntheticCamera camera = SyntheticCamera::make(eye, lookAt, 0.2, focalLengthForFieldOfView(480, 2.0));
    SyntheticScene scene = sceneFromPoints(camera, boxPoints(random, 9));
    scene.addNoise(random, 0.5);
    return scene;
}

// Twelve correspondences of which only five are distinct, with 0.5 px of noise.
SyntheticScene fiveDistinctPoints(unsigned seed)
{
    std::mt19937 random(seed);
    SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, 5));
    scene.addNoise(random, 0.5);
    for (int i = 5; i < 12; ++i) {
        scene.modelPoints.push_back(scene.modelPoints[i % 5]);
        scene.imagePoints.push_back(scene.imagePoints[i % 5]);
        scene.exactImagePoints.push_back(scene.exactImagePoints[i % 5]);
    }
    return scene;
}

// Exact points, one of them moved onto the eye with an arbitrary image point:
// with the eye there, any image fits it.
SyntheticScene pointAtTheEye(unsigned seed)
{
    std::mt19937 random(seed);
    SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, 12));
    scene.modelPoints[0] = scene.camera.eye;
    scene.imagePoints[0] = Vector3(10, -20, 0);
    return scene;
}

}  // namespace

// ---------------------------------------------------------------------------
// Linear solver

TEST(SolveLinearSystem, SolvesRegularSystem)
{
    double a[9] = {2, 1, -1, -3, -1, 2, -2, 1, 2};
    double b[3] = {8, -11, -3};
    ASSERT_EQ(solveLinearSystem(3, a, b), 1);
    EXPECT_NEAR(b[0], 2.0, 1e-12);
    EXPECT_NEAR(b[1], 3.0, 1e-12);
    EXPECT_NEAR(b[2], -1.0, 1e-12);
}

TEST(SolveLinearSystem, PivotsOnLargestScaledRatioAndKeepsFirstOnTie)
{
    // Ratios 0.5 and 1: the second row becomes the pivot row.
    double swapped[4] = {1, 2, 3, 1};
    double b1[2] = {5, 5};
    ASSERT_EQ(solveLinearSystem(2, swapped, b1), 1);
    EXPECT_EQ(swapped[0], 3.0);
    EXPECT_NEAR(b1[0], 1.0, 1e-15);
    EXPECT_NEAR(b1[1], 2.0, 1e-15);

    // Equal ratios (2/2 and 4/4): the first row stays.
    double tie[4] = {2, 1, 4, 3};
    double b2[2] = {3, 7};
    ASSERT_EQ(solveLinearSystem(2, tie, b2), 1);
    EXPECT_EQ(tie[0], 2.0);
    EXPECT_NEAR(b2[0], 1.0, 1e-15);
    EXPECT_NEAR(b2[1], 1.0, 1e-15);
}

TEST(SolveLinearSystem, ReportsSingularAndNonFiniteSystems)
{
    double zeroRow[4] = {1, 2, 0, 0};
    double b[2] = {1, 1};
    EXPECT_EQ(solveLinearSystem(2, zeroRow, b), 0);

    double dependent[4] = {1, 2, 2, 4};
    double b2[2] = {1, 2};
    EXPECT_EQ(solveLinearSystem(2, dependent, b2), 0);

    double tinyPivot[4] = {1e-11, 0, 0, 1};
    double b3[2] = {1, 1};
    EXPECT_EQ(solveLinearSystem(2, tinyPivot, b3), 0);

    double withNaN[4] = {1, std::nan(""), 0, 1};
    double b4[2] = {1, 1};
    EXPECT_EQ(solveLinearSystem(2, withNaN, b4), 0);

    double scalar[1] = {4};
    double b5[1] = {2};
    EXPECT_EQ(solveLinearSystem(1, scalar, b5), 1);
    EXPECT_EQ(b5[0], 0.5);
    EXPECT_EQ(solveLinearSystem(0, scalar, b5), 0);
}

// ---------------------------------------------------------------------------
// Stages

TEST(LinearProjection, IsExactForExactDataAndNormalised)
{
    std::mt19937 random(7);
    const SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, 12));
    double projection[12];
    ASSERT_EQ(computeLinearProjection(view(scene), projection), 1);

    EXPECT_NEAR(projection[8] * projection[8] + projection[9] * projection[9] + projection[10] * projection[10], 1.0,
                1e-12);
    EXPECT_LT(scene.rmsError(projection, scene.imagePoints), 1e-8);

    // The centroid sits at negative projective depth after the sign flip.
    Vector3 centroid;
    for (const Vector3& p : scene.modelPoints)
        centroid = centroid + (1.0 / scene.count()) * p;
    EXPECT_LT(projection[8] * centroid.x + projection[9] * centroid.y + projection[10] * centroid.z + projection[11],
              0.0);

    double eye[3];
    ASSERT_EQ(cameraCentre(projection, eye), 1);
    EXPECT_LT(distance(Vector3(eye[0], eye[1], eye[2]), scene.camera.eye), 1e-7);

    double x, y;
    ASSERT_EQ(backProjectToGround(projection, 0.0, 0.0, x, y), 1);
    EXPECT_NEAR(x, scene.camera.lookAt.x, 1e-7);
    EXPECT_NEAR(y, scene.camera.lookAt.y, 1e-7);
}

TEST(LinearProjection, FailsWhenAllPointsLieOnTheGround)
{
    std::mt19937 random(3);
    std::vector<Vector3> points = boxPoints(random, 20);
    for (Vector3& p : points)
        p.z = 0.0;
    const SyntheticScene scene = sceneFromPoints(nominalCamera(), points);
    double projection[12];
    EXPECT_EQ(computeLinearProjection(view(scene), projection), 0);
}

TEST(PoseCost, VanishesAtTruthAndGrowsAway)
{
    std::mt19937 random(11);
    const SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, 15));
    const SyntheticCamera& truth = scene.camera;
    EXPECT_LT(poseCost(truth.eye.data(), truth.lookAt.data(), view(scene)), 1e-16);

    const PoseFit fit = fitPose(truth.eye.data(), truth.lookAt.data(), view(scene));
    EXPECT_TRUE(fit.solved);
    EXPECT_NEAR(fit.m, truth.focal * truth.right.x, 1e-8);
    EXPECT_NEAR(fit.l, truth.focal * truth.right.y, 1e-8);

    Vector3 moved = truth.eye;
    moved.x += 0.5;
    EXPECT_GT(poseCost(moved.data(), truth.lookAt.data(), view(scene)), 1.0);
}

TEST(PoseCost, IsNotFiniteForDegenerateViews)
{
    std::mt19937 random(12);
    const SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, 10));
    // Looking parallel to the ground: dz = 0.
    const double levelEye[3] = {0, -50, 0};
    const double ahead[3] = {0, 0, 0};
    EXPECT_FALSE(std::isfinite(poseCost(levelEye, ahead, view(scene))));

    // An eye on top of a model point: that point has zero depth.
    const Vector3& point = scene.modelPoints[3];
    EXPECT_FALSE(std::isfinite(poseCost(point.data(), scene.camera.lookAt.data(), view(scene))));

    double projection[12] = {};
    double up[3] = {};
    EXPECT_EQ(composeProjection(levelEye, ahead, view(scene), projection, up), 0);
    EXPECT_EQ(composeProjection(point.data(), scene.camera.lookAt.data(), view(scene), projection, up), 0);
}

TEST(PoseCostDerivatives, MatchIndependentDifferencesAndAreSymmetric)
{
    std::mt19937 random(5);
    const SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, 20));
    const Correspondences c = view(scene);
    const SyntheticCamera& truth = scene.camera;
    // Close to the optimum the cost is small, so the rounding that the tiny
    // step of the second differences amplifies stays small too.
    const double p[5] = {truth.eye.x + 0.03, truth.eye.y - 0.02, truth.eye.z + 0.04, truth.lookAt.x - 0.01,
                         truth.lookAt.y + 0.02};
    const auto cost = [&](const double* q) {
        const double eye[3] = {q[0], q[1], q[2]};
        const double look[3] = {q[3], q[4], 0.0};
        return poseCost(eye, look, c);
    };
    double alpha[25], beta[5];
    const double eye[3] = {p[0], p[1], p[2]};
    const double look[3] = {p[3], p[4], 0.0};
    poseCostDerivatives(p, fitPose(eye, look, c), c, alpha, beta);

    const double h = 1e-4;
    for (int k = 0; k < 5; ++k) {
        double plus[5], minus[5];
        std::copy(p, p + 5, plus);
        std::copy(p, p + 5, minus);
        plus[k] += h;
        minus[k] -= h;
        const double gradient = (cost(plus) - cost(minus)) / (2 * h);
        EXPECT_NEAR(beta[k], gradient, 1e-3 * std::fabs(gradient) + 1e-3);
        const double curvature = (cost(plus) + cost(minus) - 2 * cost(p)) / (h * h);
        EXPECT_NEAR(alpha[k * 5 + k], curvature, 2e-2 * std::fabs(curvature) + 0.5);
        for (int j = 0; j < 5; ++j)
            EXPECT_EQ(alpha[j * 5 + k], alpha[k * 5 + j]);
    }
}

TEST(RefinePoseStep, InitialisesAndNeverAcceptsAHigherCost)
{
    std::mt19937 random(9);
    const SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, 20));
    const SyntheticCamera& truth = scene.camera;
    RefinementState state;
    const double start[5] = {truth.eye.x + 2, truth.eye.y - 1, truth.eye.z + 3, truth.lookAt.x + 1, truth.lookAt.y};
    std::copy(start, start + 5, state.parameters);
    state.lambda = -2.0;
    const double startCost = poseCost(Vector3(start[0], start[1], start[2]).data(),
                                      Vector3(start[3], start[4], 0).data(), view(scene));

    double cost = refinePoseStep(state, view(scene));
    EXPECT_TRUE(state.lambda == 1e-4 * 0.1 || state.lambda == 1e-4 * 10.0);
    EXPECT_LE(cost, startCost);
    for (int i = 0; i < 200 && state.lambda < 1e20 && state.lambda > 1e-20; ++i) {
        const double previousLambda = state.lambda;
        const double next = refinePoseStep(state, view(scene));
        EXPECT_LE(next, cost);
        const double factor = state.lambda / previousLambda;
        EXPECT_TRUE(std::fabs(factor - 0.1) < 1e-9 || std::fabs(factor - 10.0) < 1e-9) << factor;
        if (factor > 1.0) {
            EXPECT_EQ(next, cost);  // a rejected step reports the accepted cost
        }
        cost = next;
    }
    EXPECT_LT(cost, 1e-12);
    EXPECT_LT(distance(Vector3(state.parameters[0], state.parameters[1], state.parameters[2]), truth.eye), 1e-6);
}

// ---------------------------------------------------------------------------
// Whole estimation on exact data

class ExactRecovery : public ::testing::TestWithParam<int> {};

TEST_P(ExactRecovery, RecoversTheGeneratingCamera)
{
    std::mt19937 random(100 + GetParam());
    const SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, GetParam()));
    const PoseResult result = estimate(scene);
    expectRecovers(result, scene, 1e-6);
    EXPECT_LT(scene.rmsError(result.refined, scene.imagePoints), 1e-6);
    EXPECT_LT(scene.rmsError(result.linear, scene.imagePoints), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(PointCounts, ExactRecovery, ::testing::Values(6, 7, 9, 20, 39, 100));

TEST(EstimateCameraPose, RandomCamerasAreRecoveredFromExactData)
{
    std::mt19937 random(2024);
    std::uniform_int_distribution<int> counts(9, 100);
    double worstEye = 0.0;
    double worstRms = 0.0;
    for (int trial = 0; trial < 200; ++trial) {
        const SyntheticScene scene = randomScene(random, counts(random));
        const PoseResult result = estimate(scene);
        SCOPED_TRACE(::testing::Message() << "trial " << trial << " n " << scene.count());
        expectRecovers(result, scene, 1e-6);
        worstEye = std::max(worstEye, distance(result.eye, scene.camera.eye) / std::sqrt(dot(scene.camera.eye, scene.camera.eye)));
        worstRms = std::max(worstRms, scene.rmsError(result.refined, scene.imagePoints));
    }
    EXPECT_LT(worstRms, 1e-6);
    RecordProperty("worst_relative_eye_error", scientific(worstEye));
    RecordProperty("worst_rms_pixels", scientific(worstRms));
}

TEST(EstimateCameraPose, NoisyImagePointsGiveErrorsAtTheNoiseLevel)
{
    std::mt19937 random(77);
    std::uniform_int_distribution<int> counts(9, 100);
    constexpr double kSigma = 0.5;
    double sumResidual = 0.0, sumTruthError = 0.0, worstResidual = 0.0, sumEyeError = 0.0;
    constexpr int kTrials = 200;
    for (int trial = 0; trial < kTrials; ++trial) {
        SyntheticScene scene = randomScene(random, counts(random));
        scene.addNoise(random, kSigma);
        const PoseResult result = estimate(scene);
        SCOPED_TRACE(::testing::Message() << "trial " << trial << " n " << scene.count());
        expectWellFormed(result);
        if (result.status != 1)
            continue;
        // The residual of a least-squares fit stays below the noise; the
        // error against the noise-free points stays well within it.
        const double residual = scene.rmsError(result.refined, scene.imagePoints);
        const double truthError = scene.rmsError(result.refined, scene.exactImagePoints);
        EXPECT_LT(residual, 0.8);
        EXPECT_LT(truthError, 0.5);
        // The search finds a fit at least as good as the generating camera.
        double truthProjection[12];
        scene.camera.projection(truthProjection);
        EXPECT_LE(residual, scene.rmsError(truthProjection, scene.imagePoints) * (1 + 1e-6));
        sumResidual += residual;
        sumTruthError += truthError;
        sumEyeError += distance(result.eye, scene.camera.eye) / distance(scene.camera.eye, scene.camera.lookAt);
        worstResidual = std::max(worstResidual, residual);
    }
    EXPECT_NEAR(sumResidual / kTrials, kSigma, 0.1);
    RecordProperty("mean_rms_residual", scientific(sumResidual / kTrials));
    RecordProperty("worst_rms_residual", scientific(worstResidual));
    RecordProperty("mean_rms_error_vs_truth", scientific(sumTruthError / kTrials));
    RecordProperty("mean_eye_error_over_range", scientific(sumEyeError / kTrials));
}

// ---------------------------------------------------------------------------
// Failures and degenerate input

TEST(EstimateCameraPose, AllPointsOnTheGroundFailWithoutWritingAnything)
{
    std::mt19937 random(21);
    std::vector<Vector3> points = boxPoints(random, 39);
    for (Vector3& p : points)
        p.z = 0.0;
    const PoseResult result = estimate(sceneFromPoints(nominalCamera(), points));
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.linearUntouched());
    EXPECT_TRUE(result.poseUntouched());
}

TEST(EstimateCameraPose, FewerThanSixPointsFailWithoutWritingAnything)
{
    std::mt19937 random(22);
    const SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, 5));
    for (int count : {-1, 0, 1, 5}) {
        const PoseResult result = estimate(count, scene.modelPoints.data(), scene.imagePoints.data());
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(result.linearUntouched());
        EXPECT_TRUE(result.poseUntouched());
    }
    const PoseResult nulls = estimate(5, nullptr, nullptr);
    EXPECT_EQ(nulls.status, 0);
}

TEST(EstimateCameraPose, NonFiniteInputFailsWithoutWritingAnything)
{
    std::mt19937 random(23);
    const SyntheticScene clean = sceneFromPoints(nominalCamera(), boxPoints(random, 12));
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (double value : bad) {
        for (int field = 0; field < 5; ++field) {
            SyntheticScene scene = clean;
            if (field < 3)
                scene.modelPoints[4][field] = value;
            else
                scene.imagePoints[4][field - 3] = value;
            const PoseResult result = estimate(scene);
            EXPECT_EQ(result.status, 0);
            EXPECT_TRUE(result.linearUntouched());
            EXPECT_TRUE(result.poseUntouched());
        }
    }
    // The third value of an image record is never read.
    SyntheticScene ignored = clean;
    ignored.imagePoints[2].z = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(estimate(ignored).status, 1);
}

TEST(EstimateCameraPose, ViewParallelToTheGroundFailsAndKeepsThePose)
{
    // Level camera: the ray through the image centre never meets z = 0.
    const SyntheticCamera level = SyntheticCamera::make(Vector3(0, -60, 4), Vector3(0, 0, 4), 0.0, 700);
    std::mt19937 random(24);
    const SyntheticScene scene = sceneFromPoints(level, boxPoints(random, 20));
    const PoseResult result = estimate(scene);
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(result.linearUntouched());
    EXPECT_TRUE(result.poseUntouched());
}

TEST(EstimateCameraPose, DegenerateConfigurationsFailCleanly)
{
    const SyntheticCamera camera = nominalCamera();
    std::mt19937 random(25);

    std::vector<Vector3> collinear;
    for (int i = 0; i < 12; ++i)
        collinear.emplace_back(-5 + i, 2 - 0.5 * i, 0.3 * i);
    std::vector<Vector3> duplicates(12, Vector3(1, 2, 3));
    std::vector<Vector3> twoPoints;
    for (int i = 0; i < 12; ++i)
        twoPoints.push_back(i % 2 ? Vector3(1, 2, 3) : Vector3(-2, 0, 5));
    // All image points at the centre: no focal length can be fitted.
    SyntheticScene centred = sceneFromPoints(camera, boxPoints(random, 12));
    for (Vector3& p : centred.imagePoints)
        p = Vector3(0, 0, 0);
    std::vector<Vector3> ground = boxPoints(random, 12);
    for (Vector3& p : ground)
        p.z = 0.0;

    // The free estimate refuses each; knowing the focal length, a plane of
    // points (or five distinct ones) still fixes the camera.
    struct Degenerate {
        const char* name;
        SyntheticScene scene;
        bool heldFindsTheCamera;
    };
    const Degenerate cases[] = {
        {"collinear", sceneFromPoints(camera, collinear), false},
        {"one point twelve times", sceneFromPoints(camera, duplicates), false},
        {"two points", sceneFromPoints(camera, twoPoints), false},
        {"every image point at the centre", centred, false},
        {"all on the ground", sceneFromPoints(camera, ground), true},
        {"tilted plane and one point off it", planeAndOnePoint(1), true},
        {"far narrow view", farNarrowView(19), true},
        {"five distinct points among twelve", fiveDistinctPoints(61), true},
        {"a point at the eye", pointAtTheEye(0), false},
    };
    for (const Degenerate& c : cases) {
        SCOPED_TRACE(c.name);
        const PoseResult free = estimate(c.scene);
        EXPECT_EQ(free.status, 0);
        EXPECT_TRUE(free.poseUntouched());

        const PoseResult held = estimateHeld(c.scene, c.scene.camera.focal);
        expectCameraOrNothing(held, c.scene);
        if (c.heldFindsTheCamera) {
            EXPECT_EQ(held.status, 1);
            if (held.status == 1) {
                EXPECT_LT(c.scene.rmsError(held.refined, c.scene.exactImagePoints), 1.0);
            }
        }
    }
}

TEST(EstimateCameraPose, HostileInputNeverReportsANonFinitePose)
{
    std::mt19937 random(26);
    std::uniform_real_distribution<double> any(-1000, 1000);
    const SyntheticCamera camera = nominalCamera();
    int successes = 0;
    for (int trial = 0; trial < 60; ++trial) {
        SyntheticScene scene = sceneFromPoints(camera, boxPoints(random, 6 + trial % 20));
        switch (trial % 6) {
        case 0:  // random image points
            for (Vector3& p : scene.imagePoints)
                p = Vector3(any(random), any(random), 0);
            break;
        case 1:  // coplanar points on a tilted plane
            for (int i = 0; i < scene.count(); ++i) {
                Vector3& p = scene.modelPoints[i];
                p.z = 2 + 0.3 * p.x - 0.2 * p.y;
                camera.project(p, scene.imagePoints[i].x, scene.imagePoints[i].y);
            }
            break;
        case 2:  // points behind the camera
            for (int i = 0; i < scene.count(); i += 2) {
                Vector3& p = scene.modelPoints[i];
                p = scene.camera.eye + (-1.0) * (p - scene.camera.eye);
                camera.project(p, scene.imagePoints[i].x, scene.imagePoints[i].y);
            }
            break;
        case 3:  // huge coordinates
            for (Vector3& p : scene.modelPoints)
                p = 1e150 * p;
            break;
        case 4:  // tiny coordinates
            for (Vector3& p : scene.modelPoints)
                p = 1e-150 * p;
            break;
        case 5:  // one model point on the eye (zero depth) with an arbitrary image point
            scene.modelPoints[0] = camera.eye;
            scene.imagePoints[0] = Vector3(10, -20, 0);
            break;
        }
        for (const PoseResult& result : {estimate(scene), estimateHeld(scene, camera.focal)}) {
            SCOPED_TRACE(::testing::Message() << "trial " << trial);
            successes += result.status == 1;
            expectCameraOrNothing(result, scene);
        }
    }
    RecordProperty("hostile_successes", successes);
}

// ---------------------------------------------------------------------------
// Field of view

TEST(VerticalFieldOfView, IsTheAngleTheImageHeightSubtends)
{
    const double expected = 2.0 * std::atan(120.0 / 400.0) * 180.0 / kPi;
    EXPECT_NEAR(expected, 33.3985, 1e-4);
    for (double elevationDegrees : {85.0, 60.0, 30.0, 16.0, 10.0, 3.0}) {
        for (double roll : {0.0, 0.4}) {
            const double elevation = elevationDegrees * kPi / 180.0;
            const Vector3 eye(0, -50 * std::cos(elevation), 50 * std::sin(elevation));
            const SyntheticCamera camera = SyntheticCamera::make(eye, Vector3(0, 0, 0), roll, 400);
            double projection[12];
            camera.projection(projection);
            SCOPED_TRACE(::testing::Message() << "elevation " << elevationDegrees << " roll " << roll);
            // Below 16.7° the top edge of a 240-pixel image looks above the horizon.
            EXPECT_NEAR(verticalFieldOfView(240, projection, camera.eye, camera.lookAt), expected, 1e-9);
        }
    }
}

TEST(VerticalFieldOfView, FollowsAnEstimatedPose)
{
    std::mt19937 random(31);
    const SyntheticScene scene = sceneFromPoints(nominalCamera(), boxPoints(random, 39));
    const PoseResult result = estimate(scene);
    ASSERT_EQ(result.status, 1);
    const double expected = 2.0 * std::atan(240.0 / 800.0) * 180.0 / kPi;
    EXPECT_NEAR(verticalFieldOfView(480, result.refined, result.eye, result.lookAt), expected, 1e-6);
}

TEST(VerticalFieldOfView, EdgeRayAlongTheHorizonStillGivesTheAngle)
{
    // Top edge ray exactly level: its back-projection to the ground is singular.
    const double halfAngle = std::atan(120.0 / 400.0);
    const Vector3 eye(0, -50 * std::cos(halfAngle), 50 * std::sin(halfAngle));
    const SyntheticCamera camera = SyntheticCamera::make(eye, Vector3(0, 0, 0), 0.0, 400);
    double projection[12];
    camera.projection(projection);
    const double degrees = verticalFieldOfView(240, projection, camera.eye, camera.lookAt);
    EXPECT_NEAR(degrees, 2.0 * halfAngle * 180.0 / kPi, 1e-6);
}
