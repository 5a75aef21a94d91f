#pragma once

#include <cstddef>

// Grey value of one pixel: trunc(0.2999 R + 0.587 G + 0.114 B) in double
// precision. The weights add up to 1.0009, so white stays 255 and no value
// exceeds it.
inline unsigned char greyValue(unsigned char r, unsigned char g, unsigned char b) {
    return static_cast<unsigned char>(0.2999 * r + 0.587 * g + 0.114 * b);
}

// Converts `pixelCount` packed R, G, B pixels to grey.
void convertToGrey(const unsigned char* rgb, unsigned char* grey, std::size_t pixelCount);
