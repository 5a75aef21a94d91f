// Golden outputs of the corner detectors as the trackers run them: the FAST
// detector (segment test, suppression, capacity) and the KLT detector (selection,
// then sequential tracking), on integer-generated pictures and on frames of the
// virtual ruins. Faster kernels must leave every corner where it is.

#include "features/klt.h"
#include "processors/fast_corner_detector.h"
#include "processors/klt_corner_detector.h"
#include "scene/calibration_pose.h"
#include "tests/support/textured_picture.h"
#include "virtual_camera/ruins_scene_renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using castellan_test::Fnv1a64;
using Bytes = std::vector<unsigned char>;

uint64_t hashCorners(const CornerDetector& detector) {
    Fnv1a64 hash;
    hash.add(detector.cornerCount());
    for (int i = 0; i < detector.cornerCount(); ++i) {
        hash.add(detector.corners()[i].x);
        hash.add(detector.corners()[i].y);
    }
    return hash.value();
}

uint64_t hashBytes(const Bytes& bytes) {
    Fnv1a64 hash;
    hash.addBytes(bytes.data(), bytes.size());
    return hash.value();
}

struct DetectorGolden {
    int width, height;
    uint32_t seed;
    int threshold;
    int capacity;
    int count;
    uint64_t hash;
};

class GoldenFastDetector : public ::testing::TestWithParam<DetectorGolden> {};

TEST_P(GoldenFastDetector, CornersAreUnchanged) {
    const DetectorGolden& g = GetParam();
    const Bytes picture = castellan_test::texturedPicture(g.width, g.height, g.seed);
    FASTCornerDetector detector(g.capacity);
    detector.setThreshold(g.threshold);
    detector.detect(picture.data(), g.width, g.height);
    EXPECT_EQ(detector.cornerCount(), g.count);
    EXPECT_EQ(hashCorners(detector), g.hash);
    // The reused working lists give the same result on the next frame.
    detector.detect(picture.data(), g.width, g.height);
    EXPECT_EQ(hashCorners(detector), g.hash);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, GoldenFastDetector,
    ::testing::Values(DetectorGolden{320, 240, 1, 25, 100, 100, 0x4456e756a3ad4f6dULL},
                      DetectorGolden{320, 240, 1, 20, 100000, 1499, 0x1e9d8b329d4d2446ULL},
                      DetectorGolden{333, 199, 7, 25, 100000, 926, 0x760efc84beb1dd7bULL},
                      DetectorGolden{640, 480, 3, 20, 100000, 6009, 0xf5a8d9f840f939b1ULL}));

// --- Frames of the virtual ruins -------------------------------------------------------

constexpr int kRuinsWidth = 320;
constexpr int kRuinsHeight = 240;

// The ruins at the calibration pose turned by `step` small increments about the
// vertical axis through the look-at point, converted to grey with integer weights.
Bytes ruinsFrame(int step) {
    ruins::CameraPose pose = ruins::kCalibrationPose;
    const double dx = pose.eye.x - pose.lookAt.x;
    const double dy = pose.eye.y - pose.lookAt.y;
    // A rotation by atan(1/100) per step, written with +, -, *, / and sqrt only.
    const double c = 100.0 / std::sqrt(10001.0);
    const double s = 1.0 / std::sqrt(10001.0);
    double rx = dx, ry = dy;
    double ux = pose.up.x, uy = pose.up.y;
    for (int i = 0; i < step; ++i) {
        const double nx = c * rx - s * ry, ny = s * rx + c * ry;
        rx = nx;
        ry = ny;
        const double mx = c * ux - s * uy, my = s * ux + c * uy;
        ux = mx;
        uy = my;
    }
    pose.eye.x = pose.lookAt.x + rx;
    pose.eye.y = pose.lookAt.y + ry;
    pose.up.x = ux;
    pose.up.y = uy;
    const auto camera = ruins::makeFrameCamera(pose, kRuinsWidth, kRuinsHeight);
    EXPECT_TRUE(camera.has_value());
    Bytes rgb(std::size_t(kRuinsWidth) * kRuinsHeight * 3);
    ruins::RuinsSceneRenderer renderer;
    if (camera) renderer.renderRuins(*camera, rgb.data(), ruins::PixelOrder::RGB);
    Bytes grey(std::size_t(kRuinsWidth) * kRuinsHeight);
    for (std::size_t i = 0; i < grey.size(); ++i)
        grey[i] = static_cast<unsigned char>((77 * rgb[3 * i] + 150 * rgb[3 * i + 1] + 29 * rgb[3 * i + 2]) >> 8);
    return grey;
}

// The frames themselves are pinned first: when the renderer changes, these
// fail and the detector values below must be taken anew from the new frames.
TEST(GoldenRuinsFrames, RenderedFramesAreTheOnesPinned) {
    EXPECT_EQ(hashBytes(ruinsFrame(0)), 0x4d4a8012bb10dd9fULL) << "the ruins renderer changed";
    EXPECT_EQ(hashBytes(ruinsFrame(4)), 0x109c1c641e3f0288ULL) << "the ruins renderer changed";
}

TEST(GoldenRuinsFrames, FastCornersAreUnchanged) {
    FASTCornerDetector detector(100000);
    detector.setThreshold(20);
    detector.detect(ruinsFrame(0).data(), kRuinsWidth, kRuinsHeight);
    EXPECT_EQ(detector.cornerCount(), 71);
    EXPECT_EQ(hashCorners(detector), 0x8e1c40f548d5adc4ULL);
}

TEST(GoldenRuinsFrames, KltSelectionAndTrackingAreUnchanged) {
    const uint64_t golden[] = {0xcca1cff70173325eULL, 0x3cf68e689b9efde7ULL, 0x40ef743233b9da2fULL,
                               0xb1825b3e0bfef4efULL, 0x568d3b2c2a36d048ULL};
    KLTCornerDetector detector(78);
    for (int step = 0; step < 5; ++step) {
        detector.detect(ruinsFrame(step).data(), kRuinsWidth, kRuinsHeight);
        // The sub-pixel positions, not only the truncated corners, are pinned.
        Fnv1a64 hash;
        for (const KLTFeature& f : KLTCornerDetector::currentFeatureList()->feature) {
            hash.add(f.x);
            hash.add(f.y);
            hash.add(f.val);
        }
        EXPECT_EQ(hash.value(), golden[step]) << "step " << step;
    }
}

}  // namespace
