// Tracking context defaults, its printed form, pyramid and border choices, window
// corrections, feature lists and the error path.

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "features/klt.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string printed(const KLTTrackingContext& tc) {
    CaptureStderr();
    printTrackingContext(tc);
    return GetCapturedStderr();
}

std::string expectedPrint(const char* mindist, const char* sequential, const char* pyramids) {
    return std::string("\n\nTracking context:\n\n\tmindist = ") + mindist +
           "\n\twindow_width = 7\n\twindow_height = 7\n\tsequentialMode = " + sequential +
           "\n\tsmoothBeforeSelecting = TRUE\n\twriteInternalImages = FALSE\n"
           "\tmin_eigenvalue = 1\n\tmin_determinant = 0.010000\n\tmin_displacement = 0.100000\n"
           "\tmax_iterations = 10\n\tmax_residue = 10.000000\n\tgrad_sigma = 1.000000\n"
           "\tsmooth_sigma_fact = 0.100000\n\tpyramid_sigma_fact = 0.900000\n"
           "\tnSkippedPixels = 0\n\tborderx = 24\n\tbordery = 24\n\tnPyramidLevels = 2\n"
           "\tsubsampling = 4\n\tpyramid_last = " + pyramids + "\n\tpyramid_last_gradx = " +
           pyramids + "\n\tpyramid_last_grady = " + pyramids + "\n\n\n";
}

std::unique_ptr<KLTTrackingContext> contextWithWindow(int width, int height) {
    auto tc = createTrackingContext();
    tc->window_width = width;
    tc->window_height = height;
    return tc;
}

}  // namespace

TEST(KLTContext, DefaultsAfterCreation) {
    auto tc = createTrackingContext();
    EXPECT_EQ(tc->mindist, 10);
    EXPECT_EQ(tc->window_width, 7);
    EXPECT_EQ(tc->window_height, 7);
    EXPECT_FALSE(tc->sequentialMode);
    EXPECT_TRUE(tc->smoothBeforeSelecting);
    EXPECT_FALSE(tc->writeInternalImages);
    EXPECT_FALSE(tc->normalizeBrightness);
    EXPECT_EQ(tc->min_eigenvalue, 1);
    EXPECT_FLOAT_EQ(tc->min_determinant, 0.01f);
    EXPECT_FLOAT_EQ(tc->min_displacement, 0.1f);
    EXPECT_EQ(tc->max_iterations, 10);
    EXPECT_FLOAT_EQ(tc->max_residue, 10.0f);
    EXPECT_FLOAT_EQ(tc->grad_sigma, 1.0f);
    EXPECT_FLOAT_EQ(tc->smooth_sigma_fact, 0.1f);
    EXPECT_FLOAT_EQ(tc->pyramid_sigma_fact, 0.9f);
    EXPECT_EQ(tc->nSkippedPixels, 0);
    EXPECT_EQ(tc->borderx, 24);
    EXPECT_EQ(tc->bordery, 24);
    EXPECT_EQ(tc->nPyramidLevels, 2);
    EXPECT_EQ(tc->subsampling, 4);
    EXPECT_EQ(tc->affine_window_width, 15);
    EXPECT_EQ(tc->affine_window_height, 15);
    EXPECT_EQ(tc->affineConsistencyCheck, -1);
    EXPECT_EQ(tc->affine_max_iterations, 10);
    EXPECT_FLOAT_EQ(tc->affine_max_residue, 10.0f);
    EXPECT_FLOAT_EQ(tc->affine_min_displacement, 0.02f);
    EXPECT_FLOAT_EQ(tc->affine_max_displacement_differ, 1.5f);
    EXPECT_EQ(tc->pyramid_last, nullptr);
    EXPECT_EQ(tc->pyramid_last_gradx, nullptr);
    EXPECT_EQ(tc->pyramid_last_grady, nullptr);
    EXPECT_FLOAT_EQ(computeSmoothSigma(*tc), 0.7f);
}

TEST(KLTContext, PrintsEveryParameterLine) {
    auto tc = createTrackingContext();
    EXPECT_EQ(printed(*tc), expectedPrint("10", "FALSE", "NULL"));

    tc->sequentialMode = true;
    tc->mindist = 3;
    tc->pyramid_last = KLTCreatePyramid(8, 8, 2, 1);
    tc->pyramid_last_gradx = KLTCreatePyramid(8, 8, 2, 1);
    tc->pyramid_last_grady = KLTCreatePyramid(8, 8, 2, 1);
    EXPECT_EQ(printed(*tc), expectedPrint("3", "TRUE", "points to old image"));
}

TEST(KLTContext, ChangePyramidFollowsTheSearchRangeTable) {
    struct Row {
        float range;
        int levels;
        int subsampling;
    };
    // v = range / 3.5 for the 7 x 7 window.
    const Row rows[] = {{3.0f, 1, 4},  {10.0f, 2, 2}, {17.5f, 2, 4},
                        {31.5f, 2, 8}, {35.0f, 3, 8}, {15.0f, 2, 4}};
    for (const Row& row : rows) {
        auto tc = createTrackingContext();
        KLTChangeTCPyramid(*tc, row.range);
        EXPECT_EQ(tc->nPyramidLevels, row.levels) << "range " << row.range;
        EXPECT_EQ(tc->subsampling, row.subsampling) << "range " << row.range;
    }
}

TEST(KLTContext, UpdateBorderFromWindowSmoothingAndPyramid) {
    auto tc = createTrackingContext();
    KLTUpdateTCBorder(*tc);
    EXPECT_EQ(tc->borderx, 24);  // (3 + 3) x 4

    tc->nPyramidLevels = 1;
    KLTUpdateTCBorder(*tc);
    EXPECT_EQ(tc->borderx, 5);  // 3 + smoothing half 2
    EXPECT_EQ(tc->bordery, 5);

    // Huge search ranges give many levels; the border saturates instead of overflowing.
    KLTChangeTCPyramid(*tc, 1.0e9f);
    EXPECT_GT(tc->nPyramidLevels, 8);
    KLTUpdateTCBorder(*tc);
    EXPECT_EQ(tc->borderx, std::numeric_limits<int>::max());
}

TEST(KLTContext, WindowCorrectionsWarnWithTheirTexts) {
    auto tc = contextWithWindow(4, 7);
    CaptureStderr();
    KLTChangeTCPyramid(*tc, 15);
    EXPECT_EQ(GetCapturedStderr(),
              "KLT Warning: (KLTChangeTCPyramid) Window width must be odd.  Changing to 5.\n\n");
    EXPECT_EQ(tc->window_width, 5);

    tc = contextWithWindow(7, 1);
    CaptureStderr();
    KLTUpdateTCBorder(*tc);
    EXPECT_EQ(GetCapturedStderr(),
              "KLT Warning: (KLTUpdateTCBorder) Window height must be at least three.  \n"
              "Changing to 3.\n\n");
    EXPECT_EQ(tc->window_height, 3);

    // -3 is odd but its remainder is -1: raised to -2, then to three.
    tc = contextWithWindow(-3, 7);
    CaptureStderr();
    KLTChangeTCPyramid(*tc, 15);
    EXPECT_EQ(GetCapturedStderr(),
              "KLT Warning: (KLTChangeTCPyramid) Window width must be odd.  Changing to -2.\n\n"
              "KLT Warning: (KLTChangeTCPyramid) Window width must be at least three.  \n"
              "Changing to 3.\n\n");
    EXPECT_EQ(tc->window_width, 3);

    tc = contextWithWindow(7, 7);
    CaptureStderr();
    KLTChangeTCPyramid(*tc, 15);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(KLTContext, FeatureListsStartEmpty) {
    auto fl = createFeatureList(78);
    ASSERT_EQ(fl->nFeatures(), 78);
    for (const KLTFeature& f : fl->feature) {
        EXPECT_EQ(f.val, -1);
        EXPECT_EQ(f.x, -1.0f);
    }
    EXPECT_EQ(countRemainingFeatures(*fl), 0);
    fl->feature[3].val = 0;
    fl->feature[5].val = 17;
    fl->feature[6].val = -4;
    EXPECT_EQ(countRemainingFeatures(*fl), 2);

    EXPECT_EQ(createFeatureList(0)->nFeatures(), 0);
    EXPECT_EQ(createFeatureList(-5)->nFeatures(), 0);
}

TEST(KLTContextDeathTest, ErrorEndsTheProgramWithStatusOne) {
    EXPECT_EXIT(kltError("(test) value %d", 42), testing::ExitedWithCode(1),
                "KLT Error: \\(test\\) value 42\n");
}

TEST(KLTContext, WarningContinues) {
    CaptureStderr();
    kltWarning("(test) %s", "go on");
    EXPECT_EQ(GetCapturedStderr(), "KLT Warning: (test) go on\n");
}
