#include "pose/camera_pose.h"
#include "synthetic_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kImageHeight = 480;

using Outputs = PoseOutputs;

Outputs estimateHeld(const SyntheticScene& scene, double focal)
{
    Outputs out;
    out.status = estimateCameraPoseWithFocalLength(scene.count(), scene.modelPoints.data(), scene.imagePoints.data(),
                                                   focal, out.linear, out.refined, out.eye, out.lookAt, out.up);
    return out;
}

Outputs estimateFree(const SyntheticScene& scene)
{
    Outputs out;
    out.status = estimateCameraPose(scene.count(), scene.modelPoints.data(), scene.imagePoints.data(), out.linear,
                                    out.refined, out.eye, out.lookAt, out.up);
    return out;
}

Vector3 row(const double* matrix, int r) { return {matrix[4 * r], matrix[4 * r + 1], matrix[4 * r + 2]}; }

double length(const Vector3& v) { return std::sqrt(dot(v, v)); }

double distance(const Vector3& a, const Vector3& b) { return length(a - b); }

// v turned by |turn| radians about turn's direction.
Vector3 rotated(const Vector3& v, const Vector3& turn)
{
    const double angle = length(turn);
    if (angle == 0.0)
        return v;
    const Vector3 axis = (1.0 / angle) * turn;
    return std::cos(angle) * v + std::sin(angle) * cross(axis, v) + ((1.0 - std::cos(angle)) * dot(axis, v)) * axis;
}

// RMS residual of the rigid camera `projection`, centred at eye, after moving
// its centre by shift and turning it about the centre by the rotation vector turn.
double perturbedRms(const SyntheticScene& scene, const double* projection, const Vector3& eye, const Vector3& shift,
                    const Vector3& turn)
{
    double moved[12];
    for (int r = 0; r < 3; ++r) {
        const Vector3 axis = rotated(row(projection, r), turn);
        moved[4 * r] = axis.x;
        moved[4 * r + 1] = axis.y;
        moved[4 * r + 2] = axis.z;
        moved[4 * r + 3] = -dot(axis, eye + shift);
    }
    return scene.rmsError(moved, scene.imagePoints);
}

// No small move or turn of the camera lowers the residual: the pose is a
// minimum for its focal length, not merely a start for a search.
void expectLocalMinimum(const SyntheticScene& scene, const double* projection, const Vector3& eye)
{
    const double rms = scene.rmsError(projection, scene.imagePoints);
    const double shift = 1e-3 * distance(scene.camera.eye, scene.camera.lookAt);
    constexpr double kTurn = 1e-4;
    for (int axis = 0; axis < 3; ++axis) {
        for (const double sign : {-1.0, 1.0}) {
            Vector3 unit;
            unit[static_cast<std::size_t>(axis)] = sign;
            EXPECT_GE(perturbedRms(scene, projection, eye, shift * unit, Vector3()), rms)
                << "shift along axis " << axis << " sign " << sign;
            EXPECT_GE(perturbedRms(scene, projection, eye, Vector3(), kTurn * unit), rms)
                << "turn about axis " << axis << " sign " << sign;
        }
    }
}

struct HeldFocalCase {
    const char* name;
    int count;
    double noisePixels;
    Vector3 eye;
    Vector3 lookAt;
    double roll;
    double fieldOfViewDegrees;  // of the generating camera
    double heldFocalScale;      // held focal length over the true one
};

std::ostream& operator<<(std::ostream& out, const HeldFocalCase& c) { return out << c.name; }

// Points in a box around the look-at point, in front of the camera and inside
// a 640 × 480 image, with noise on the image points.
SyntheticScene sceneFor(const HeldFocalCase& c)
{
    SyntheticScene scene;
    scene.camera = SyntheticCamera::make(c.eye, c.lookAt, c.roll,
                                         focalLengthForFieldOfView(kImageHeight, c.fieldOfViewDegrees));
    std::mt19937 random(static_cast<unsigned>(1000 + c.count));
    std::uniform_real_distribution<double> xy(-12, 12), z(0, 10);
    while (scene.count() < c.count) {
        const Vector3 point(c.lookAt.x + xy(random), c.lookAt.y + xy(random), z(random));
        double u, v;
        scene.camera.project(point, u, v);
        if (scene.camera.depth(point) > 5.0 && std::fabs(u) < 320 && std::fabs(v) < 240)
            scene.add(point);
    }
    scene.addNoise(random, c.noisePixels);
    return scene;
}

class HeldFocalLength : public ::testing::TestWithParam<HeldFocalCase> {};

TEST_P(HeldFocalLength, FitsThePoseAroundTheHeldFocalLength)
{
    const HeldFocalCase& c = GetParam();
    const SyntheticScene scene = sceneFor(c);
    const double focal = scene.camera.focal * c.heldFocalScale;
    const Outputs held = estimateHeld(scene, focal);
    ASSERT_EQ(held.status, 1);

    // The camera is rigid with exactly the held focal length.
    const Vector3 r1 = row(held.refined, 0), r2 = row(held.refined, 1), d = row(held.refined, 2);
    EXPECT_NEAR(length(r1), focal, 1e-12 * focal);
    EXPECT_NEAR(length(r2), focal, 1e-12 * focal);
    EXPECT_NEAR(length(d), 1.0, 1e-12);
    EXPECT_NEAR(dot(r1, r2), 0.0, 1e-9 * focal * focal);
    EXPECT_NEAR(dot(r1, d), 0.0, 1e-9 * focal);
    EXPECT_NEAR(dot(r2, d), 0.0, 1e-9 * focal);
    EXPECT_NEAR(distance(held.up, (1.0 / focal) * r2), 0.0, 1e-12);
    EXPECT_EQ(held.lookAt.z, 0.0);
    double u, v;
    reproject(held.refined, held.lookAt, u, v);
    EXPECT_NEAR(u, 0.0, 1e-6);
    EXPECT_NEAR(v, 0.0, 1e-6);
    const double expectedFieldOfView =
        c.heldFocalScale == 1.0 ? c.fieldOfViewDegrees : 2.0 * std::atan(kImageHeight / (2.0 * focal)) * 180.0 / kPi;
    EXPECT_NEAR(verticalFieldOfView(kImageHeight, held.refined, held.eye, held.lookAt), expectedFieldOfView, 1e-9);

    // Fitting the focal length too can only do better; the generating camera,
    // when it has the held focal length, can only do worse.
    const Outputs freeFit = estimateFree(scene);
    ASSERT_EQ(freeFit.status, 1);
    const double heldRms = scene.rmsError(held.refined, scene.imagePoints);
    expectLocalMinimum(scene, held.refined, held.eye);
    EXPECT_LE(scene.rmsError(freeFit.refined, scene.imagePoints), heldRms * (1 + 1e-9) + 1e-12);
    if (c.heldFocalScale != 1.0)
        return;
    double truth[12];
    scene.camera.projection(truth);
    EXPECT_LE(heldRms, scene.rmsError(truth, scene.imagePoints) * (1 + 1e-9) + 1e-12);
    if (c.noisePixels == 0.0) {
        EXPECT_LT(distance(held.eye, scene.camera.eye), 1e-6 * distance(scene.camera.eye, scene.camera.lookAt));
        EXPECT_LT(heldRms, 1e-6);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, HeldFocalLength,
    ::testing::Values(HeldFocalCase{"n9_exact", 9, 0.0, {-30, -40, 40}, {2, 1, 0}, 0.2, 33.4, 1.0},
                      HeldFocalCase{"n20_exact_steep", 20, 0.0, {5, -10, 90}, {0, 0, 0}, -0.4, 24.0, 1.0},
                      HeldFocalCase{"n39_exact_low", 39, 0.0, {60, 20, 15}, {-3, 2, 0}, 0.5, 55.0, 1.0},
                      HeldFocalCase{"n9_noise1", 9, 1.0, {-30, -40, 40}, {2, 1, 0}, 0.2, 33.4, 1.0},
                      HeldFocalCase{"n20_noise2_steep", 20, 2.0, {5, -10, 90}, {0, 0, 0}, -0.4, 24.0, 1.0},
                      HeldFocalCase{"n39_noise2_low", 39, 2.0, {60, 20, 15}, {-3, 2, 0}, 0.5, 55.0, 1.0},
                      HeldFocalCase{"n39_noise1_focal_too_long", 39, 1.0, {-30, -40, 40}, {2, 1, 0}, 0.2, 33.4, 1.3},
                      HeldFocalCase{"n20_exact_focal_too_short", 20, 0.0, {5, -10, 90}, {0, 0, 0}, -0.4, 24.0, 0.75}),
    [](const ::testing::TestParamInfo<HeldFocalCase>& info) { return std::string(info.param.name); });

TEST(EstimateCameraPoseWithFocalLength, UnusableInputFailsWithoutWritingAnything)
{
    const SyntheticScene scene = sceneFor({"n9", 9, 0.0, {-30, -40, 40}, {2, 1, 0}, 0.2, 33.4, 1.0});
    const double focal = scene.camera.focal;
    const double* model = scene.modelPoints.data()->data();
    const double* image = scene.imagePoints.data()->data();
    const auto expectRefused = [](int count, const double* m, const double* i, double f, const char* what) {
        Outputs out;
        out.status =
            estimateCameraPoseWithFocalLength(count, m, i, f, out.linear, out.refined, out.eye.data(), out.lookAt.data(),
                                              out.up.data());
        EXPECT_EQ(out.status, 0) << what;
        EXPECT_TRUE(out.untouched()) << what;
    };
    expectRefused(5, model, image, focal, "five points");
    expectRefused(-1, model, image, focal, "negative count");
    expectRefused(9, nullptr, image, focal, "no model points");
    expectRefused(9, model, nullptr, focal, "no image points");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    for (const double badFocal : {0.0, -800.0, nan, infinity})
        expectRefused(9, model, image, badFocal, "focal length not finite and positive");
    for (const double badAngle : {0.0, 180.0, -10.0, nan})
        expectRefused(9, model, image, focalLengthForFieldOfView(kImageHeight, badAngle), "field of view out of range");
    expectRefused(9, model, image, focalLengthForFieldOfView(0, 40.0), "image without height");

    SyntheticScene broken = scene;
    broken.modelPoints[4].z = nan;
    expectRefused(9, broken.modelPoints.data()->data(), image, focal, "non-finite model point");
    broken = scene;
    broken.imagePoints[7].y = infinity;
    expectRefused(9, model, broken.imagePoints.data()->data(), focal, "non-finite image point");

    // Each missing output alone refuses the call, leaving the others as they were.
    for (int missing = 0; missing < 5; ++missing) {
        Outputs out;
        double* outputs[5] = {out.linear, out.refined, out.eye.data(), out.lookAt.data(), out.up.data()};
        outputs[missing] = nullptr;
        EXPECT_EQ(estimateCameraPoseWithFocalLength(9, model, image, focal, outputs[0], outputs[1], outputs[2],
                                                    outputs[3], outputs[4]),
                  0)
            << "output " << missing;
        EXPECT_TRUE(out.untouched()) << "output " << missing;
    }
}

}  // namespace
