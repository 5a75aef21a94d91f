#pragma once

// Synthetic pictures for the KLT tests: a smooth random texture given as a
// formula, so that a picture shifted by a sub-pixel amount is exact ground truth.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace klt_test {

struct Blob {
    float cx, cy, sigma, amplitude;
};

// Gaussian blobs of random sign and size scattered over a margin around the
// picture, so that shifted renderings stay textured up to their edges.
// `scale` stretches the blobs (and thins them out) for coarser texture.
inline std::vector<Blob> makeBlobs(int width, int height, uint32_t seed, float scale = 1.0f,
                                   float margin = 40.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> ux(-margin, width + margin);
    std::uniform_real_distribution<float> uy(-margin, height + margin);
    std::uniform_real_distribution<float> us(2.5f * scale, 6.0f * scale);
    std::uniform_real_distribution<float> ua(-90.0f, 90.0f);
    const int count =
        static_cast<int>((width + 2 * margin) * (height + 2 * margin) / (60.0f * scale * scale));
    std::vector<Blob> blobs(static_cast<size_t>(count));
    for (Blob& b : blobs) b = {ux(rng), uy(rng), us(rng), ua(rng)};
    return blobs;
}

// Pixel (x, y) of the result is the texture at (x - dx, y - dy): the picture moved
// by (+dx, +dy).
inline std::vector<unsigned char> renderBlobs(const std::vector<Blob>& blobs, int width, int height,
                                              float dx = 0.0f, float dy = 0.0f) {
    std::vector<float> acc(static_cast<size_t>(width) * height, 128.0f);
    for (const Blob& b : blobs) {
        const float cx = b.cx + dx;
        const float cy = b.cy + dy;
        const float reach = 4.0f * b.sigma;
        const int x0 = std::max(0, static_cast<int>(std::floor(cx - reach)));
        const int x1 = std::min(width - 1, static_cast<int>(std::ceil(cx + reach)));
        const int y0 = std::max(0, static_cast<int>(std::floor(cy - reach)));
        const int y1 = std::min(height - 1, static_cast<int>(std::ceil(cy + reach)));
        const float k = -1.0f / (2.0f * b.sigma * b.sigma);
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const float ex = x - cx;
                const float ey = y - cy;
                acc[static_cast<size_t>(y) * width + x] += b.amplitude * std::exp(k * (ex * ex + ey * ey));
            }
    }
    std::vector<unsigned char> bytes(acc.size());
    for (size_t i = 0; i < acc.size(); ++i)
        bytes[i] = static_cast<unsigned char>(std::clamp(std::lround(acc[i]), 0L, 255L));
    return bytes;
}

inline std::vector<unsigned char> texture(int width, int height, uint32_t seed, float dx = 0.0f,
                                          float dy = 0.0f) {
    return renderBlobs(makeBlobs(width, height, seed), width, height, dx, dy);
}

}  // namespace klt_test
