// KLT selection and one sequential tracking step of 78 features, ours and the
// peer's, on the same pictures at each frame size.

#include "bench/bench_support.h"
#include "features/klt.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#if defined(CASTELLAN_HAVE_PEER)
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#endif

namespace {

constexpr int kFeatureCount = 78;
constexpr int kMinDistance = 10;

// The KLT detector's context: sequential mode, features 10 pixels apart.
std::unique_ptr<KLTTrackingContext> detectorContext() {
    KLTSetVerbosity(0);
    auto tc = createTrackingContext();
    tc->sequentialMode = true;
    tc->mindist = kMinDistance;
    return tc;
}

void oursSelect(benchmark::State& state, bench::FrameSize size) {
    const auto& picture = bench::benchPicture(size);
    auto tc = detectorContext();
    auto fl = createFeatureList(kFeatureCount);
    for (auto _ : state) {
        selectGoodFeatures(*tc, picture.data(), size.width, size.height, *fl);
        benchmark::DoNotOptimize(fl->feature.data());
    }
    state.counters["features"] = countRemainingFeatures(*fl);
}

// One frame of the KLT tracker: the previous frame's pyramids are stored; the new
// frame is converted, smoothed, pyramided and tracked into. The frames alternate
// and each step starts from the features as they were on the stored frame, so
// every iteration does the same work.
void oursTrack(benchmark::State& state, bench::FrameSize size) {
    const auto& a = bench::benchPicture(size);
    const auto& b = bench::movedBenchPicture(size);
    auto tc = detectorContext();
    auto fl = createFeatureList(kFeatureCount);
    selectGoodFeatures(*tc, a.data(), size.width, size.height, *fl);
    KLTTrackFeatures(*tc, a.data(), a.data(), size.width, size.height, *fl);
    const std::vector<KLTFeature> onA = fl->feature;
    KLTTrackFeatures(*tc, nullptr, b.data(), size.width, size.height, *fl);
    const std::vector<KLTFeature> onB = fl->feature;
    bool towardsA = true;  // b is stored now
    int tracked = 0;
    for (auto _ : state) {
        fl->feature = towardsA ? onB : onA;  // same size: copies, no allocation
        KLTTrackFeatures(*tc, nullptr, towardsA ? a.data() : b.data(), size.width, size.height, *fl);
        tracked = countRemainingFeatures(*fl);
        towardsA = !towardsA;
    }
    state.counters["tracked"] = tracked;
    // Why the others were lost, on the last step.
    const auto lost = [&](int code) {
        return static_cast<double>(std::count_if(fl->feature.begin(), fl->feature.end(),
                                                 [code](const KLTFeature& f) { return f.val == code; }));
    };
    state.counters["small_det"] = lost(KLT_SMALL_DET);
    state.counters["max_iterations"] = lost(KLT_MAX_ITERATIONS);
    state.counters["out_of_bounds"] = lost(KLT_OOB);
    state.counters["large_residue"] = lost(KLT_LARGE_RESIDUE);
}

#if defined(CASTELLAN_HAVE_PEER)
cv::Mat pictureMat(const std::vector<unsigned char>& picture, bench::FrameSize size) {
    return cv::Mat(size.height, size.width, CV_8UC1, const_cast<unsigned char*>(picture.data()));
}

void peerSelect(benchmark::State& state, bench::FrameSize size) {
    const cv::Mat image = pictureMat(bench::benchPicture(size), size);
    std::vector<cv::Point2f> corners;
    for (auto _ : state) {
        cv::goodFeaturesToTrack(image, corners, kFeatureCount, 0.01, kMinDistance, cv::noArray(), 7);
        benchmark::DoNotOptimize(corners.data());
    }
    state.counters["features"] = static_cast<double>(corners.size());
}

void peerTrack(benchmark::State& state, bench::FrameSize size) {
    const cv::Mat a = pictureMat(bench::benchPicture(size), size);
    const cv::Mat b = pictureMat(bench::movedBenchPicture(size), size);
    const cv::Size window(7, 7);
    constexpr int kMaxLevel = 1;
    std::vector<cv::Point2f> previousPoints;
    cv::goodFeaturesToTrack(a, previousPoints, kFeatureCount, 0.01, kMinDistance, cv::noArray(), 7);
    std::vector<cv::Mat> previousPyramid, nextPyramid;
    cv::buildOpticalFlowPyramid(a, previousPyramid, window, kMaxLevel);
    std::vector<cv::Point2f> nextPoints;
    std::vector<unsigned char> status;
    std::vector<float> error;
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 10, 0.1);
    int tracked = 0;
    for (auto _ : state) {
        cv::buildOpticalFlowPyramid(b, nextPyramid, window, kMaxLevel);
        cv::calcOpticalFlowPyrLK(previousPyramid, nextPyramid, previousPoints, nextPoints, status, error, window,
                                 kMaxLevel, criteria);
        benchmark::DoNotOptimize(nextPoints.data());
        tracked = 0;
        for (unsigned char s : status) tracked += s;
    }
    state.counters["tracked"] = tracked;
}
#endif

const bool registered = [] {
    for (const bench::FrameSize size : bench::kFrameSizes) {
        benchmark::RegisterBenchmark(bench::benchmarkName("ours", "klt_select", size).c_str(), oursSelect, size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(bench::benchmarkName("ours", "klt_track", size).c_str(), oursTrack, size)
            ->Unit(benchmark::kMicrosecond);
#if defined(CASTELLAN_HAVE_PEER)
        benchmark::RegisterBenchmark(bench::benchmarkName("peer", "klt_select", size).c_str(), peerSelect, size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(bench::benchmarkName("peer", "klt_track", size).c_str(), peerTrack, size)
            ->Unit(benchmark::kMicrosecond);
#endif
    }
    return true;
}();

}  // namespace
