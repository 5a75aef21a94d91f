// KLT selection and one sequential tracking step (78 features) at three frame sizes.
#include <benchmark/benchmark.h>

#include "features/klt.h"
#include "tests/features/klt_test_texture.h"

namespace {

void BM_KLTSelect(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0));
    const int h = static_cast<int>(state.range(1));
    KLTSetVerbosity(0);
    const auto frame = klt_test::texture(w, h, 1);
    auto tc = createTrackingContext();
    tc->sequentialMode = true;
    auto fl = createFeatureList(78);
    for (auto _ : state) {
        selectGoodFeatures(*tc, frame.data(), w, h, *fl);
        benchmark::DoNotOptimize(fl->feature.data());
    }
}

// One frame of a KLT tracker in sequential mode: the previous frame's pyramids
// are stored, the new one is converted, smoothed, pyramided and tracked into.
void BM_KLTTrackSequential(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0));
    const int h = static_cast<int>(state.range(1));
    KLTSetVerbosity(0);
    const auto blobs = klt_test::makeBlobs(w, h, 2);
    const auto a = klt_test::renderBlobs(blobs, w, h);
    const auto b = klt_test::renderBlobs(blobs, w, h, 0.7f, -0.4f);
    auto tc = createTrackingContext();
    tc->sequentialMode = true;
    auto fl = createFeatureList(78);
    selectGoodFeatures(*tc, a.data(), w, h, *fl);
    const auto selected = fl->feature;
    KLTTrackFeatures(*tc, a.data(), a.data(), w, h, *fl);
    bool forward = true;
    for (auto _ : state) {
        // Alternate the frames so features keep moving and stay alive.
        KLTTrackFeatures(*tc, nullptr, forward ? b.data() : a.data(), w, h, *fl);
        forward = !forward;
        state.PauseTiming();
        if (countRemainingFeatures(*fl) < 60) fl->feature = selected;
        state.ResumeTiming();
    }
}

}  // namespace

BENCHMARK(BM_KLTSelect)->Args({320, 240})->Args({640, 480})->Args({1280, 720})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KLTTrackSequential)->Args({320, 240})->Args({640, 480})->Args({1280, 720})->Unit(benchmark::kMillisecond);
