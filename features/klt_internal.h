#pragma once

// Shared between the KLT sources only: the reusable working images of a context
// and the scratch-taking variants of the public routines.

#include "features/klt.h"

#include <array>
#include <cstdint>
#include <utility>

// Level 0 of a pair of gradient pyramids made tile by tile, when tracking first
// reads a tile, instead of over the whole image. A tile is one row of one
// vector-wide block: a 7 x 7 window reads about 8 x 8 pixels, and bigger tiles
// made several times that.
struct LazyGradientLevel {
    static constexpr int kTileWidth = 8;
    static constexpr int kTileHeight = 1;
    const KLTPyramid* owner = nullptr;  // the x-gradient pyramid described; null: free
    std::vector<unsigned char> made;    // per tile, row by row: 1 once computed
    int tilesAcross = 0;
    ConvolutionKernel gauss;            // the kernels of the gradients
    ConvolutionKernel deriv;
};

// Buffers a context keeps from call to call so that per-frame tracking allocates
// nothing once the frame size is stable. None of it carries results between
// calls; lazyLevels records which gradient tiles of the pyramids are made.
struct KLTWorkspace {
    KLTFloatImage floatImage;   // one input row converted to floats
    KLTFloatImage smoothImage;  // smoothed input of selection
    KLTFloatImage convolveTemp; // ring of horizontal-pass rows of a separable convolution
    KLTFloatImage pyramidTemp;  // horizontal pass of a level at the sampled columns
    KLTFloatImage phaseRows;    // one input row split into its subsampling phases
    KLTFloatImage gradx;        // selection gradients
    KLTFloatImage grady;
    std::vector<KLTCandidate> candidates;
    std::vector<unsigned char> featureMap;
    std::vector<float> gradientProducts;      // rings of gx*gx, gx*gy and gy*gy rows of selection
    std::vector<float> windowSums;            // per-row gradient sums and eigenvalues of selection
    std::vector<const float*> windowRows;     // row pointers of one window band
    std::vector<std::pair<int, int>> sortParts;  // unsorted parts (begin, count) of a lazy sort
    // Pyramids of the first image when it is not taken from the context, and of
    // the second image; in sequential mode the second set and the stored set swap.
    std::array<std::unique_ptr<KLTPyramid>, 3> first;
    std::array<std::unique_ptr<KLTPyramid>, 3> second;
    // One for each set of pyramids alive at once: the first image's, the
    // second's and the stored one.
    std::array<LazyGradientLevel, 3> lazyLevels;
    KLTFloatImage tileScratch;  // horizontal pass of one gradient tile
};

namespace klt_detail {

KLTWorkspace& workspace(KLTTrackingContext& tc);

// Window size check shared by the context updates, selection and tracking; the
// callers differ only in the texts.
struct WindowCheckTexts {
    const char* widthOdd;
    const char* heightOdd;
    const char* widthThree;
    const char* heightThree;
};
void checkWindowSize(KLTTrackingContext& tc, const WindowCheckTexts& texts);
void checkWindowSizeForSelectAndTrack(KLTTrackingContext& tc);

void convolveSeparate(const KLTFloatImage& in, const ConvolutionKernel& horizKernel,
                      const ConvolutionKernel& vertKernel, KLTFloatImage& out,
                      KLTFloatImage& temp);
void computeSmoothedImage(const KLTFloatImage& in, float sigma, KLTFloatImage& out,
                          KLTFloatImage& temp);
void computeGradients(const KLTFloatImage& in, float sigma, KLTFloatImage& gradx,
                      KLTFloatImage& grady, KLTFloatImage& temp);
void computePyramid(const KLTFloatImage& img, KLTPyramid& pyramid, float sigmaFact,
                    KLTFloatImage& smoothTemp, KLTFloatImage& phases);
// Levels 1 and up of a pyramid whose level 0 is filled in already.
void computeUpperLevels(KLTPyramid& pyramid, float sigmaFact, KLTFloatImage& smoothTemp,
                        KLTFloatImage& phases);
// Byte image to floats, smoothed with the Gaussian of sigma, in one pass over
// the rows: the same values as toFloatImage then computeSmoothedImage.
void smoothBytes(const unsigned char* img, int ncols, int nrows, float sigma, KLTFloatImage& out,
                 KLTFloatImage& ring, KLTFloatImage& rowScratch);
// Makes `pyramid` an allocated pyramid of that shape, reusing it when it fits.
void ensurePyramid(std::unique_ptr<KLTPyramid>& pyramid, int ncols, int nrows,
                   int subsampling, int nLevels);

// The gradient kernels of sigma (recomputed in the cache if needed), copied.
void gradientKernels(float sigma, ConvolutionKernel& gauss, ConvolutionKernel& deriv);
// computeGradients on the outputs [x0, x1) × [y0, y1) only, with the same values there.
void gradientTile(const KLTFloatImage& in, const ConvolutionKernel& gauss, const ConvolutionKernel& deriv,
                  int x0, int y0, int x1, int y1, KLTFloatImage& gradx, KLTFloatImage& grady,
                  KLTFloatImage& scratch);

float interpolateOutside(float x, float y, const KLTFloatImage& img);

// Converts a float to int by truncation, saturating instead of overflowing.
int truncateToInt(float value);

}  // namespace klt_detail

// The common case without the bounds diagnostic; x > -1 and x < ncols - 1 make the
// truncated column lie in 0 .. ncols - 2 (NaN fails every test).
inline float interpolateInline(float x, float y, const KLTFloatImage& img) {
    if (!(img.ncols >= 2 && img.nrows >= 2 && x > -1.0f && y > -1.0f &&
          x < static_cast<float>(img.ncols - 1) &&
          y < static_cast<float>(img.nrows - 1)))
        return klt_detail::interpolateOutside(x, y, img);
    const int xt = static_cast<int>(x);
    const int yt = static_cast<int>(y);
    const float ax = x - static_cast<float>(xt);
    const float ay = y - static_cast<float>(yt);
    const float* p = img.data.data() + static_cast<size_t>(yt) * img.ncols + xt;
    const int nc = img.ncols;
    return (1 - ax) * (1 - ay) * p[0] + ax * (1 - ay) * p[1] + (1 - ax) * ay * p[nc] +
           ax * ay * p[nc + 1];
}
