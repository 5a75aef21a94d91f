// The virtual ruins camera: its path (rest, swing, way back), its frames through
// the mailbox, its "Format..." dialog and the sizes it refuses.
#include "virtual_camera/virtual_ruins_camera.h"

#include "capture/capture_dialogs.h"
#include "capture/frame_mailbox.h"
#include "scene/calibration_pose.h"
#include "scene/ruins_model.h"
#include "tests/capture/paced_source_contract.h"
#include "tests/support/ruins_tables.h"

#include <QComboBox>
#include <QDialog>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace {

using namespace ruins;

double azimuthDegrees(const CameraPose& pose)
{
    const Vector3 offset = pose.eye - kCalibrationPose.lookAt;
    const Vector3 rest = kCalibrationPose.eye - kCalibrationPose.lookAt;
    return (std::atan2(offset.y, offset.x) - std::atan2(rest.y, rest.x)) * 180.0 / kPi;
}

double length(const Vector3& v) { return std::sqrt(dot(v, v)); }

bool samePose(const CameraPose& a, const CameraPose& b)
{
    return a.eye.x == b.eye.x && a.eye.y == b.eye.y && a.eye.z == b.eye.z && a.lookAt.x == b.lookAt.x &&
           a.lookAt.y == b.lookAt.y && a.lookAt.z == b.lookAt.z && a.up.x == b.up.x && a.up.y == b.up.y &&
           a.up.z == b.up.z && a.fieldOfView == b.fieldOfView;
}

TEST(VirtualRuinsCamera, RestsTwoSecondsAtTheCalibrationPose)
{
    for (std::int64_t i = -3; i <= kVirtualCameraRestFrames; ++i)
        ASSERT_TRUE(samePose(virtualCameraPose(i), kCalibrationPose)) << i;
    EXPECT_FALSE(samePose(virtualCameraPose(kVirtualCameraRestFrames + 1), kCalibrationPose));
    EXPECT_EQ(kVirtualCameraRestFrames, 60);
}

TEST(VirtualRuinsCamera, SwingsSmoothlyWithinTheAzimuthRangeAndBack)
{
    const double restDistance = length(kCalibrationPose.eye - kCalibrationPose.lookAt);
    double lowest = 0.0, highest = 0.0;
    int returns = 0;
    CameraPose previous = virtualCameraPose(0);
    Vector3 previousStep;
    double previousAzimuth = 0.0;
    for (std::int64_t i = 1; i < 60 * kVirtualCameraFramesPerSecond; ++i) {
        const CameraPose pose = virtualCameraPose(i);
        const double azimuth = azimuthDegrees(pose);
        lowest = std::min(lowest, azimuth);
        highest = std::max(highest, azimuth);
        if (i > kVirtualCameraRestFrames + 1 && (azimuth > 0.0) != (previousAzimuth > 0.0)) ++returns;
        // Smooth: the eye moves at most a small step per frame, the view stays
        // on the same point, up stays a unit vector across the view.
        const Vector3 step = pose.eye - previous.eye;
        ASSERT_LT(length(step), 0.3) << i;
        ASSERT_LT(length(step - previousStep), 0.01) << i;  // no jolt, not even leaving the rest
        previousStep = step;
        ASSERT_TRUE(samePose({pose.lookAt, pose.lookAt, {}, 0}, {kCalibrationPose.lookAt, kCalibrationPose.lookAt, {}, 0}));
        Vector3 forward = pose.lookAt - pose.eye;
        forward.normalize();
        ASSERT_NEAR(length(pose.up), 1.0, 1e-12);
        ASSERT_NEAR(dot(pose.up, forward), 0.0, 1e-12);
        ASSERT_EQ(pose.fieldOfView, kCalibrationPose.fieldOfView);
        // Gentle changes of distance and height.
        const double distance = length(pose.eye - pose.lookAt);
        ASSERT_NEAR(distance, restDistance, 0.12 * restDistance) << i;
        ASSERT_NEAR(pose.eye.z, kCalibrationPose.eye.z, 0.15 * kCalibrationPose.eye.z) << i;
        previous = pose;
        previousAzimuth = azimuth;
    }
    EXPECT_GE(lowest, -kVirtualCameraAzimuthDegrees - 1e-9);
    EXPECT_LE(highest, kVirtualCameraAzimuthDegrees + 1e-9);
    EXPECT_LT(lowest, -24.0);
    EXPECT_GT(highest, 24.0);
    EXPECT_GE(returns, 5);  // back and forth every ten seconds
}

TEST(VirtualRuinsCamera, PoseIsAFunctionOfTheIndexForEver)
{
    EXPECT_TRUE(samePose(virtualCameraPose(1234), virtualCameraPose(1234)));
    for (std::int64_t index : {std::int64_t(1) << 40, std::int64_t(1) << 62}) {
        const CameraPose pose = virtualCameraPose(index);
        EXPECT_TRUE(std::isfinite(pose.eye.x) && std::isfinite(pose.eye.y) && std::isfinite(pose.eye.z));
        EXPECT_LE(std::fabs(azimuthDegrees(pose)), kVirtualCameraAzimuthDegrees + 1e-9);
    }
}

// `--path around` is the jumps path, turned round the ruins by a further 60
// degrees each time the camera turns away: it comes back from another side.
TEST(VirtualRuinsCamera, AroundComesBackFurtherRoundAfterEachTurnAway)
{
    VirtualCameraPath jumps, around;
    jumps.jumps = around.jumps = true;
    around.returnTurn = VirtualCameraPath::kAroundTurnDegrees;
    const std::int64_t round = VirtualCameraPath::kJumpEveryFrames + VirtualCameraPath::kJumpAwayFrames;
    for (const std::int64_t turns : {0, 1, 2, 7}) {
        const std::int64_t frame = kVirtualCameraRestFrames + turns * round + 40;
        const CameraPose plain = virtualCameraPose(frame, jumps);
        const CameraPose turned = virtualCameraPose(frame, around);
        const double expected = std::remainder(double(turns) * VirtualCameraPath::kAroundTurnDegrees, 360.0);
        EXPECT_NEAR(std::remainder(azimuthDegrees(turned) - azimuthDegrees(plain), 360.0), expected, 1e-9) << turns;
        EXPECT_NEAR(length(turned.eye - kCalibrationPose.lookAt), length(plain.eye - kCalibrationPose.lookAt), 1e-9);
        EXPECT_NEAR(turned.eye.z, plain.eye.z, 1e-9);
        EXPECT_NEAR(length(turned.lookAt - kCalibrationPose.lookAt), length(plain.lookAt - kCalibrationPose.lookAt),
                    1e-9);
    }
}

TEST(VirtualRuinsCamera, FramesOfAnyShapeHaveSquarePixelsAndShowTheReferenceViewFitted)
{
    // A point of the 320 × 240 view lands where referenceFit carries it: 16:9
    // frames see more at the sides, a square frame more above and below.
    const FrameCamera reference = *virtualCameraFrame(0, 320, 240);
    double rx, ry;
    ASSERT_TRUE(projectToFrame(reference, modelPoint(5), rx, ry));
    for (const auto& [width, height] : {std::pair{640, 480}, {1280, 720}, {640, 360}, {480, 480}, {2560, 1440}}) {
        const FrameCamera camera = *virtualCameraFrame(0, width, height);
        EXPECT_EQ(camera.focalX, camera.focalY) << width << "x" << height;
        const ReferenceFit fit = referenceFit(width, height, 320, 240);
        double x, y;
        ASSERT_TRUE(projectToFrame(camera, modelPoint(5), x, y));
        EXPECT_NEAR(x, fit.offsetX + fit.scale * rx, 1e-9) << width << "x" << height;
        // Buffer rows count from the bottom, the fit's offset from the top.
        EXPECT_NEAR(height - y, fit.offsetY + fit.scale * (240 - ry), 1e-9) << width << "x" << height;
    }
    std::vector<std::uint8_t> pixels(16);
    RuinsSceneRenderer renderer;
    EXPECT_FALSE(renderVirtualRuinsFrame(renderer, 0, 0, 240, pixels.data(), PixelOrder::RGB));
    EXPECT_FALSE(renderVirtualRuinsFrame(renderer, 0, 320, 240, nullptr, PixelOrder::RGB));
}

TEST(VirtualRuinsCameraSource, OffersThreeFormatsAndRefusesBadSizes)
{
    VirtualRuinsCameraSource source;
    int width = 0, height = 0;
    source.frameSize(width, height);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    const auto formats = VirtualRuinsCameraSource::formats();
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_EQ(formats[1].width, 640);
    EXPECT_EQ(formats[2].height, 720);
    ASSERT_EQ(source.dialogs().size(), 1u);
    EXPECT_EQ(source.dialogs()[0].description, "Format...");
    EXPECT_EQ(source.dialogs()[0].effect, DialogEffect::ChangesFormat);

    EXPECT_FALSE(source.requestFrameSize(0, 240));
    EXPECT_FALSE(source.requestFrameSize(320, -240));
    EXPECT_FALSE(source.requestFrameSize(100000, 100000));
    source.frameSize(width, height);
    EXPECT_EQ(width, 320);
    EXPECT_FALSE(source.runDialog(5, nullptr));
    source.stop();  // harmless when not started
}

TEST(VirtualRuinsCameraSource, FormatDialogChangesTheSize)
{
    VirtualRuinsCameraSource source;
    QStringList offered;
    installCaptureDialogs();
    setCaptureDialogExecHook([&](QDialog& dialog) {
        auto* combo = dialog.findChild<QComboBox*>("formatComboBox");
        if (!combo) return int(QDialog::Rejected);
        for (int i = 0; i < combo->count(); ++i) offered << combo->itemText(i);
        combo->setCurrentIndex(combo->findText("1280 x 720, 30 fps"));
        return int(QDialog::Accepted);
    });
    EXPECT_TRUE(source.runDialog(0, nullptr));
    EXPECT_EQ(offered, (QStringList{"320 x 240, 30 fps", "640 x 480, 30 fps", "1280 x 720, 30 fps"}));
    int width = 0, height = 0;
    source.frameSize(width, height);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
    // Cancelling keeps the size and is not a failure.
    setCaptureDialogExecHook([](QDialog&) { return int(QDialog::Rejected); });
    EXPECT_TRUE(source.runDialog(0, nullptr));
    source.frameSize(width, height);
    EXPECT_EQ(width, 1280);
    setCaptureDialogExecHook({});
    setCaptureDialogRunner(nullptr);
}

TEST(VirtualRuinsCameraSource, DeliversTheRestingFrameThroughTheMailbox)
{
    VirtualRuinsCameraSource source;
    imTrackingGrabberCB mailbox;
    mailbox.resize(320, 240);
    ASSERT_TRUE(source.start(mailbox));
    std::vector<std::uint8_t> fetched(320 * 240 * 3);
    bool got = false;
    for (int attempt = 0; attempt < 5 && !got; ++attempt) got = mailbox.fetch(fetched.data(), fetched.size(), FrameLayout::PackedRGB, 1000);
    // The first frames are all the calibration view (the camera rests for two seconds).
    const std::int64_t deliveredWhileFetching = source.deliveredFrames();
    source.stop();
    ASSERT_TRUE(got);
    EXPECT_GE(source.deliveredFrames(), 1);
    std::vector<std::uint8_t> expected(fetched.size());
    RuinsSceneRenderer renderer;
    ASSERT_TRUE(renderVirtualRuinsFrame(renderer, 0, 320, 240, expected.data(), PixelOrder::RGB));
    if (deliveredWhileFetching <= kVirtualCameraRestFrames) {
        EXPECT_EQ(fetched, expected);
    }
    // Stopped: nothing more arrives.
    const std::int64_t delivered = source.deliveredFrames();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(source.deliveredFrames(), delivered);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(VirtualRuinsCamera, PacedSourceContract,
                         ::testing::Values(PacedSourceCase{"VirtualRuinsCamera", [] {
                             return std::make_unique<ruins::VirtualRuinsCameraSource>();
                         }}),
                         pacedSourceCaseName);
