#pragma once

#include <memory>
#include <vector>

// A linear Kalman filter over dense single-precision matrices. All matrices
// are row-major and owned by the record; N = stateSize, M = measurementSize.
// Everything a predict/correct cycle needs is allocated at creation, so the
// cycle itself allocates nothing. GUI thread only; no locking.
struct KalmanFilter {
    int measurementSize = 0;
    int stateSize = 0;

    std::vector<float> statePost;          // N, corrected state x
    std::vector<float> statePre;           // N, predicted state x⁻
    std::vector<float> transition;         // N × N, A
    std::vector<float> measurementMatrix;  // M × N, H
    std::vector<float> measurementNoise;   // M × M, R
    std::vector<float> processNoise;       // N × N, Q
    std::vector<float> gain;               // N × M, K; also holds the M × M innovation covariance S
    std::vector<float> errorCovPre;        // N × N, P⁻
    std::vector<float> errorCovPost;       // N × N, P

    // Scratch for the updates.
    std::vector<float> workState;          // N × N
    std::vector<float> workState2;         // N × N
    std::vector<float> workMeasurement;    // M × M
    std::vector<float> workInversion;      // M × M, the elimination copy of invertMatrix
    std::vector<float> workVector;         // max(N, M)

    // Pose filter only: the orientation (roll, pitch, yaw) from which the
    // filtered change of orientation is measured; see pose/pose_filter.h.
    double referenceOrientation[3] = {0.0, 0.0, 0.0};
    // Pose filter only: the state and covariance before the last call, kept
    // so that a call that would poison the state can be undone.
    std::vector<float> savedState;         // N
    std::vector<float> savedCovariance;    // N × N
};

// Allocates a filter for stateSize values and measurementSize measurements,
// every matrix zero. The creator of a concrete filter fills statePost,
// transition, measurementMatrix, measurementNoise, processNoise and
// errorCovPost. Returns null when a size is not positive.
std::unique_ptr<KalmanFilter> createKalmanFilter(int stateSize, int measurementSize);

// Time update: x⁻ = A·x, P⁻ = A·P·Aᵀ + Q.
void kalmanPredict(KalmanFilter& filter);

// Measurement update with M floats. Returns 1; returns 0 and keeps the
// prediction as the corrected estimate (x = x⁻, P = P⁻) when the innovation
// covariance cannot be inverted.
int kalmanCorrect(KalmanFilter& filter, const float* measurement);

// Matrix routines on row-major float arrays. The product, the sum and the
// difference return kMatrixOk, kMatrixMissingArgument for a null array and
// kMatrixBadDimension when a size is not positive or inner dimensions differ.
// Products must not write into an operand; the sum and the difference may.
inline constexpr int kMatrixOk = 0;
inline constexpr int kMatrixMissingArgument = 1;
inline constexpr int kMatrixBadDimension = 2;
inline constexpr int kMatrixSingular = 3;

// result (aRows × bColumns) = A · B.
int multiplyMatrices(const float* a, int aRows, int aColumns, const float* b, int bRows, int bColumns, float* result);
// result (aRows × bRows) = A · Bᵀ.
int multiplyMatrixTransposed(const float* a, int aRows, int aColumns, const float* b, int bRows, int bColumns,
                             float* result);
int addMatrices(const float* a, const float* b, int rows, int columns, float* result);
int subtractMatrices(const float* a, const float* b, int rows, int columns, float* result);
// Multiplies row `row` of a rows × columns matrix by factor.
void scaleMatrixRow(float* matrix, int rows, int columns, int row, float factor);
void copyMatrix(const float* source, int rows, int columns, float* destination);
void setIdentity(float* matrix, int size);

// Inverse of an n × n matrix by Gauss–Jordan elimination, pivoting on the
// first non-zero entry of each column. work, if given, holds n × n floats of
// scratch; otherwise the routine allocates its own. Returns kMatrixOk, or
// kMatrixSingular when a column has no non-zero pivot (or the inverse is not
// finite); kMatrixMissingArgument / kMatrixBadDimension for bad arguments.
int invertMatrix(int n, const float* matrix, float* inverse, float* work = nullptr);
