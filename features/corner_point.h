#pragma once

#include <cstdint>

// One corner, in pixels of the processed image: x is the column (0 = leftmost),
// y the buffer row (0 = first row in the buffer, the bottom row of the picture).
struct CornerPoint {
    int32_t x = 0;
    int32_t y = 0;
};
