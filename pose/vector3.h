#pragma once

#include <cmath>
#include <cstddef>

// Three doubles in the world units of the brick model (2.4 per brick edge).
// Laid out as exactly three consecutive doubles so that an array of Vector3
// can be handed to the pose estimator as its records of three doubles.
struct Vector3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    constexpr Vector3() = default;
    constexpr Vector3(double xValue, double yValue, double zValue) : x(xValue), y(yValue), z(zValue) {}

    // Index 0, 1, 2 yields x, y, z; any other index is a programming error.
    constexpr double& operator[](std::size_t index) { return index == 0 ? x : (index == 1 ? y : z); }
    constexpr const double& operator[](std::size_t index) const { return index == 0 ? x : (index == 1 ? y : z); }

    // Scales to unit length and returns the length it had; a zero vector stays
    // zero and returns 0, so degenerate views give zero rows rather than NaN.
    double normalize()
    {
        const double length = std::sqrt(x * x + y * y + z * z);
        if (length > 0.0) {
            const double inverse = 1.0 / length;
            x *= inverse;
            y *= inverse;
            z *= inverse;
        }
        return length;
    }

    constexpr double* data() { return &x; }
    constexpr const double* data() const { return &x; }
};

static_assert(sizeof(Vector3) == 3 * sizeof(double), "Vector3 must be three packed doubles");

constexpr Vector3 operator-(const Vector3& a, const Vector3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr Vector3 operator+(const Vector3& a, const Vector3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
constexpr Vector3 operator-(const Vector3& a) { return {-a.x, -a.y, -a.z}; }
constexpr Vector3 operator*(double s, const Vector3& a) { return {s * a.x, s * a.y, s * a.z}; }

// a × b, right-handed.
constexpr Vector3 cross(const Vector3& a, const Vector3& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

constexpr double dot(const Vector3& a, const Vector3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
