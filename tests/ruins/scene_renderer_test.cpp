// The software ruins camera: reproducible bytes, geometry that matches the
// projection the estimator assumes, occlusion of the virtual bricks, bad input.
#include "scene/calibration_pose.h"
#include "scene/ruins_model.h"
#include "virtual_camera/ruins_scene_renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using namespace ruins;

using Frame = std::vector<std::uint8_t>;

Frame render(RuinsSceneRenderer& renderer, const CameraPose& pose, int width, int height, double noise = 0.0,
             std::uint64_t seed = 0, PixelOrder order = PixelOrder::RGB)
{
    Frame frame(std::size_t(width) * height * 3, 7);
    const std::optional<FrameCamera> camera = makeFrameCamera(pose, width, height);
    EXPECT_TRUE(camera.has_value());
    if (camera) renderer.renderRuins(*camera, frame.data(), order, noise, seed);
    return frame;
}

struct Rgb {
    int r, g, b;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

Rgb pixelAt(const Frame& frame, int width, int column, int row)
{
    const std::uint8_t* p = &frame[(std::size_t(row) * width + column) * 3];
    return {p[0], p[1], p[2]};
}

// Pixel where a world point appears, rounded to the nearest sample.
Rgb pixelSeeing(const Frame& frame, const FrameCamera& camera, const Vector3& point)
{
    double column = 0.0, row = 0.0;
    EXPECT_TRUE(projectToFrame(camera, point, column, row));
    const int x = int(std::lround(column));
    const int y = int(std::lround(row));
    if (x < 0 || y < 0 || x >= camera.width || y >= camera.height) {
        ADD_FAILURE() << "point outside the frame at " << column << ", " << row;
        return {-1, -1, -1};
    }
    return pixelAt(frame, camera.width, x, y);
}

// The brick faces as the renderer shades them: sandstone × the face's shade.
const Rgb kTopFace{222, 196, 150};
const Rgb kPlusXFace{151, 133, 102};
const Rgb kPlusYFace{100, 88, 68};

bool isPlate(const Rgb& c)
{
    // Slate (40, 52, 46) with the grain (±5) and the lines (−7).
    return c.r >= 28 && c.r <= 45 && c.g >= 40 && c.g <= 57 && c.b >= 34 && c.b <= 51;
}

TEST(SceneRenderer, SameInputsGiveTheSameBytes)
{
    RuinsSceneRenderer first;
    RuinsSceneRenderer second;
    const Frame a = render(first, kCalibrationPose, 320, 240);
    // A renderer that has drawn other sizes and noise since still gives the same bytes.
    render(second, kCalibrationPose, 640, 480, 3.0, 9);
    render(second, kCalibrationPose, 17, 5);
    const Frame b = render(second, kCalibrationPose, 320, 240);
    EXPECT_EQ(a, b);

    const Frame noisy1 = render(first, kCalibrationPose, 320, 240, 4.0, 42);
    const Frame noisy2 = render(second, kCalibrationPose, 320, 240, 4.0, 42);
    const Frame otherSeed = render(second, kCalibrationPose, 320, 240, 4.0, 43);
    EXPECT_EQ(noisy1, noisy2);
    EXPECT_NE(noisy1, otherSeed);
}

TEST(SceneRenderer, NoiseHasTheRequestedSpread)
{
    RuinsSceneRenderer renderer;
    const Frame clean = render(renderer, kCalibrationPose, 320, 240);
    const double sigma = 6.0;
    const Frame noisy = render(renderer, kCalibrationPose, 320, 240, sigma, 5);
    double sum = 0.0, sumSquares = 0.0;
    int counted = 0;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        if (clean[i] < 40 || clean[i] > 215) continue;  // away from clipping at 0 and 255
        const double d = double(noisy[i]) - double(clean[i]);
        sum += d;
        sumSquares += d * d;
        ++counted;
    }
    ASSERT_GT(counted, 100000);
    const double mean = sum / counted;
    const double deviation = std::sqrt(sumSquares / counted - mean * mean);
    EXPECT_NEAR(mean, 0.0, 0.1);
    EXPECT_NEAR(deviation, sigma, 0.3);
}

TEST(SceneRenderer, ChannelOrderOnlySwapsRedAndBlue)
{
    RuinsSceneRenderer renderer;
    const Frame cleanRgb = render(renderer, kCalibrationPose, 64, 48, 0.0, 0, PixelOrder::RGB);
    const Frame cleanBgr = render(renderer, kCalibrationPose, 64, 48, 0.0, 0, PixelOrder::BGR);
    for (std::size_t i = 0; i < cleanRgb.size(); i += 3) {
        ASSERT_EQ(cleanRgb[i], cleanBgr[i + 2]);
        ASSERT_EQ(cleanRgb[i + 1], cleanBgr[i + 1]);
        ASSERT_EQ(cleanRgb[i + 2], cleanBgr[i]);
    }
}

TEST(SceneRenderer, FacesAndPlateAppearWhereTheyAreProjected)
{
    RuinsSceneRenderer renderer;
    const Frame frame = render(renderer, kCalibrationPose, 640, 480);
    const FrameCamera camera = *makeFrameCamera(kCalibrationPose, 640, 480);
    // The free end of the row along x: its top, its end (+x) and its +y side.
    EXPECT_EQ(pixelSeeing(frame, camera, {15.6, 1.2, 2.4}), kTopFace);
    EXPECT_EQ(pixelSeeing(frame, camera, {16.8, 1.2, 1.2}), kPlusXFace);
    EXPECT_EQ(pixelSeeing(frame, camera, {15.6, 2.4, 1.2}), kPlusYFace);
    // Open plate beside the rows.
    EXPECT_TRUE(isPlate(pixelSeeing(frame, camera, {12.0, 14.0, 0.0})));
    // Three clearly different shades, and all far from the plate.
    EXPECT_GT(kTopFace.r - kPlusXFace.r, 40);
    EXPECT_GT(kPlusXFace.r - kPlusYFace.r, 40);
}

TEST(SceneRenderer, StraightDownViewShowsATopFaceAtItsProjectedWidth)
{
    // Looking straight down at the end brick of the y row, the top face is a
    // square whose pixel extent follows from the focal length and the pixel
    // origin u = x − width/2.
    const double height = 30.0;
    CameraPose pose{{1.2, 21.6, height}, {1.2, 21.6, 0.0}, {0.0, 1.0, 0.0}, 20.0};
    RuinsSceneRenderer renderer;
    const int w = 320, h = 240;
    const Frame frame = render(renderer, pose, w, h);
    const FrameCamera camera = *makeFrameCamera(pose, w, h);
    const double depth = height - 2.4;
    const double halfSidePixels = 1.2 * camera.focalY / depth;
    // Samples at u = x − 160 inside (−halfSide, +halfSide) for the cell's x range.
    int expected = 0;
    for (int x = 0; x < w; ++x) expected += std::fabs(x - w / 2.0) <= halfSidePixels ? 1 : 0;
    const int row = h / 2;
    int top = 0;
    for (int x = 0; x < w; ++x) top += pixelAt(frame, w, x, row) == kTopFace ? 1 : 0;
    EXPECT_NEAR(top, expected, 1);
    EXPECT_EQ(pixelAt(frame, w, w / 2, row), kTopFace);
    EXPECT_TRUE(isPlate(pixelAt(frame, w, 5, row)));
}

TEST(SceneRenderer, VirtualBricksAreHiddenBehindTheRuins)
{
    // Looking along +y at the foot of the brick column i = 1: the ruins brick
    // (1, 0, 0) stands in front of the virtual bricks (1, 3..5, 0); the virtual
    // column (1, 0, 2..5) rises in the open.
    CameraPose pose{{3.6, -30.0, 1.2}, {3.6, 0.0, 1.2}, {0.0, 0.0, 1.0}, 40.0};
    RuinsSceneRenderer renderer;
    const int w = 320, h = 240;
    Frame frame = render(renderer, pose, w, h);
    const Frame before = frame;
    const FrameCamera camera = *makeFrameCamera(pose, w, h);
    renderer.drawVirtualModel(camera, frame.data(), PixelOrder::RGB);

    const Vector3 hiddenPoint{3.6, 0.0, 1.2};   // the ruins brick's front face
    const Vector3 visiblePoint{3.6, 0.0, 10.8}; // front face of virtual (1, 0, 4)
    EXPECT_EQ(pixelSeeing(frame, camera, hiddenPoint), pixelSeeing(before, camera, hiddenPoint));
    const Rgb yellow = pixelSeeing(frame, camera, visiblePoint);
    EXPECT_EQ(yellow.r, yellow.g);
    EXPECT_EQ(yellow.b, 0);
    EXPECT_GT(yellow.r, 0);
    // Nothing but virtual-brick yellow is ever written.
    for (std::size_t i = 0; i < frame.size(); i += 3) {
        if (frame[i] == before[i] && frame[i + 1] == before[i + 1] && frame[i + 2] == before[i + 2]) continue;
        ASSERT_EQ(frame[i], frame[i + 1]);
        ASSERT_EQ(frame[i + 2], 0);
    }
}

TEST(SceneRenderer, ProjectionFollowsThePixelOrigin)
{
    const FrameCamera camera = *makeFrameCamera(kCalibrationPose, 320, 240);
    double column = 0.0, row = 0.0;
    ASSERT_TRUE(projectToFrame(camera, kCalibrationPose.lookAt, column, row));
    EXPECT_NEAR(column, 160.0, 1e-9);
    EXPECT_NEAR(row, 120.0, 1e-9);
    // Behind the eye: no projection.
    const Vector3 behind = kCalibrationPose.eye + (kCalibrationPose.eye - kCalibrationPose.lookAt);
    EXPECT_FALSE(projectToFrame(camera, behind, column, row));
    // 2·atan(h / 2f) gives the field of view back.
    EXPECT_NEAR(2.0 * std::atan(120.0 / camera.focalY) * 180.0 / kPi, kCalibrationPose.fieldOfView, 1e-9);
}

TEST(SceneRenderer, StableTrigonometryMatchesTheLibrary)
{
    for (double x = -40.0; x <= 40.0; x += 0.0137) {
        ASSERT_NEAR(stableSine(x), std::sin(x), 4e-16 * std::max(1.0, std::fabs(x)));
        ASSERT_NEAR(stableCosine(x), std::cos(x), 4e-16 * std::max(1.0, std::fabs(x)));
    }
    EXPECT_EQ(stableSine(0.0), 0.0);
    EXPECT_EQ(stableCosine(0.0), 1.0);
    EXPECT_TRUE(std::isnan(stableSine(std::numeric_limits<double>::infinity())));
}

TEST(SceneRenderer, RefusesDegenerateCameras)
{
    const CameraPose good = kCalibrationPose;
    EXPECT_TRUE(makeFrameCamera(good, 1, 1).has_value());
    EXPECT_FALSE(makeFrameCamera(good, 0, 240).has_value());
    EXPECT_FALSE(makeFrameCamera(good, 320, -1).has_value());
    EXPECT_FALSE(makeFrameCamera(good, kMaxSceneSide + 1, 240).has_value());
    EXPECT_FALSE(makeFrameCamera(good, 320, 240, 0.0).has_value());
    CameraPose bad = good;
    bad.eye.x = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(makeFrameCamera(bad, 320, 240).has_value());
    bad = good;
    bad.lookAt = bad.eye;
    EXPECT_FALSE(makeFrameCamera(bad, 320, 240).has_value());
    bad = good;
    bad.up = bad.lookAt - bad.eye;  // up along the view
    EXPECT_FALSE(makeFrameCamera(bad, 320, 240).has_value());
    for (double fov : {0.0, 180.0, -5.0, std::numeric_limits<double>::infinity()}) {
        bad = good;
        bad.fieldOfView = fov;
        EXPECT_FALSE(makeFrameCamera(bad, 320, 240).has_value()) << fov;
    }
}

TEST(SceneRenderer, OddViewpointsAndSizesRenderWithoutFault)
{
    RuinsSceneRenderer renderer;
    const std::vector<CameraPose> poses{
        {{1.0, 1.0, 1.0}, {5.0, 5.0, 0.0}, {0.0, 0.0, 1.0}, 60.0},     // inside brick (0, 0, 0)
        {{3.7, -0.01, 1.2}, {3.7, 5.0, 1.2}, {0.0, 0.0, 1.0}, 170.0},  // touching a face, very wide
        {{5.0, 5.0, -10.0}, {5.0, 5.0, 0.0}, {0.0, 1.0, 0.0}, 50.0},   // under the plate
        {{0.0, -50.0, 5.0}, {0.0, 0.0, 5.0}, {0.0, 0.0, 1.0}, 0.01},   // horizon, telephoto
        {{1e7, 1e7, 1e7}, {0.0, 0.0, 0.0}, {0.0, 0.0, 1.0}, 30.0},     // very far
    };
    for (const CameraPose& pose : poses) {
        for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 200}, std::pair{160, 120}}) {
            Frame frame(std::size_t(w) * h * 3, 7);
            const std::optional<FrameCamera> camera = makeFrameCamera(pose, w, h);
            ASSERT_TRUE(camera.has_value());
            renderer.renderRuins(*camera, frame.data(), PixelOrder::RGB, 2.0, 1);
            renderer.drawVirtualModel(*camera, frame.data(), PixelOrder::RGB);
        }
    }
    // A camera under the plate, looking away from the bricks, sees only sky.
    CameraPose below{{-30.0, -30.0, -1.0}, {-60.0, -60.0, 0.0}, {0.0, 0.0, 1.0}, 50.0};
    const Frame frame = render(renderer, below, 40, 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) ASSERT_EQ(pixelAt(frame, 40, x, y), (Rgb{150, 170, 196}));
    // A null buffer is ignored.
    renderer.renderRuins(*makeFrameCamera(kCalibrationPose, 8, 8), nullptr, PixelOrder::RGB);
    renderer.drawVirtualModel(*makeFrameCamera(kCalibrationPose, 8, 8), nullptr, PixelOrder::RGB);
}

}  // namespace
