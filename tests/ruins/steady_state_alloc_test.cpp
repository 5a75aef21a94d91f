// Once the reconstructor follows its points on frames of one size, a frame
// (detection, matching, pose estimation) allocates nothing: heap allocations on
// this thread are counted over 100 process() calls.

#include "tests/support/allocation_counter.h"

#if CASTELLAN_COUNT_ALLOCATIONS

#include "canvas/canvas.h"
#include "cycle/grey_conversion.h"
#include "ruins/ruins_reconstructor_processor.h"
#include "ruins_test_support.h"
#include "scene/calibration_pose.h"
#include "scene/ruins_model.h"
#include "tests/support/ruins_tables.h"
#include "virtual_camera/ruins_scene_renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// The ruins seen from the calibration pose, and from the pose turned by `turn`
// radians about the vertical through the look-at point, in grey.
std::vector<unsigned char> ruinsFrame(double turn, ruins::FrameCamera& camera) {
    ruins::CameraPose pose = ruins::kCalibrationPose;
    const double c = std::cos(turn), s = std::sin(turn);
    const double dx = pose.eye.x - pose.lookAt.x, dy = pose.eye.y - pose.lookAt.y;
    pose.eye.x = pose.lookAt.x + c * dx - s * dy;
    pose.eye.y = pose.lookAt.y + s * dx + c * dy;
    const double ux = pose.up.x, uy = pose.up.y;
    pose.up.x = c * ux - s * uy;
    pose.up.y = s * ux + c * uy;
    const auto frameCamera = ruins::makeFrameCamera(pose, kWidth, kHeight);
    EXPECT_TRUE(frameCamera.has_value());
    std::vector<unsigned char> rgb(std::size_t(kWidth) * kHeight * 3), grey(std::size_t(kWidth) * kHeight);
    if (!frameCamera) return grey;
    camera = *frameCamera;
    ruins::RuinsSceneRenderer renderer;
    renderer.renderRuins(camera, rgb.data(), ruins::PixelOrder::RGB);
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = greyValue(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    return grey;
}

TEST(SteadyStateAllocations, RuinsReconstructorAllocatesNothing) {
    ruins_test::WorkingDirectory cwd;
    ruins::FrameCamera camera;
    const std::vector<unsigned char> a = ruinsFrame(0.0, camera);
    ruins::FrameCamera unused;
    const std::vector<unsigned char> b = ruinsFrame(0.01, unused);
    std::vector<unsigned char> output(a.size());

    Canvas left;
    RuinsReconstructorProcessor processor(&left);
    processor.setImageSize(kWidth, kHeight);
    // As if clicked: not searched for.
    processor.reconstruction().beginManualSelection();
    // Following the 39 points from where the calibration camera sees them.
    ruins::TrackedPoints& points = processor.reconstruction().trackedPoints();
    for (int i = 0; i < ruins::kModelPointCount; ++i) {
        double column = 0.0, row = 0.0;
        ASSERT_TRUE(ruins::projectToFrame(camera, ruins::modelPoint(i), column, row));
        points.positions[i] = {int(std::lround(column)), int(std::lround(row))};
    }
    points.count = ruins::kModelPointCount;

    for (int i = 0; i < 4; ++i) processor.process(i % 2 ? b.data() : a.data(), output.data());
    long allocations = 0;
    {
        castellan_test::ScopedAllocationCount counter;
        for (int i = 0; i < 100; ++i) {
            processor.setImageSize(kWidth, kHeight);
            processor.process(i % 2 ? b.data() : a.data(), output.data());
        }
        allocations = counter.count();
    }
    EXPECT_EQ(allocations, 0);
    EXPECT_TRUE(processor.reconstruction().poseValid()) << "the pose was estimated in the counted frames";
}

}  // namespace

#endif
