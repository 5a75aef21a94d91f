// Connecting, disconnecting and switching devices over and over leaves no thread,
// file descriptor or frame buffer behind.
//
// 1,000 cycles run without streaming (no settling pauses, so they take well
// under a second); a few more go live, fetch a frame and switch devices while
// streaming, since each start and stop costs a 200 ms settling pause.
#include "capture/capture_device.h"
#include "capture/test_camera.h"
#include "capture_test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kQuietCycles = 1000;
constexpr int kLiveCycles = 3;
const std::string kSecondCameraName = "Castellan Test Camera (second)";

int entriesIn(const char* directory) {
    DIR* dir = opendir(directory);
    if (!dir) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

// Bytes the allocator holds for the program; 0 when a sanitizer's allocator
// stands in (its leak checker covers that case).
std::size_t heapInUse() { return mallinfo2().uordblks; }

struct Footprint {
    int threads = entriesIn("/proc/self/task");
    int descriptors = entriesIn("/proc/self/fd");
    long residentKb = residentKilobytes();
    std::size_t heap = heapInUse();
};

bool fetchWithin(CaptureDevice* device, std::vector<std::uint8_t>& rgb) {
    for (int attempt = 0; attempt < 5; ++attempt)
        if (fetchFrame(device, rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000)) return true;
    return false;
}

class CaptureSoak : public ::testing::Test {
protected:
    void SetUp() override {
        registerTestCamera();
        registerVirtualCaptureDevice(kSecondCameraName, [] { return std::make_unique<TestCameraSource>(); });
        ASSERT_EQ(captureDeviceCount(), 2);
        device.reset(createCaptureDevice());
        ASSERT_NE(device, nullptr);
        // Warm up once, so first-use allocations (device table, dialogs) are not counted.
        ASSERT_EQ(connectDevice(device.get(), 0), 1);
        disconnectDevice(device.get());
    }

    void expectNothingLeftSince(const Footprint& before) {
        const Footprint after;
        EXPECT_EQ(after.threads, before.threads) << "threads left running";
        EXPECT_EQ(after.descriptors, before.descriptors) << "file descriptors left open";
#if !defined(__SANITIZE_THREAD__)
        // One leaked 320 x 240 frame per cycle would be 230 MB after 1,000 cycles.
        // (ThreadSanitizer's own shadow memory and history grow with every thread.)
        EXPECT_LT(after.residentKb - before.residentKb, 8 * 1024) << "resident memory grew";
#endif
        if (before.heap > 0) {
            EXPECT_LT(after.heap, before.heap + 64 * 1024) << "heap grew";
        }
    }

    CaptureTestScope scope;
    CaptureDevicePtr device;
};

TEST_F(CaptureSoak, ThousandConnectSwitchDisconnectCyclesLeaveNothingBehind) {
    const Footprint before;
    for (int cycle = 0; cycle < kQuietCycles; ++cycle) {
        ASSERT_EQ(connectDevice(device.get(), cycle % 2), 1);
        ASSERT_EQ(connectDevice(device.get(), 1 - cycle % 2), 1);  // switch: the first is released
        ASSERT_EQ(connectDevice(device.get(), -1), 1 - cycle % 2);
        if (cycle % 3 == 0) {
            ASSERT_TRUE(setImageSize(device.get(), 160 + cycle % 7, 120));
        }
        ASSERT_GT(dialogCount(device.get()), 0);
        disconnectDevice(device.get());
        ASSERT_EQ(connectDevice(device.get(), -1), -1);
        ASSERT_EQ(dialogCount(device.get()), 0);
    }
    expectNothingLeftSince(before);
}

TEST_F(CaptureSoak, LiveCyclesWithSwitchingWhileStreamingLeaveNothingBehind) {
    const Footprint before;
    std::vector<std::uint8_t> frame;
    for (int cycle = 0; cycle < kLiveCycles; ++cycle) {
        ASSERT_EQ(connectDevice(device.get(), 0), 1);
        ASSERT_EQ(setLive(device.get(), 1), 1);
        int width = 0, height = 0;
        getImageSize(device.get(), width, height);
        frame.assign(std::size_t(width) * height * 3, 0);
        ASSERT_TRUE(fetchWithin(device.get(), frame));

        // Switching while live stops the running stream and its thread.
        ASSERT_EQ(connectDevice(device.get(), 1), 1);
        EXPECT_EQ(setLive(device.get(), -1), 0);
        ASSERT_EQ(setLive(device.get(), 1), 1);
        ASSERT_TRUE(fetchWithin(device.get(), frame));
        disconnectDevice(device.get());  // stops streaming first
        EXPECT_EQ(setLive(device.get(), -1), 0);
        EXPECT_FALSE(fetchFrame(device.get(), frame.data(), frame.size(), FrameLayout::PackedRGB, 0));
    }
    expectNothingLeftSince(before);
}

}  // namespace
