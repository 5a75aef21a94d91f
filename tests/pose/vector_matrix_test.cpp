#include "pose/matrix4.h"
#include "pose/vector3.h"

#include <gtest/gtest.h>

#include <random>

namespace {

Vector3 transformPoint(const Matrix4& m, const Vector3& p)
{
    Vector3 result;
    for (int r = 0; r < 3; ++r)
        result[r] = m(r, 0) * p.x + m(r, 1) * p.y + m(r, 2) * p.z + m(r, 3);
    return result;
}

}  // namespace

TEST(Vector3, ArithmeticAndIndexing)
{
    const Vector3 a(1, 2, 3);
    const Vector3 b(4, -5, 6);
    const Vector3 difference = a - b;
    EXPECT_EQ(difference.x, -3);
    EXPECT_EQ(difference.y, 7);
    EXPECT_EQ(difference.z, -3);
    const Vector3 product = cross(a, b);
    EXPECT_EQ(product.x, 2 * 6 - 3 * -5);
    EXPECT_EQ(product.y, 3 * 4 - 1 * 6);
    EXPECT_EQ(product.z, 1 * -5 - 2 * 4);
    const Vector3 negated = -a;
    EXPECT_EQ(negated.z, -3);

    Vector3 c(7, 8, 9);
    c[0] = 1;
    c[2] = 5;
    EXPECT_EQ(c.x, 1);
    EXPECT_EQ(c[1], 8);
    EXPECT_EQ(c.z, 5);
}

TEST(Vector3, NormalizeReturnsLengthAndLeavesZeroAlone)
{
    Vector3 zero;
    EXPECT_EQ(zero.normalize(), 0.0);
    EXPECT_EQ(zero.x, 0.0);
    EXPECT_EQ(zero.y, 0.0);
    EXPECT_EQ(zero.z, 0.0);

    Vector3 v(3, 0, 4);
    EXPECT_EQ(v.normalize(), 5.0);
    EXPECT_DOUBLE_EQ(v.x, 0.6);
    EXPECT_EQ(v.y, 0.0);
    EXPECT_DOUBLE_EQ(v.z, 0.8);
}

TEST(Matrix4, DefaultIsIdentityAndStorageIsColumnMajor)
{
    const Matrix4 identity;
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(identity.data()[i], i % 5 == 0 ? 1.0 : 0.0);

    Matrix4 m;
    m.set(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    EXPECT_EQ(m(1, 0), 1.0);  // column 0 comes first
    EXPECT_EQ(m(0, 1), 4.0);
    EXPECT_EQ(m(3, 3), 15.0);

    const Matrix4 t = Matrix4::translation(1, 2, 3);
    EXPECT_EQ(t.data()[12], 1.0);
    EXPECT_EQ(t.data()[13], 2.0);
    EXPECT_EQ(t.data()[14], 3.0);
    EXPECT_EQ(t.data()[15], 1.0);
}

TEST(Matrix4, RightMultiplicationIsThisTimesOther)
{
    Matrix4 m;
    m *= Matrix4::translation(1, 2, 3);
    const Matrix4 t = Matrix4::translation(1, 2, 3);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(m.data()[i], t.data()[i]);

    // A scale then a translation differs from the reverse order.
    Matrix4 scale;
    scale.set(2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1);
    Matrix4 scaleThenTranslate = scale;
    scaleThenTranslate *= Matrix4::translation(1, 0, 0);
    Matrix4 translateThenScale = Matrix4::translation(1, 0, 0);
    translateThenScale *= scale;
    EXPECT_EQ(scaleThenTranslate(0, 3), 2.0);  // S·T moves by 2·1
    EXPECT_EQ(translateThenScale(0, 3), 1.0);
}

TEST(Matrix4, LookAtDownTheZAxis)
{
    const Matrix4 view = lookAt(Vector3(0, 0, 5), Vector3(0, 0, 0), Vector3(0, 1, 0));
    const double expectedRows[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, -5}, {0, 0, 0, 1}};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(view(r, c), expectedRows[r][c]) << r << "," << c;
    }
    EXPECT_EQ(view.data()[14], -5.0);
}

TEST(Matrix4, LookAtMapsEyeToOriginAndCentreOntoNegativeZ)
{
    std::mt19937 random(4);
    std::uniform_real_distribution<double> any(-50, 50);
    for (int trial = 0; trial < 100; ++trial) {
        const Vector3 eye(any(random), any(random), any(random));
        const Vector3 centre(any(random), any(random), any(random));
        const Vector3 up(any(random), any(random), any(random));
        Matrix4 view;
        view.lookAt(eye, centre, up);

        const Vector3 origin = transformPoint(view, eye);
        EXPECT_NEAR(origin.x, 0, 1e-9);
        EXPECT_NEAR(origin.y, 0, 1e-9);
        EXPECT_NEAR(origin.z, 0, 1e-9);
        Vector3 centreSeen = transformPoint(view, centre);
        const double distance = centreSeen.normalize();
        EXPECT_NEAR(distance, std::sqrt(dot(centre - eye, centre - eye)), 1e-9);
        EXPECT_NEAR(centreSeen.z, -1.0, 1e-12);
        // up lands in the upper half of the y–z plane.
        const Vector3 upSeen = transformPoint(view, eye + up);
        EXPECT_NEAR(upSeen.x, 0.0, 1e-9);
        EXPECT_GT(upSeen.y, 0.0);
    }
}

TEST(Matrix4, DegenerateLookAtGivesZeroRowsNotNaN)
{
    const Matrix4 sameEye = lookAt(Vector3(1, 2, 3), Vector3(1, 2, 3), Vector3(0, 1, 0));
    const Matrix4 parallelUp = lookAt(Vector3(0, 0, 5), Vector3(0, 0, 0), Vector3(0, 0, 1));
    for (const Matrix4* m : {&sameEye, &parallelUp}) {
        for (int i = 0; i < 16; ++i)
            EXPECT_TRUE(std::isfinite(m->data()[i]));
        EXPECT_EQ((*m)(0, 0), 0.0);
        EXPECT_EQ((*m)(3, 3), 1.0);
    }
}
