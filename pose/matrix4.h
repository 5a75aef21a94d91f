#pragma once

#include "pose/vector3.h"

#include <array>

// 4 × 4 doubles in OpenGL column-major order: row r, column c is entry 4·c + r,
// so data() can go straight to glLoadMatrixd. Default-constructed: identity.
class Matrix4 {
public:
    Matrix4();

    // Writes the sixteen values to storage in the order given (column by column).
    void set(double m0, double m1, double m2, double m3, double m4, double m5, double m6, double m7, double m8,
             double m9, double m10, double m11, double m12, double m13, double m14, double m15);

    static Matrix4 translation(double a, double b, double c);

    // this ← this · other.
    Matrix4& operator*=(const Matrix4& other);

    // Replaces this with the viewing transform: eye to the origin, viewing
    // direction (centre − eye) to −z, up projected onto +y. Degenerate input
    // (eye == centre, up parallel to the view) yields zero rows, not NaN.
    void lookAt(const Vector3& eye, const Vector3& centre, const Vector3& up);

    double& operator()(int row, int column) { return values_[4 * column + row]; }
    double operator()(int row, int column) const { return values_[4 * column + row]; }

    double* data() { return values_.data(); }
    const double* data() const { return values_.data(); }

private:
    std::array<double, 16> values_;
};

Matrix4 operator*(const Matrix4& a, const Matrix4& b);

// Free-function form: the viewing matrix for a camera at eye looking at centre.
Matrix4 lookAt(const Vector3& eye, const Vector3& centre, const Vector3& up);
