#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/capture_formats.h"

// Plain V4L2 format arithmetic and texts, kept apart from the ioctls so that it
// can be checked without a camera.

// Frame interval asked for, in 100 ns units: 30 frames per second.
constexpr std::int64_t kFrameDuration100ns = 333333;

// Bytes per row of a width-pixel row of bitsPerPixel, padded to 32 bits:
// (width x bits + 31) / 32 x 4. 0 for a non-positive width or bits, or on overflow.
std::size_t paddedRowBytes(int width, int bitsPerPixel);
// height x paddedRowBytes; 0 for bad input or on overflow.
std::size_t paddedImageBytes(int width, int height, int bitsPerPixel);

// A driver's answer to VIDIOC_ENUM_FRAMESIZES, reduced to what choosing needs.
struct FrameSizeRange {
    bool discrete = true;  // discrete: only minimum; otherwise stepwise (step 1 = continuous)
    int minWidth = 0, minHeight = 0;
    int maxWidth = 0, maxHeight = 0;
    int stepWidth = 1, stepHeight = 1;
};

// Sizes worth listing in "Format...": every discrete size, and for stepwise
// ranges the common sizes (160 x 120 ... 1920 x 1080) that lie on the grid,
// plus the range's minimum and maximum. Sorted by area, duplicates removed.
std::vector<FrameFormatChoice> listableSizes(const std::vector<FrameSizeRange>& ranges);

// The size a request for width x height should become: the exact size when
// offered; else the smallest offered size at least as large in both sides; else
// the largest offered. {0, 0} when nothing is offered.
FrameFormatChoice nearestSize(const std::vector<FrameFormatChoice>& offered, int width, int height);

// Frames per second of a V4L2 frame interval (numerator / denominator seconds);
// 0 for a degenerate interval.
double framesPerSecond(std::uint32_t numerator, std::uint32_t denominator);

// Of the offered rates, the one closest to 30 fps (0 when none are offered).
double closestRateTo30(const std::vector<double>& rates);

// "YUYV" and the like; unprintable bytes as '.'.
std::string fourccText(std::uint32_t fourcc);

// The card name of VIDIOC_QUERYCAP (a fixed field that need not end in NUL),
// trailing blanks removed; "Video device" when empty.
std::string cardName(const std::uint8_t* card, std::size_t fieldSize);

// Whether the node captures video frames by streaming, from QUERYCAP's
// capabilities and device_caps (device_caps wins when the driver fills it).
bool capturesVideo(std::uint32_t capabilities, std::uint32_t deviceCaps);

// Order /dev/video* names numerically: video2 before video10.
std::vector<std::string> sortedVideoNodes(std::vector<std::string> names);
