// The calibration pose: recomputed from the model points and the reference
// positions, and checked against the reference table it was made from.
#include "scene/calibration_pose.h"
#include "scene/ruins_model.h"
#include "tests/support/ruins_tables.h"
#include "virtual_camera/ruins_scene_renderer.h"
#include "virtual_camera/virtual_ruins_camera.h"

#include <QImage>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace ruins;

// RMS and largest distance between the projected model points and the reference
// positions carried over to a width × height frame.
struct Residual {
    double rms = 0.0;
    double worst = 0.0;
};

Residual referenceResidual(const FrameCamera& camera)
{
    Residual r;
    double sum = 0.0;
    for (int i = 0; i < kModelPointCount; ++i) {
        double column = 0.0, row = 0.0;
        EXPECT_TRUE(projectToFrame(camera, modelPoint(i), column, row)) << "point " << i;
        const PixelPosition ref = scaledReferencePosition(i, camera.width, camera.height, 320, 240);
        // Reference rows count from the top, buffer rows from the bottom.
        const double dx = column - ref.x;
        const double dy = row - (camera.height - ref.y);
        const double d2 = dx * dx + dy * dy;
        sum += d2;
        r.worst = std::max(r.worst, std::sqrt(d2));
    }
    r.rms = std::sqrt(sum / kModelPointCount);
    return r;
}

void expectNear(const Vector3& a, const Vector3& b, double tolerance)
{
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

TEST(CalibrationPose, RecomputingItGivesTheConstant)
{
    const std::optional<CameraPose> pose = computeCalibrationPose();
    ASSERT_TRUE(pose.has_value());
    expectNear(pose->eye, kCalibrationPose.eye, 1e-6);
    expectNear(pose->lookAt, kCalibrationPose.lookAt, 1e-6);
    expectNear(pose->up, kCalibrationPose.up, 1e-9);
    // The reference positions fix the field of view only to about 4e-7 degrees:
    // searches that end at equal cost within rounding differ by that much.
    EXPECT_NEAR(pose->fieldOfView, kCalibrationPose.fieldOfView, 1e-6);
    EXPECT_EQ(kCalibrationPose.lookAt.z, 0.0);
    EXPECT_NEAR(dot(kCalibrationPose.up, kCalibrationPose.up), 1.0, 1e-12);
    // A camera above the plate looking down at the ruins.
    EXPECT_GT(kCalibrationPose.eye.z, 0.0);
}

TEST(CalibrationPose, ModelPointsLandOnTheReferencePositions)
{
    const std::optional<FrameCamera> camera = makeFrameCamera(kCalibrationPose, 320, 240);
    ASSERT_TRUE(camera.has_value());
    const Residual r = referenceResidual(*camera);
    EXPECT_LE(r.rms, 1.5);
    EXPECT_LE(r.worst, 4.0);
}

TEST(CalibrationPose, ReferencePositionsScaleWithTheVirtualCameraFrame)
{
    // The virtual camera's frames of every offered size: the reference positions
    // carried to the frame stay within the same error, scaled with the frame.
    for (const FrameFormatChoice& format : VirtualRuinsCameraSource::formats()) {
        const std::optional<FrameCamera> camera = virtualCameraFrame(0, format.width, format.height);
        ASSERT_TRUE(camera.has_value());
        const double scale = referenceFit(format.width, format.height, 320, 240).scale;
        // Reference rounding adds up to half a pixel per axis.
        EXPECT_LE(referenceResidual(*camera).rms, 1.5 * scale + 0.71) << format.width << "x" << format.height;
    }
}

TEST(CalibrationPose, BundledCalibrationFrameIsTheRenderedOne)
{
    const QImage bundled(QStringLiteral(CASTELLAN_SOURCE_DIR "/data/CalibrationFrame.png"));
    ASSERT_FALSE(bundled.isNull());
    ASSERT_EQ(bundled.width(), 320);
    ASSERT_EQ(bundled.height(), 240);
    const std::optional<FrameCamera> camera = makeFrameCamera(kCalibrationPose, 320, 240);
    ASSERT_TRUE(camera.has_value());
    std::vector<std::uint8_t> rgb(320 * 240 * 3);
    RuinsSceneRenderer renderer;
    renderer.renderRuins(*camera, rgb.data(), PixelOrder::RGB);
    int differing = 0;
    for (int y = 0; y < 240; ++y) {
        for (int x = 0; x < 320; ++x) {
            const std::uint8_t* p = &rgb[(std::size_t(y) * 320 + x) * 3];
            // The picture's top row is the frame's last buffer row.
            if (bundled.pixel(x, 239 - y) != qRgb(p[0], p[1], p[2])) ++differing;
        }
    }
    EXPECT_EQ(differing, 0) << "regenerate with: castellan-cli calibration-frame data/CalibrationFrame.png";
}

}  // namespace
