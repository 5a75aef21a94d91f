#include "processors/klt_corner_detector.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "features/klt.h"

namespace {

constexpr int kMinimumDistance = 10;
bool printsContext = true;

// One context and feature list for all KLT detectors, alive while any exists.
struct SharedKLTState {
    std::unique_ptr<KLTTrackingContext> context;
    std::unique_ptr<KLTFeatureList> features;
    int detectorCount = 0;
};

SharedKLTState& sharedState() {
    static SharedKLTState state;
    return state;
}

int truncateCoordinate(float value) {
    if (!std::isfinite(value)) return -1;
    return static_cast<int>(std::clamp(value, -2147483648.0f, 2147483520.0f));
}

// The stored previous frame can serve as the first image only at the same size.
bool hasPreviousFrame(const KLTTrackingContext& tc, int width, int height) {
    return tc.pyramid_last && tc.pyramid_last->nLevels > 0 && tc.pyramid_last->ncols[0] == width &&
           tc.pyramid_last->nrows[0] == height;
}

}  // namespace

void KLTCornerDetector::setPrintsContext(bool prints) { printsContext = prints; }

KLTCornerDetector::KLTCornerDetector(int capacity) : CornerDetector(capacity) {
    KLTSetVerbosity(0);
    auto context = createTrackingContext();
    context->sequentialMode = true;
    context->mindist = kMinimumDistance;
    if (printsContext) printTrackingContext(*context, stderr);

    SharedKLTState& state = sharedState();
    state.context = std::move(context);
    state.features = createFeatureList(capacity);
    ++state.detectorCount;
}

KLTCornerDetector::~KLTCornerDetector() {
    SharedKLTState& state = sharedState();
    if (--state.detectorCount == 0) {
        state.context.reset();
        state.features.reset();
    }
}

KLTTrackingContext* KLTCornerDetector::currentContext() { return sharedState().context.get(); }
KLTFeatureList* KLTCornerDetector::currentFeatureList() { return sharedState().features.get(); }

void KLTCornerDetector::detect(const unsigned char* image, int width, int height) {
    KLTTrackingContext& tc = *sharedState().context;
    KLTFeatureList& fl = *sharedState().features;

    // A frame of another size cannot be tracked from the stored one: drop it and
    // start over on this frame rather than ending the program.
    if (tc.pyramid_last && !hasPreviousFrame(tc, width, height)) {
        KLTFreeStoredPyramids(tc);
        selectNext_ = true;
    }
    // Another detector may have made a fresh pair current: nothing to track from.
    if (!tc.pyramid_last) selectNext_ = true;

    if (selectNext_) {
        selectGoodFeatures(tc, image, width, height, fl);
        // Tracks the new features from the stored previous frame when there is one,
        // otherwise from this frame itself; either way this frame is stored.
        KLTTrackFeatures(tc, image, image, width, height, fl);
        selectNext_ = false;
    } else {
        KLTTrackFeatures(tc, nullptr, image, width, height, fl);
    }

    const int count = std::min(fl.nFeatures(), capacity());
    CornerPoint* corners = mutableCorners();
    for (int i = 0; i < count; ++i) {
        corners[i].x = truncateCoordinate(fl.feature[i].x);
        corners[i].y = truncateCoordinate(fl.feature[i].y);
    }
    setCornerCount(count);
}
