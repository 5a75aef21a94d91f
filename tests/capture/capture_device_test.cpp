#include "capture/capture_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "capture_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// What a scripted source was asked to do, shared with the test after the
// device has taken the source over.
struct SourceLog {
    int opened = 0;
    int destroyed = 0;
    int starts = 0;
    int stops = 0;
    int dialogsRun = 0;
    bool liveDuringDialog = false;
};

// A capture source whose answers the test chooses. It delivers one frame per
// start, synchronously, so no thread is involved.
class ScriptedSource final : public CaptureSource {
public:
    explicit ScriptedSource(std::shared_ptr<SourceLog> log) : log_(std::move(log)) { ++log_->opened; }
    ~ScriptedSource() override { ++log_->destroyed; }

    bool startSucceeds = true;
    bool dialogSucceeds = true;
    int width = 100;
    int height = 50;
    int sizeAfterDialog = 0;  // non-zero: the format dialog switches to this square size
    bool streaming = false;

    void frameSize(int& w, int& h) const override {
        w = width;
        h = height;
    }
    bool requestFrameSize(int w, int h) override {
        if (w <= 0 || h <= 0)
            return false;
        width = w;
        height = h;
        return true;
    }
    bool start(imTrackingGrabberCB& mailbox) override {
        ++log_->starts;
        if (!startSucceeds)
            return false;
        streaming = true;
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(width) * height * 3, 0x42);
        mailbox.SampleCB(frame.data(), frame.size());
        return true;
    }
    void stop() override {
        if (streaming)
            ++log_->stops;
        streaming = false;
    }
    std::vector<CaptureDialogEntry> dialogs() const override {
        return {{"Format...", DialogEffect::ChangesFormat}, {"Source...", DialogEffect::None}};
    }
    bool runDialog(int index, QWidget*) override {
        ++log_->dialogsRun;
        log_->liveDuringDialog = streaming;
        if (index == 0 && sizeAfterDialog > 0)
            width = height = sizeAfterDialog;
        return dialogSucceeds;
    }

private:
    std::shared_ptr<SourceLog> log_;
};

class CaptureDeviceTest : public ::testing::Test {
protected:
    // Registers a scripted device; `configure` adjusts each source it opens.
    std::shared_ptr<SourceLog> addDevice(const std::string& name,
                                         std::function<void(ScriptedSource&)> configure = {}) {
        auto log = std::make_shared<SourceLog>();
        registerVirtualCaptureDevice(name, [log, configure] {
            auto source = std::make_unique<ScriptedSource>(log);
            if (configure)
                configure(*source);
            return source;
        });
        return log;
    }

    CaptureTestScope scope;
};

long long millisecondsOf(const std::function<void()>& action) {
    const auto start = Clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST_F(CaptureDeviceTest, NoDeviceMeansNoObjectAndAnEmptyTable) {
    EXPECT_EQ(createCaptureDevice(), nullptr);
    EXPECT_EQ(captureDeviceCount(), 0);
    EXPECT_EQ(captureDeviceDescription(0), nullptr);
}

TEST_F(CaptureDeviceTest, DeviceTableNumbersEntriesAndStopsAtThirty) {
    addDevice("First camera");
    addDevice("Second camera");
    ASSERT_EQ(captureDeviceCount(), 2);
    EXPECT_STREQ(captureDeviceDescription(0), "0 - First camera");
    EXPECT_STREQ(captureDeviceDescription(1), "1 - Second camera");
    EXPECT_EQ(captureDeviceDescription(2), nullptr);
    EXPECT_EQ(captureDeviceDescription(-1), nullptr);

    for (int i = 2; i < 35; ++i)
        addDevice("Camera " + std::to_string(i));
    EXPECT_EQ(captureDeviceCount(), kMaxCaptureDevices);
    EXPECT_STREQ(captureDeviceDescription(29), "29 - Camera 29");
}

TEST_F(CaptureDeviceTest, NullDeviceIsHarmlessEverywhere) {
    int width = 7, height = 7;
    EXPECT_EQ(connectDevice(nullptr, 0), 0);
    EXPECT_EQ(connectDevice(nullptr, -1), -1);
    EXPECT_FALSE(setImageSize(nullptr, 320, 240));
    getImageSize(nullptr, width, height);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);
    EXPECT_EQ(setLive(nullptr, -1), 0);
    EXPECT_EQ(setLive(nullptr, 1), 0);
    std::uint8_t pixel[3] = {};
    EXPECT_FALSE(fetchFrame(nullptr, pixel, sizeof pixel, FrameLayout::PackedRGB, 1000));
    EXPECT_EQ(dialogCount(nullptr), 0);
    EXPECT_EQ(dialogDescription(nullptr, 0), nullptr);
    EXPECT_FALSE(showDialog(nullptr, 0, nullptr));
    disconnectDevice(nullptr);
    destroyCaptureDevice(nullptr);
    EXPECT_EQ(captureStreamError(nullptr), "");
}

TEST_F(CaptureDeviceTest, ConnectingSwitchesDevicesAndReportsTheIndex) {
    auto first = addDevice("A");
    auto second = addDevice("B");
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(connectDevice(device.get(), -1), -1);
    EXPECT_EQ(dialogCount(device.get()), 0);

    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    EXPECT_EQ(connectDevice(device.get(), -1), 0);
    EXPECT_EQ(connectDevice(device.get(), 0), 1);
    EXPECT_EQ(first->opened, 1) << "connecting to the connected index opens nothing";
    int width = 0, height = 0;
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 100);
    EXPECT_EQ(height, 50);
    EXPECT_EQ(dialogCount(device.get()), 2);
    EXPECT_STREQ(dialogDescription(device.get(), 1), "Source...");

    ASSERT_EQ(connectDevice(device.get(), 1), 1);
    EXPECT_EQ(first->destroyed, 1) << "the other device is released first";
    EXPECT_EQ(second->opened, 1);
    EXPECT_EQ(connectDevice(device.get(), -1), 1);

    EXPECT_EQ(connectDevice(device.get(), 2), 0);  // out of range: nothing changes
    EXPECT_EQ(connectDevice(device.get(), -1), 1);
    EXPECT_EQ(connectDevice(device.get(), -7), 0);
}

TEST_F(CaptureDeviceTest, DeviceThatCannotBeOpenedLeavesNothingConnected) {
    registerVirtualCaptureDevice("Broken", [] { return std::unique_ptr<CaptureSource>(); });
    registerVirtualCaptureDevice("No factory", CaptureSourceFactory{});
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(connectDevice(device.get(), 0), 0);
    EXPECT_EQ(connectDevice(device.get(), 1), 0);
    EXPECT_EQ(connectDevice(device.get(), -1), -1);
    EXPECT_EQ(setLive(device.get(), 1), 0);
}

TEST_F(CaptureDeviceTest, LiveChangesSettleAndFailedStartClearsTheFlag) {
    auto log = addDevice("A");
    auto failing = addDevice("B", [](ScriptedSource& source) { source.startSucceeds = false; });
    CaptureDevicePtr device(createCaptureDevice());
    EXPECT_EQ(setLive(device.get(), 1), 0) << "not connected";
    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    EXPECT_EQ(setLive(device.get(), -1), 0);

    EXPECT_GE(millisecondsOf([&] { EXPECT_EQ(setLive(device.get(), 1), 1); }), kSettlingPauseMs);
    EXPECT_EQ(setLive(device.get(), -1), 1);
    std::vector<std::uint8_t> rgb(100 * 50 * 3, 0);
    EXPECT_TRUE(fetchFrame(device.get(), rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000));
    EXPECT_EQ(rgb[0], 0x42);
    EXPECT_GE(millisecondsOf([&] { EXPECT_EQ(setLive(device.get(), 0), 1); }), kSettlingPauseMs);
    EXPECT_EQ(setLive(device.get(), -1), 0);
    EXPECT_EQ(log->starts, 1);
    EXPECT_EQ(log->stops, 1);
    EXPECT_EQ(setLive(device.get(), 2), 0);
    EXPECT_EQ(setLive(device.get(), -2), 0);

    ASSERT_EQ(connectDevice(device.get(), 1), 1);
    EXPECT_EQ(setLive(device.get(), 1), 0);
    EXPECT_EQ(setLive(device.get(), -1), 0);
    EXPECT_EQ(failing->starts, 1);
    EXPECT_EQ(setLive(device.get(), 1), 0) << "a failed start can be tried again";
    EXPECT_EQ(failing->starts, 2);
}

TEST_F(CaptureDeviceTest, ImageSizeChangePassesThroughStoppedAndReturnsToLive) {
    auto log = addDevice("A");
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    ASSERT_TRUE(setImageSize(device.get(), 320, 240));
    EXPECT_EQ(log->starts, 0) << "a stopped device stays stopped";
    ASSERT_EQ(setLive(device.get(), 1), 1);
    ASSERT_TRUE(setImageSize(device.get(), 64, 48));
    EXPECT_EQ(log->stops, 1);
    EXPECT_EQ(log->starts, 2);
    EXPECT_EQ(setLive(device.get(), -1), 1);
    int width = 0, height = 0;
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 48);
    std::vector<std::uint8_t> rgb(64 * 48 * 3, 0);
    EXPECT_TRUE(fetchFrame(device.get(), rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000));

    EXPECT_FALSE(setImageSize(device.get(), 0, 48));
    EXPECT_EQ(setLive(device.get(), -1), 1);
}

TEST_F(CaptureDeviceTest, FormatDialogRebuildsTheStreamAroundItself) {
    auto log = addDevice("A", [](ScriptedSource& source) { source.sizeAfterDialog = 32; });
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    ASSERT_EQ(setLive(device.get(), 1), 1);

    EXPECT_TRUE(showDialog(device.get(), 0, nullptr));
    EXPECT_FALSE(log->liveDuringDialog);
    EXPECT_EQ(setLive(device.get(), -1), 1);
    int width = 0, height = 0;
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 32);
    EXPECT_EQ(height, 32);

    // Other dialogs are shown while streaming goes on.
    EXPECT_TRUE(showDialog(device.get(), 1, nullptr));
    EXPECT_TRUE(log->liveDuringDialog);
    EXPECT_FALSE(showDialog(device.get(), 2, nullptr));
    EXPECT_FALSE(showDialog(device.get(), -1, nullptr));
    EXPECT_EQ(log->dialogsRun, 2);
}

TEST_F(CaptureDeviceTest, RefusedDialogChoiceIsReported) {
    addDevice("A", [](ScriptedSource& source) { source.dialogSucceeds = false; });
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    EXPECT_FALSE(showDialog(device.get(), 0, nullptr));
    EXPECT_FALSE(showDialog(device.get(), 1, nullptr));
}

TEST_F(CaptureDeviceTest, DisconnectStopsAndReleasesAndIsHarmlessTwice) {
    auto log = addDevice("A");
    CaptureDevice* device = createCaptureDevice();
    ASSERT_EQ(connectDevice(device, 0), 1);
    ASSERT_EQ(setLive(device, 1), 1);
    disconnectDevice(device);
    EXPECT_EQ(log->stops, 1);
    EXPECT_EQ(log->destroyed, 1);
    EXPECT_EQ(setLive(device, -1), 0);
    EXPECT_EQ(connectDevice(device, -1), -1);
    EXPECT_EQ(dialogCount(device), 0);
    int width = 1, height = 1;
    getImageSize(device, width, height);
    EXPECT_EQ(width, 0);
    std::uint8_t pixel[3] = {9, 9, 9};
    EXPECT_FALSE(fetchFrame(device, pixel, sizeof pixel, FrameLayout::PackedRGB, 1000));
    EXPECT_EQ(pixel[0], 9);
    disconnectDevice(device);

    // Destroying a live device stops and frees it.
    ASSERT_EQ(connectDevice(device, 0), 1);
    ASSERT_EQ(setLive(device, 1), 1);
    destroyCaptureDevice(device);
    EXPECT_EQ(log->destroyed, 2);
}

}  // namespace
