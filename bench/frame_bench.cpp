// One process() call of each processor in steady state: the frame size is set,
// the processor has run a few frames, and consecutive calls alternate between a
// picture and its moved copy, as a live camera would deliver them (ours only).

#include "app/frame_io.h"
#include "bench/bench_support.h"
#include "canvas/canvas.h"
#include "processors/fast_tracker_processor.h"
#include "processors/klt_tracker_processor.h"
#include "ruins/ruins_reconstructor_processor.h"
#include "scene/calibration_pose.h"
#include "scene/ruins_model.h"
#include "virtual_camera/ruins_scene_renderer.h"

#include <benchmark/benchmark.h>

#include <span>

#include <cmath>
#include <vector>

namespace {

constexpr int kWarmUpFrames = 4;

template <class P>
void runSteadyState(benchmark::State& state, P& processor, bench::FrameSize size,
                    const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    std::vector<unsigned char> output(a.size());
    processor.setImageSize(size.width, size.height);
    for (int i = 0; i < kWarmUpFrames; ++i) processor.process(i % 2 ? b.data() : a.data(), output.data());
    bool useB = false;
    for (auto _ : state) {
        processor.process(useB ? b.data() : a.data(), output.data());
        benchmark::DoNotOptimize(output.data());
        useB = !useB;
    }
}

void frameFast(benchmark::State& state, bench::FrameSize size) {
    bench::application();
    FASTTrackerProcessor processor;
    runSteadyState(state, processor, size, bench::benchPicture(size), bench::movedBenchPicture(size));
    state.counters["corners"] = processor.detector().cornerCount();
}

void frameKlt(benchmark::State& state, bench::FrameSize size) {
    bench::application();
    KLTTrackerProcessor processor;
    runSteadyState(state, processor, size, bench::benchPicture(size), bench::movedBenchPicture(size));
}

// The ruins at the calibration pose, optionally turned by a small angle about the
// vertical through the look-at point, in grey as the program converts frames.
std::vector<unsigned char> ruinsFrame(bench::FrameSize size, bool turned, ruins::FrameCamera* cameraOut) {
    ruins::CameraPose pose = ruins::kCalibrationPose;
    if (turned) {
        const double c = std::cos(0.01), s = std::sin(0.01);
        const double dx = pose.eye.x - pose.lookAt.x, dy = pose.eye.y - pose.lookAt.y;
        pose.eye.x = pose.lookAt.x + c * dx - s * dy;
        pose.eye.y = pose.lookAt.y + s * dx + c * dy;
        const double ux = pose.up.x, uy = pose.up.y;
        pose.up.x = c * ux - s * uy;
        pose.up.y = s * ux + c * uy;
    }
    const auto camera = ruins::makeFrameCamera(pose, size.width, size.height);
    const std::size_t pixels = static_cast<std::size_t>(size.width) * size.height;
    std::vector<unsigned char> rgb(pixels * 3), grey(pixels);
    if (!camera) return grey;
    ruins::RuinsSceneRenderer renderer;
    renderer.renderRuins(*camera, rgb.data(), ruins::PixelOrder::RGB);
    convertToGrey(rgb.data(), grey.data(), pixels);
    if (cameraOut) *cameraOut = *camera;
    return grey;
}

// The reconstructor following the 39 points with its KLT detector and estimating
// the pose every frame.
void frameRuins(benchmark::State& state, bench::FrameSize size) {
    bench::application();
    ruins::FrameCamera camera;
    const std::vector<unsigned char> a = ruinsFrame(size, false, &camera);
    const std::vector<unsigned char> b = ruinsFrame(size, true, nullptr);
    Canvas left;
    RuinsReconstructorProcessor processor(&left);
    processor.setImageSize(size.width, size.height);
    // As if clicked: not searched for.
    processor.reconstruction().beginManualSelection();
    ruins::TrackedPoints& points = processor.reconstruction().trackedPoints();
    const std::span<const Vector3> model = processor.reconstruction().modelPoints();
    for (std::size_t i = 0; i < model.size(); ++i) {
        double column = 0.0, row = 0.0;
        ruins::projectToFrame(camera, model[i], column, row);
        points.positions[i] = {static_cast<int>(std::lround(column)), static_cast<int>(std::lround(row))};
    }
    points.count = int(model.size());
    runSteadyState(state, processor, size, a, b);
    state.counters["pose"] = processor.reconstruction().poseValid();
}

const bool registered = [] {
    for (const bench::FrameSize size : bench::kFrameSizes) {
        benchmark::RegisterBenchmark(bench::benchmarkName("ours", "frame_fast", size).c_str(), frameFast, size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(bench::benchmarkName("ours", "frame_klt", size).c_str(), frameKlt, size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(bench::benchmarkName("ours", "frame_ruins", size).c_str(), frameRuins, size)
            ->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

}  // namespace
