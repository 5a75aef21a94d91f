#include "pose/kalman_filter.h"

#include <algorithm>
#include <cmath>

std::unique_ptr<KalmanFilter> createKalmanFilter(int stateSize, int measurementSize)
{
    if (stateSize <= 0 || measurementSize <= 0)
        return nullptr;
    const auto n = static_cast<std::size_t>(stateSize);
    const auto m = static_cast<std::size_t>(measurementSize);

    auto filter = std::make_unique<KalmanFilter>();
    filter->stateSize = stateSize;
    filter->measurementSize = measurementSize;
    filter->statePost.assign(n, 0.0f);
    filter->statePre.assign(n, 0.0f);
    filter->transition.assign(n * n, 0.0f);
    filter->measurementMatrix.assign(m * n, 0.0f);
    filter->measurementNoise.assign(m * m, 0.0f);
    filter->processNoise.assign(n * n, 0.0f);
    // gain also holds S (M × M) during the correction.
    filter->gain.assign(std::max(n * m, m * m), 0.0f);
    filter->errorCovPre.assign(n * n, 0.0f);
    filter->errorCovPost.assign(n * n, 0.0f);
    // workState holds P⁻·Hᵀ (N × M) as well as N × N products.
    filter->workState.assign(std::max(n * n, n * m), 0.0f);
    filter->workState2.assign(n * n, 0.0f);
    filter->workMeasurement.assign(m * m, 0.0f);
    filter->workInversion.assign(m * m, 0.0f);
    filter->workVector.assign(std::max(n, m), 0.0f);
    filter->savedState.assign(n, 0.0f);
    filter->savedCovariance.assign(n * n, 0.0f);
    return filter;
}

void kalmanPredict(KalmanFilter& filter)
{
    const int n = filter.stateSize;
    multiplyMatrices(filter.transition.data(), n, n, filter.statePost.data(), n, 1, filter.statePre.data());
    multiplyMatrixTransposed(filter.errorCovPost.data(), n, n, filter.transition.data(), n, n,
                             filter.workState.data());
    multiplyMatrices(filter.transition.data(), n, n, filter.workState.data(), n, n, filter.errorCovPre.data());
    addMatrices(filter.errorCovPre.data(), filter.processNoise.data(), n, n, filter.errorCovPre.data());
}

int kalmanCorrect(KalmanFilter& filter, const float* measurement)
{
    const int n = filter.stateSize;
    const int m = filter.measurementSize;
    float* crossCovariance = filter.workState.data();  // T = P⁻·Hᵀ, N × M
    float* innovationCovariance = filter.gain.data();  // S, M × M
    float* inverseCovariance = filter.workMeasurement.data();
    if (!measurement) {
        filter.statePost = filter.statePre;
        filter.errorCovPost = filter.errorCovPre;
        return 0;
    }

    multiplyMatrixTransposed(filter.errorCovPre.data(), n, n, filter.measurementMatrix.data(), m, n,
                             crossCovariance);
    multiplyMatrices(filter.measurementMatrix.data(), m, n, crossCovariance, n, m, innovationCovariance);
    addMatrices(innovationCovariance, filter.measurementNoise.data(), m, m, innovationCovariance);
    if (invertMatrix(m, innovationCovariance, inverseCovariance, filter.workInversion.data()) != kMatrixOk) {
        // Without S⁻¹ there is no gain; the prediction is the best estimate left.
        std::fill(filter.gain.begin(), filter.gain.end(), 0.0f);
        filter.statePost = filter.statePre;
        filter.errorCovPost = filter.errorCovPre;
        return 0;
    }
    multiplyMatrices(crossCovariance, n, m, inverseCovariance, m, m, filter.gain.data());

    float* innovation = filter.workVector.data();
    multiplyMatrices(filter.measurementMatrix.data(), m, n, filter.statePre.data(), n, 1, innovation);
    for (int i = 0; i < m; ++i)
        innovation[i] = measurement[i] - innovation[i];
    multiplyMatrices(filter.gain.data(), n, m, innovation, m, 1, filter.statePost.data());
    addMatrices(filter.statePre.data(), filter.statePost.data(), n, 1, filter.statePost.data());

    float* identityMinusGain = filter.workState2.data();
    multiplyMatrices(filter.gain.data(), n, m, filter.measurementMatrix.data(), m, n, filter.errorCovPost.data());
    setIdentity(identityMinusGain, n);
    subtractMatrices(identityMinusGain, filter.errorCovPost.data(), n, n, identityMinusGain);
    multiplyMatrices(identityMinusGain, n, n, filter.errorCovPre.data(), n, n, filter.errorCovPost.data());
    return 1;
}

int multiplyMatrices(const float* a, int aRows, int aColumns, const float* b, int bRows, int bColumns, float* result)
{
    if (!a || !b || !result)
        return kMatrixMissingArgument;
    if (aRows <= 0 || aColumns <= 0 || bRows <= 0 || bColumns <= 0 || aColumns != bRows)
        return kMatrixBadDimension;
    for (int r = 0; r < aRows; ++r) {
        for (int c = 0; c < bColumns; ++c) {
            float sum = 0.0f;
            for (int k = 0; k < aColumns; ++k)
                sum += a[r * aColumns + k] * b[k * bColumns + c];
            result[r * bColumns + c] = sum;
        }
    }
    return kMatrixOk;
}

int multiplyMatrixTransposed(const float* a, int aRows, int aColumns, const float* b, int bRows, int bColumns,
                             float* result)
{
    if (!a || !b || !result)
        return kMatrixMissingArgument;
    if (aRows <= 0 || aColumns <= 0 || bRows <= 0 || bColumns <= 0 || aColumns != bColumns)
        return kMatrixBadDimension;
    for (int r = 0; r < aRows; ++r) {
        for (int c = 0; c < bRows; ++c) {
            float sum = 0.0f;
            for (int k = 0; k < aColumns; ++k)
                sum += a[r * aColumns + k] * b[c * bColumns + k];
            result[r * bRows + c] = sum;
        }
    }
    return kMatrixOk;
}

namespace {

template <typename Operation>
int elementWise(const float* a, const float* b, int rows, int columns, float* result, Operation operation)
{
    if (!a || !b || !result)
        return kMatrixMissingArgument;
    if (rows <= 0 || columns <= 0)
        return kMatrixBadDimension;
    const int count = rows * columns;
    for (int i = 0; i < count; ++i)
        result[i] = operation(a[i], b[i]);
    return kMatrixOk;
}

}  // namespace

int addMatrices(const float* a, const float* b, int rows, int columns, float* result)
{
    return elementWise(a, b, rows, columns, result, [](float x, float y) { return x + y; });
}

int subtractMatrices(const float* a, const float* b, int rows, int columns, float* result)
{
    return elementWise(a, b, rows, columns, result, [](float x, float y) { return x - y; });
}

void scaleMatrixRow(float* matrix, int rows, int columns, int row, float factor)
{
    if (!matrix || row < 0 || row >= rows || columns <= 0)
        return;
    for (int c = 0; c < columns; ++c)
        matrix[row * columns + c] *= factor;
}

void copyMatrix(const float* source, int rows, int columns, float* destination)
{
    if (!source || !destination || rows <= 0 || columns <= 0)
        return;
    std::copy(source, source + rows * columns, destination);
}

void setIdentity(float* matrix, int size)
{
    if (!matrix || size <= 0)
        return;
    std::fill(matrix, matrix + size * size, 0.0f);
    for (int i = 0; i < size; ++i)
        matrix[i * size + i] = 1.0f;
}

int invertMatrix(int n, const float* matrix, float* inverse, float* work)
{
    if (!matrix || !inverse)
        return kMatrixMissingArgument;
    if (n <= 0)
        return kMatrixBadDimension;
    std::vector<float> ownWork;
    if (!work) {
        ownWork.resize(static_cast<std::size_t>(n) * n);
        work = ownWork.data();
    }
    copyMatrix(matrix, n, n, work);
    setIdentity(inverse, n);
    const auto w = [work, n](int r, int c) -> float& { return work[r * n + c]; };
    const auto b = [inverse, n](int r, int c) -> float& { return inverse[r * n + c]; };

    for (int i = 0; i < n; ++i) {
        int pivotRow = i;
        while (pivotRow < n && w(pivotRow, i) == 0.0f)
            ++pivotRow;
        if (pivotRow == n)
            return kMatrixSingular;
        if (pivotRow != i) {
            std::swap_ranges(work + pivotRow * n, work + pivotRow * n + n, work + i * n);
            std::swap_ranges(inverse + pivotRow * n, inverse + pivotRow * n + n, inverse + i * n);
        }
        const float reciprocal = 1.0f / w(i, i);
        w(i, i) = 1.0f;
        for (int c = i + 1; c < n; ++c)
            w(i, c) *= reciprocal;
        scaleMatrixRow(inverse, n, n, i, reciprocal);
        for (int r = i + 1; r < n; ++r) {
            const float factor = w(r, i);
            w(r, i) = 0.0f;
            for (int c = i + 1; c < n; ++c)
                w(r, c) -= factor * w(i, c);
            for (int c = 0; c < n; ++c)
                b(r, c) -= factor * b(i, c);
        }
    }
    for (int a = n - 1; a >= 1; --a) {
        for (int r = 0; r < a; ++r) {
            const float factor = w(r, a);
            w(r, a) = 0.0f;
            for (int c = a + 1; c < n; ++c)
                w(r, c) -= factor * w(a, c);
            for (int c = 0; c < n; ++c)
                b(r, c) -= factor * b(a, c);
        }
    }
    // A denormal pivot can overflow the reciprocal; such an "inverse" is no inverse.
    for (int i = 0; i < n * n; ++i) {
        if (!std::isfinite(inverse[i]))
            return kMatrixSingular;
    }
    return kMatrixOk;
}
