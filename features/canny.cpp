#include "features/canny.h"

#include "features/float_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double kKernelCut = 0.005;
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
        float_kernels::symmetricSmooth(padded + halo, smoothed + halo, w, gau, halo);
        // Re-pad the smoothed row in place so the derivative wraps as well.
        for (int j = 0; j < halo; ++j) {
            smoothed[j] = smoothed[halo + wrapIndex(j - halo, w)];
            smoothed[halo + w + j] = smoothed[halo + wrapIndex(w + j, w)];
        }
        float_kernels::antisymmetricDerive(smoothed + halo, ws.gradX.data() + rowStart, w, dgau, halo);
    }
}

// Smooths the columns along y, then differentiates the result along y; rows are
// processed whole so that the inner loops run along memory.
void gradientAlongY(const unsigned char* source, int w, int h, const CannyKernels& kernels,
                    CannyWorkspace& ws) {
    const int halo = kernels.width - 1;
    const float* gau = kernels.gau.data();
    const float* dgau = kernels.dgau.data();
    const std::size_t pixels = static_cast<std::size_t>(w) * h;
    ws.sourceFloat.resize(pixels);
    for (std::size_t i = 0; i < pixels; ++i) ws.sourceFloat[i] = static_cast<float>(source[i]);
    auto row = [w](auto* base, int y) { return base + static_cast<std::size_t>(y) * w; };
    const float* before[kCannyMaxKernelWidth];
    const float* after[kCannyMaxKernelWidth];
    for (int y = 0; y < h; ++y) {
        for (int k = 1; k <= halo; ++k) {
            before[k] = row(ws.sourceFloat.data(), wrapIndex(y - k, h));
            after[k] = row(ws.sourceFloat.data(), wrapIndex(y + k, h));
        }
        float_kernels::symmetricSmoothColumns(row(ws.sourceFloat.data(), y), before, after,
                                              row(ws.smoothedY.data(), y), w, gau, halo);
    }
    for (int y = 0; y < h; ++y) {
        for (int k = 1; k <= halo; ++k) {
            before[k] = row(ws.smoothedY.data(), wrapIndex(y - k, h));
            after[k] = row(ws.smoothedY.data(), wrapIndex(y + k, h));
        }
        float_kernels::antisymmetricDeriveColumns(before, after, row(ws.gradY.data(), y), w, dgau, halo);
    }
}

// Keeps the scaled magnitude where it is a strict maximum along the gradient,
// interpolating the two neighbours on each side between the axis and the diagonal.
void suppressNonMaxima(int w, int h, float scale, const CannyWorkspace& ws, unsigned char* out) {
    const float* mag = ws.magnitude.data();
    for (int y = 1; y < h - 1; ++y) {
        const std::size_t start = static_cast<std::size_t>(y) * w;
        float_kernels::suppressRow(ws.gradX.data() + start, ws.gradY.data() + start, mag + start - w,
                                   mag + start, mag + start + w, w, scale, out + start);
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

    const float largest = float_kernels::magnitudes(workspace.gradX.data(), workspace.gradY.data(),
                                                    workspace.magnitude.data(), pixels, 0.0f);
    // With no positive derivative every gradient is (numerically) flat and the
    // scale is never used for a kept pixel; infinity keeps that case free of a division by 0.
    const float scale = largest > 0.0f ? 255.0f / (largest * kSqrtTwo)
                                       : std::numeric_limits<float>::infinity();
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

CannyEdgeMap::CannyEdgeMap(int width, int height)
    : edgeStrength_(createImage(width, height, kColorSpaceGrey, kImageByte)),
      edges_(createImage(width, height, kColorSpaceBinary, kImageByte)) {}

void CannyEdgeMap::setImageSize(int width, int height) {
    if (edgeStrength_) reshapeImage(*edgeStrength_, width, height);
    if (edges_) reshapeImage(*edges_, width, height);
    // Records laid over the frames: made once per size (the size is often set
    // again unchanged), pointed at each frame's buffers, so a frame allocates nothing.
    if (!inputRecord_ || inputRecord_->width != width || inputRecord_->height != height) {
        inputRecord_ = wrapImage(width, height, kColorSpaceGrey, kImageByte, nullptr, nullptr, 0);
        outputRecord_ = wrapImage(width, height, kColorSpaceGrey, kImageByte, nullptr, nullptr, 0);
    }
}

bool CannyEdgeMap::write(const unsigned char* input, unsigned char* output, float sigma, int lower, int upper) {
    if (!edgeStrength_ || !edges_ || !inputRecord_ || !outputRecord_) return false;
    // The record over the input is only read from.
    inputRecord_->planes[0] = const_cast<unsigned char*>(input);
    outputRecord_->planes[0] = output;
    const bool ok = cannyEdges(*inputRecord_, *edgeStrength_, sigma, workspace_) &&
                    hysteresisThreshold(*edgeStrength_, *edges_, lower, upper, workspace_) &&
                    convertColorSpace(*edges_, *outputRecord_) == kImageOk;
    // The frames belong to the caller; keep no pointer to them.
    inputRecord_->planes[0] = nullptr;
    outputRecord_->planes[0] = nullptr;
    return ok;
}
