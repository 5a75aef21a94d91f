#include "pose/matrix4.h"

Matrix4::Matrix4() : values_{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1} {}

void Matrix4::set(double m0, double m1, double m2, double m3, double m4, double m5, double m6, double m7,
                  double m8, double m9, double m10, double m11, double m12, double m13, double m14, double m15)
{
    values_ = {m0, m1, m2, m3, m4, m5, m6, m7, m8, m9, m10, m11, m12, m13, m14, m15};
}

Matrix4 Matrix4::translation(double a, double b, double c)
{
    Matrix4 result;
    result(0, 3) = a;
    result(1, 3) = b;
    result(2, 3) = c;
    return result;
}

Matrix4 operator*(const Matrix4& a, const Matrix4& b)
{
    Matrix4 result;
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += a(row, k) * b(k, column);
            result(row, column) = sum;
        }
    }
    return result;
}

Matrix4& Matrix4::operator*=(const Matrix4& other)
{
    *this = *this * other;
    return *this;
}

void Matrix4::lookAt(const Vector3& eye, const Vector3& centre, const Vector3& up)
{
    Vector3 forward = centre - eye;
    forward.normalize();
    Vector3 side = cross(forward, up);
    side.normalize();
    Vector3 upward = cross(side, forward);
    upward.normalize();
    set(side.x, upward.x, -forward.x, 0.0,
        side.y, upward.y, -forward.y, 0.0,
        side.z, upward.z, -forward.z, 0.0,
        0.0, 0.0, 0.0, 1.0);
    *this *= translation(-eye.x, -eye.y, -eye.z);
}

Matrix4 lookAt(const Vector3& eye, const Vector3& centre, const Vector3& up)
{
    Matrix4 result;
    result.lookAt(eye, centre, up);
    return result;
}
