#pragma once

// A frame's camera as other tools read one: intrinsics K and the world-to-camera
// rotation R and translation t, in the computer-vision convention (camera x right,
// y down, z forward; pixel coordinates with the centre of the top-left pixel at
// (0, 0)), so that a world point X appears at K (R X + t). No Qt.

#include "pose/vector3.h"

#include <array>

namespace track {

struct PinholeCamera {
    int width = 0;
    int height = 0;
    double fx = 0.0;  // pixels
    double fy = 0.0;
    double cx = 0.0;  // pixels, from the centre of the top-left pixel
    double cy = 0.0;
    std::array<double, 9> rotation{};     // R, row-major: rows are the camera's x, y, z axes in the world
    std::array<double, 3> translation{};  // t = −R · eye

    friend bool operator==(const PinholeCamera&, const PinholeCamera&) = default;
};

// The program's own frame camera: it projects a world point X, with
// d = X − eye, to column width/2 + focalX (side·d)/(forward·d) and to buffer row
// height/2 + focalY (up·d)/(forward·d), buffer rows counted from the picture's
// bottom; `side`, `up` and `forward` are orthonormal.
struct BottomUpCamera {
    int width = 0;
    int height = 0;
    double focalX = 0.0;
    double focalY = 0.0;
    Vector3 eye;
    Vector3 side;
    Vector3 up;
    Vector3 forward;
};

// The same camera in the pinhole convention: picture row = height − 1 − buffer
// row, so y points down and the principal point is (width/2, height/2 − 1).
PinholeCamera pinholeFrom(const BottomUpCamera& camera);

// The camera of the same picture stretched to width × height pixels (each
// pixel's area stretched, so pixel centres map as (c + 0.5) · scale − 0.5).
PinholeCamera stretchedTo(const PinholeCamera& camera, int width, int height);

// Where `point` appears (column, row from the top); false when it is not in front.
bool project(const PinholeCamera& camera, const Vector3& point, double& column, double& row);

// R as a unit quaternion (w, x, y, z) with w ≥ 0, Hamilton convention.
std::array<double, 4> rotationQuaternion(const PinholeCamera& camera);

}  // namespace track
