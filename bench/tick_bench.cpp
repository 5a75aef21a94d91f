// One tick of the frame cycle without the repaint: fetch the newest frame from
// the capture mailbox, convert it to grey, run the processor. Reports heap
// allocations per tick beside the time (the design allows none).
#include <benchmark/benchmark.h>

#include "app/frame_io.h"
#include "bench/alloc_counter.h"
#include "bench/bench_support.h"
#include "capture/frame_mailbox.h"
#include "processors/fast_tracker_processor.h"

#include <cstdint>
#include <vector>

namespace {

std::vector<std::uint8_t> texturedFrame(int width, int height) {
    std::vector<std::uint8_t> frame(std::size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool cell = ((x / 12) + (y / 12)) % 2;
            std::uint8_t* p = &frame[(std::size_t(y) * width + x) * 3];
            p[0] = std::uint8_t(cell ? 200 : 40);
            p[1] = std::uint8_t((x * 3) & 255);
            p[2] = std::uint8_t((y * 5) & 255);
        }
    return frame;
}

void tick(benchmark::State& state, int width, int height) {
    bench::application();
    const std::size_t pixels = std::size_t(width) * height;
    imTrackingGrabberCB mailbox;
    mailbox.resize(width, height);
    const std::vector<std::uint8_t> frame = texturedFrame(width, height);
    std::vector<unsigned char> color(pixels * 3), grey(pixels), processed(pixels);
    FASTTrackerProcessor processor;
    processor.setImageSize(width, height);

    std::size_t allocations = 0;
    for (auto _ : state) {
        state.PauseTiming();
        mailbox.SampleCB(frame.data(), frame.size());  // the capture thread's part
        const std::size_t before = allocationCount();
        state.ResumeTiming();

        mailbox.fetch(color.data(), color.size(), FrameLayout::PackedRGB, 1000);
        convertToGrey(color.data(), grey.data(), pixels);
        processor.process(grey.data(), processed.data());

        state.PauseTiming();
        allocations += allocationCount() - before;
        state.ResumeTiming();
    }
    state.counters["allocs_per_tick"] = benchmark::Counter(double(allocations) / double(state.iterations()));
}

const bool registered = [] {
    benchmark::RegisterBenchmark("ours/tick/320x240", tick, 320, 240)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("ours/tick/640x480", tick, 640, 480)->Unit(benchmark::kMicrosecond);
    return true;
}();

}  // namespace
