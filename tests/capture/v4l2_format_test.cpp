#include "capture/v4l2_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <linux/videodev2.h>

#include "capture/capture_device.h"

namespace {

TEST(V4l2Format, PaddedRowAndImageSizes) {
    EXPECT_EQ(paddedRowBytes(320, 24), 960u);
    EXPECT_EQ(paddedRowBytes(321, 24), 964u);  // 963 bytes padded to 32 bits
    EXPECT_EQ(paddedRowBytes(1, 8), 4u);
    EXPECT_EQ(paddedRowBytes(3, 16), 8u);
    EXPECT_EQ(paddedImageBytes(320, 240, 24), 230400u);
    EXPECT_EQ(paddedImageBytes(321, 240, 24), 231360u);
    EXPECT_EQ(paddedImageBytes(640, 480, 24), 921600u);
    // Degenerate and overflowing requests give 0 rather than a wrapped size.
    EXPECT_EQ(paddedRowBytes(0, 24), 0u);
    EXPECT_EQ(paddedRowBytes(-5, 24), 0u);
    EXPECT_EQ(paddedRowBytes(320, 0), 0u);
    EXPECT_EQ(paddedImageBytes(320, -240, 24), 0u);
    EXPECT_EQ(paddedRowBytes(2000000000, 32), 0u);
    EXPECT_EQ(paddedImageBytes(65536, 65536, 24), 0u);
}

TEST(V4l2Format, DiscreteSizesSortedWithoutDuplicates) {
    const std::vector<FrameSizeRange> ranges = {
        {true, 640, 480}, {true, 160, 120}, {true, 1280, 720}, {true, 640, 480}, {true, 0, 0}};
    const std::vector<FrameFormatChoice> sizes = listableSizes(ranges);
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_EQ(sizes[0].width, 160);
    EXPECT_EQ(sizes[1].width, 640);
    EXPECT_EQ(sizes[2].width, 1280);
}

TEST(V4l2Format, StepwiseRangeOffersCommonSizesOnItsGrid) {
    FrameSizeRange range;
    range.discrete = false;
    range.minWidth = 48;
    range.minHeight = 32;
    range.maxWidth = 800;
    range.maxHeight = 600;
    range.stepWidth = 16;
    range.stepHeight = 16;
    std::vector<std::pair<int, int>> sizes;
    for (const FrameFormatChoice& size : listableSizes({range}))
        sizes.emplace_back(size.width, size.height);
    // 160 x 120 is off the grid (120 - 32 is no multiple of 16), 1280 x 720 out of
    // range; 800 x 600 is off the grid too but is the range's maximum.
    const std::vector<std::pair<int, int>> expected = {{48, 32}, {320, 240}, {352, 288}, {640, 480}, {800, 600}};
    EXPECT_EQ(sizes, expected);
}

TEST(V4l2Format, NearestSizePrefersExactThenSmallestLarger) {
    const std::vector<FrameFormatChoice> offered = {{160, 120, 30}, {640, 480, 30}, {1280, 720, 30}};
    EXPECT_EQ(nearestSize(offered, 640, 480).width, 640);
    const FrameFormatChoice larger = nearestSize(offered, 320, 240);
    EXPECT_EQ(larger.width, 640);
    EXPECT_EQ(larger.height, 480);
    EXPECT_EQ(nearestSize(offered, 1920, 1080).width, 1280);  // nothing large enough: the largest
    EXPECT_EQ(nearestSize(offered, 700, 100).width, 1280);
    EXPECT_EQ(nearestSize({}, 320, 240).width, 0);
}

TEST(V4l2Format, FrameRates) {
    EXPECT_DOUBLE_EQ(framesPerSecond(1, 30), 30.0);
    EXPECT_NEAR(framesPerSecond(1001, 30000), 29.97, 0.001);
    EXPECT_DOUBLE_EQ(framesPerSecond(0, 30), 0.0);
    EXPECT_DOUBLE_EQ(framesPerSecond(1, 0), 0.0);
    EXPECT_NEAR(10000000.0 / kFrameDuration100ns, 30.0, 0.0001);
    EXPECT_DOUBLE_EQ(closestRateTo30({5, 15, 25, 60}), 25.0);
    EXPECT_DOUBLE_EQ(closestRateTo30({60, 29.97, 30}), 30.0);
    EXPECT_DOUBLE_EQ(closestRateTo30({0, -1}), 0.0);
    EXPECT_DOUBLE_EQ(closestRateTo30({}), 0.0);
}

TEST(V4l2Format, Texts) {
    EXPECT_EQ(fourccText(V4L2_PIX_FMT_YUYV), "YUYV");
    EXPECT_EQ(fourccText(V4L2_PIX_FMT_MJPEG), "MJPG");
    EXPECT_EQ(fourccText(0x01024341u), "AC..");
    EXPECT_EQ(formatChoiceText({640, 480, 30.0}), "640 x 480, 30 fps");
    EXPECT_EQ(formatChoiceText({320, 240, 30000.0 / 1001}), "320 x 240, 29.97 fps");
    EXPECT_EQ(formatChoiceText({320, 240, 7.5}), "320 x 240, 7.50 fps");
    EXPECT_EQ(formatChoiceText({1280, 720, 0.0}), "1280 x 720");
}

TEST(V4l2Format, CardNames) {
    const std::uint8_t full[8] = {'W', 'e', 'b', 'c', 'a', 'm', 'X', 'Y'};  // no terminating NUL
    EXPECT_EQ(cardName(full, sizeof full), "WebcamXY");
    const std::uint8_t padded[8] = {'C', 'a', 'm', ' ', ' ', 0, 'z', 'z'};
    EXPECT_EQ(cardName(padded, sizeof padded), "Cam");
    const std::uint8_t empty[4] = {0, 'x', 0, 0};
    EXPECT_EQ(cardName(empty, sizeof empty), "Video device");
    EXPECT_EQ(cardName(nullptr, 0), "Video device");
}

TEST(V4l2Format, CaptureNodesNeedCaptureAndStreaming) {
    const std::uint32_t both = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    EXPECT_TRUE(capturesVideo(both, 0));
    EXPECT_FALSE(capturesVideo(V4L2_CAP_VIDEO_CAPTURE, 0));  // read() only
    // device_caps speaks for the node when the driver fills it: a camera's
    // metadata node shares the card's capabilities but captures no video.
    EXPECT_FALSE(capturesVideo(both | V4L2_CAP_DEVICE_CAPS, V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING));
    EXPECT_TRUE(capturesVideo(both | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS, both));
}

TEST(V4l2Format, VideoNodesInNumericOrder) {
    const std::vector<std::string> sorted = sortedVideoNodes({"video10", "video2", "video0", "video1"});
    EXPECT_EQ(sorted, (std::vector<std::string>{"video0", "video1", "video2", "video10"}));
}

TEST(DeviceDescription, NumberedAndCutTo159Characters) {
    EXPECT_EQ(deviceDescription(0, "HD Webcam"), "0 - HD Webcam");
    EXPECT_EQ(deviceDescription(12, ""), "12 - ");
    const std::string cut = deviceDescription(3, std::string(300, 'n'));
    EXPECT_EQ(cut.size(), 159u);
    EXPECT_EQ(cut.substr(0, 5), "3 - n");
    // A cut never splits a multi-byte character: "é" is two bytes.
    std::string accented = "0 - " + std::string(154, 'a');  // 158 characters so far
    const std::string withUtf8 = deviceDescription(0, std::string(154, 'a') + "\xC3\xA9" + "z");
    EXPECT_EQ(withUtf8, accented);
}

}  // namespace
