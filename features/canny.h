#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "features/image_record.h"

// Canny edge preprocessing over single-plane byte image records of equal size.
// Pixel (x, y) is byte y * width + x of plane 0.

inline constexpr int kCannyMaxKernelWidth = 100;
inline constexpr float kCannyKernelCut = 0.005f;

// Gaussian taps gau[0..width-1] (the Gaussian averaged over each pixel) and the
// derivative taps dgau[k] = -k * g(k), with g(u) = exp(-u^2 / (2 sigma^2)). The
// width is the first index whose tap falls below kCannyKernelCut, or 1 if none
// does within kCannyMaxKernelWidth. A sigma that is not positive (or NaN) gives
// the one-tap limit: smoothing only, every derivative 0.
struct CannyKernels {
    std::array<float, kCannyMaxKernelWidth> gau{};
    std::array<float, kCannyMaxKernelWidth> dgau{};
    int width = 1;
};
CannyKernels makeCannyKernels(float sigma);

// Working memory of cannyEdges and hysteresisThreshold, kept by a per-frame caller
// so that a frame of unchanged size allocates nothing.
struct CannyWorkspace {
    std::vector<float> sourceFloat;  // the source as floats
    std::vector<float> smoothedY;  // source smoothed along y only
    std::vector<float> gradX;      // derivative along x of the source smoothed along x
    std::vector<float> gradY;      // derivative along y of smoothedY
    std::vector<float> magnitude;  // sqrt(gradX^2 + gradY^2)
    std::vector<float> rowBuffer;  // one row padded with its wrapped-around ends
    std::vector<float> rowResult;
    std::vector<int64_t> pending;  // hysteresis flood-fill stack
};

// Edge strength into `destination` (0 = no edge .. 255): the source is smoothed
// along x and, separately, along y, both wrapping around the image edges; the
// derivatives of these give the gradient, whose magnitude, scaled so that the
// largest derivative maps to 255 / sqrt(2), is kept only where it is a strict
// local maximum along the gradient direction. The one-pixel border stays 0.
// Returns false, changing nothing, unless both records are byte data with one
// plane, of the same size, with pixel blocks. Source and destination may be one record.
bool cannyEdges(const ImageRecord& source, ImageRecord& destination, float sigma);
bool cannyEdges(const ImageRecord& source, ImageRecord& destination, float sigma,
                CannyWorkspace& workspace);

// Binary edge map into `destination`: 1 where source > upper, or where source >
// lower and joined through 8-connected such candidates inside the one-pixel
// border to a pixel above upper; 0 elsewhere. Border pixels are 1 only when
// above upper themselves. Same preconditions and result as cannyEdges; source
// and destination may be one record.
bool hysteresisThreshold(const ImageRecord& source, ImageRecord& destination, int lower,
                         int upper);
bool hysteresisThreshold(const ImageRecord& source, ImageRecord& destination, int lower,
                         int upper, CannyWorkspace& workspace);

// The FAST tracker's Canny step as one object: a grey frame in, its binary edge
// map out as bytes 0 and 255 (same size, rows as given). Owns the intermediate
// records and the workspace, so that frames of an unchanged size allocate
// nothing; the frames themselves are only borrowed for the call.
class CannyEdgeMap {
public:
    CannyEdgeMap(int width, int height);

    // From now on frames are width x height. A size the records cannot take
    // leaves them as they were; write() then refuses.
    void setImageSize(int width, int height);

    // False, leaving `output` as it was, when the step cannot run (no records,
    // or a size they could not take).
    bool write(const unsigned char* input, unsigned char* output, float sigma, int lower, int upper);

    const ImageRecord* edgeStrengthImage() const { return edgeStrength_.get(); }
    const ImageRecord* edgeImage() const { return edges_.get(); }

private:
    ImageHandle edgeStrength_;  // grey, cannyEdges result
    ImageHandle edges_;         // binary, hysteresis result
    ImageHandle inputRecord_;   // laid over the input frame during write
    ImageHandle outputRecord_;  // laid over the output frame during write
    CannyWorkspace workspace_;
};
