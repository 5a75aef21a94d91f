#include "pose/matrix4.h"
#include "pose/pose_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace {

constexpr double kPi = 3.141592653589793;

::testing::AssertionResult isOrthonormal(const double* r, double tolerance)
{
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const double product = r[3 * i] * r[3 * j] + r[3 * i + 1] * r[3 * j + 1] + r[3 * i + 2] * r[3 * j + 2];
            if (std::fabs(product - (i == j ? 1.0 : 0.0)) > tolerance)
                return ::testing::AssertionFailure() << "rows " << i << "," << j << " give " << product;
        }
    }
    const double determinant = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                               r[2] * (r[3] * r[7] - r[4] * r[6]);
    if (std::fabs(determinant - 1.0) > tolerance)
        return ::testing::AssertionFailure() << "determinant " << determinant;
    return ::testing::AssertionSuccess();
}

double maxDifference(const double* a, const double* b, int count)
{
    double worst = 0.0;
    for (int i = 0; i < count; ++i)
        worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

// The pose as the reconstructor hands it over: the upper-left 3 × 3 of a
// look-at matrix, in storage order.
void rotationOfView(const Vector3& eye, const Vector3& centre, const Vector3& up, double* rotation)
{
    const Matrix4 view = lookAt(eye, centre, up);
    const int entries[9] = {0, 1, 2, 4, 5, 6, 8, 9, 10};
    for (int i = 0; i < 9; ++i)
        rotation[i] = view.data()[entries[i]];
}

float largestRate(const KalmanFilter& filter)
{
    float worst = 0.0f;
    for (int i = 7; i < 14; ++i)
        worst = std::max(worst, std::fabs(filter.statePost[i]));
    return worst;
}

}  // namespace

TEST(EulerAngles, IdentityAndKnownAngles)
{
    double r[9];
    rotationFromEuler(0, 0, 0, r);
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(maxDifference(r, identity, 9), 0.0);

    rotationFromEuler(0.1, 0.2, 0.3, r);
    double roll, pitch, yaw;
    eulerFromRotation(r, roll, pitch, yaw);
    EXPECT_NEAR(roll, 0.1, 1e-15);
    EXPECT_NEAR(pitch, 0.2, 1e-15);
    EXPECT_NEAR(yaw, 0.3, 1e-15);

    // R = Rz(yaw)·Ry(pitch)·Rx(roll): a pure yaw turns x towards y.
    rotationFromEuler(0, 0, kPi / 2, r);
    EXPECT_NEAR(r[3], 1.0, 1e-15);
    EXPECT_NEAR(r[1], -1.0, 1e-15);
}

TEST(EulerAngles, RandomRoundTripsAreOrthonormalAndExact)
{
    std::mt19937 random(13);
    std::uniform_real_distribution<double> full(-kPi + 1e-9, kPi - 1e-9);
    std::uniform_real_distribution<double> half(-kPi / 2 + 1e-6, kPi / 2 - 1e-6);
    for (int trial = 0; trial < 1000; ++trial) {
        const double angles[3] = {full(random), half(random), full(random)};
        double r[9];
        rotationFromEuler(angles[0], angles[1], angles[2], r);
        ASSERT_TRUE(isOrthonormal(r, 1e-14));
        double back[3];
        eulerFromRotation(r, back[0], back[1], back[2]);
        EXPECT_LT(maxDifference(angles, back, 3), 1e-9) << trial;
        double again[9];
        rotationFromEuler(back[0], back[1], back[2], again);
        EXPECT_LT(maxDifference(r, again, 9), 1e-14);
    }
}

TEST(PoseFilter, ConstantPoseComesBackUnchangedWithZeroRates)
{
    double rotation0[9];
    rotationOfView(Vector3(-30, -40, 40), Vector3(2, 1, 0), Vector3(0.1, 0.2, 1), rotation0);
    const double eye0[3] = {-30, -40, 40};
    const double fieldOfView0 = 33.4;
    auto filter = createPoseFilter(0.5, 0.5, 1.0, rotation0, eye0, fieldOfView0);
    ASSERT_TRUE(filter);

    for (int call = 0; call < 500; ++call) {
        double rotation[9];
        std::copy(rotation0, rotation0 + 9, rotation);
        double eye[3] = {eye0[0], eye0[1], eye0[2]};
        double fieldOfView = fieldOfView0;
        ASSERT_EQ(filterPose(1.0, 0.1, 50.0, rotation, eye, fieldOfView, 1.0, filter.get()), 1);
        ASSERT_LT(maxDifference(rotation, rotation0, 9), 1e-6) << call;
        ASSERT_LT(maxDifference(eye, eye0, 3), 1e-4) << call;
        ASSERT_NEAR(fieldOfView, fieldOfView0, 1e-4) << call;
        ASSERT_LT(largestRate(*filter), 1e-5f) << call;
    }
}

TEST(PoseFilter, ConstantEyeIsReachedAndItsRateSettles)
{
    double rotation0[9];
    rotationFromEuler(0.3, -0.2, 1.0, rotation0);
    const double start[3] = {0, 0, 0};
    auto filter = createPoseFilter(0.5, 0.5, 1.0, rotation0, start, 40.0);
    ASSERT_TRUE(filter);
    const double target[3] = {12, -7, 30};
    double eye[3];
    for (int call = 0; call < 300; ++call) {
        double rotation[9];
        std::copy(rotation0, rotation0 + 9, rotation);
        std::copy(target, target + 3, eye);
        double fieldOfView = 40.0;
        filterPose(1.0, 0.1, 50.0, rotation, eye, fieldOfView, 1.0, filter.get());
    }
    EXPECT_LT(maxDifference(eye, target, 3), 1e-3);
    EXPECT_LT(largestRate(*filter), 1e-3f);
}

TEST(PoseFilter, FollowsAYawThatCrossesTheHalfTurn)
{
    // Yaw runs from 3.0 through π to −3.0; the Euler angle jumps by 2π there,
    // the rotation does not.
    double rotation0[9];
    rotationFromEuler(0.2, 0.1, 3.0, rotation0);
    const double eye0[3] = {1, 2, 30};
    auto filter = createPoseFilter(0.5, 0.5, 1.0, rotation0, eye0, 30.0);
    ASSERT_TRUE(filter);
    double worst = 0.0;
    for (int call = 0; call <= 60; ++call) {
        double yaw = 3.0 + 0.005 * call;
        if (yaw > kPi)
            yaw -= 2 * kPi;
        double measured[9];
        rotationFromEuler(0.2, 0.1, yaw, measured);
        double rotation[9];
        std::copy(measured, measured + 9, rotation);
        double eye[3] = {eye0[0], eye0[1], eye0[2]};
        double fieldOfView = 30.0;
        filterPose(1.0, 0.1, 50.0, rotation, eye, fieldOfView, 1.0, filter.get());
        ASSERT_TRUE(isOrthonormal(rotation, 1e-6));
        worst = std::max(worst, maxDifference(rotation, measured, 9));
    }
    EXPECT_LT(worst, 0.02);
}

TEST(PoseFilter, AFilterThatTrustsItsInputReturnsTheInputRotation)
{
    // Measurement noise far below the rate noise: the gain is one, so whatever
    // the filter makes of the change of orientation must give the input back.
    // Changes in all three angles at once from a tilted start are where a change
    // measured one way and applied another goes wrong.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> step(-0.05, 0.05);
    for (const double startPitch : {-1.2, -0.4, 0.0, 0.6, 1.3}) {
        double angles[3] = {0.7, startPitch, -2.5};
        double rotation0[9];
        rotationFromEuler(angles[0], angles[1], angles[2], rotation0);
        const double eye0[3] = {10, -20, 30};
        auto filter = createPoseFilter(1e-4, 1e-4, 1e-4, rotation0, eye0, 30.0);
        ASSERT_TRUE(filter);
        double worst = 0.0;
        for (int call = 0; call < 200; ++call) {
            for (double& angle : angles) angle += step(random);
            angles[1] = std::clamp(angles[1], -1.4, 1.4);
            double measured[9];
            rotationFromEuler(angles[0], angles[1], angles[2], measured);
            double rotation[9];
            std::copy(measured, measured + 9, rotation);
            double eye[3] = {eye0[0], eye0[1], eye0[2]};
            double fieldOfView = 30.0;
            filterPose(1e4, 1e4, 1e4, rotation, eye, fieldOfView, 1.0, filter.get());
            ASSERT_TRUE(isOrthonormal(rotation, 1e-6));
            worst = std::max(worst, maxDifference(rotation, measured, 9));
        }
        EXPECT_LT(worst, 1e-3) << "start pitch " << startPitch;
    }
}

TEST(PoseFilter, NonFiniteOrHugeMeasurementsNeverYieldANonFinitePose)
{
    double rotation0[9];
    rotationFromEuler(-0.4, 0.3, 0.2, rotation0);
    const double eye0[3] = {5, 6, 20};
    auto filter = createPoseFilter(0.5, 0.5, 1.0, rotation0, eye0, 35.0);
    ASSERT_TRUE(filter);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    for (int call = 0; call < 40; ++call) {
        double rotation[9];
        std::copy(rotation0, rotation0 + 9, rotation);
        double eye[3] = {eye0[0], eye0[1], eye0[2]};
        double fieldOfView = 35.0;
        double timeStep = 1.0;
        switch (call % 8) {
        case 0: eye[1] = nan; break;
        case 1: rotation[4] = inf; break;
        case 2: fieldOfView = 1e300; break;
        case 3: eye[0] = 3e38; break;  // finite in float, overflows the update
        case 4: timeStep = nan; break;
        case 5: eye[2] = nan; timeStep = nan; break;  // nothing usable at all
        case 6: timeStep = 0.0; break;
        case 7: timeStep = -1.0; break;  // would subtract process noise
        }
        // A time step that is not finite and positive is refused, touching nothing.
        if (!(timeStep > 0.0)) {
            const KalmanFilter before = *filter;
            const double eyeBefore = eye[0];
            EXPECT_EQ(filterPose(1.0, 0.1, 50.0, rotation, eye, fieldOfView, timeStep, filter.get()), 0) << call;
            EXPECT_EQ(filter->statePost, before.statePost) << call;
            EXPECT_EQ(filter->errorCovPost, before.errorCovPost) << call;
            EXPECT_EQ(eye[0], eyeBefore) << call;
            EXPECT_EQ(fieldOfView, 35.0) << call;
            continue;
        }
        ASSERT_EQ(filterPose(1.0, 0.1, 50.0, rotation, eye, fieldOfView, timeStep, filter.get()), 1);
        for (double value : rotation)
            ASSERT_TRUE(std::isfinite(value)) << call;
        for (double value : eye)
            ASSERT_TRUE(std::isfinite(value)) << call;
        ASSERT_TRUE(std::isfinite(fieldOfView)) << call;
        ASSERT_TRUE(isOrthonormal(rotation, 1e-6));
    }

    // After the bad frames a good one is still followed.
    double rotation[9];
    std::copy(rotation0, rotation0 + 9, rotation);
    double eye[3] = {eye0[0], eye0[1], eye0[2]};
    double fieldOfView = 35.0;
    for (int call = 0; call < 300; ++call) {
        std::copy(rotation0, rotation0 + 9, rotation);
        std::copy(eye0, eye0 + 3, eye);
        fieldOfView = 35.0;
        filterPose(1.0, 0.1, 50.0, rotation, eye, fieldOfView, 1.0, filter.get());
    }
    EXPECT_LT(maxDifference(eye, eye0, 3), 0.1);
    EXPECT_NEAR(fieldOfView, 35.0, 0.1);
}

TEST(PoseFilter, RejectsNonFiniteCreationAndNullArguments)
{
    double rotation[9];
    rotationFromEuler(0, 0, 0, rotation);
    const double eye[3] = {0, 0, 1};
    EXPECT_FALSE(createPoseFilter(0.5, 0.5, 1.0, rotation, eye, std::nan("")));
    EXPECT_FALSE(createPoseFilter(0.5, 0.5, 1.0, nullptr, eye, 30));
    double eyeCopy[3] = {0, 0, 1};
    double fieldOfView = 30;
    EXPECT_EQ(filterPose(1, 0.1, 50, rotation, eyeCopy, fieldOfView, 1, nullptr), 0);
    auto generic = createKalmanFilter(3, 2);
    EXPECT_EQ(filterPose(1, 0.1, 50, rotation, eyeCopy, fieldOfView, 1, generic.get()), 0);
}

TEST(PoseFilter, CreationSetsTheConstantRateModel)
{
    double rotation[9];
    rotationFromEuler(0.1, 0.2, 0.3, rotation);
    const double eye[3] = {1, 2, 3};
    auto filter = createPoseFilter(0.5, 0.25, 1.0, rotation, eye, 30);
    ASSERT_TRUE(filter);
    EXPECT_EQ(filter->stateSize, 14);
    EXPECT_EQ(filter->measurementSize, 7);
    EXPECT_FLOAT_EQ(filter->statePost[0], 0.1f);
    EXPECT_FLOAT_EQ(filter->statePost[2], 0.3f);
    EXPECT_EQ(filter->statePost[5], 3.0f);
    EXPECT_EQ(filter->statePost[6], 30.0f);
    EXPECT_EQ(filter->transition[0 * 14 + 7], 1.0f);
    EXPECT_EQ(filter->transition[6 * 14 + 13], 1.0f);
    EXPECT_EQ(filter->measurementNoise[0], 0.25f);
    EXPECT_EQ(filter->measurementNoise[3 * 7 + 3], 0.5f);
    EXPECT_EQ(filter->measurementNoise[6 * 7 + 6], 1.0f);
    EXPECT_EQ(filter->processNoise[6 * 14 + 6], 0.0f);
    EXPECT_EQ(filter->processNoise[13 * 14 + 13], 1.0f);
    EXPECT_EQ(filter->errorCovPost[5 * 14 + 5], 100000.0f);

    double filtered[9];
    std::copy(rotation, rotation + 9, filtered);
    double eyeIn[3] = {1, 2, 3};
    double fieldOfView = 30;
    filterPose(1.0, 0.1, 50.0, filtered, eyeIn, fieldOfView, 2.0, filter.get());
    EXPECT_EQ(filter->processNoise[7 * 14 + 7], 0.2f);
    EXPECT_EQ(filter->processNoise[10 * 14 + 10], 2.0f);
    EXPECT_EQ(filter->processNoise[13 * 14 + 13], 100.0f);
    EXPECT_EQ(filter->transition[3 * 14 + 10], 2.0f);
}
