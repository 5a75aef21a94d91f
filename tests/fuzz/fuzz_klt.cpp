// KLT: good-feature selection on a first frame, then tracking through a short
// sequence of arbitrary frames (plain or sequential mode), with every context
// parameter drawn from the range its documentation allows. Sizes run from 0 up
// and may change in the middle of a sequence.
#include "features/klt.h"
#include "fuzz_support.h"

#include <cmath>

namespace {

constexpr int kMaxSide = 48;
constexpr int kMaxFrames = 4;

// Parameters in the ranges the library documents as usable: sigmas whose
// kernels fit in MAX_KERNEL_WIDTH, any window size (corrected with a warning),
// and a search range that picks a valid subsampling.
void configure(KLTTrackingContext& tc, FuzzInput& in) {
    tc.mindist = in.intInRange(-2, 30);
    tc.window_width = in.intInRange(-3, 15);
    tc.window_height = in.intInRange(-3, 15);
    tc.sequentialMode = in.flag();
    tc.smoothBeforeSelecting = in.flag();
    tc.min_eigenvalue = in.intInRange(0, 3000);
    tc.min_determinant = in.floatInRange(0.0f, 1.0f);
    tc.min_displacement = in.floatInRange(0.0f, 2.0f);
    tc.max_iterations = in.intInRange(0, 20);
    tc.max_residue = in.floatInRange(0.0f, 100.0f);
    tc.grad_sigma = in.floatInRange(0.3f, 4.0f);
    tc.smooth_sigma_fact = in.floatInRange(0.0f, 0.4f);
    tc.pyramid_sigma_fact = in.floatInRange(0.3f, 1.0f);
    tc.nSkippedPixels = in.intInRange(0, 4);
    KLTChangeTCPyramid(tc, in.floatInRange(1.0f, 64.0f));
    KLTUpdateTCBorder(tc);
    if (in.flag()) {  // callers may also set the border themselves
        tc.borderx = in.intInRange(0, 30);
        tc.bordery = in.intInRange(0, 30);
    }
}

void checkFeatures(const KLTFeatureList& list, int width, int height) {
    for (const KLTFeature& f : list.feature) {
        if (f.val < 0) continue;
        FUZZ_CHECK(std::isfinite(f.x) && std::isfinite(f.y));
        FUZZ_CHECK(f.x >= 0.0f && f.x <= float(width - 1) && f.y >= 0.0f && f.y <= float(height - 1));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    KLTSetVerbosity(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    std::unique_ptr<KLTTrackingContext> tc = createTrackingContext();
    configure(*tc, in);
    std::unique_ptr<KLTFeatureList> list = createFeatureList(in.intInRange(-1, 60));
    const int frameCount = in.intInRange(1, kMaxFrames);
    int width = in.intInRange(0, kMaxSide);
    int height = in.intInRange(0, kMaxSide);
    const bool sizeChanges = in.flag();
    const bool dropFirstImage = in.flag();  // sequential callers may pass only the new image

    std::vector<std::uint8_t> previous = in.bytes(std::size_t(width) * height);
    previous.resize(std::max<std::size_t>(previous.size(), 1));
    selectGoodFeatures(*tc, previous.data(), width, height, *list);
    checkFeatures(*list, width, height);

    for (int frame = 1; frame < frameCount; ++frame) {
        if (sizeChanges && frame == frameCount - 1) {
            // A new size drops the stored pyramids: track from a same-size first image.
            width = in.intInRange(0, kMaxSide);
            height = in.intInRange(0, kMaxSide);
            previous = in.bytes(std::size_t(width) * height);
            previous.resize(std::max<std::size_t>(previous.size(), 1));
        }
        std::vector<std::uint8_t> current = in.bytes(std::size_t(width) * height);
        current.resize(std::max<std::size_t>(current.size(), 1));
        const bool useStored = tc->sequentialMode && tc->pyramid_last && dropFirstImage &&
                               tc->pyramid_last->ncols[0] == width && tc->pyramid_last->nrows[0] == height;
        KLTTrackFeatures(*tc, useStored ? nullptr : previous.data(), current.data(), width, height, *list);
        checkFeatures(*list, width, height);
        FUZZ_CHECK(countRemainingFeatures(*list) <= list->nFeatures());
        previous.swap(current);
    }
    return 0;
}
