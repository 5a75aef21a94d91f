#pragma once

// The Kanade-Lucas-Tomasi feature library: tracking context, feature lists, float
// images, Gaussian kernels, separable convolution, pyramids, good-feature
// selection and feature tracking.
//
// Plain numeric routines over plain records. Images are ncols x nrows, one row
// after another, row 0 first; a feature's x is the column and y the row of that
// buffer. Nothing here is thread-safe: the kernel cache and the verbosity are
// module-level, so call everything from one thread.
//
// Failures the library cannot go on from (out of memory, an invalid pyramid
// subsampling, a kernel wider than MAX_KERNEL_WIDTH, an unwritable debug image)
// go through kltError, which ends the program with exit status 1. Parameter
// corrections are reported through kltWarning and stored in the context.

#include <cstdio>
#include <memory>
#include <vector>

constexpr int MAX_KERNEL_WIDTH = 71;

// Feature values after selection (>= 0: trackability) and after tracking.
constexpr int KLT_TRACKED = 0;
constexpr int KLT_NOT_FOUND = -1;
constexpr int KLT_SMALL_DET = -2;
constexpr int KLT_MAX_ITERATIONS = -3;
constexpr int KLT_OOB = -4;
constexpr int KLT_LARGE_RESIDUE = -5;

// A single-precision image; data holds ncols * nrows values, row after row.
struct KLTFloatImage {
    int ncols = 0;
    int nrows = 0;
    std::vector<float> data;

    float& at(int x, int y) { return data[static_cast<size_t>(y) * ncols + x]; }
    float at(int x, int y) const { return data[static_cast<size_t>(y) * ncols + x]; }
    // Sets the size; keeps the allocation when it is big enough. Contents undefined.
    void resize(int cols, int rows);
};

// Level 0 has the size of the image; each next level is the previous size divided
// (integer division) by subsampling.
struct KLTPyramid {
    int subsampling = 0;
    int nLevels = 0;
    std::vector<KLTFloatImage> img;
    std::vector<int> ncols;
    std::vector<int> nrows;
};

struct ConvolutionKernel {
    int width = 0;  // odd, at most MAX_KERNEL_WIDTH; entry k belongs to offset k - width / 2
    float data[MAX_KERNEL_WIDTH] = {};
};

struct KLTFeature {
    float x = -1.0f;
    float y = -1.0f;
    int val = KLT_NOT_FOUND;
    // Affine consistency check data; never read in this system.
    float aff_x = -1.0f;
    float aff_y = -1.0f;
    float aff_Axx = 1.0f;
    float aff_Ayx = 0.0f;
    float aff_Axy = 0.0f;
    float aff_Ayy = 1.0f;
};

struct KLTFeatureList {
    explicit KLTFeatureList(int n) : feature(static_cast<size_t>(n > 0 ? n : 0)) {}
    int nFeatures() const { return static_cast<int>(feature.size()); }
    std::vector<KLTFeature> feature;
};

struct KLTWorkspace;  // reusable working images, see klt_internal.h

// Every parameter of selection and tracking. In sequential mode the context also
// owns the pyramids of the last tracked image.
struct KLTTrackingContext {
    KLTTrackingContext();
    ~KLTTrackingContext();
    KLTTrackingContext(const KLTTrackingContext&) = delete;
    KLTTrackingContext& operator=(const KLTTrackingContext&) = delete;

    int mindist = 10;
    int window_width = 7;
    int window_height = 7;
    bool sequentialMode = false;
    bool smoothBeforeSelecting = true;
    bool writeInternalImages = false;
    bool normalizeBrightness = false;  // not built: no caller sets it
    int min_eigenvalue = 1;
    float min_determinant = 0.01f;
    float min_displacement = 0.1f;
    int max_iterations = 10;
    float max_residue = 10.0f;
    float grad_sigma = 1.0f;
    float smooth_sigma_fact = 0.1f;
    float pyramid_sigma_fact = 0.9f;
    int nSkippedPixels = 0;
    int borderx = 24;
    int bordery = 24;
    int nPyramidLevels = 2;
    int subsampling = 4;
    // Affine consistency check; the check level stays -1, so the check never runs.
    int affine_window_width = 15;
    int affine_window_height = 15;
    int affineConsistencyCheck = -1;
    int affine_max_iterations = 10;
    float affine_max_residue = 10.0f;
    float affine_min_displacement = 0.02f;
    float affine_max_displacement_differ = 1.5f;
    // The last image's pyramids in sequential mode. Level 0 of the three holds
    // only what tracking has read; `work` keeps the frame it is made from, and
    // tracking makes each window's pixels when it reads them.
    std::unique_ptr<KLTPyramid> pyramid_last;
    std::unique_ptr<KLTPyramid> pyramid_last_gradx;
    std::unique_ptr<KLTPyramid> pyramid_last_grady;

    // Working images reused from call to call, and the frames level 0 of the
    // pyramids is made from.
    std::unique_ptr<KLTWorkspace> work;
};

// --- Diagnostics ---------------------------------------------------------------

// "KLT Error: <message>\n" on standard error, then exit status 1.
[[noreturn]] void kltError(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "KLT Warning: <message>\n" on standard error, flushed.
void kltWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Above 0, selection and tracking print progress lines. 1 at program start.
void KLTSetVerbosity(int verbosity);
int KLTVerbosity();

// --- Context and feature lists --------------------------------------------------

// Defaults, then KLTChangeTCPyramid(15) and KLTUpdateTCBorder.
std::unique_ptr<KLTTrackingContext> createTrackingContext();
void printTrackingContext(const KLTTrackingContext& tc, std::FILE* stream = stderr);
// Chooses nPyramidLevels and subsampling for a search range in pixels (integral
// ranges are the usual case; fractions reach the exact table boundaries).
void KLTChangeTCPyramid(KLTTrackingContext& tc, float searchRange);
// Computes borderx and bordery from the window, the smoothing and the pyramid.
void KLTUpdateTCBorder(KLTTrackingContext& tc);
// Drops the pyramids kept in sequential mode; the next tracking needs a first image.
void KLTFreeStoredPyramids(KLTTrackingContext& tc);
float computeSmoothSigma(const KLTTrackingContext& tc);

// n features (none for n <= 0), each empty: (-1, -1), val -1.
std::unique_ptr<KLTFeatureList> createFeatureList(int n);
// Features whose val is 0 or more.
int countRemainingFeatures(const KLTFeatureList& fl);

// --- Float images, kernels, convolution, pyramids -------------------------------

KLTFloatImage KLTCreateFloatImage(int ncols, int nrows);
// Each byte to its float value; sets the float image's size.
void toFloatImage(const unsigned char* img, int ncols, int nrows, KLTFloatImage& out);

// Fills the module-level kernel cache for sigma.
void computeKernels(float sigma);
struct KernelWidths {
    int gauss;
    int gaussderiv;
};
// Recomputes the cache for sigma, then reports both widths.
KernelWidths getKernelWidths(float sigma);
// The cached kernels and the sigma they belong to (-10 before the first request).
const ConvolutionKernel& cachedGaussKernel();
const ConvolutionKernel& cachedGaussDerivKernel();
float cachedKernelSigma();

// Horizontal with horizKernel, then vertical with vertKernel; borders of each
// pass's radius are 0. `out` takes the input's size.
void convolveSeparate(const KLTFloatImage& in, const ConvolutionKernel& horizKernel,
                      const ConvolutionKernel& vertKernel, KLTFloatImage& out);
// Reuses the cached kernels while sigma is within 0.05 of theirs.
void computeSmoothedImage(const KLTFloatImage& in, float sigma, KLTFloatImage& out);
void computeGradients(const KLTFloatImage& in, float sigma, KLTFloatImage& gradx,
                      KLTFloatImage& grady);

// subsampling must be 2, 4, 8, 16 or 32 (otherwise kltError).
std::unique_ptr<KLTPyramid> KLTCreatePyramid(int ncols, int nrows, int subsampling, int nLevels);
void KLTComputePyramid(const KLTFloatImage& img, KLTPyramid& pyramid, float sigmaFact);
void freePyramid(std::unique_ptr<KLTPyramid>& pyramid);

// --- Debug images ---------------------------------------------------------------

// Stretches the values to 0..255 and writes a P5 PGM file.
void writeFloatImageToPGM(const KLTFloatImage& img, const char* filename);
void pgmWriteFile(const char* filename, const unsigned char* img, int ncols, int nrows);

// --- Selection --------------------------------------------------------------------

// Replaces every feature of fl with the best-trackable points of img, in order of
// decreasing trackability, at least mindist apart; unfilled entries are empty.
void selectGoodFeatures(KLTTrackingContext& tc, const unsigned char* img, int ncols,
                        int nrows, KLTFeatureList& fl);

// One candidate of the selection: position and trackability.
struct KLTCandidate {
    int x;
    int y;
    int val;
};
// In-place quicksort into decreasing val; equal values end in a fixed order.
void sortPointList(KLTCandidate* candidates, int n);
// Fills fl greedily from sorted candidates, keeping accepted features apart.
void enforceMinimumDistance(const KLTCandidate* candidates, int nCandidates,
                            KLTFeatureList& fl, int ncols, int nrows, int mindist,
                            int min_eigenvalue);
// Marks every cell of the ncols x nrows map within m of (x, y) in x and in y (a
// square of side 2m + 1, nothing for m < 0) that lies inside the image.
void fillFeatureMap(int x, int y, unsigned char* featuremap, int m, int ncols, int nrows);

// --- Tracking -----------------------------------------------------------------------

// Tracks every feature with val >= 0 from img1 to img2 (both ncols x nrows).
// img1 may be null only in sequential mode with stored pyramids; in sequential
// mode img2's pyramids are stored for the next call. A frame whose size differs
// from the stored one drops the stored pyramids (with a warning) instead of
// ending the program.
void KLTTrackFeatures(KLTTrackingContext& tc, const unsigned char* img1,
                      const unsigned char* img2, int ncols, int nrows, KLTFeatureList& fl);

struct KLTTrackParams {
    int window_width = 7;
    int window_height = 7;
    int max_iterations = 10;
    float min_determinant = 0.01f;
    float min_displacement = 0.1f;
    float max_residue = 10.0f;
};
// One feature at one pyramid level: (x1, y1) in the first image, (x2, y2) the
// guess in and the estimate out in the second. The first image's gradients
// serve for both images. Returns 0 or a loss code.
int trackFeature(float x1, float y1, float& x2, float& y2, const KLTFloatImage& img1,
                 const KLTFloatImage& gradx1, const KLTFloatImage& grady1,
                 const KLTFloatImage& img2, const KLTTrackParams& params);

// Bilinear value at (x, y). Callers keep 0 <= (int)x <= ncols - 2 and the same for
// y; outside that it prints a diagnostic and returns the value at the nearest
// point of the image (0 for an empty image).
float interpolate(float x, float y, const KLTFloatImage& img);
