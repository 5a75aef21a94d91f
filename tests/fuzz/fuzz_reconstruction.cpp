// The ruins reconstructor's frame step driven by an arbitrary script: frames of
// any content, frame sizes that change, click sets of any length and position,
// grabber states, automatic selection with any calibration size, the Kalman
// filter switched on and off, and the view prepared for drawing.
#include "features/klt.h"
#include "fuzz_support.h"
#include "processors/fast_corner_detector.h"
#include "processors/klt_corner_detector.h"
#include "reconstruction/ruins_reconstruction.h"

#include <cmath>

namespace {

constexpr int kMaxSide = 96;
constexpr int kMaxOperations = 24;
constexpr int kMaxClicks = 78;
constexpr int kDetectorCapacity = 78;  // as the reconstructor uses

bool finite(const Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

void checkView(const ruins::PreparedView& view) {
    if (!view.drawable) return;
    FUZZ_CHECK(view.prepared);
    FUZZ_CHECK(finite(view.pose.eye) && finite(view.pose.lookAt) && finite(view.pose.up));
    FUZZ_CHECK(std::isfinite(view.fieldOfView));
    FUZZ_CHECK(allFinite(view.viewMatrix.data(), 16));
}

void checkTracked(const ruins::TrackedPoints& points) {
    FUZZ_CHECK(points.count >= 0 && points.count <= ruins::TrackedPoints::kCapacity);
    for (int i = 0; i < ruins::TrackedPoints::kCapacity; ++i)
        FUZZ_CHECK(std::isfinite(points.confidence[i]) && points.confidence[i] >= 0.0f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    KLTSetVerbosity(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    std::unique_ptr<CornerDetector> detector;
    if (in.flag())
        detector = std::make_unique<KLTCornerDetector>(kDetectorCapacity);
    else
        detector = std::make_unique<FASTCornerDetector>(kDetectorCapacity);
    detector->setThreshold(in.intInRange(0, 80));
    KLTSetVerbosity(0);  // a KLT detector sets it too; keep the run quiet either way

    ruins::RuinsPoseState poseState;
    ruins::RuinsReconstruction reconstruction(poseState);
    int width = in.intInRange(0, kMaxSide);
    int height = in.intInRange(0, kMaxSide);
    reconstruction.setImageSize(width, height);

    std::vector<ruins::PixelPosition> clicks;
    const int operations = in.intInRange(1, kMaxOperations);
    for (int op = 0; op < operations && in.remaining() > 0; ++op) {
        switch (in.intInRange(0, 9)) {
        case 0:
        case 1: {
            const std::vector<std::uint8_t> frame = in.bytes(std::size_t(width) * height);
            std::vector<std::uint8_t> input(std::max<std::size_t>(frame.size(), 1), 0);
            std::copy(frame.begin(), frame.end(), input.begin());
            std::vector<std::uint8_t> output(input.size(), 0xEE);
            ruins::GrabberSnapshot grabber;
            grabber.state = in.intInRange(-1, 3);
            grabber.clicks = clicks;
            reconstruction.frameStep(input.data(), output.data(), detector.get(), grabber);
            FUZZ_CHECK(std::equal(frame.begin(), frame.end(), output.begin()));
            break;
        }
        case 2: {
            clicks.resize(in.intInRange(0, kMaxClicks));
            const bool wild = in.flag();
            for (ruins::PixelPosition& p : clicks)
                p = wild ? ruins::PixelPosition{in.take<std::int32_t>(), in.take<std::int32_t>()}
                         : ruins::PixelPosition{in.intInRange(-4, width + 4), in.intInRange(-4, height + 4)};
            break;
        }
        case 3:
            width = in.intInRange(-2, kMaxSide);
            height = in.intInRange(-2, kMaxSide);
            reconstruction.setImageSize(width, height);
            width = std::max(width, 0);
            height = std::max(height, 0);
            break;
        case 4:
            reconstruction.beginAutomaticSelection(in.flag() ? in.take<std::int32_t>() : in.intInRange(-1, 640),
                                                   in.flag() ? in.take<std::int32_t>() : in.intInRange(-1, 480));
            break;
        case 5:
            reconstruction.endMatching();
            break;
        case 6:
            reconstruction.restartFollowing(detector.get());
            break;
        case 7:
            reconstruction.setUseKalman(in.flag());
            break;
        case 8:
            checkView(reconstruction.preparePoseView());
            break;
        case 9: {
            std::vector<CornerPoint> corners(in.intInRange(0, 60));
            for (CornerPoint& c : corners)
                c = in.flag() ? CornerPoint{in.take<std::int32_t>(), in.take<std::int32_t>()}
                              : CornerPoint{in.intInRange(0, width), in.intInRange(0, height)};
            reconstruction.matchCorners(corners.data(), static_cast<int>(corners.size()));
            reconstruction.updatePose();
            break;
        }
        }
        checkTracked(reconstruction.trackedPoints());
        FUZZ_CHECK(reconstruction.width() == width && reconstruction.height() == height);
        (void)reconstruction.leftOverlay(in.intInRange(-1, 3));
        (void)reconstruction.rightOverlay(in.intInRange(-1, 3));
    }
    checkView(reconstruction.preparePoseView());
    return 0;
}
