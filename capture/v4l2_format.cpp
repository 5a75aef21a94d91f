#include "capture/v4l2_format.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

constexpr FrameFormatChoice kCommonSizes[] = {
    {160, 120, 0}, {320, 240, 0}, {352, 288, 0}, {640, 480, 0},
    {800, 600, 0}, {1024, 768, 0}, {1280, 720, 0}, {1920, 1080, 0},
};

bool onGrid(int value, int minimum, int maximum, int step) {
    if (value < minimum || value > maximum)
        return false;
    return step <= 1 || (value - minimum) % step == 0;
}

long long area(const FrameFormatChoice& size) {
    return static_cast<long long>(size.width) * size.height;
}

int trailingDigits(const std::string& name) {
    std::size_t start = name.size();
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9')
        --start;
    if (start == name.size() || name.size() - start > 6)
        return std::numeric_limits<int>::max();
    return std::atoi(name.c_str() + start);
}

}  // namespace

std::size_t paddedRowBytes(int width, int bitsPerPixel) {
    if (width <= 0 || bitsPerPixel <= 0)
        return 0;
    const unsigned long long bits = static_cast<unsigned long long>(width) * bitsPerPixel;
    const unsigned long long bytes = (bits + 31) / 32 * 4;
    if (bytes > std::numeric_limits<std::uint32_t>::max())
        return 0;
    return static_cast<std::size_t>(bytes);
}

std::size_t paddedImageBytes(int width, int height, int bitsPerPixel) {
    const std::size_t row = paddedRowBytes(width, bitsPerPixel);
    if (row == 0 || height <= 0)
        return 0;
    // The driver's sizeimage field is 32 bits wide.
    if (row > std::numeric_limits<std::uint32_t>::max() / static_cast<std::size_t>(height))
        return 0;
    return row * static_cast<std::size_t>(height);
}

std::vector<FrameFormatChoice> listableSizes(const std::vector<FrameSizeRange>& ranges) {
    std::vector<FrameFormatChoice> sizes;
    for (const FrameSizeRange& range : ranges) {
        if (range.minWidth <= 0 || range.minHeight <= 0)
            continue;
        sizes.push_back({range.minWidth, range.minHeight, 0});
        if (range.discrete)
            continue;
        for (const FrameFormatChoice& common : kCommonSizes) {
            if (onGrid(common.width, range.minWidth, range.maxWidth, range.stepWidth) &&
                onGrid(common.height, range.minHeight, range.maxHeight, range.stepHeight))
                sizes.push_back(common);
        }
        if (range.maxWidth >= range.minWidth && range.maxHeight >= range.minHeight)
            sizes.push_back({range.maxWidth, range.maxHeight, 0});
    }
    std::sort(sizes.begin(), sizes.end(), [](const FrameFormatChoice& a, const FrameFormatChoice& b) {
        return area(a) != area(b) ? area(a) < area(b) : a.width < b.width;
    });
    sizes.erase(std::unique(sizes.begin(), sizes.end(),
                            [](const FrameFormatChoice& a, const FrameFormatChoice& b) {
                                return a.width == b.width && a.height == b.height;
                            }),
                sizes.end());
    return sizes;
}

FrameFormatChoice nearestSize(const std::vector<FrameFormatChoice>& offered, int width, int height) {
    const FrameFormatChoice* best = nullptr;
    const FrameFormatChoice* largest = nullptr;
    for (const FrameFormatChoice& size : offered) {
        if (size.width == width && size.height == height)
            return size;
        if (size.width >= width && size.height >= height && (best == nullptr || area(size) < area(*best)))
            best = &size;
        if (largest == nullptr || area(size) > area(*largest))
            largest = &size;
    }
    if (best != nullptr)
        return *best;
    return largest != nullptr ? *largest : FrameFormatChoice{};
}

double framesPerSecond(std::uint32_t numerator, std::uint32_t denominator) {
    if (numerator == 0 || denominator == 0)
        return 0.0;
    return static_cast<double>(denominator) / numerator;
}

double closestRateTo30(const std::vector<double>& rates) {
    double best = 0.0;
    for (double rate : rates) {
        if (!(rate > 0.0) || !std::isfinite(rate))
            continue;
        if (best == 0.0 || std::fabs(rate - 30.0) < std::fabs(best - 30.0))
            best = rate;
    }
    return best;
}

std::string fourccText(std::uint32_t fourcc) {
    std::string text(4, '.');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
        if (c >= 0x20 && c < 0x7F)
            text[i] = c;
    }
    return text;
}

std::string cardName(const std::uint8_t* card, std::size_t fieldSize) {
    std::string name;
    for (std::size_t i = 0; card != nullptr && i < fieldSize && card[i] != 0; ++i)
        name.push_back(static_cast<char>(card[i]));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.pop_back();
    return name.empty() ? std::string("Video device") : name;
}

bool capturesVideo(std::uint32_t capabilities, std::uint32_t deviceCaps) {
    const std::uint32_t caps = (capabilities & V4L2_CAP_DEVICE_CAPS) ? deviceCaps : capabilities;
    return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

std::vector<std::string> sortedVideoNodes(std::vector<std::string> names) {
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return trailingDigits(a) < trailingDigits(b);
    });
    return names;
}
