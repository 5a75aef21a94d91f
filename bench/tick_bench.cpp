// One turn of the frame cycle the window runs, without the repaint: take the
// newest frame from a connected device's mailbox, convert it to grey, run the
// processor. Reports heap allocations per tick beside the time (the design
// allows none).
#include <benchmark/benchmark.h>

#include "bench/alloc_counter.h"
#include "bench/bench_support.h"
#include "capture/capture_device.h"
#include "cycle/frame_cycle.h"
#include "processors/fast_tracker_processor.h"

#include <cstdint>
#include <vector>

namespace {

// Delivers nothing by itself: the benchmark deposits the frames.
class SilentSource final : public CaptureSource {
public:
    void frameSize(int& width, int& height) const override {
        width = width_;
        height = height_;
    }
    bool requestFrameSize(int width, int height) override {
        width_ = width;
        height_ = height;
        return true;
    }
    bool start(imTrackingGrabberCB&) override { return true; }
    void stop() override {}
    std::vector<CaptureDialogEntry> dialogs() const override { return {}; }
    bool runDialog(int, QWidget*) override { return false; }

private:
    int width_ = 0;
    int height_ = 0;
};

CaptureDevicePtr connectedSilentDevice(int width, int height) {
    setHardwareCaptureBackends({});
    clearVirtualCaptureDevices();
    registerVirtualCaptureDevice("Bench", [] { return std::make_unique<SilentSource>(); });
    CaptureDevicePtr device(createCaptureDevice());
    if (!device || connectDevice(device.get(), 0) != 1 || !setImageSize(device.get(), width, height)) return nullptr;
    return device;
}

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
    CaptureDevicePtr device = connectedSilentDevice(width, height);
    if (!device) {
        state.SkipWithError("cannot connect the bench device");
        return;
    }
    const std::vector<std::uint8_t> frame = texturedFrame(width, height);
    FASTTrackerProcessor processor;
    FrameCycle cycle;
    cycle.setProcessor(&processor);
    cycle.setFrameSize(width, height);

    std::size_t allocations = 0;
    for (auto _ : state) {
        state.PauseTiming();
        device->grabber.SampleCB(frame.data(), frame.size());  // the capture thread's part
        const std::size_t before = allocationCount();
        state.ResumeTiming();

        if (cycle.takeFrame(device.get(), 1000) != FrameCycle::Fetch::NewFrame) {
            state.SkipWithError("no frame");
            break;
        }

        state.PauseTiming();
        allocations += allocationCount() - before;
        state.ResumeTiming();
    }
    state.counters["allocs_per_tick"] = benchmark::Counter(double(allocations) / double(state.iterations()));
}

const bool registered = [] {
    for (const bench::FrameSize size : bench::kFrameSizes)
        benchmark::RegisterBenchmark(bench::benchmarkName("ours", "tick", size).c_str(), tick, size.width, size.height)
            ->Unit(benchmark::kMicrosecond);
    return true;
}();

}  // namespace
