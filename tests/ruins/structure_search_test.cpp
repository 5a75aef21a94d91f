// The search for the structure from any viewpoint, through the reconstruction
// that hands over to following: found from random viewpoints (any azimuth,
// roll, distance and place in the frame) within 30 frames and to a pixel, and
// nothing found where the structure is not.
#include "cycle/grey_conversion.h"
#include "processors/fast_corner_detector.h"
#include "reconstruction/ruins_reconstruction.h"
#include "scene/brick_occlusion.h"
#include "search/outline_check.h"
#include "ruins_test_support.h"
#include "tests/support/textured_picture.h"
#include "virtual_camera/ruins_scene_renderer.h"
#include "virtual_camera/virtual_ruins_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ruins {
namespace {

constexpr int kFramesToFind = 30;
constexpr double kDegrees = kPi / 180.0;

// A fixed stream of numbers in [0, 1) from a seed.
class Numbers {
public:
    explicit Numbers(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    double next()
    {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return double((state_ * 0x2545F4914F6CDD1Dull) >> 11) / double(1ull << 53);
    }
    double between(double low, double high) { return low + (high - low) * next(); }

private:
    std::uint64_t state_;
};

// A camera looking down on the structure from anywhere: any azimuth and roll,
// elevation 15 to 70 degrees, field of view 30 to 55, the structure's radius
// 15 to 40 % of the frame's height and its centre off the frame's by up to a
// sixth of the frame; with at least 12 model points in the frame and not hidden
// behind the bricks.
FrameCamera randomViewpoint(std::uint64_t seed, const SceneModel& scene, int width, int height)
{
    const Vector3 centre = scene.pointsCentre();
    double radius = 0.0;
    for (const Vector3& p : scene.points) radius = std::max(radius, std::sqrt(dot(p - centre, p - centre)));
    const BrickOcclusion occlusion(scene);
    Numbers numbers(seed);
    for (;;) {
        const double azimuth = numbers.between(0.0, 360.0) * kDegrees;
        const double elevation = numbers.between(15.0, 70.0) * kDegrees;
        const double fieldOfView = numbers.between(30.0, 55.0);
        const double share = numbers.between(0.15, 0.4);
        const double roll = numbers.between(-180.0, 180.0) * kDegrees;
        const double focal = (height / 2.0) / std::tan(fieldOfView / 2.0 * kDegrees);
        const double distance = focal * radius / (share * height);
        const Vector3 toEye{std::cos(elevation) * std::cos(azimuth), std::cos(elevation) * std::sin(azimuth),
                            std::sin(elevation)};
        const Vector3 forward = -1.0 * toEye;
        Vector3 side = cross(forward, {0.0, 0.0, 1.0});
        side.normalize();
        const Vector3 up = cross(side, forward);
        const double reach = distance * (height / 6.0) / focal;
        const Vector3 lookAt =
            centre + numbers.between(-reach, reach) * side + numbers.between(-reach, reach) * up;
        const CameraPose pose{lookAt + distance * toEye, lookAt,
                              std::cos(roll) * up + std::sin(roll) * side, fieldOfView};
        const std::optional<FrameCamera> camera = makeFrameCamera(pose, width, height);
        if (!camera) continue;
        int visible = 0;
        for (const Vector3& p : scene.points) {
            double x, y;
            visible += projectToFrame(*camera, p, x, y) && x >= 0 && y >= 0 && x < width && y < height &&
                       !occlusion.hides(p, camera->eye);
        }
        if (visible >= 12) return *camera;
    }
}

// The reconstruction searching from the first frame, on frames of one camera.
struct SearchRun {
    int width, height;
    std::shared_ptr<const SceneModel> scene = bundledRuinsScene();
    RuinsPoseState pose;
    RuinsReconstruction reconstruction{pose};
    FASTCornerDetector detector{2 * scene->pointCount()};
    RuinsSceneRenderer renderer;
    std::vector<std::uint8_t> rgb = std::vector<std::uint8_t>(std::size_t(width) * height * 3);
    std::vector<unsigned char> grey = std::vector<unsigned char>(std::size_t(width) * height);
    std::vector<unsigned char> output = std::vector<unsigned char>(grey.size());

    SearchRun(int frameWidth, int frameHeight, std::shared_ptr<const SceneBackdrop> backdrop = nullptr)
        : width(frameWidth), height(frameHeight)
    {
        renderer.setBricks(scene->scene.brickEdge, scene->realBricks(), scene->virtualBricks());
        renderer.setBackdrop(std::move(backdrop));
        reconstruction.setScene(scene);
        reconstruction.setImageSize(width, height);
        reconstruction.restartFollowing(&detector);
        reconstruction.beginSearch();
    }
    // The frame the camera sees, in colour and grey.
    void render(const FrameCamera& camera, std::uint64_t frame)
    {
        renderer.renderRuins(camera, rgb.data(), PixelOrder::RGB, 1.0, frame);
        convertToGrey(rgb.data(), grey.data(), grey.size());
    }
    void step(const FrameCamera& camera, std::uint64_t frame)
    {
        render(camera, frame);
        reconstruction.setColourFrame(rgb.data());
        reconstruction.frameStep(grey.data(), output.data(), &detector, {});
    }
    // Over kFramesToFind frames: the first whose pose lies within a pixel of
    // `camera`, and the worst error of any pose shown.
    struct Outcome {
        std::optional<int> within;
        std::optional<double> worst;
    };
    Outcome find(const FrameCamera& camera)
    {
        Outcome outcome;
        for (int frame = 0; frame < kFramesToFind; ++frame) {
            step(camera, std::uint64_t(frame));
            if (!reconstruction.poseValid()) {
                if (!outcome.worst) {
                    EXPECT_TRUE(reconstruction.searching());
                }
                continue;
            }
            const double e = error(camera);
            outcome.worst = std::max(outcome.worst.value_or(0.0), e);
            if (!outcome.within && e <= 1.0) outcome.within = frame;
        }
        return outcome;
    }
    // Median pixel distance of the model points between the shown pose and `truth`.
    double error(const FrameCamera& truth) const
    {
        std::vector<double> errors =
            ruins_test::shownPoseErrors(reconstruction.preparedView(), truth, scene->points, width, height);
        if (errors.empty()) return 1e9;
        std::nth_element(errors.begin(), errors.begin() + std::ptrdiff_t(errors.size() / 2), errors.end());
        return errors[errors.size() / 2];
    }
};

struct Start {
    int width, height;
};

class StructureSearchFinds : public ::testing::TestWithParam<Start> {};

// A handful of viewpoints per size (rolled, from all sides, near and far, one
// with the ruins' radius a sixth of the frame's height, one with the ruins a
// fifth of the frame tall, whose right pose fits only loosely at 320 × 240,
// one whose found pose the first round follows on too few corners): a pose
// within a pixel (the median of the points' errors) within 30 frames, and
// none shown more than 3 px off. CASTELLAN_SEARCH_VIEWPOINTS=N tries the first
// N instead, with the picture CASTELLAN_SEARCH_BACKDROP as backdrop if given,
// prints the share found, and holds those with a pose more than 3 px off to 2 %.
TEST_P(StructureSearchFinds, FromRandomViewpointsWithinThirtyFrames)
{
    const Start start = GetParam();
    const char* many = std::getenv("CASTELLAN_SEARCH_VIEWPOINTS");
    std::vector<int> seeds{2, 3, 4, 6, 8, 181, 196};
    if (many) {
        seeds.clear();
        for (int seed = 1; seed <= std::max(1, std::atoi(many)); ++seed) seeds.push_back(seed);
    }
    const int count = int(seeds.size());
    std::shared_ptr<const SceneBackdrop> backdrop;
    if (const char* picture = std::getenv("CASTELLAN_SEARCH_BACKDROP")) {
        std::string error;
        backdrop = loadSceneBackdrop(picture, error);
        ASSERT_TRUE(backdrop) << error;
    }
    int found = 0;
    int wrong = 0;
    std::vector<double> frames;
    for (const int seed : seeds) {
        SearchRun run(start.width, start.height, backdrop);
        const FrameCamera camera = randomViewpoint(std::uint64_t(seed), *run.scene, start.width, start.height);
        const SearchRun::Outcome outcome = run.find(camera);
        if (outcome.within) {
            ++found;
            frames.push_back(*outcome.within);
        }
        wrong += outcome.worst.value_or(0.0) > 3.0;
        if (!outcome.within || outcome.worst.value_or(0.0) > 3.0) {
            const std::string what = "viewpoint " + std::to_string(seed) + ": " +
                                     (outcome.worst ? "worst error " + std::to_string(*outcome.worst) : "not found");
            if (many)
                std::printf("%s\n", what.c_str());
            else
                ADD_FAILURE() << what;
        }
    }
    if (many) {
        std::sort(frames.begin(), frames.end());
        std::printf("found within a pixel from %d of %d viewpoints (median frame %g), more than 3 px off from %d\n",
                    found, count, frames.empty() ? -1.0 : frames[frames.size() / 2], wrong);
        EXPECT_LE(wrong, 0.02 * count);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, StructureSearchFinds, ::testing::Values(Start{320, 240}, Start{640, 480}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

// Frames of texture and nothing else, with corners everywhere: searched for two
// full sweeps, nothing is ever shown.
TEST(StructureSearch, FindsNothingWhereTheStructureIsNot)
{
    SearchRun run(640, 480);
    const std::vector<unsigned char> picture = castellan_test::texturedPicture(640, 480, 11);
    for (int frame = 0; frame < 2 * StructureSearch::kFramesPerSweep; ++frame) {
        std::vector<unsigned char> output(picture.size());
        run.reconstruction.frameStep(picture.data(), output.data(), &run.detector, {});
        ASSERT_FALSE(run.reconstruction.poseValid()) << "frame " << frame;
        EXPECT_TRUE(run.reconstruction.searching());
    }
}

// A camera a brick aside puts much of the structure's outline where the frame
// has none: the check that refuses near likenesses tells it from the true one.
class OutlineCheckTells : public ::testing::TestWithParam<Vector3> {};

TEST_P(OutlineCheckTells, TheTrueCameraFromOneABrickAside)
{
    SearchRun run(320, 240);
    const FrameCamera truth = randomViewpoint(4, *run.scene, run.width, run.height);
    run.render(truth, 0);
    const auto agreement = [&](const Vector3& shift) {
        const Vector3 eye = truth.eye + double(run.scene->brickEdge()) * shift;
        const Vector3 rows[3] = {truth.focalX * truth.side, truth.focalY * truth.up, truth.forward};
        double projection[12];
        for (int r = 0; r < 3; ++r) {
            projection[4 * r] = rows[r].x;
            projection[4 * r + 1] = rows[r].y;
            projection[4 * r + 2] = rows[r].z;
            projection[4 * r + 3] = -dot(rows[r], eye);
        }
        return OutlineCheck(*run.scene).agreement(projection, eye, BrickOcclusion(*run.scene), run.grey.data(),
                                                  run.rgb.data(), run.width, run.height);
    };
    EXPECT_GE(agreement({0.0, 0.0, 0.0}), 0.95);
    EXPECT_LT(agreement(GetParam()), RuinsReconstruction::kSearchMinOutline);
}

INSTANTIATE_TEST_SUITE_P(Shifts, OutlineCheckTells,
                         ::testing::Values(Vector3{1.0, 0.0, 0.0}, Vector3{0.0, 1.0, 0.0}, Vector3{0.0, 0.0, 1.0},
                                           Vector3{-1.0, 0.0, 0.0}, Vector3{0.0, -1.0, 0.0}));

}  // namespace
}  // namespace ruins
