#include "pose/kalman_filter.h"

#include <gtest/gtest.h>

#include <random>

TEST(MatrixRoutines, ProductsSumsAndResultCodes)
{
    const float a[6] = {1, 2, 3, 4, 5, 6};    // 2 × 3
    const float b[6] = {7, 8, 9, 10, 11, 12};  // 3 × 2
    float result[4];
    ASSERT_EQ(multiplyMatrices(a, 2, 3, b, 3, 2, result), kMatrixOk);
    EXPECT_EQ(result[0], 58);
    EXPECT_EQ(result[1], 64);
    EXPECT_EQ(result[2], 139);
    EXPECT_EQ(result[3], 154);

    // A·Aᵀ for the 2 × 3 A.
    ASSERT_EQ(multiplyMatrixTransposed(a, 2, 3, a, 2, 3, result), kMatrixOk);
    EXPECT_EQ(result[0], 14);
    EXPECT_EQ(result[1], 32);
    EXPECT_EQ(result[2], 32);
    EXPECT_EQ(result[3], 77);

    float sum[6], difference[6];
    ASSERT_EQ(addMatrices(a, b, 2, 3, sum), kMatrixOk);
    ASSERT_EQ(subtractMatrices(b, a, 3, 2, difference), kMatrixOk);
    EXPECT_EQ(sum[5], 18);
    EXPECT_EQ(difference[0], 6);

    EXPECT_EQ(multiplyMatrices(nullptr, 2, 3, b, 3, 2, result), kMatrixMissingArgument);
    EXPECT_EQ(multiplyMatrices(a, 2, 3, b, 3, 2, nullptr), kMatrixMissingArgument);
    EXPECT_EQ(multiplyMatrices(a, 2, 3, b, 2, 3, result), kMatrixBadDimension);
    EXPECT_EQ(multiplyMatrices(a, 0, 3, b, 3, 2, result), kMatrixBadDimension);
    EXPECT_EQ(multiplyMatrixTransposed(a, 2, 3, b, 3, 2, result), kMatrixBadDimension);
    EXPECT_EQ(addMatrices(a, nullptr, 2, 3, sum), kMatrixMissingArgument);
    EXPECT_EQ(subtractMatrices(a, b, -1, 3, sum), kMatrixBadDimension);

    float row[6] = {1, 2, 3, 4, 5, 6};
    scaleMatrixRow(row, 2, 3, 1, 2.0f);
    EXPECT_EQ(row[2], 3);
    EXPECT_EQ(row[3], 8);
    scaleMatrixRow(row, 2, 3, 2, 2.0f);  // out of range: no effect
    EXPECT_EQ(row[5], 12);
}

TEST(InvertMatrix, ExchangesRowsForAZeroCorner)
{
    const float m[4] = {0, 2, 1, 0};
    float inverse[4];
    ASSERT_EQ(invertMatrix(2, m, inverse), kMatrixOk);
    EXPECT_EQ(inverse[0], 0.0f);
    EXPECT_EQ(inverse[1], 1.0f);
    EXPECT_EQ(inverse[2], 0.5f);
    EXPECT_EQ(inverse[3], 0.0f);
}

TEST(InvertMatrix, ReportsSingularMatrices)
{
    const float zeroColumn[9] = {1, 0, 2, 3, 0, 4, 5, 0, 6};
    float inverse[9];
    EXPECT_EQ(invertMatrix(3, zeroColumn, inverse), kMatrixSingular);
    const float dependentRows[4] = {1, 2, 2, 4};
    EXPECT_EQ(invertMatrix(2, dependentRows, inverse), kMatrixSingular);
    EXPECT_EQ(invertMatrix(0, dependentRows, inverse), kMatrixBadDimension);
    EXPECT_EQ(invertMatrix(2, nullptr, inverse), kMatrixMissingArgument);
}

TEST(InvertMatrix, InvertsRandomWellConditionedMatrices)
{
    std::mt19937 random(8);
    std::uniform_real_distribution<float> any(-1.0f, 1.0f);
    for (int n : {1, 3, 7, 14}) {
        std::vector<float> m(n * n), inverse(n * n), product(n * n), work(n * n);
        for (int i = 0; i < n * n; ++i)
            m[i] = any(random);
        for (int i = 0; i < n; ++i)
            m[i * n + i] += static_cast<float>(n);  // diagonally dominant
        ASSERT_EQ(invertMatrix(n, m.data(), inverse.data(), work.data()), kMatrixOk);
        multiplyMatrices(m.data(), n, n, inverse.data(), n, n, product.data());
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c)
                EXPECT_NEAR(product[r * n + c], r == c ? 1.0f : 0.0f, 1e-5f);
        }
    }
}

// A scalar random walk measured directly: x = x⁻ + K(z − x⁻).
TEST(KalmanFilter, ScalarFilterConvergesToAConstantMeasurement)
{
    auto filter = createKalmanFilter(1, 1);
    ASSERT_TRUE(filter);
    filter->transition[0] = 1.0f;
    filter->measurementMatrix[0] = 1.0f;
    filter->measurementNoise[0] = 1.0f;
    filter->processNoise[0] = 0.0f;
    filter->errorCovPost[0] = 1.0f;
    const float z = 4.0f;

    kalmanPredict(*filter);
    EXPECT_EQ(filter->statePre[0], 0.0f);
    EXPECT_EQ(filter->errorCovPre[0], 1.0f);
    ASSERT_EQ(kalmanCorrect(*filter, &z), 1);
    EXPECT_FLOAT_EQ(filter->gain[0], 0.5f);
    EXPECT_FLOAT_EQ(filter->statePost[0], 2.0f);
    EXPECT_FLOAT_EQ(filter->errorCovPost[0], 0.5f);

    float previousCovariance = filter->errorCovPost[0];
    for (int i = 0; i < 200; ++i) {
        kalmanPredict(*filter);
        kalmanCorrect(*filter, &z);
        EXPECT_LT(filter->errorCovPost[0], previousCovariance);
        previousCovariance = filter->errorCovPost[0];
    }
    EXPECT_NEAR(filter->statePost[0], z, 0.05f);
}

TEST(KalmanFilter, UninvertibleInnovationKeepsThePrediction)
{
    auto filter = createKalmanFilter(2, 1);
    ASSERT_TRUE(filter);
    setIdentity(filter->transition.data(), 2);
    filter->transition[1] = 1.0f;  // constant rate
    filter->statePost = {1.0f, 2.0f};
    setIdentity(filter->errorCovPost.data(), 2);
    // H = 0 and R = 0: S = 0 cannot be inverted.
    const float z = 100.0f;
    kalmanPredict(*filter);
    EXPECT_EQ(kalmanCorrect(*filter, &z), 0);
    EXPECT_EQ(filter->statePost[0], 3.0f);
    EXPECT_EQ(filter->statePost[1], 2.0f);
    EXPECT_EQ(filter->errorCovPost, filter->errorCovPre);
}

TEST(KalmanFilter, CreationRejectsEmptySizes)
{
    EXPECT_FALSE(createKalmanFilter(0, 1));
    EXPECT_FALSE(createKalmanFilter(3, -1));
    auto filter = createKalmanFilter(2, 5);  // more measurements than states
    ASSERT_TRUE(filter);
    EXPECT_GE(filter->gain.size(), 25u);
}
