// The ruins reconstructor's frame step (detector, following, pose), the
// matching of tracked points to corners, and one frame's share of the search.

#include "processors/fast_corner_detector.h"
#include "processors/klt_corner_detector.h"
#include "reconstruction/ruins_reconstruction.h"
#include "scene/ruins_model.h"
#include "scene/scene_model.h"
#include "cycle/grey_conversion.h"
#include "search/structure_search.h"
#include "virtual_camera/ruins_scene_renderer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace {

// The reconstructor following the ruins frame after frame on the virtual
// camera's reference view: detector, following and pose. (Bright squares on
// a dark frame, which this once ran on, lost the pose at 640 x 480, and the
// step measured the search instead.)
template <class Detector, int Width, int Height>
void ruinsStep(benchmark::State& state)
{
    const auto scene = ruins::bundledRuinsScene();
    const auto camera = ruins::makeFrameCamera(scene->referencePose, Width, Height);
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(Width) * Height * 3);
    std::vector<unsigned char> grey(static_cast<std::size_t>(Width) * Height);
    std::vector<unsigned char> output(grey.size());
    ruins::RuinsSceneRenderer renderer;
    renderer.setBricks(scene->scene.brickEdge, scene->realBricks(), scene->virtualBricks());
    if (camera) renderer.renderRuins(*camera, rgb.data(), ruins::PixelOrder::RGB);
    convertToGrey(rgb.data(), grey.data(), grey.size());
    ruins::RuinsPoseState pose;
    ruins::RuinsReconstruction reconstruction(pose);
    reconstruction.setScene(scene);
    reconstruction.setImageSize(Width, Height);
    reconstruction.setColourFrame(rgb.data());
    Detector detector(2 * scene->pointCount());
    reconstruction.beginAutomaticSelection(scene->pictureSize.width, scene->pictureSize.height);
    reconstruction.endMatching();
    reconstruction.restartFollowing(&detector);
    int poses = 0;
    for (auto _ : state) {
        reconstruction.frameStep(grey.data(), output.data(), &detector, {});
        poses += reconstruction.poseValid();
        benchmark::DoNotOptimize(output.data());
    }
    state.counters["pose_share"] = double(poses) / double(std::max<benchmark::IterationCount>(1, state.iterations()));
}

void matchingOnly(benchmark::State& state)
{
    ruins::TrackedPoints points;
    points.count = ruins::bundledRuinsScene()->pointCount();
    std::vector<CornerPoint> corners(78);
    for (int i = 0; i < 78; ++i) corners[i] = {(i * 37) % 320, (i * 53) % 240};
    for (int i = 0; i < points.count; ++i) points.positions[i] = corners[i * 2];
    for (auto _ : state) {
        ruins::matchTrackedPoints(points, corners.data(), 78);
        benchmark::DoNotOptimize(points.confidence.data());
    }
}

}  // namespace

BENCHMARK(ruinsStep<KLTCornerDetector, 320, 240>)->Name("ours/ruins_step/320x240");
BENCHMARK(ruinsStep<KLTCornerDetector, 640, 480>)->Name("ours/ruins_step/640x480");
BENCHMARK(ruinsStep<FASTCornerDetector, 320, 240>)->Name("ours/ruins_step_fast/320x240");
BENCHMARK(ruinsStep<FASTCornerDetector, 640, 480>)->Name("ours/ruins_step_fast/640x480");
BENCHMARK(matchingOnly)->Name("ours/ruins_matching/39x78");

// One frame's share of the search for the ruins, on the reference view at
// 640 × 480 (found or not, every share costs about the same).
void findStructure(benchmark::State& state)
{
    constexpr int kWidth = 640, kHeight = 480;
    const auto scene = ruins::bundledRuinsScene();
    const auto camera = ruins::makeFrameCamera(scene->referencePose, kWidth, kHeight);
    std::vector<std::uint8_t> rgb(std::size_t(kWidth) * kHeight * 3);
    std::vector<unsigned char> grey(std::size_t(kWidth) * kHeight);
    ruins::RuinsSceneRenderer renderer;
    if (camera) renderer.renderRuins(*camera, rgb.data(), ruins::PixelOrder::RGB);
    convertToGrey(rgb.data(), grey.data(), grey.size());
    ruins::StructureSearch search;
    search.setScene(scene);
    search.setImageSize(kWidth, kHeight);
    std::array<ruins::FoundStructure, 1> found;
    int finds = 0;
    for (auto _ : state) finds += search.step(grey.data(), std::nullopt, found);
    state.counters["found_share"] = double(finds) / double(state.iterations());
}
BENCHMARK(findStructure)->Name("ours/find/640x480")->Unit(benchmark::kMillisecond);
