#include "features/canny.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double kKernelCut = 0.005;
constexpr double kFlatGradient = 0.01;  // below this along both axes a pixel has no direction
constexpr float kSqrtTwo = 1.4142f;

constexpr unsigned char kNoEdge = 0;
constexpr unsigned char kEdge = 1;
constexpr unsigned char kCandidate = 2;

float gaussian(float u, float sigma) {
    return static_cast<float>(std::exp(-(double{u} * u) / (2.0 * sigma * sigma)));
}

// Index modulo n, never negative, for any offset (images may be narrower than the kernel).
int wrapIndex(int index, int n) {
    const int r = index % n;
    return r < 0 ? r + n : r;
}

bool isSinglePlaneBytes(const ImageRecord& image) {
    const bool hasPixels = image.planes[0] != nullptr || image.count == 0;
    return image.dataType == kImageByte && image.depth == 1 && hasPixels;
}

bool compatible(const ImageRecord& source, const ImageRecord& destination) {
    return isSinglePlaneBytes(source) && isSinglePlaneBytes(destination) &&
           source.width == destination.width && source.height == destination.height;
}

// Fills padded[0 .. n + 2 * halo) with row[wrap(j - halo)].
template <typename T>
void padRowWrapped(const T* row, int n, int halo, float* padded) {
    for (int j = 0; j < halo; ++j) padded[j] = static_cast<float>(row[wrapIndex(j - halo, n)]);
    for (int x = 0; x < n; ++x) padded[halo + x] = static_cast<float>(row[x]);
    for (int j = 0; j < halo; ++j) padded[halo + n + j] = static_cast<float>(row[wrapIndex(n + j, n)]);
}

// Smooths each row along x, then differentiates the result along x, one row at a time.
void gradientAlongX(const unsigned char* source, int w, int h, const CannyKernels& kernels,
                    CannyWorkspace& ws) {
    const int halo = kernels.width - 1;
    const float* gau = kernels.gau.data();
    const float* dgau = kernels.dgau.data();
    ws.rowBuffer.resize(static_cast<std::size_t>(w) + 2 * halo);
    ws.rowResult.resize(static_cast<std::size_t>(w) + 2 * halo);
    float* padded = ws.rowBuffer.data();
    float* smoothed = ws.rowResult.data();
    for (int y = 0; y < h; ++y) {
        const std::size_t rowStart = static_cast<std::size_t>(y) * w;
        padRowWrapped(source + rowStart, w, halo, padded);
        for (int x = 0; x < w; ++x) {
            const float* centre = padded + halo + x;
            float sum = gau[0] * centre[0];
            for (int k = 1; k <= halo; ++k) sum += gau[k] * (centre[k] + centre[-k]);
            smoothed[halo + x] = sum;
        }
        // Re-pad the smoothed row in place so the derivative wraps as well.
        for (int j = 0; j < halo; ++j) {
            smoothed[j] = smoothed[halo + wrapIndex(j - halo, w)];
            smoothed[halo + w + j] = smoothed[halo + wrapIndex(w + j, w)];
        }
        float* grad = ws.gradX.data() + rowStart;
        for (int x = 0; x < w; ++x) {
            const float* centre = smoothed + halo + x;
            float sum = 0.0f;
            for (int k = 1; k <= halo; ++k) sum += dgau[k] * (centre[-k] - centre[k]);
            grad[x] = sum;
        }
    }
}

// Smooths the columns along y, then differentiates the result along y; rows are
// processed whole so that the inner loops run along memory.
void gradientAlongY(const unsigned char* source, int w, int h, const CannyKernels& kernels,
                    CannyWorkspace& ws) {
    const int halo = kernels.width - 1;
    const float* gau = kernels.gau.data();
    const float* dgau = kernels.dgau.data();
    auto row = [w](auto* base, int y) { return base + static_cast<std::size_t>(y) * w; };
    for (int y = 0; y < h; ++y) {
        float* out = row(ws.smoothedY.data(), y);
        const unsigned char* centre = row(source, y);
        for (int x = 0; x < w; ++x) out[x] = gau[0] * static_cast<float>(centre[x]);
        for (int k = 1; k <= halo; ++k) {
            const unsigned char* below = row(source, wrapIndex(y + k, h));
            const unsigned char* above = row(source, wrapIndex(y - k, h));
            for (int x = 0; x < w; ++x) out[x] += gau[k] * static_cast<float>(below[x] + above[x]);
        }
    }
    for (int y = 0; y < h; ++y) {
        float* out = row(ws.gradY.data(), y);
        std::fill(out, out + w, 0.0f);
        for (int k = 1; k <= halo; ++k) {
            const float* before = row(ws.smoothedY.data(), wrapIndex(y - k, h));
            const float* after = row(ws.smoothedY.data(), wrapIndex(y + k, h));
            for (int x = 0; x < w; ++x) out[x] += dgau[k] * (before[x] - after[x]);
        }
    }
}

float largestDerivative(const CannyWorkspace& ws) {
    float largest = 0.0f;
    for (float v : ws.gradX) largest = std::max(largest, v);
    for (float v : ws.gradY) largest = std::max(largest, v);
    return largest;
}

// Keeps the scaled magnitude where it is a strict maximum along the gradient,
// interpolating the two neighbours on each side between the axis and the diagonal.
void suppressNonMaxima(int w, int h, float scale, const CannyWorkspace& ws, unsigned char* out) {
    const float* mag = ws.magnitude.data();
    auto G = [mag, w](int x, int y) { return mag[static_cast<std::size_t>(y) * w + x]; };
    for (int y = 1; y < h - 1; ++y) {
        for (int x = 1; x < w - 1; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * w + x;
            const float a = ws.gradX[i];
            const float b = ws.gradY[i];
            const float absA = std::fabs(a);
            const float absB = std::fabs(b);
            if (absA < kFlatGradient && absB < kFlatGradient) continue;
            float r, g1, g2, g3, g4;
            if (absA < absB) {
                r = absA / absB;
                g2 = G(x, y - 1);
                g4 = G(x, y + 1);
                if (a * b > 0) {
                    g1 = G(x - 1, y - 1);
                    g3 = G(x + 1, y + 1);
                } else {
                    g1 = G(x + 1, y - 1);
                    g3 = G(x - 1, y + 1);
                }
            } else {
                r = absB / absA;
                g2 = G(x + 1, y);
                g4 = G(x - 1, y);
                if (a * b > 0) {
                    g1 = G(x + 1, y + 1);
                    g3 = G(x - 1, y - 1);
                } else {
                    g1 = G(x + 1, y - 1);
                    g3 = G(x - 1, y + 1);
                }
            }
            const float centre = mag[i];
            if (centre > r * g1 + (1 - r) * g2 && centre > r * g3 + (1 - r) * g4) {
                const float value = scale * centre;
                out[i] = value > 255.0f ? 255 : static_cast<unsigned char>(value);
            }
        }
    }
}

}  // namespace

CannyKernels makeCannyKernels(float sigma) {
    CannyKernels kernels;
    if (!(sigma > 0.0f)) {
        // The limit of a vanishing sigma: the centre tap keeps a third, no neighbour counts.
        kernels.gau[0] = 1.0f / 3.0f;
        kernels.width = 1;
        return kernels;
    }
    kernels.width = 1;
    for (int i = 0; i < kCannyMaxKernelWidth; ++i) {
        const float u = static_cast<float>(i);
        kernels.gau[i] =
            (gaussian(u + 0.5f, sigma) + gaussian(u, sigma) + gaussian(u - 0.5f, sigma)) / 3.0f;
        if (static_cast<double>(kernels.gau[i]) < kKernelCut) {
            kernels.width = i;
            kernels.gau[i] = 0.0f;  // below the cut: not part of the kernel
            break;
        }
        kernels.dgau[i] = -u * gaussian(u, sigma);
    }
    return kernels;
}

bool cannyEdges(const ImageRecord& source, ImageRecord& destination, float sigma,
                CannyWorkspace& workspace) {
    if (!compatible(source, destination)) return false;
    const int w = source.width;
    const int h = source.height;
    const std::size_t pixels = static_cast<std::size_t>(w) * h;
    if (pixels == 0) return true;

    const CannyKernels kernels = makeCannyKernels(sigma);
    workspace.smoothedY.resize(pixels);
    workspace.gradX.resize(pixels);
    workspace.gradY.resize(pixels);
    workspace.magnitude.resize(pixels);
    gradientAlongX(source.planes[0], w, h, kernels, workspace);
    gradientAlongY(source.planes[0], w, h, kernels, workspace);

    const float largest = largestDerivative(workspace);
    // With no positive derivative every gradient is (numerically) flat and the
    // scale is never used for a kept pixel; infinity keeps that case free of a division by 0.
    const float scale = largest > 0.0f ? 255.0f / (largest * kSqrtTwo)
                                       : std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < pixels; ++i) {
        const float a = workspace.gradX[i];
        const float b = workspace.gradY[i];
        workspace.magnitude[i] = std::sqrt(a * a + b * b);
    }
    // The source is fully read by now, so destination may be the source itself.
    unsigned char* out = destination.planes[0];
    std::memset(out, 0, pixels);
    suppressNonMaxima(w, h, scale, workspace, out);
    return true;
}

bool cannyEdges(const ImageRecord& source, ImageRecord& destination, float sigma) {
    CannyWorkspace workspace;
    return cannyEdges(source, destination, sigma, workspace);
}

bool hysteresisThreshold(const ImageRecord& source, ImageRecord& destination, int lower,
                         int upper, CannyWorkspace& workspace) {
    if (!compatible(source, destination)) return false;
    const int w = source.width;
    const int h = source.height;
    const std::size_t pixels = static_cast<std::size_t>(w) * h;
    if (pixels == 0) return true;

    const unsigned char* in = source.planes[0];
    unsigned char* d = destination.planes[0];
    for (std::size_t i = 0; i < pixels; ++i)
        d[i] = in[i] > upper ? kEdge : (in[i] > lower ? kCandidate : kNoEdge);

    // Candidates inside the one-pixel border that are 8-connected through such
    // candidates to an edge pixel become edges. A flood fill reaches the same
    // fixed point as repeated raster passes, in linear time even for chains that
    // run against the scanning order.
    if (h > 2 && w > 2) {
        std::vector<int64_t>& pending = workspace.pending;
        for (std::size_t seed = 0; seed < pixels; ++seed) {
            if (d[seed] != kEdge) continue;
            pending.clear();
            pending.push_back(static_cast<int64_t>(seed));
            while (!pending.empty()) {
                const int64_t p = pending.back();
                pending.pop_back();
                const int px = static_cast<int>(p % w);
                const int py = static_cast<int>(p / w);
                for (int y = std::max(py - 1, 1); y <= std::min(py + 1, h - 2); ++y) {
                    for (int x = std::max(px - 1, 1); x <= std::min(px + 1, w - 2); ++x) {
                        const int64_t q = int64_t{y} * w + x;
                        if (d[q] != kCandidate) continue;
                        d[q] = kEdge;
                        pending.push_back(q);
                    }
                }
            }
        }
    }
    for (std::size_t i = 0; i < pixels; ++i)
        if (d[i] == kCandidate) d[i] = kNoEdge;
    return true;
}

bool hysteresisThreshold(const ImageRecord& source, ImageRecord& destination, int lower,
                         int upper) {
    CannyWorkspace workspace;
    return hysteresisThreshold(source, destination, lower, upper, workspace);
}
