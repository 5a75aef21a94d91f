#pragma once

// Shared between the KLT sources only: the reusable working images of a context
// and the scratch-taking variants of the public routines.

#include "features/klt.h"

#include <array>
#include <cstdint>
#include <utility>

// Level 0 of an image's pyramids made window by window, where tracking reads
// it, instead of over the whole image: the smoothed image from a copy of the
// frame's bytes, and from it the two gradients.
struct LazyGradientLevel {
    const KLTPyramid* owner = nullptr;  // the x-gradient pyramid described; null: free
    std::vector<unsigned char> bytes;   // the frame, ncols x nrows
    ConvolutionKernel smooth;           // the kernel of the smoothing
    ConvolutionKernel gauss;            // the kernels of the gradients
    ConvolutionKernel deriv;
};

// Buffers a context keeps from call to call so that per-frame tracking allocates
// nothing once the frame size is stable. None of it carries results between
// calls; lazyLevels holds what level 0 of each set of pyramids is made from.
struct KLTWorkspace {
    KLTFloatImage floatImage;   // one input row converted to floats
    KLTFloatImage smoothImage;  // smoothed input of selection
    KLTFloatImage convolveTemp; // ring of horizontal-pass rows of a separable convolution
    KLTFloatImage pyramidTemp;  // horizontal pass of a level at the sampled columns
    KLTFloatImage phaseRows;    // one input row split into its subsampling phases
    KLTFloatImage gradx;        // selection gradients
    KLTFloatImage grady;
    // The candidates' values, row by row, candidateRowLength in each: candidate
    // i lies at candidateOrigin + candidateStep * (i % length, i / length).
    std::vector<int> candidateValues;
    std::vector<int> blockMax;                // the largest value of each block of candidates
    int candidateRowLength = 0;
    std::pair<int, int> candidateOrigin;
    int candidateStep = 1;
    std::vector<uint64_t> candidateBand;      // the candidates of one band of values, as a heap
    std::vector<unsigned char> featureMap;
    std::vector<float> gradientProducts;      // rings of gx*gx, gx*gy and gy*gy rows of selection
    std::vector<float> windowSums;            // per-row gradient sums and eigenvalues of selection
    std::vector<const float*> windowRows;     // row pointers of one window band
    // Pyramids of the first image when it is not taken from the context, and of
    // the second image; in sequential mode the second set and the stored set swap.
    std::array<std::unique_ptr<KLTPyramid>, 3> first;
    std::array<std::unique_ptr<KLTPyramid>, 3> second;
    // One for each set of pyramids alive at once: the first image's, the
    // second's and the stored one.
    std::array<LazyGradientLevel, 3> lazyLevels;
    KLTFloatImage tileScratch;  // horizontal pass of one window's smoothing or gradients
    KLTFloatImage halfLevel;    // the frame at half size, on the way to pyramid level 1
    std::vector<uint16_t> binomialRows;  // one row of its vertical pass
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
// Levels firstLevel and up of a pyramid whose level firstLevel - 1 is filled in already.
void computeUpperLevels(KLTPyramid& pyramid, float sigmaFact, KLTFloatImage& smoothTemp,
                        KLTFloatImage& phases, int firstLevel = 1);
// Level 1 of a pyramid straight from the frame's bytes, so level 0 itself need
// not be made: the smoothing of level 0 and the pyramid smoothing together, at
// the sampled positions only. For a subsampling of 4 in two halvings (a binomial
// kernel in integers, then a Gaussian for the rest of the variance); otherwise
// with the two kernels combined into one. Positions closer to the border than
// the kernels reach are 0.
void sampledLevelFromBytes(const unsigned char* img, int ncols, int nrows, float smoothSigma,
                           float pyramidSigma, int subsampling, KLTFloatImage& out, KLTFloatImage& ring,
                           KLTFloatImage& phases, KLTFloatImage& half, std::vector<uint16_t>& rowSums);
// The smoothing of smoothBytes on the outputs [x0, x1) × [y0, y1) only, with the
// same values there; the kernel is smoothBytes' kernel for its sigma.
void smoothBytesTile(const unsigned char* img, int ncols, int nrows, const ConvolutionKernel& kernel, int x0,
                     int y0, int x1, int y1, KLTFloatImage& out, KLTFloatImage& scratch,
                     KLTFloatImage& rowScratch);
// Byte image to floats, smoothed with the Gaussian of sigma, in one pass over
// the rows: the same values as toFloatImage then computeSmoothedImage.
void smoothBytes(const unsigned char* img, int ncols, int nrows, float sigma, KLTFloatImage& out,
                 KLTFloatImage& ring, KLTFloatImage& rowScratch);
// Makes `pyramid` an allocated pyramid of that shape, reusing it when it fits.
void ensurePyramid(std::unique_ptr<KLTPyramid>& pyramid, int ncols, int nrows,
                   int subsampling, int nLevels);

// The gradient kernels of sigma (recomputed in the cache if needed), copied.
void gradientKernels(float sigma, ConvolutionKernel& gauss, ConvolutionKernel& deriv);
// The smoothing kernel of sigma, copied.
void smoothingKernel(float sigma, ConvolutionKernel& gauss);
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
