#pragma once

// Correspondences for golden-output tests and benchmarks of the camera pose
// estimator: model points in a box on the ground, seen by a pinhole camera with
// the principal point at the image centre, with noise on the image points.
// Built from an integer hash with +, -, *, / and sqrt only, so the doubles are
// the same on every IEEE-754 machine.

#include "tests/support/textured_picture.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace castellan_test {

struct PoseCamera {
    double eye[3];
    double lookAt[3];  // on z = 0
    double focal;      // pixels
};

struct PoseScene {
    std::vector<double> modelPoints;  // count records of (x, y, z)
    std::vector<double> imagePoints;  // count records of (u, v, 0), pixels from the image centre
    int count() const { return static_cast<int>(modelPoints.size() / 3); }
};

// Uniform in [-1, 1) from 16 bits of a hash.
inline double hashUniform(uint32_t h) { return static_cast<double>(h & 0xFFFFU) / 32768.0 - 1.0; }

// `count` points with x, y in [-10, 10] and z in [0, 8] (hundredths), seen by
// `camera` (up = the world's +z as seen along the view), with noise of standard
// deviation `noisePixels` (a sum of three uniforms) on u and v.
inline PoseScene makePoseScene(const PoseCamera& camera, int count, double noisePixels, uint32_t seed) {
    double d[3] = {camera.lookAt[0] - camera.eye[0], camera.lookAt[1] - camera.eye[1],
                   camera.lookAt[2] - camera.eye[2]};
    const double dLength = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (double& c : d) c /= dLength;
    // right = d x (0, 0, 1), up = right x d
    double right[3] = {d[1], -d[0], 0.0};
    const double rLength = std::sqrt(right[0] * right[0] + right[1] * right[1]);
    for (double& c : right) c /= rLength;
    const double up[3] = {right[1] * d[2] - right[2] * d[1], right[2] * d[0] - right[0] * d[2],
                          right[0] * d[1] - right[1] * d[0]};

    PoseScene scene;
    for (int i = 0; i < count; ++i) {
        const uint32_t h = latticeHash(i, 1, seed);
        const double x[3] = {static_cast<double>(static_cast<int>(h % 2001U) - 1000) / 100.0,
                             static_cast<double>(static_cast<int>((h >> 11) % 2001U) - 1000) / 100.0,
                             static_cast<double>((h >> 22) % 801U) / 100.0};
        const double f[3] = {x[0] - camera.eye[0], x[1] - camera.eye[1], x[2] - camera.eye[2]};
        const double depth = d[0] * f[0] + d[1] * f[1] + d[2] * f[2];
        double noise[2];
        for (int k = 0; k < 2; ++k) {
            const uint32_t n = latticeHash(i, 2 + k, seed);
            noise[k] = noisePixels * (hashUniform(n) + hashUniform(n >> 16) +
                                      hashUniform(latticeHash(i, 4 + k, seed)));
        }
        const double u = camera.focal * (right[0] * f[0] + right[1] * f[1] + right[2] * f[2]) / depth;
        const double v = camera.focal * (up[0] * f[0] + up[1] * f[1] + up[2] * f[2]) / depth;
        scene.modelPoints.insert(scene.modelPoints.end(), {x[0], x[1], x[2]});
        scene.imagePoints.insert(scene.imagePoints.end(), {u + noise[0], v + noise[1], 0.0});
    }
    return scene;
}

}  // namespace castellan_test
