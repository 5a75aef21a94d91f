// Per-frame cost of the camera pose estimator and of one pose filter step.
#include "pose/camera_pose.h"
#include "pose/pose_filter.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// Points in a box seen by a camera 60 units away looking down at 40°, f = 800,
// with 0.5 pixels of noise, as the tracker delivers them.
struct BenchScene {
    std::vector<Vector3> model;
    std::vector<Vector3> image;
};

BenchScene makeScene(int count)
{
    std::mt19937 random(1234);
    std::uniform_real_distribution<double> xy(-10, 10), z(0, 8);
    std::normal_distribution<double> noise(0.0, 0.5);
    const Vector3 eye(-30, -40, 40), lookAt(2, 1, 0);
    Vector3 d = lookAt - eye;
    d.normalize();
    Vector3 right = cross(d, Vector3(0, 0, 1));
    right.normalize();
    const Vector3 up = cross(right, d);
    BenchScene scene;
    for (int i = 0; i < count; ++i) {
        const Vector3 x(xy(random), xy(random), z(random));
        const Vector3 f = x - eye;
        scene.model.push_back(x);
        scene.image.emplace_back(800 * dot(right, f) / dot(d, f) + noise(random),
                                 800 * dot(up, f) / dot(d, f) + noise(random), 0.0);
    }
    return scene;
}

void BM_EstimateCameraPose(benchmark::State& state)
{
    const BenchScene scene = makeScene(static_cast<int>(state.range(0)));
    double linear[12], refined[12];
    Vector3 eye, lookAt, up;
    for (auto _ : state) {
        const int status = estimateCameraPose(static_cast<int>(scene.model.size()), scene.model.data(),
                                              scene.image.data(), linear, refined, eye, lookAt, up);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(refined);
    }
}
BENCHMARK(BM_EstimateCameraPose)->Arg(9)->Arg(39)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_FilterPose(benchmark::State& state)
{
    double rotation0[9];
    rotationFromEuler(0.1, 0.2, 0.3, rotation0);
    const double eye0[3] = {-30, -40, 40};
    auto filter = createPoseFilter(0.5, 0.5, 1.0, rotation0, eye0, 33.4);
    double rotation[9];
    double eye[3];
    double fieldOfView = 33.4;
    for (auto _ : state) {
        std::copy(rotation0, rotation0 + 9, rotation);
        std::copy(eye0, eye0 + 3, eye);
        fieldOfView = 33.4;
        filterPose(1.0, 0.1, 50.0, rotation, eye, fieldOfView, 1.0, filter.get());
        benchmark::DoNotOptimize(eye);
    }
}
BENCHMARK(BM_FilterPose)->Unit(benchmark::kMicrosecond);

}  // namespace
