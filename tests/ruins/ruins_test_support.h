#pragma once

#include "scene/calibration_frame.h"

// Shared helpers of the ruins tests: a detector with scripted corners and a
// pinhole camera that projects model points the way the estimator expects.

#include "pose/matrix4.h"
#include "pose/vector3.h"
#include "processors/corner_detector.h"
#include "reconstruction/ruins_reconstruction.h"
#include "scene/frame_camera.h"

#include <QDir>
#include <QTemporaryDir>

#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <vector>

namespace ruins_test {

// Runs a test in an empty working directory (no calibration frame unless the
// test writes one) and returns to the previous one afterwards.
// An empty working directory where only what the test writes is found: the
// bundled calibration frame is not offered meanwhile.
struct WorkingDirectory {
    QTemporaryDir dir;
    QString previous = QDir::currentPath();
    WorkingDirectory() {
        QDir::setCurrent(dir.path());
        ruins::offerBundledCalibrationFrame(false);
    }
    ~WorkingDirectory() {
        ruins::offerBundledCalibrationFrame(true);
        QDir::setCurrent(previous);
    }
};

// Reports whatever corners the test put in; counts its calls.
class ScriptedDetector : public CornerDetector {
public:
    explicit ScriptedDetector(int capacity = 78) : CornerDetector(capacity) {}

    void setCorners(const std::vector<CornerPoint>& corners)
    {
        const int n = std::min<int>(int(corners.size()), capacity());
        for (int i = 0; i < n; ++i) mutableCorners()[i] = corners[i];
        pending_ = n;
    }
    void detect(const unsigned char*, int width, int height) override
    {
        ++detectCalls;
        lastWidth = width;
        lastHeight = height;
        setCornerCount(pending_);
    }
    void reset() override { ++resetCalls; }
    bool isTracker() const override { return tracker; }

    int detectCalls = 0;
    int resetCalls = 0;
    int lastWidth = 0;
    int lastHeight = 0;
    bool tracker = true;

private:
    int pending_ = 0;
};

// A pinhole camera: image u to the right, v upwards, principal point at the
// image centre, focal length in pixels.
struct PinholeCamera {
    Vector3 eye;
    Vector3 lookAt;
    Vector3 up;
    double focal = 400.0;

    Matrix4 view() const
    {
        Matrix4 m;
        m.lookAt(eye, lookAt, up);
        return m;
    }
    // Pixel relative to the image centre; nullopt behind the camera.
    std::optional<std::array<double, 2>> project(const Vector3& p) const
    {
        const Matrix4 v = view();
        const double x = v(0, 0) * p.x + v(0, 1) * p.y + v(0, 2) * p.z + v(0, 3);
        const double y = v(1, 0) * p.x + v(1, 1) * p.y + v(1, 2) * p.z + v(1, 3);
        const double z = v(2, 0) * p.x + v(2, 1) * p.y + v(2, 2) * p.z + v(2, 3);
        if (z >= -1e-9) return std::nullopt;
        return std::array<double, 2>{focal * x / -z, focal * y / -z};
    }
    double verticalFieldOfViewDegrees(int height) const
    {
        return 2.0 * std::atan(height / (2.0 * focal)) * 180.0 / 3.14159265358979323846;
    }
};

// A camera above the base plate that sees all 39 model points inside a 320 × 240 frame.
inline PinholeCamera sceneCamera()
{
    return {Vector3(45.0, -30.0, 40.0), Vector3(8.0, 6.0, 0.0), Vector3(0.0, 0.0, 1.0), 330.0};
}

// Low and in front of the y = 0 side: real bricks stand before virtual ones.
inline PinholeCamera frontCamera()
{
    return {Vector3(9.0, -28.0, 14.0), Vector3(7.0, 8.0, 0.0), Vector3(0.0, 0.0, 1.0), 300.0};
}

// Pixel distances of `points` between the camera of a prepared view and the
// truth on a width × height frame; empty when either cannot see them all.
inline std::vector<double> shownPoseErrors(const ruins::PreparedView& view, const ruins::FrameCamera& truth,
                                           std::span<const Vector3> points, int width, int height)
{
    const auto estimated =
        ruins::makeFrameCamera({view.pose.eye, view.pose.lookAt, view.pose.up, view.fieldOfView}, width, height);
    if (!estimated) return {};
    std::vector<double> errors;
    for (const Vector3& point : points) {
        double ex, ey, tx, ty;
        if (!ruins::projectToFrame(*estimated, point, ex, ey) || !ruins::projectToFrame(truth, point, tx, ty))
            return {};
        errors.push_back(std::hypot(ex - tx, ey - ty));
    }
    return errors;
}

// Their RMS; 1e9 when either camera cannot see them all.
inline double shownPoseError(const ruins::PreparedView& view, const ruins::FrameCamera& truth,
                             std::span<const Vector3> points, int width, int height)
{
    const std::vector<double> errors = shownPoseErrors(view, truth, points, width, height);
    if (errors.empty()) return 1e9;
    double sum = 0.0;
    for (const double e : errors) sum += e * e;
    return std::sqrt(sum / double(errors.size()));
}

}  // namespace ruins_test
