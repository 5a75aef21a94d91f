// Golden outputs of the camera pose estimator on fixed, integer-generated
// correspondences: every double it writes is pinned by a 64-bit hash of its bits,
// and the eye by literal values, so a faster estimator must give the same bits.

#include "pose/camera_pose.h"
#include "tests/support/pose_scene.h"

#include <gtest/gtest.h>

namespace {

using castellan_test::Fnv1a64;
using castellan_test::PoseCamera;
using castellan_test::PoseScene;

struct PoseGolden {
    PoseCamera camera;
    int count;
    double noise;
    uint32_t seed;
    uint64_t linearHash;
    uint64_t refinedHash;  // refined projection, eye, look-at point and up
    double eye[3];
};

class GoldenPose : public ::testing::TestWithParam<PoseGolden> {};

TEST_P(GoldenPose, EstimateIsUnchanged) {
    const PoseGolden& g = GetParam();
    const PoseScene scene = castellan_test::makePoseScene(g.camera, g.count, g.noise, g.seed);
    double linear[12], refined[12], eye[3], lookAt[3], up[3];
    ASSERT_EQ(estimateCameraPose(scene.count(), scene.modelPoints.data(), scene.imagePoints.data(), linear,
                                 refined, eye, lookAt, up),
              1);
    Fnv1a64 linearHash;
    linearHash.addBytes(linear, sizeof linear);
    Fnv1a64 refinedHash;
    refinedHash.addBytes(refined, sizeof refined);
    refinedHash.addBytes(eye, sizeof eye);
    refinedHash.addBytes(lookAt, sizeof lookAt);
    refinedHash.addBytes(up, sizeof up);
    EXPECT_EQ(linearHash.value(), g.linearHash);
    EXPECT_EQ(refinedHash.value(), g.refinedHash);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(eye[i], g.eye[i]) << "eye " << i;
    EXPECT_EQ(lookAt[2], 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, GoldenPose,
    ::testing::Values(
        PoseGolden{{{-30, -40, 40}, {2, 1, 0}, 800}, 39, 0.5, 1, 0xc02020adfd4ac28cULL, 0xcf671eb6d390c147ULL,
                   {-0x1.d0dad074d2f96p+4, -0x1.3709aaa5e9b73p+5, 0x1.3974446fd14dcp+5}},
        PoseGolden{{{-30, -40, 40}, {2, 1, 0}, 800}, 9, 0.5, 2, 0x92cf82ec9605dc77ULL, 0x58770f9ed1f3788bULL,
                   {-0x1.cdff59db0383ep+4, -0x1.2eb720e686584p+5, 0x1.319ce4dfbb463p+5}},
        PoseGolden{{{25, -50, 30}, {-1, 3, 0}, 500}, 100, 1.0, 3, 0xf72e1d229658e995ULL, 0xe403e3a265b6d7eeULL,
                   {0x1.92c27bc7a3cf9p+4, -0x1.91a0bb13d07b4p+5, 0x1.dff31c66d343fp+4}},
        PoseGolden{{{40, 20, 25}, {0, 0, 0}, 330}, 12, 0.0, 4, 0x4e6ca0737aabaf49ULL, 0x192c26740c40c678ULL,
                   {0x1.40000000000b8p+5, 0x1.40000000000b9p+4, 0x1.90000000000d1p+4}}));

}  // namespace
