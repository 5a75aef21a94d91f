// Tracking context, feature lists, diagnostics and verbosity of the KLT library.

#include "features/klt.h"
#include "features/klt_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

int verbosityLevel = 1;

const klt_detail::WindowCheckTexts kChangePyramidTexts = {
    "(KLTChangeTCPyramid) Window width must be odd.  Changing to %d.\n",
    "(KLTChangeTCPyramid) Window height must be odd.  Changing to %d.\n",
    "(KLTChangeTCPyramid) Window width must be at least three.  \nChanging to %d.\n",
    "(KLTChangeTCPyramid) Window height must be at least three.  \nChanging to %d.\n",
};

const klt_detail::WindowCheckTexts kUpdateBorderTexts = {
    "(KLTUpdateTCBorder) Window width must be odd.  Changing to %d.\n",
    "(KLTUpdateTCBorder) Window height must be odd.  Changing to %d.\n",
    "(KLTUpdateTCBorder) Window width must be at least three.  \nChanging to %d.\n",
    "(KLTUpdateTCBorder) Window height must be at least three.  \nChanging to %d.\n",
};

const klt_detail::WindowCheckTexts kSelectAndTrackTexts = {
    "Tracking context's window width must be odd.  Changing to %d.\n",
    "Tracking context's window height must be odd.  Changing to %d.\n",
    "Tracking context's window width must be at least three.  \nChanging to %d.\n",
    "Tracking context's window height must be at least three.  \nChanging to %d.\n",
};

const char* boolText(bool value) { return value ? "TRUE" : "FALSE"; }
const char* pyramidText(const std::unique_ptr<KLTPyramid>& p) {
    return p ? "points to old image" : "NULL";
}

int saturateToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max()));
}

}  // namespace

// --- Diagnostics -------------------------------------------------------------------

void kltError(const char* format, ...) {
    std::fprintf(stderr, "KLT Error: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    std::exit(1);
}

void kltWarning(const char* format, ...) {
    std::fprintf(stderr, "KLT Warning: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
}

void KLTSetVerbosity(int verbosity) { verbosityLevel = verbosity; }
int KLTVerbosity() { return verbosityLevel; }

// --- Context -------------------------------------------------------------------------

KLTTrackingContext::KLTTrackingContext() = default;
KLTTrackingContext::~KLTTrackingContext() = default;

namespace klt_detail {

KLTWorkspace& workspace(KLTTrackingContext& tc) {
    if (!tc.work) tc.work = std::make_unique<KLTWorkspace>();
    return *tc.work;
}

void checkWindowSize(KLTTrackingContext& tc, const WindowCheckTexts& texts) {
    // C++ remainder keeps the dividend's sign: a negative odd width counts as even.
    if (tc.window_width % 2 != 1) {
        tc.window_width += 1;
        kltWarning(texts.widthOdd, tc.window_width);
    }
    if (tc.window_height % 2 != 1) {
        tc.window_height += 1;
        kltWarning(texts.heightOdd, tc.window_height);
    }
    if (tc.window_width < 3) {
        tc.window_width = 3;
        kltWarning(texts.widthThree, tc.window_width);
    }
    if (tc.window_height < 3) {
        tc.window_height = 3;
        kltWarning(texts.heightThree, tc.window_height);
    }
}

void checkWindowSizeForSelectAndTrack(KLTTrackingContext& tc) {
    checkWindowSize(tc, kSelectAndTrackTexts);
}

int truncateToInt(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0f) return std::numeric_limits<int>::max();
    if (value <= -2147483648.0f) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

}  // namespace klt_detail

std::unique_ptr<KLTTrackingContext> createTrackingContext() {
    auto tc = std::make_unique<KLTTrackingContext>();
    KLTChangeTCPyramid(*tc, 15);
    KLTUpdateTCBorder(*tc);
    return tc;
}

void printTrackingContext(const KLTTrackingContext& tc, std::FILE* stream) {
    std::fprintf(stream, "\n\nTracking context:\n\n");
    std::fprintf(stream, "\tmindist = %d\n", tc.mindist);
    std::fprintf(stream, "\twindow_width = %d\n", tc.window_width);
    std::fprintf(stream, "\twindow_height = %d\n", tc.window_height);
    std::fprintf(stream, "\tsequentialMode = %s\n", boolText(tc.sequentialMode));
    std::fprintf(stream, "\tsmoothBeforeSelecting = %s\n", boolText(tc.smoothBeforeSelecting));
    std::fprintf(stream, "\twriteInternalImages = %s\n", boolText(tc.writeInternalImages));
    std::fprintf(stream, "\tmin_eigenvalue = %d\n", tc.min_eigenvalue);
    std::fprintf(stream, "\tmin_determinant = %f\n", tc.min_determinant);
    std::fprintf(stream, "\tmin_displacement = %f\n", tc.min_displacement);
    std::fprintf(stream, "\tmax_iterations = %d\n", tc.max_iterations);
    std::fprintf(stream, "\tmax_residue = %f\n", tc.max_residue);
    std::fprintf(stream, "\tgrad_sigma = %f\n", tc.grad_sigma);
    std::fprintf(stream, "\tsmooth_sigma_fact = %f\n", tc.smooth_sigma_fact);
    std::fprintf(stream, "\tpyramid_sigma_fact = %f\n", tc.pyramid_sigma_fact);
    std::fprintf(stream, "\tnSkippedPixels = %d\n", tc.nSkippedPixels);
    std::fprintf(stream, "\tborderx = %d\n", tc.borderx);
    std::fprintf(stream, "\tbordery = %d\n", tc.bordery);
    std::fprintf(stream, "\tnPyramidLevels = %d\n", tc.nPyramidLevels);
    std::fprintf(stream, "\tsubsampling = %d\n", tc.subsampling);
    std::fprintf(stream, "\tpyramid_last = %s\n", pyramidText(tc.pyramid_last));
    std::fprintf(stream, "\tpyramid_last_gradx = %s\n", pyramidText(tc.pyramid_last_gradx));
    std::fprintf(stream, "\tpyramid_last_grady = %s\n", pyramidText(tc.pyramid_last_grady));
    std::fprintf(stream, "\n\n");
    std::fflush(stream);
}

void KLTChangeTCPyramid(KLTTrackingContext& tc, float searchRange) {
    klt_detail::checkWindowSize(tc, kChangePyramidTexts);
    const float windowHalf = static_cast<float>(std::min(tc.window_width, tc.window_height)) * 0.5f;
    const float v = searchRange / windowHalf;
    if (v < 1.0f) {
        tc.nPyramidLevels = 1;
    } else if (v <= 3.0f) {
        tc.nPyramidLevels = 2;
        tc.subsampling = 2;
    } else if (v <= 5.0f) {
        tc.nPyramidLevels = 2;
        tc.subsampling = 4;
    } else if (v <= 9.0f) {
        tc.nPyramidLevels = 2;
        tc.subsampling = 8;
    } else {
        tc.subsampling = 8;
        const float levels = static_cast<float>(std::log(7.0 * v + 1.0) / std::log(8.0));
        const double withMargin = static_cast<double>(levels) + 0.99;
        // An infinite range would give an infinite level count.
        tc.nPyramidLevels = std::isfinite(withMargin) ? static_cast<int>(std::min(withMargin, 64.0)) : 64;
    }
}

void KLTUpdateTCBorder(KLTTrackingContext& tc) {
    klt_detail::checkWindowSize(tc, kUpdateBorderTexts);
    const int smoothHalf = getKernelWidths(computeSmoothSigma(tc)).gauss / 2;
    const int pyramidHalf =
        getKernelWidths(tc.pyramid_sigma_fact * static_cast<float>(tc.subsampling)).gauss / 2;

    int invalid = smoothHalf;
    // A subsampling below 1 is refused when a pyramid is made; here it only must
    // not divide by zero.
    if (tc.subsampling >= 1) {
        for (int level = 1; level < tc.nPyramidLevels; ++level) {
            const float quotient = static_cast<float>(pyramidHalf + invalid) /
                                   static_cast<float>(tc.subsampling);
            invalid = klt_detail::truncateToInt(static_cast<float>(quotient + 0.99));
        }
    }

    // Huge windows or many levels would overflow an int; saturate instead.
    int64_t border = static_cast<int64_t>(std::max(tc.window_width, tc.window_height) / 2) + invalid;
    for (int level = 1; level < tc.nPyramidLevels; ++level) {
        border *= tc.subsampling;
        if (border > std::numeric_limits<int>::max() || border < std::numeric_limits<int>::min())
            break;
    }
    tc.borderx = tc.bordery = saturateToInt(border);
}

void KLTFreeStoredPyramids(KLTTrackingContext& tc) {
    // A pyramid made later at the same address must not inherit its frame.
    if (tc.work)
        for (LazyGradientLevel& level : tc.work->lazyLevels)
            if (level.owner == tc.pyramid_last_gradx.get()) level.owner = nullptr;
    tc.pyramid_last.reset();
    tc.pyramid_last_gradx.reset();
    tc.pyramid_last_grady.reset();
}

float computeSmoothSigma(const KLTTrackingContext& tc) {
    return tc.smooth_sigma_fact * static_cast<float>(std::max(tc.window_width, tc.window_height));
}

// --- Feature lists ---------------------------------------------------------------------

std::unique_ptr<KLTFeatureList> createFeatureList(int n) {
    return std::make_unique<KLTFeatureList>(n);
}

int countRemainingFeatures(const KLTFeatureList& fl) {
    return static_cast<int>(std::count_if(fl.feature.begin(), fl.feature.end(),
                                          [](const KLTFeature& f) { return f.val >= 0; }));
}
