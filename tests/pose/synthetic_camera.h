#pragma once

#include "pose/vector3.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

// A ground-truth pinhole camera in the estimator's model: principal point at
// the image centre, v upwards, rows r1 = f·right, r2 = f·up, r3 = d.
struct SyntheticCamera {
    Vector3 eye;
    Vector3 lookAt;     // on z = 0
    Vector3 direction;  // unit, lookAt − eye
    Vector3 right;      // unit
    Vector3 up;         // unit, right × direction
    double focal = 0.0;

    static SyntheticCamera make(const Vector3& eye, const Vector3& lookAt, double roll, double focal)
    {
        SyntheticCamera camera;
        camera.eye = eye;
        camera.lookAt = lookAt;
        camera.focal = focal;
        camera.direction = lookAt - eye;
        camera.direction.normalize();
        Vector3 level = cross(camera.direction, Vector3(0, 0, 1));
        level.normalize();
        const Vector3 levelUp = cross(level, camera.direction);
        camera.right = std::cos(roll) * level + std::sin(roll) * levelUp;
        camera.up = cross(camera.right, camera.direction);
        return camera;
    }

    double depth(const Vector3& point) const { return dot(direction, point - eye); }

    void project(const Vector3& point, double& u, double& v) const
    {
        const Vector3 offset = point - eye;
        const double depthValue = dot(direction, offset);
        u = focal * dot(right, offset) / depthValue;
        v = focal * dot(up, offset) / depthValue;
    }

    // Row-major 3 × 4 projection matrix of this camera.
    void projection(double* matrix) const
    {
        const Vector3 rows[3] = {focal * right, focal * up, direction};
        for (int r = 0; r < 3; ++r) {
            matrix[4 * r + 0] = rows[r].x;
            matrix[4 * r + 1] = rows[r].y;
            matrix[4 * r + 2] = rows[r].z;
            matrix[4 * r + 3] = -dot(rows[r], eye);
        }
    }
};

// Image-space reprojection of a world point through a row-major 3 × 4 matrix.
inline void reproject(const double* matrix, const Vector3& point, double& u, double& v)
{
    const double x[4] = {point.x, point.y, point.z, 1.0};
    double row[3];
    for (int r = 0; r < 3; ++r)
        row[r] = matrix[4 * r] * x[0] + matrix[4 * r + 1] * x[1] + matrix[4 * r + 2] * x[2] + matrix[4 * r + 3] * x[3];
    u = row[0] / row[2];
    v = row[1] / row[2];
}

// Correspondences seen by a camera, as the estimator takes them.
struct SyntheticScene {
    SyntheticCamera camera;
    std::vector<Vector3> modelPoints;
    std::vector<Vector3> imagePoints;
    std::vector<Vector3> exactImagePoints;

    int count() const { return static_cast<int>(modelPoints.size()); }

    void add(const Vector3& point)
    {
        double u, v;
        camera.project(point, u, v);
        modelPoints.push_back(point);
        imagePoints.emplace_back(u, v, 0.0);
        exactImagePoints.emplace_back(u, v, 0.0);
    }

    void addNoise(std::mt19937& random, double sigma)
    {
        std::normal_distribution<double> noise(0.0, sigma);
        for (Vector3& p : imagePoints) {
            p.x += noise(random);
            p.y += noise(random);
        }
    }

    // Root mean square over all 2n coordinates of (matrix(model) − target).
    double rmsError(const double* matrix, const std::vector<Vector3>& target) const
    {
        double sum = 0.0;
        for (int i = 0; i < count(); ++i) {
            double u, v;
            reproject(matrix, modelPoints[i], u, v);
            sum += (u - target[i].x) * (u - target[i].x) + (v - target[i].y) * (v - target[i].y);
        }
        return std::sqrt(sum / (2.0 * count()));
    }
};

// A random camera above the ground looking down at the ruins' neighbourhood,
// and `count` points in a box on the ground in front of it, inside a
// 640 × 480 image and not all in one plane.
inline SyntheticScene randomScene(std::mt19937& random, int count)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto uniform = [&](double low, double high) { return low + (high - low) * unit(random); };
    constexpr double kPi = 3.141592653589793;

    SyntheticScene scene;
    const Vector3 lookAt(uniform(-5, 5), uniform(-5, 5), 0.0);
    const double azimuth = uniform(-kPi, kPi);
    const double elevation = uniform(20, 75) * kPi / 180.0;
    const double distance = uniform(40, 120);
    const Vector3 eye(lookAt.x + distance * std::cos(elevation) * std::cos(azimuth),
                      lookAt.y + distance * std::cos(elevation) * std::sin(azimuth),
                      distance * std::sin(elevation));
    scene.camera = SyntheticCamera::make(eye, lookAt, uniform(-0.6, 0.6), uniform(350, 1200));

    int attempts = 0;
    while (scene.count() < count && attempts++ < 100000) {
        const Vector3 point(lookAt.x + uniform(-15, 15), lookAt.y + uniform(-15, 15), uniform(0, 12));
        if (scene.camera.depth(point) < 5.0)
            continue;
        double u, v;
        scene.camera.project(point, u, v);
        if (std::fabs(u) > 320 || std::fabs(v) > 240)
            continue;
        scene.add(point);
    }
    return scene;
}

// What an estimator call writes, every output filled with a sentinel first so
// that a test sees what was written and what was left alone.
struct PoseOutputs {
    static constexpr double kSentinel = 12345.0;

    int status = -1;
    double linear[12];
    double refined[12];
    Vector3 eye{kSentinel, kSentinel, kSentinel};
    Vector3 lookAt{kSentinel, kSentinel, kSentinel};
    Vector3 up{kSentinel, kSentinel, kSentinel};

    PoseOutputs()
    {
        std::fill(linear, linear + 12, kSentinel);
        std::fill(refined, refined + 12, kSentinel);
    }

    bool linearUntouched() const { return std::all_of(linear, linear + 12, [](double v) { return v == kSentinel; }); }
    bool poseUntouched() const
    {
        const Vector3 sentinel(kSentinel, kSentinel, kSentinel);
        const auto same = [&](const Vector3& v) { return v.x == sentinel.x && v.y == sentinel.y && v.z == sentinel.z; };
        return same(eye) && same(lookAt) && same(up) &&
               std::all_of(refined, refined + 12, [](double v) { return v == kSentinel; });
    }
    bool untouched() const { return linearUntouched() && poseUntouched(); }
    bool allFinite() const
    {
        const auto finite = [](double v) { return std::isfinite(v); };
        return std::all_of(linear, linear + 12, finite) && std::all_of(refined, refined + 12, finite) &&
               std::all_of(eye.data(), eye.data() + 3, finite) && std::all_of(lookAt.data(), lookAt.data() + 3, finite) &&
               std::all_of(up.data(), up.data() + 3, finite);
    }
};
