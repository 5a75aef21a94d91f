// FAST-9 (raw and with suppression) and Canny edges with hysteresis, ours and
// the peer's, on the same pictures at each frame size.

#include "bench/bench_support.h"
#include "features/image_record.h"
#include "features/canny.h"
#include "features/fast9.h"
#include "processors/fast_corner_detector.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#if defined(CASTELLAN_HAVE_PEER)
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kFastThreshold = 20;
constexpr float kCannySigma = 1.0f;
constexpr int kCannyLower = 30;
constexpr int kCannyUpper = 60;

void oursFastRaw(benchmark::State& state, bench::FrameSize size) {
    const auto& picture = bench::benchPicture(size);
    std::vector<CornerPoint> corners;
    for (auto _ : state) {
        fast9Detect(picture.data(), size.width, size.height, kFastThreshold, corners);
        benchmark::DoNotOptimize(corners.data());
    }
    state.counters["corners"] = static_cast<double>(corners.size());
}

// The FAST detector as the trackers use it, with room for every survivor.
void oursFastNms(benchmark::State& state, bench::FrameSize size) {
    const auto& picture = bench::benchPicture(size);
    FASTCornerDetector detector(size.width * size.height);
    detector.setThreshold(kFastThreshold);
    for (auto _ : state) {
        detector.detect(picture.data(), size.width, size.height);
        benchmark::DoNotOptimize(detector.corners());
    }
    state.counters["corners"] = detector.cornerCount();
}

void oursCanny(benchmark::State& state, bench::FrameSize size) {
    const auto& picture = bench::benchPicture(size);
    ImageHandle source = createImage(size.width, size.height, kColorSpaceGrey, kImageByte);
    ImageHandle strength = createImage(size.width, size.height, kColorSpaceGrey, kImageByte);
    ImageHandle edges = createImage(size.width, size.height, kColorSpaceBinary, kImageByte);
    std::memcpy(source->planes[0], picture.data(), picture.size());
    CannyWorkspace workspace;
    for (auto _ : state) {
        cannyEdges(*source, *strength, kCannySigma, workspace);
        hysteresisThreshold(*strength, *edges, kCannyLower, kCannyUpper, workspace);
        benchmark::DoNotOptimize(edges->planes[0]);
    }
}

#if defined(CASTELLAN_HAVE_PEER)
cv::Mat pictureMat(const std::vector<unsigned char>& picture, bench::FrameSize size) {
    return cv::Mat(size.height, size.width, CV_8UC1, const_cast<unsigned char*>(picture.data()));
}

void peerFast(benchmark::State& state, bench::FrameSize size, bool suppression) {
    const cv::Mat image = pictureMat(bench::benchPicture(size), size);
    std::vector<cv::KeyPoint> keypoints;
    for (auto _ : state) {
        cv::FAST(image, keypoints, kFastThreshold, suppression, cv::FastFeatureDetector::TYPE_9_16);
        benchmark::DoNotOptimize(keypoints.data());
    }
    state.counters["corners"] = static_cast<double>(keypoints.size());
}

void peerCanny(benchmark::State& state, bench::FrameSize size) {
    const cv::Mat image = pictureMat(bench::benchPicture(size), size);
    cv::Mat blurred, edges;
    for (auto _ : state) {
        cv::GaussianBlur(image, blurred, cv::Size(0, 0), kCannySigma);
        cv::Canny(blurred, edges, kCannyLower, kCannyUpper);
        benchmark::DoNotOptimize(edges.data);
    }
}
#endif

const bool registered = [] {
    for (const bench::FrameSize size : bench::kFrameSizes) {
        benchmark::RegisterBenchmark(bench::benchmarkName("ours", "fast9_raw", size).c_str(), oursFastRaw, size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(bench::benchmarkName("ours", "fast9_nms", size).c_str(), oursFastNms, size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(bench::benchmarkName("ours", "canny", size).c_str(), oursCanny, size)
            ->Unit(benchmark::kMicrosecond);
#if defined(CASTELLAN_HAVE_PEER)
        benchmark::RegisterBenchmark(bench::benchmarkName("peer", "fast9_raw", size).c_str(), peerFast, size, false)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(bench::benchmarkName("peer", "fast9_nms", size).c_str(), peerFast, size, true)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(bench::benchmarkName("peer", "canny", size).c_str(), peerCanny, size)
            ->Unit(benchmark::kMicrosecond);
#endif
    }
    return true;
}();

}  // namespace
