// The ruins reconstructor's frame step (detector, matching, pose) on a synthetic
// frame: bright squares whose corners sit where a camera sees the 39 model
// points, with the points already being followed.

#include "pose/matrix4.h"
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
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace {

struct SyntheticScene {
    int width;
    int height;
    std::vector<unsigned char> frame;
    std::vector<CornerPoint> points;

    SyntheticScene(int w, int h) : width(w), height(h), frame(std::size_t(w) * h, 40)
    {
        const double focal = 330.0 * w / 320.0;
        const Matrix4 view = lookAt({45.0, -30.0, 40.0}, {8.0, 6.0, 0.0}, {0.0, 0.0, 1.0});
        const int square = std::max(8, w / 40);
        for (const Vector3& p : ruins::bundledRuinsScene()->points) {
            double c[3];
            for (int r = 0; r < 3; ++r) c[r] = view(r, 0) * p.x + view(r, 1) * p.y + view(r, 2) * p.z + view(r, 3);
            const int x = int(std::lround(focal * c[0] / -c[2] + w * 0.5));
            const int y = int(std::lround(focal * c[1] / -c[2] + h * 0.5));
            points.push_back({x, y});
            // A bright square with its lower-left corner on the point.
            for (int yy = y; yy < std::min(h, y + square); ++yy)
                for (int xx = x; xx < std::min(w, x + square); ++xx)
                    if (xx >= 0 && yy >= 0) frame[std::size_t(yy) * w + xx] = 220;
        }
    }
};

template <class Detector, int Width, int Height>
void ruinsStep(benchmark::State& state)
{
    const SyntheticScene scene(Width, Height);
    std::vector<unsigned char> output(scene.frame.size());
    ruins::RuinsPoseState pose;
    ruins::RuinsReconstruction reconstruction(pose);
    reconstruction.setImageSize(scene.width, scene.height);
    Detector detector(78);
    const int count = reconstruction.pointCount();
    for (int i = 0; i < count; ++i) reconstruction.trackedPoints().positions[i] = scene.points[i];
    reconstruction.trackedPoints().count = count;
    int poses = 0;
    for (auto _ : state) {
        reconstruction.frameStep(scene.frame.data(), output.data(), &detector, {});
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
