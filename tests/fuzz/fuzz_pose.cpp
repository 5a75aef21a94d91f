// Camera pose estimation on arbitrary correspondences (raw doubles, or points
// projected by an arbitrary camera so that the refinement is reached), the
// field of view of every success, and the pose filter on arbitrary pose streams.
#include "fuzz_support.h"
#include "pose/camera_pose.h"
#include "pose/pose_filter.h"

#include <cmath>

namespace {

constexpr int kMaxPoints = 40;
constexpr int kMaxSteps = 12;

double rawOrSmall(FuzzInput& in, bool raw) {
    return raw ? in.take<double>() : in.take<std::int8_t>() / 4.0;
}

void fuzzEstimation(FuzzInput& in) {
    const int count = in.intInRange(-1, kMaxPoints);
    const bool raw = in.flag();
    const bool projected = in.flag();
    std::vector<double> model(3 * kMaxPoints), image(3 * kMaxPoints);
    double camera[12];
    for (double& value : camera) value = rawOrSmall(in, raw);
    const double noise = in.floatInRange(0.0f, 2.0f);
    for (int i = 0; i < kMaxPoints; ++i) {
        double* X = &model[3 * i];
        double* x = &image[3 * i];
        for (int k = 0; k < 3; ++k) X[k] = rawOrSmall(in, raw);
        if (projected) {
            // Image points of X under the fuzzed 3 x 4 camera, with fuzzed noise.
            const double w = camera[8] * X[0] + camera[9] * X[1] + camera[10] * X[2] + camera[11];
            x[0] = (camera[0] * X[0] + camera[1] * X[1] + camera[2] * X[2] + camera[3]) / w +
                   noise * in.take<std::int8_t>() / 128.0;
            x[1] = (camera[4] * X[0] + camera[5] * X[1] + camera[6] * X[2] + camera[7]) / w +
                   noise * in.take<std::int8_t>() / 128.0;
        } else {
            x[0] = rawOrSmall(in, raw) * 40.0;
            x[1] = rawOrSmall(in, raw) * 40.0;
        }
        x[2] = in.take<double>();  // ignored by the estimator, whatever it holds
    }

    double linear[12], refined[12], eye[3], lookAt[3], up[3];
    for (double* block : {linear, refined}) std::fill(block, block + 12, 12345.0);
    for (double* block : {eye, lookAt, up}) std::fill(block, block + 3, 12345.0);
    const int result = estimateCameraPose(count, model.data(), image.data(), linear, refined, eye, lookAt, up);
    FUZZ_CHECK(result == 0 || result == 1);
    if (result == 0) {
        // Failure never touches the pose outputs.
        for (const double* block : {eye, lookAt, up})
            for (int k = 0; k < 3; ++k) FUZZ_CHECK(block[k] == 12345.0);
        return;
    }
    FUZZ_CHECK(count >= 6);
    FUZZ_CHECK(allFinite(linear, 12) && allFinite(refined, 12));
    FUZZ_CHECK(allFinite(eye, 3) && allFinite(lookAt, 3) && allFinite(up, 3));
    FUZZ_CHECK(lookAt[2] == 0.0);
    FUZZ_CHECK(std::fabs(std::hypot(up[0], up[1], up[2]) - 1.0) < 1e-6);
    const int imageHeight = in.intInRange(1, 4096);
    const double fov = verticalFieldOfView(imageHeight, refined, eye, lookAt);
    FUZZ_CHECK(std::isfinite(fov) && fov >= 0.0 && fov <= 180.0);
}

void fuzzFilter(FuzzInput& in) {
    const bool raw = in.flag();
    auto value = [&](double scale) { return raw ? in.take<double>() : scale * in.take<std::int8_t>() / 128.0; };
    double rotation[9], eye[3];
    rotationFromEuler(value(3.2), value(1.6), value(3.2), rotation);
    if (raw && in.flag())
        for (double& r : rotation) r = in.take<double>();
    for (double& e : eye) e = value(100.0);
    double fov = value(90.0);
    std::unique_ptr<KalmanFilter> filter =
        createPoseFilter(value(2.0), value(2.0), value(2.0), rotation, eye, fov);
    if (!filter) return;

    const int steps = in.intInRange(0, kMaxSteps);
    const double positionRateNoise = value(2.0), rotationRateNoise = value(2.0), fovRateNoise = value(60.0);
    for (int step = 0; step < steps; ++step) {
        double roll = value(3.2), pitch = value(1.6), yaw = value(3.2);
        rotationFromEuler(roll, pitch, yaw, rotation);
        for (double& e : eye) e = value(100.0);
        fov = value(90.0);
        const double timeStep = in.flag() ? value(2.0) : 1.0;
        // A time step that is not finite and positive is refused, and leaves the pose as it was.
        const int expected = std::isfinite(timeStep) && timeStep > 0.0 ? 1 : 0;
        FUZZ_CHECK(filterPose(positionRateNoise, rotationRateNoise, fovRateNoise, rotation, eye, fov, timeStep,
                              filter.get()) == expected);
        FUZZ_CHECK(allFinite(rotation, 9) && allFinite(eye, 3) && std::isfinite(fov));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    if (in.flag())
        fuzzEstimation(in);
    else
        fuzzFilter(in);
    return 0;
}
