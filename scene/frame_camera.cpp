#include "scene/frame_camera.h"

#include <cmath>
#include <limits>

// Fused multiply-adds would round differently from separate operations on
// machines that have them; GCC in ISO mode (-std=c++20) never contracts, clang
// needs telling.
#ifdef __clang__
#pragma STDC FP_CONTRACT OFF
#endif

namespace ruins {

namespace {

// --- Deterministic trigonometry -------------------------------------------

constexpr double kHalfPiHigh = 1.5707963267948966;       // π/2 rounded to double
constexpr double kHalfPiLow = 6.123233995736766e-17;     // π/2 − kHalfPiHigh
constexpr double kTwoOverPi = 0.6366197723675814;

// Taylor polynomials on |r| ≤ π/4; the first omitted term is below 1e-17.
double sinePolynomial(double r)
{
    const double r2 = r * r;
    double q = -1.0 / 1307674368000.0;  // −1/15!
    q = 1.0 / 6227020800.0 + r2 * q;    // 1/13!
    q = -1.0 / 39916800.0 + r2 * q;     // −1/11!
    q = 1.0 / 362880.0 + r2 * q;        // 1/9!
    q = -1.0 / 5040.0 + r2 * q;         // −1/7!
    q = 1.0 / 120.0 + r2 * q;           // 1/5!
    q = -1.0 / 6.0 + r2 * q;            // −1/3!
    return r + r * (r2 * q);
}

double cosinePolynomial(double r)
{
    const double r2 = r * r;
    double q = 1.0 / 20922789888000.0;  // 1/16!
    q = -1.0 / 87178291200.0 + r2 * q;  // 1/14!
    q = 1.0 / 479001600.0 + r2 * q;     // 1/12!
    q = -1.0 / 3628800.0 + r2 * q;      // 1/10!
    q = 1.0 / 40320.0 + r2 * q;         // 1/8!
    q = -1.0 / 720.0 + r2 * q;          // 1/6!
    q = 1.0 / 24.0 + r2 * q;            // 1/4!
    q = -0.5 + r2 * q;
    return 1.0 + r2 * q;
}

// sin (quadrant offset 0) or cos (offset 1) of x.
double stableTrig(double x, int quadrantOffset)
{
    if (!std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
    const double k = std::nearbyint(x * kTwoOverPi);
    const double r = (x - k * kHalfPiHigh) - k * kHalfPiLow;
    const long long quadrant = (static_cast<long long>(std::fmod(k, 4.0)) + 4 + quadrantOffset) % 4;
    switch (quadrant) {
    case 0: return sinePolynomial(r);
    case 1: return cosinePolynomial(r);
    case 2: return -sinePolynomial(r);
    default: return -cosinePolynomial(r);
    }
}

bool isFinite(const Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

}  // namespace

double stableSine(double radians) { return stableTrig(radians, 0); }
double stableCosine(double radians) { return stableTrig(radians, 1); }

std::optional<FrameCamera> makeFrameCamera(const CameraPose& pose, int width, int height, double focalScale)
{
    if (width < 1 || height < 1 || width > kMaxSceneSide || height > kMaxSceneSide) return std::nullopt;
    if (!isFinite(pose.eye) || !isFinite(pose.lookAt) || !isFinite(pose.up)) return std::nullopt;
    if (!(pose.fieldOfView > 0.0 && pose.fieldOfView < 180.0)) return std::nullopt;
    if (!(focalScale > 0.0 && std::isfinite(focalScale))) return std::nullopt;
    FrameCamera camera;
    camera.width = width;
    camera.height = height;
    camera.eye = pose.eye;
    camera.forward = pose.lookAt - pose.eye;
    if (!(camera.forward.normalize() > 0.0)) return std::nullopt;
    // As the look-at matrix builds its rows: side = forward × up, then up again
    // from side and forward, so a slightly tilted up vector still gives a frame.
    camera.side = cross(camera.forward, pose.up);
    if (!(camera.side.normalize() > 1e-9)) return std::nullopt;
    camera.up = cross(camera.side, camera.forward);
    camera.up.normalize();
    const double halfAngle = pose.fieldOfView * (kPi / 360.0);
    camera.focalY = (height * 0.5) * stableCosine(halfAngle) / stableSine(halfAngle) * focalScale;
    camera.focalX = camera.focalY;
    if (!(camera.focalY > 0.0 && std::isfinite(camera.focalY))) return std::nullopt;
    return camera;
}

bool projectToFrame(const FrameCamera& camera, const Vector3& point, double& column, double& row)
{
    const Vector3 f = point - camera.eye;
    const double x = dot(camera.side, f), y = dot(camera.up, f), z = dot(camera.forward, f);
    if (!(z > 0.0)) return false;
    column = camera.width * 0.5 + camera.focalX * (x / z);
    row = camera.height * 0.5 + camera.focalY * (y / z);
    return std::isfinite(column) && std::isfinite(row);
}

}  // namespace ruins
