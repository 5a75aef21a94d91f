// The camera pose estimator with 9, 39 and 100 correspondences under 0.5 pixels
// of noise, beside the peer's iterative PnP given the true focal length (ours
// estimates the focal length as well); and one step of the pose filter.

#include "pose/camera_pose.h"
#include "pose/pose_filter.h"
#include "tests/support/pose_scene.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#if defined(CASTELLAN_HAVE_PEER)
#include <opencv2/calib3d.hpp>
#endif

namespace {

// A camera 60 units away looking down at the ruins at about 40 degrees.
constexpr castellan_test::PoseCamera kCamera{{-30, -40, 40}, {2, 1, 0}, 800};
constexpr double kNoisePixels = 0.5;

castellan_test::PoseScene scene(int count) { return castellan_test::makePoseScene(kCamera, count, kNoisePixels, 1234); }

void oursPose(benchmark::State& state, int count) {
    const castellan_test::PoseScene s = scene(count);
    double linear[12], refined[12], eye[3], lookAt[3], up[3];
    int status = 0;
    for (auto _ : state) {
        status = estimateCameraPose(s.count(), s.modelPoints.data(), s.imagePoints.data(), linear, refined, eye,
                                    lookAt, up);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(refined);
    }
    state.counters["solved"] = status;
}

#if defined(CASTELLAN_HAVE_PEER)
void peerPose(benchmark::State& state, int count) {
    const castellan_test::PoseScene s = scene(count);
    std::vector<cv::Point3d> object;
    std::vector<cv::Point2d> image;
    for (int i = 0; i < s.count(); ++i) {
        object.emplace_back(s.modelPoints[3 * i], s.modelPoints[3 * i + 1], s.modelPoints[3 * i + 2]);
        // The peer's image rows grow downwards; ours are v upwards.
        image.emplace_back(s.imagePoints[3 * i], -s.imagePoints[3 * i + 1]);
    }
    const cv::Matx33d camera(kCamera.focal, 0, 0, 0, kCamera.focal, 0, 0, 0, 1);
    cv::Mat rvec, tvec;
    bool solved = false;
    for (auto _ : state) {
        solved = cv::solvePnP(object, image, camera, cv::noArray(), rvec, tvec, false, cv::SOLVEPNP_ITERATIVE);
        benchmark::DoNotOptimize(tvec.data);
    }
    state.counters["solved"] = solved;
}
#endif

void oursFilterPose(benchmark::State& state) {
    double rotation0[9];
    rotationFromEuler(0.1, 0.2, 0.3, rotation0);
    const double eye0[3] = {-30, -40, 40};
    auto filter = createPoseFilter(0.5, 0.5, 1.0, rotation0, eye0, 33.4);
    double rotation[9];
    double eye[3];
    for (auto _ : state) {
        std::copy(rotation0, rotation0 + 9, rotation);
        std::copy(eye0, eye0 + 3, eye);
        double fieldOfView = 33.4;
        filterPose(1.0, 0.1, 50.0, rotation, eye, fieldOfView, 1.0, filter.get());
        benchmark::DoNotOptimize(eye);
    }
}

const bool registered = [] {
    for (const int count : {9, 39, 100}) {
        benchmark::RegisterBenchmark(("ours/pose/" + std::to_string(count)).c_str(), oursPose, count)
            ->Unit(benchmark::kMicrosecond);
#if defined(CASTELLAN_HAVE_PEER)
        benchmark::RegisterBenchmark(("peer/pose/" + std::to_string(count)).c_str(), peerPose, count)
            ->Unit(benchmark::kMicrosecond);
#endif
    }
    benchmark::RegisterBenchmark("ours/pose_filter", oursFilterPose)->Unit(benchmark::kMicrosecond);
    return true;
}();

}  // namespace
