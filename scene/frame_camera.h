#pragma once

// A camera as the reconstructor, the scenes and the virtual camera share it: a
// pose (eye, look-at point, up, field of view) and the pinhole it makes on a
// frame of a given size, with square pixels.
//
// Deterministic: the focal length comes from fixed polynomials, not libm, so the
// bits are the same on every IEEE-754 machine.

#include "pose/vector3.h"

#include <optional>

namespace ruins {

inline constexpr double kPi = 3.141592653589793;

// A camera pose as the reconstructor keeps one: the eye, a point it looks at, the
// world direction of the picture's up, and the vertical field of view in degrees.
struct CameraPose {
    Vector3 eye;
    Vector3 lookAt;
    Vector3 up;
    double fieldOfView = 0.0;
};

// Sine and cosine from fixed polynomials: the same bits on every machine and
// every libm. Accurate to a few units in the last place for |x| up to about 1e6.
double stableSine(double radians);
double stableCosine(double radians);

// One frame's camera. Pixel (column x, buffer row y counted from the bottom)
// samples the image point u = x − width/2, v = y − height/2, with u to the right
// and v upwards: the origin the reconstructor uses for its image points, so a
// corner seen at pixel (x, y) is the point (x − width/2, y − height/2).
struct FrameCamera {
    int width = 0;
    int height = 0;
    Vector3 eye;
    Vector3 forward;  // unit viewing direction
    Vector3 side;     // unit, forward × up: the picture's +u
    Vector3 up;       // unit, the picture's +v
    double focalX = 0.0;  // pixels
    double focalY = 0.0;
};

// The largest frame side rendered; larger requests are refused.
inline constexpr int kMaxSceneSide = 8192;

// The camera for `pose` on a width × height frame, with square pixels. The
// vertical field of view sets the focal length (height / 2) / tan(fov / 2),
// times focalScale (1: the field of view is the frame's own). Empty when the
// pose is degenerate (not finite, eye on the look-at point, up along the
// viewing direction, field of view outside (0, 180) degrees), the size is
// outside 1 .. kMaxSceneSide or the scale is not positive.
std::optional<FrameCamera> makeFrameCamera(const CameraPose& pose, int width, int height, double focalScale = 1.0);

// Column and buffer row (counted from the bottom) where `point` appears; false
// when the point is not in front of the camera.
bool projectToFrame(const FrameCamera& camera, const Vector3& point, double& column, double& row);

}  // namespace ruins
