#include "capture/test_camera.h"

#include <gtest/gtest.h>

#include <QComboBox>

#include <vector>

#include "capture/capture_device.h"
#include "capture_test_support.h"

namespace {

// Fetches one frame, trying for up to five seconds.
bool fetchWithin(CaptureDevice* device, std::vector<std::uint8_t>& rgb) {
    for (int attempt = 0; attempt < 5; ++attempt)
        if (fetchFrame(device, rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000))
            return true;
    return false;
}

double meanOf(const std::vector<std::uint8_t>& pixels) {
    double sum = 0;
    for (std::uint8_t value : pixels)
        sum += value;
    return pixels.empty() ? 0 : sum / pixels.size();
}

// Convex block corners: a bright pixel whose left and lower neighbours and the
// pixel diagonally between them are all dark background.
int countBlockCorners(const std::vector<std::uint8_t>& bgr, int width, int height) {
    auto grey = [&](int x, int y) { return bgr[(static_cast<std::size_t>(y) * width + x) * 3 + 1]; };
    int corners = 0;
    for (int y = 1; y < height; ++y)
        for (int x = 1; x < width; ++x)
            if (grey(x, y) > 100 && grey(x - 1, y) < 90 && grey(x, y - 1) < 90 && grey(x - 1, y - 1) < 90)
                ++corners;
    return corners;
}

TEST(TestCamera, PictureHasPlentyOfCornersAndMoves) {
    TestCameraSource camera;
    std::vector<std::uint8_t> first(320 * 240 * 3), later(320 * 240 * 3);
    camera.render(0, 320, 240, first.data());
    camera.render(15, 320, 240, later.data());
    EXPECT_GE(countBlockCorners(first, 320, 240), 30);
    EXPECT_NE(first, later);
    // Same frame, same picture: the pattern is a function of time only.
    std::vector<std::uint8_t> again(320 * 240 * 3);
    camera.render(15, 320, 240, again.data());
    EXPECT_EQ(later, again);

    // Frozen motion keeps the picture still.
    ASSERT_TRUE(camera.applyControl(TestCameraSource::kMotionControl, 0));
    camera.render(0, 320, 240, first.data());
    camera.render(15, 320, 240, later.data());
    EXPECT_EQ(first, later);
}

TEST(TestCamera, ControlsChangeThePictureAndRejectNonsense) {
    TestCameraSource camera;
    std::vector<std::uint8_t> normal(64 * 48 * 3), brighter(64 * 48 * 3), flat(64 * 48 * 3);
    camera.render(3, 64, 48, normal.data());
    ASSERT_TRUE(camera.applyControl(TestCameraSource::kBrightnessControl, 60));
    camera.render(3, 64, 48, brighter.data());
    EXPECT_GT(meanOf(brighter), meanOf(normal) + 30);
    ASSERT_TRUE(camera.applyControl(TestCameraSource::kBrightnessControl, 0));
    ASSERT_TRUE(camera.applyControl(TestCameraSource::kContrastControl, 0));
    camera.render(3, 64, 48, flat.data());
    EXPECT_EQ(flat, std::vector<std::uint8_t>(flat.size(), 128));

    EXPECT_FALSE(camera.applyControl(TestCameraSource::kBrightnessControl, 101));
    EXPECT_FALSE(camera.applyControl(TestCameraSource::kContrastControl, -1));
    EXPECT_FALSE(camera.applyControl(99, 0));
    EXPECT_FALSE(camera.requestFrameSize(0, 10));
    EXPECT_FALSE(camera.requestFrameSize(100000, 10));
    camera.render(0, 0, 0, nullptr);  // nothing to draw, nothing drawn
}

TEST(TestCamera, OfferedOnlyWhenRegisteredAfterTheRealDevices) {
    CaptureTestScope scope;
    EXPECT_EQ(captureDeviceCount(), 0);
    registerTestCamera();
    ASSERT_EQ(captureDeviceCount(), 1);
    EXPECT_EQ(std::string(captureDeviceDescription(0)), "0 - " + kTestCameraName);
}

TEST(TestCamera, DeliversFramesAtTheDefaultAndAtAChosenSize) {
    CaptureTestScope scope;
    registerTestCamera();
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    setImageSize(device.get(), kDefaultCaptureWidth, kDefaultCaptureHeight);
    int width = 0, height = 0;
    getImageSize(device.get(), width, height);
    ASSERT_EQ(width, 320);
    ASSERT_EQ(height, 240);
    ASSERT_EQ(setLive(device.get(), 1), 1);

    std::vector<std::uint8_t> first(320 * 240 * 3, 0), second(320 * 240 * 3, 0);
    ASSERT_TRUE(fetchWithin(device.get(), first));
    ASSERT_TRUE(fetchWithin(device.get(), second));
    EXPECT_NE(first, second) << "the picture moves from frame to frame";

    // "Format..." picks 640 x 480 while live: the stream comes back at that size.
    ASSERT_EQ(dialogCount(device.get()), 2);
    EXPECT_STREQ(dialogDescription(device.get(), 0), "Format...");
    EXPECT_STREQ(dialogDescription(device.get(), 1), "Source...");
    QStringList offered;
    setCaptureDialogExecHook([&](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Format");
        auto* combo = dialog.findChild<QComboBox*>("formatComboBox");
        for (int i = 0; i < combo->count(); ++i)
            offered << combo->itemText(i);
        combo->setCurrentIndex(combo->findText("640 x 480, 30 fps"));
        return int(QDialog::Accepted);
    });
    ASSERT_TRUE(showDialog(device.get(), 0, nullptr));
    EXPECT_TRUE(offered.contains("320 x 240, 30 fps"));
    EXPECT_TRUE(offered.contains("1280 x 720, 30 fps"));
    getImageSize(device.get(), width, height);
    ASSERT_EQ(width, 640);
    ASSERT_EQ(height, 480);
    EXPECT_EQ(setLive(device.get(), -1), 1);
    std::vector<std::uint8_t> large(640 * 480 * 3, 0);
    ASSERT_TRUE(fetchWithin(device.get(), large));
    std::vector<std::uint8_t> bgrBottomUp(large.size());
    TestCameraSource().render(0, 640, 480, bgrBottomUp.data());
    EXPECT_GE(countBlockCorners(bgrBottomUp, 640, 480), 120);

    // Any size at all through setImageSize.
    ASSERT_TRUE(setImageSize(device.get(), 333, 222));
    std::vector<std::uint8_t> odd(333 * 222 * 3, 0);
    EXPECT_TRUE(fetchWithin(device.get(), odd));
}

TEST(TestCamera, SourceDialogAppliesWhileLive) {
    CaptureTestScope scope;
    registerTestCamera();
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    ASSERT_TRUE(setImageSize(device.get(), 160, 120));
    ASSERT_EQ(setLive(device.get(), 1), 1);
    std::vector<std::uint8_t> before(160 * 120 * 3), after(160 * 120 * 3);
    ASSERT_TRUE(fetchWithin(device.get(), before));

    setCaptureDialogExecHook([](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Source");
        dynamic_cast<CaptureSourceDialog&>(dialog).setControlValue(TestCameraSource::kBrightnessControl, 80);
        return int(QDialog::Accepted);
    });
    ASSERT_TRUE(showDialog(device.get(), 1, nullptr));
    EXPECT_EQ(setLive(device.get(), -1), 1);
    // Frames already in flight may predate the change: take a few.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(fetchWithin(device.get(), after));
    EXPECT_GT(meanOf(after), meanOf(before) + 40);
}

}  // namespace
