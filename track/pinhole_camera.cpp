#include "track/pinhole_camera.h"

#include <cmath>

namespace track {

PinholeCamera pinholeFrom(const BottomUpCamera& camera)
{
    PinholeCamera pinhole;
    pinhole.width = camera.width;
    pinhole.height = camera.height;
    pinhole.fx = camera.focalX;
    pinhole.fy = camera.focalY;
    // The program's pixel column c samples u = c − width/2, so the column origin
    // is already a pixel centre. Its buffer row b samples v = b − height/2 (v up);
    // with picture row p = height − 1 − b, y = −v = p − (height/2 − 1).
    pinhole.cx = camera.width * 0.5;
    pinhole.cy = camera.height * 0.5 - 1.0;
    const Vector3 down = -camera.up;
    const Vector3 axes[3] = {camera.side, down, camera.forward};
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) pinhole.rotation[std::size_t(3 * row + column)] = axes[row][std::size_t(column)];
        pinhole.translation[std::size_t(row)] = -dot(axes[row], camera.eye);
    }
    return pinhole;
}

PinholeCamera stretchedTo(const PinholeCamera& camera, int width, int height)
{
    PinholeCamera stretched = camera;
    const double scaleX = double(width) / camera.width;
    const double scaleY = double(height) / camera.height;
    stretched.width = width;
    stretched.height = height;
    stretched.fx = camera.fx * scaleX;
    stretched.fy = camera.fy * scaleY;
    stretched.cx = (camera.cx + 0.5) * scaleX - 0.5;
    stretched.cy = (camera.cy + 0.5) * scaleY - 0.5;
    return stretched;
}

bool project(const PinholeCamera& camera, const Vector3& point, double& column, double& row)
{
    double c[3];
    for (int i = 0; i < 3; ++i) {
        const double* r = camera.rotation.data() + 3 * i;
        c[i] = r[0] * point.x + r[1] * point.y + r[2] * point.z + camera.translation[std::size_t(i)];
    }
    if (!(c[2] > 0.0)) return false;
    column = camera.fx * (c[0] / c[2]) + camera.cx;
    row = camera.fy * (c[1] / c[2]) + camera.cy;
    return std::isfinite(column) && std::isfinite(row);
}

std::array<double, 4> rotationQuaternion(const PinholeCamera& camera)
{
    const auto& m = camera.rotation;
    auto at = [&](int r, int c) { return m[std::size_t(3 * r + c)]; };
    const double trace = at(0, 0) + at(1, 1) + at(2, 2);
    std::array<double, 4> q;
    // Divide by the largest of the four candidates: near a half turn the trace
    // branch alone would divide by almost zero.
    if (trace > 0.0) {
        const double s = 2.0 * std::sqrt(1.0 + trace);
        q = {0.25 * s, (at(2, 1) - at(1, 2)) / s, (at(0, 2) - at(2, 0)) / s, (at(1, 0) - at(0, 1)) / s};
    } else if (at(0, 0) > at(1, 1) && at(0, 0) > at(2, 2)) {
        const double s = 2.0 * std::sqrt(1.0 + at(0, 0) - at(1, 1) - at(2, 2));
        q = {(at(2, 1) - at(1, 2)) / s, 0.25 * s, (at(0, 1) + at(1, 0)) / s, (at(0, 2) + at(2, 0)) / s};
    } else if (at(1, 1) > at(2, 2)) {
        const double s = 2.0 * std::sqrt(1.0 + at(1, 1) - at(0, 0) - at(2, 2));
        q = {(at(0, 2) - at(2, 0)) / s, (at(0, 1) + at(1, 0)) / s, 0.25 * s, (at(1, 2) + at(2, 1)) / s};
    } else {
        const double s = 2.0 * std::sqrt(1.0 + at(2, 2) - at(0, 0) - at(1, 1));
        q = {(at(1, 0) - at(0, 1)) / s, (at(0, 2) + at(2, 0)) / s, (at(1, 2) + at(2, 1)) / s, 0.25 * s};
    }
    const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    const double sign = q[0] < 0.0 ? -1.0 : 1.0;
    for (double& value : q) value *= sign / norm;
    return q;
}

}  // namespace track
