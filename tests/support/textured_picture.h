#pragma once

// Textured grey pictures for golden-output tests and benchmarks: smooth value
// noise at two scales plus hard-edged rectangles (corners and edges for FAST,
// Canny and KLT). Integer arithmetic only, so every machine and compiler makes
// the same bytes.
//
// The texture is defined on a grid four times finer than the pixels; a pixel is
// the mean of its 4 x 4 fine samples. Shifting by quarter pixels therefore gives
// exact sub-pixel motion for tracking sequences.

#include <cstdint>
#include <vector>

namespace castellan_test {

inline constexpr int kFineSteps = 4;  // fine samples per pixel along each axis

inline uint32_t mixBits(uint32_t v) {
    v ^= v >> 16;
    v *= 0x7feb352dU;
    v ^= v >> 15;
    v *= 0x846ca68bU;
    v ^= v >> 16;
    return v;
}

inline uint32_t latticeHash(int64_t x, int64_t y, uint32_t seed) {
    const uint32_t hx = mixBits(static_cast<uint32_t>(x) * 0x9e3779b1U + seed);
    return mixBits(hx ^ (static_cast<uint32_t>(y) * 0x85ebca77U + 0x165667b1U));
}

// Floor division and its remainder for a positive divisor and any sign of a.
inline int64_t floorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Bilinear value noise, 0 .. 255, on a lattice of `spacing` fine units.
inline int valueNoise(int64_t x, int64_t y, int64_t spacing, uint32_t seed) {
    const int64_t cx = floorDiv(x, spacing);
    const int64_t cy = floorDiv(y, spacing);
    const int64_t fx = x - cx * spacing;
    const int64_t fy = y - cy * spacing;
    const int64_t h00 = latticeHash(cx, cy, seed) & 255U;
    const int64_t h10 = latticeHash(cx + 1, cy, seed) & 255U;
    const int64_t h01 = latticeHash(cx, cy + 1, seed) & 255U;
    const int64_t h11 = latticeHash(cx + 1, cy + 1, seed) & 255U;
    const int64_t sum = h00 * (spacing - fx) * (spacing - fy) + h10 * fx * (spacing - fy) +
                        h01 * (spacing - fx) * fy + h11 * fx * fy;
    return static_cast<int>(sum / (spacing * spacing));
}

// Offset of the rectangle that may sit in the cell holding (x, y): cells are
// 24 pixels wide, about two thirds of them hold a bright or dark rectangle.
inline int rectangleLevel(int64_t x, int64_t y, uint32_t seed) {
    constexpr int64_t kCell = 24 * kFineSteps;
    const int64_t cx = floorDiv(x, kCell);
    const int64_t cy = floorDiv(y, kCell);
    const uint32_t h = latticeHash(cx, cy, seed ^ 0x5bd1e995U);
    if (h % 3 == 0) return 0;
    const int64_t fx = x - cx * kCell;
    const int64_t fy = y - cy * kCell;
    const int64_t x0 = 6 + ((h >> 4) & 31);
    const int64_t x1 = kCell - 6 - ((h >> 9) & 31);
    const int64_t y0 = 6 + ((h >> 14) & 31);
    const int64_t y1 = kCell - 6 - ((h >> 19) & 31);
    if (fx < x0 || fx >= x1 || fy < y0 || fy >= y1) return 0;
    const int magnitude = 40 + static_cast<int>((h >> 24) & 63);
    return (h & 8U) ? magnitude : -magnitude;
}

inline int fineTexture(int64_t x, int64_t y, uint32_t seed) {
    const int coarse = valueNoise(x, y, 64, seed) - 128;
    const int fine = valueNoise(x, y, 20, seed ^ 0xa5a5a5a5U) - 128;
    return 128 + coarse * 3 / 4 + fine / 2 + rectangleLevel(x, y, seed);
}

// width x height bytes, row after row. Pixel (x, y) shows the texture moved by
// (shiftX, shiftY) quarter pixels: the result at (x, y) equals the unshifted
// picture at (x - shiftX / 4, y - shiftY / 4) when the shifts are multiples of 4.
inline std::vector<unsigned char> texturedPicture(int width, int height, uint32_t seed,
                                                  int shiftX = 0, int shiftY = 0) {
    if (width <= 0 || height <= 0) return {};
    std::vector<unsigned char> picture(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int sum = 0;
            for (int j = 0; j < kFineSteps; ++j)
                for (int i = 0; i < kFineSteps; ++i)
                    sum += fineTexture(int64_t{x} * kFineSteps + i - shiftX,
                                       int64_t{y} * kFineSteps + j - shiftY, seed);
            const int mean = sum / (kFineSteps * kFineSteps);
            picture[static_cast<std::size_t>(y) * width + x] =
                static_cast<unsigned char>(mean < 0 ? 0 : (mean > 255 ? 255 : mean));
        }
    }
    return picture;
}

// 64-bit FNV-1a over bytes; golden tests pin outputs by this hash.
class Fnv1a64 {
public:
    void addBytes(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            state_ ^= bytes[i];
            state_ *= 0x100000001b3ULL;
        }
    }
    template <typename T>
    void add(const T& value) {
        addBytes(&value, sizeof value);
    }
    uint64_t value() const { return state_; }

private:
    uint64_t state_ = 0xcbf29ce484222325ULL;
};

}  // namespace castellan_test
