#include "capture/v4l2_source.h"

#include <gtest/gtest.h>

#include <QComboBox>

#include <chrono>
#include <thread>

#include "capture/capture_device.h"
#include "capture/capture_dialogs.h"
#include "capture/v4l2_format.h"
#include "capture_test_support.h"
#include "fake_v4l2_io.h"

namespace {

using Clock = std::chrono::steady_clock;

class V4l2BackendTest : public ::testing::Test {
protected:
    void SetUp() override { io = std::make_shared<FakeV4l2Io>(); }

    // Offers the fake's cameras as the only hardware.
    void installFake() { setHardwareCaptureBackends({std::make_shared<V4l2Backend>(io)}); }

    // A device connected to table entry 0 at 320 x 240.
    CaptureDevicePtr connectedDevice() {
        installFake();
        CaptureDevicePtr device(createCaptureDevice());
        EXPECT_NE(device, nullptr);
        EXPECT_EQ(connectDevice(device.get(), 0), 1);
        setImageSize(device.get(), 320, 240);
        return device;
    }

    CaptureTestScope scope;
    std::shared_ptr<FakeV4l2Io> io;
};

FakeCamera cameraWithControls() {
    FakeCamera camera;
    camera.controls = {
        fakeControl(V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, 0, 255, 128),
        fakeControl(V4L2_CID_CONTRAST, "Contrast", V4L2_CTRL_TYPE_INTEGER, 0, 255, 32, V4L2_CTRL_FLAG_DISABLED),
        fakeControl(V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1),
        fakeControl(V4L2_CID_POWER_LINE_FREQUENCY, "Power Line Frequency", V4L2_CTRL_TYPE_MENU, 0, 3, 1),
        fakeControl(V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure (Absolute)", V4L2_CTRL_TYPE_INTEGER, 3, 2047, 250,
                    V4L2_CTRL_FLAG_READ_ONLY),
    };
    camera.values = {{V4L2_CID_BRIGHTNESS, 140}, {V4L2_CID_AUTO_WHITE_BALANCE, 0}, {V4L2_CID_POWER_LINE_FREQUENCY, 2}};
    // Menu index 2 is missing, as drivers leave holes.
    camera.menuItems = {{{V4L2_CID_POWER_LINE_FREQUENCY, 0}, "Disabled"},
                        {{V4L2_CID_POWER_LINE_FREQUENCY, 1}, "50 Hz"},
                        {{V4L2_CID_POWER_LINE_FREQUENCY, 3}, "Auto"}};
    return camera;
}

TEST_F(V4l2BackendTest, ListsCaptureNodesByCardNameInOrder) {
    FakeCamera first;
    first.card = "USB Camera: Front";
    FakeCamera metadata;
    metadata.card = "USB Camera: Metadata";
    metadata.capture = false;
    FakeCamera second;
    second.card = "Capture Card";
    io->cameras = {first, metadata, second};
    installFake();

    ASSERT_EQ(captureDeviceCount(), 2);
    EXPECT_STREQ(captureDeviceDescription(0), "0 - USB Camera: Front");
    EXPECT_STREQ(captureDeviceDescription(1), "1 - Capture Card");
    EXPECT_EQ(io->openCount(), 0) << "enumeration leaves no node open";

    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_EQ(connectDevice(device.get(), 1), 1);
    EXPECT_EQ(connectDevice(device.get(), -1), 1);
}

TEST_F(V4l2BackendTest, NoNodesMeansNoDevice) {
    installFake();
    EXPECT_EQ(captureDeviceCount(), 0);
    EXPECT_EQ(createCaptureDevice(), nullptr);
}

TEST_F(V4l2BackendTest, RequestedSizeAndRateAndDriverAdjustment) {
    io->cameras = {FakeCamera{}};
    CaptureDevicePtr device = connectedDevice();
    int width = 0, height = 0;
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    // 30 frames per second, as a 333333 x 100 ns frame duration.
    EXPECT_DOUBLE_EQ(framesPerSecond(io->cameras[0].timePerFrame.numerator, io->cameras[0].timePerFrame.denominator),
                     10000000.0 / 333333.0);

    // The driver settles on a size it has; the delivered size is read back.
    EXPECT_TRUE(setImageSize(device.get(), 600, 470));
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);

    // Sizes nobody can deliver are refused before reaching the driver.
    EXPECT_FALSE(setImageSize(device.get(), 0, 240));
    EXPECT_FALSE(setImageSize(device.get(), -320, 240));
    EXPECT_FALSE(setImageSize(device.get(), 1 << 30, 1 << 30));
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
}

TEST_F(V4l2BackendTest, RefusedFormatKeepsTheOldOne) {
    FakeCamera camera;
    camera.width = 320;
    camera.height = 240;
    camera.refusedSizes = {{640, 480}};
    io->cameras = {camera};
    CaptureDevicePtr device = connectedDevice();
    ASSERT_EQ(setLive(device.get(), 1), 1);
    EXPECT_FALSE(setImageSize(device.get(), 640, 480));
    int width = 0, height = 0;
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    // Still streaming at the old size.
    EXPECT_EQ(setLive(device.get(), -1), 1);
    std::vector<std::uint8_t> rgb(320 * 240 * 3);
    bool fetched = false;
    for (int attempt = 0; attempt < 5 && !fetched; ++attempt)
        fetched = fetchFrame(device.get(), rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000);
    EXPECT_TRUE(fetched);
}

TEST_F(V4l2BackendTest, DeviceRefusingEvenItsOwnSizeIsNotConnected) {
    FakeCamera camera;
    camera.refusedSizes = {{camera.width, camera.height}};
    io->cameras = {camera};
    installFake();
    CaptureDevicePtr device(createCaptureDevice());
    EXPECT_EQ(connectDevice(device.get(), 0), 0);
    EXPECT_EQ(io->openCount(), 0);
}

TEST_F(V4l2BackendTest, DeviceThatCannotDeliverBgrIsNotConnected) {
    FakeCamera camera;
    camera.nativeFormat = V4L2_PIX_FMT_YUYV;  // and no conversion in between
    io->cameras = {camera};
    installFake();
    CaptureDevicePtr device(createCaptureDevice());
    EXPECT_EQ(connectDevice(device.get(), 0), 0);
    EXPECT_EQ(connectDevice(device.get(), -1), -1);
    EXPECT_EQ(io->openCount(), 0);
}

TEST_F(V4l2BackendTest, BusyDeviceFailsToConnectOrToStart) {
    FakeCamera busy;
    busy.busy = true;
    FakeCamera busyOnStream;
    busyOnStream.busyOnStream = true;
    io->cameras = {busy, busyOnStream};
    installFake();
    CaptureDevicePtr device(createCaptureDevice());
    EXPECT_EQ(connectDevice(device.get(), 0), 0);
    EXPECT_EQ(io->openCount(), 0);

    ASSERT_EQ(connectDevice(device.get(), 1), 1);
    EXPECT_EQ(setLive(device.get(), 1), 0);
    EXPECT_EQ(setLive(device.get(), -1), 0);
    EXPECT_EQ(io->mappedCount(), 0);
    disconnectDevice(device.get());
    EXPECT_EQ(io->openCount(), 0);
}

TEST_F(V4l2BackendTest, StreamsFramesUprightAsBottomUpRgb) {
    FakeCamera camera;
    camera.padding = 4;  // rows with padding at the end
    io->cameras = {camera};
    CaptureDevicePtr device = connectedDevice();
    ASSERT_EQ(setLive(device.get(), 1), 1);
    std::vector<std::uint8_t> rgb(320 * 240 * 3, 0);
    bool fetched = false;
    for (int attempt = 0; attempt < 5 && !fetched; ++attempt)
        fetched = fetchFrame(device.get(), rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000);
    ASSERT_TRUE(fetched);
    // Buffer row 0 is the bottom of the picture (picture row 239); R, G, B.
    for (int bufferRow : {0, 1, 120, 239}) {
        const std::uint8_t* pixel = rgb.data() + static_cast<std::size_t>(bufferRow) * 320 * 3 + 3 * 17;
        EXPECT_EQ(pixel[0], 200);
        EXPECT_EQ(pixel[1], 239 - bufferRow);
    }
    EXPECT_EQ(setLive(device.get(), 0), 1);
    EXPECT_FALSE(io->isStreaming());
    EXPECT_EQ(io->mappedCount(), 0);
}

TEST_F(V4l2BackendTest, UnpluggedDeviceEndsTheStreamWithoutHanging) {
    io->cameras = {FakeCamera{}};
    CaptureDevicePtr device = connectedDevice();
    ASSERT_EQ(setLive(device.get(), 1), 1);
    EXPECT_EQ(captureStreamError(device.get()), "");
    std::vector<std::uint8_t> rgb(320 * 240 * 3, 0);
    for (int attempt = 0; attempt < 5; ++attempt)
        if (fetchFrame(device.get(), rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000))
            break;

    io->unplugged = true;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (captureStreamError(device.get()).empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NE(captureStreamError(device.get()).find("No such device"), std::string::npos);

    // The last frame stays where it is; fetches time out instead of failing hard.
    fetchFrame(device.get(), rgb.data(), rgb.size(), FrameLayout::PackedRGB, 0);  // at most one frame was in flight
    const std::vector<std::uint8_t> kept = rgb;
    EXPECT_FALSE(fetchFrame(device.get(), rgb.data(), rgb.size(), FrameLayout::PackedRGB, 100));
    EXPECT_EQ(rgb, kept);

    const auto start = Clock::now();
    EXPECT_EQ(setLive(device.get(), 0), 1);
    disconnectDevice(device.get());
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 3000);
    EXPECT_EQ(io->openCount(), 0);
    EXPECT_EQ(io->mappedCount(), 0);
}

TEST_F(V4l2BackendTest, PassingIoErrorsDoNotEndTheStream) {
    io->cameras = {FakeCamera{}};
    CaptureDevicePtr device = connectedDevice();
    io->passingErrors = 5;
    ASSERT_EQ(setLive(device.get(), 1), 1);
    std::vector<std::uint8_t> rgb(320 * 240 * 3, 0);
    bool fetched = false;
    for (int attempt = 0; attempt < 5 && !fetched; ++attempt)
        fetched = fetchFrame(device.get(), rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000);
    EXPECT_TRUE(fetched);
    EXPECT_EQ(io->passingErrors, 0);
    EXPECT_EQ(captureStreamError(device.get()), "");
}

TEST_F(V4l2BackendTest, DialogListFollowsWhatTheDeviceHas) {
    FakeCamera plain;
    plain.controls.clear();
    FakeCamera rich = cameraWithControls();
    rich.inputs = {"Composite", "S-Video"};
    io->cameras = {plain, rich};
    installFake();
    CaptureDevicePtr device(createCaptureDevice());

    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    ASSERT_EQ(dialogCount(device.get()), 1);
    EXPECT_STREQ(dialogDescription(device.get(), 0), "Format...");

    ASSERT_EQ(connectDevice(device.get(), 1), 1);
    ASSERT_EQ(dialogCount(device.get()), 3);
    EXPECT_STREQ(dialogDescription(device.get(), 0), "Format...");
    EXPECT_STREQ(dialogDescription(device.get(), 1), "Source...");
    EXPECT_STREQ(dialogDescription(device.get(), 2), "Crossbar...");
    EXPECT_EQ(dialogDescription(device.get(), 3), nullptr);
    EXPECT_FALSE(showDialog(device.get(), 3, nullptr));
}

TEST_F(V4l2BackendTest, FormatDialogOffersEnumeratedSizesAndRebuildsWhileLive) {
    io->cameras = {FakeCamera{}};
    CaptureDevicePtr device = connectedDevice();
    ASSERT_EQ(setLive(device.get(), 1), 1);
    QStringList offered;
    setCaptureDialogExecHook([&](QDialog& dialog) {
        auto* combo = dialog.findChild<QComboBox*>("formatComboBox");
        for (int i = 0; i < combo->count(); ++i)
            offered << combo->itemText(i);
        EXPECT_EQ(combo->currentText(), "320 x 240, 30 fps");
        combo->setCurrentIndex(2);
        return int(QDialog::Accepted);
    });
    EXPECT_TRUE(showDialog(device.get(), 0, nullptr));
    EXPECT_EQ(offered, (QStringList{"160 x 120, 30 fps", "320 x 240, 30 fps", "640 x 480, 30 fps"}));
    int width = 0, height = 0;
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    EXPECT_EQ(setLive(device.get(), -1), 1);
    std::vector<std::uint8_t> rgb(640 * 480 * 3);
    bool fetched = false;
    for (int attempt = 0; attempt < 5 && !fetched; ++attempt)
        fetched = fetchFrame(device.get(), rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000);
    EXPECT_TRUE(fetched);

    // Cancelling is not a failure and changes nothing.
    setCaptureDialogExecHook([](QDialog&) { return int(QDialog::Rejected); });
    EXPECT_TRUE(showDialog(device.get(), 0, nullptr));
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 640);
}

TEST_F(V4l2BackendTest, FormatTheDeviceRefusesFailsTheDialog) {
    FakeCamera camera;
    camera.refusedSizes = {{160, 120}};
    io->cameras = {camera};
    CaptureDevicePtr device = connectedDevice();
    setCaptureDialogExecHook([](QDialog& dialog) {
        dialog.findChild<QComboBox*>("formatComboBox")->setCurrentIndex(0);
        return int(QDialog::Accepted);
    });
    EXPECT_FALSE(showDialog(device.get(), 0, nullptr));
    int width = 0, height = 0;
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
}

TEST_F(V4l2BackendTest, ControlsBecomeTheSourceDialog) {
    io->cameras = {cameraWithControls()};
    installFake();
    std::unique_ptr<V4l2Source> source = V4l2Source::open(io, "/dev/video0");
    ASSERT_NE(source, nullptr);
    const std::vector<CaptureControl> controls = source->readControls();
    // Disabled and read-only controls are left out.
    ASSERT_EQ(controls.size(), 3u);
    EXPECT_EQ(controls[0].name, "Brightness");
    EXPECT_EQ(controls[0].kind, CaptureControl::Kind::Integer);
    EXPECT_EQ(controls[0].value, 140);
    EXPECT_EQ(controls[0].maximum, 255);
    EXPECT_EQ(controls[1].kind, CaptureControl::Kind::Boolean);
    EXPECT_EQ(controls[2].kind, CaptureControl::Kind::Menu);
    EXPECT_EQ(controls[2].value, 2);
    const std::vector<std::pair<int, std::string>> items = {{0, "Disabled"}, {1, "50 Hz"}, {3, "Auto"}};
    EXPECT_EQ(controls[2].menuItems, items);

    // Values are applied at once; a value the driver refuses fails the dialog.
    setCaptureDialogExecHook([](QDialog& dialog) {
        auto& source = dynamic_cast<CaptureSourceDialog&>(dialog);
        source.setControlValue(V4L2_CID_BRIGHTNESS, 200);
        return int(QDialog::Accepted);
    });
    EXPECT_TRUE(source->runDialog(1, nullptr));
    EXPECT_EQ(io->cameras[0].values[V4L2_CID_BRIGHTNESS], 200);
    EXPECT_FALSE(source->applyControl(V4L2_CID_BRIGHTNESS, 999));
    EXPECT_EQ(io->cameras[0].values[V4L2_CID_BRIGHTNESS], 200);
}

TEST_F(V4l2BackendTest, CrossbarSelectsTheInput) {
    FakeCamera camera;
    camera.inputs = {"Composite", "S-Video", "Tuner"};
    io->cameras = {camera};
    CaptureDevicePtr device = connectedDevice();
    ASSERT_EQ(dialogCount(device.get()), 2);
    ASSERT_STREQ(dialogDescription(device.get(), 1), "Crossbar...");
    setCaptureDialogExecHook([](QDialog& dialog) {
        auto* combo = dialog.findChild<QComboBox*>("inputComboBox");
        EXPECT_EQ(combo->count(), 3);
        EXPECT_EQ(combo->itemText(1), "S-Video");
        combo->setCurrentIndex(1);
        return int(QDialog::Accepted);
    });
    EXPECT_TRUE(showDialog(device.get(), 1, nullptr));
    EXPECT_EQ(io->cameras[0].input, 1);
}

}  // namespace
