#include "pose/pose_filter.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kPoseStateSize = 14;
constexpr int kPoseMeasurementSize = 7;
constexpr int kMeasuredValues = 7;
constexpr float kInitialCovariance = 100000.0f;

bool allFinite(const double* values, int count)
{
    return std::all_of(values, values + count, [](double v) { return std::isfinite(v); });
}

bool allFinite(const std::vector<float>& values)
{
    return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

void multiply3x3(const double* a, const double* b, double* result)
{
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            result[3 * r + c] = a[3 * r + 0] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
    }
}

// result = Aᵀ·B.
void multiplyTransposed3x3(const double* a, const double* b, double* result)
{
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            result[3 * r + c] = a[r] * b[c] + a[3 + r] * b[3 + c] + a[6 + r] * b[6 + c];
    }
}

// The change of orientation from the reference to `rotation` as the rotation
// R_ref⁻¹·R, in Euler angles. The output applies the filtered change as
// R_ref·R(change), so the change must be measured the same way: a difference of
// absolute Euler angles turns about other axes and returns a wrong orientation
// even from a filter that follows its input exactly.
void relativeEuler(const double* reference, const double* rotation, double& roll, double& pitch, double& yaw)
{
    double change[9];
    multiplyTransposed3x3(reference, rotation, change);
    eulerFromRotation(change, roll, pitch, yaw);
}

bool fitsInFloat(double value)
{
    return std::isfinite(static_cast<float>(value));
}

void writeFilteredPose(KalmanFilter& filter, double* rotation, double* eye, double& fieldOfView)
{
    const std::vector<float>& x = filter.statePost;
    double reference[9];
    double change[9];
    rotationFromEuler(filter.referenceOrientation[0], filter.referenceOrientation[1],
                      filter.referenceOrientation[2], reference);
    rotationFromEuler(x[0], x[1], x[2], change);
    multiply3x3(reference, change, rotation);
    for (int i = 0; i < 3; ++i)
        eye[i] = x[3 + i];
    fieldOfView = x[6];

    // The output orientation becomes the reference of the next call, so a pose
    // that does not change measures a change of zero.
    eulerFromRotation(rotation, filter.referenceOrientation[0], filter.referenceOrientation[1],
                      filter.referenceOrientation[2]);
}

}  // namespace

void eulerFromRotation(const double* rotation, double& roll, double& pitch, double& yaw)
{
    const auto m = [rotation](int r, int c) { return rotation[3 * r + c]; };
    yaw = std::atan2(m(1, 0), m(0, 0));
    const double cosYaw = std::cos(yaw);
    const double sinYaw = std::sin(yaw);
    pitch = std::atan2(-m(2, 0), cosYaw * m(0, 0) + sinYaw * m(1, 0));
    roll = std::atan2(sinYaw * m(0, 2) - cosYaw * m(1, 2), cosYaw * m(1, 1) - sinYaw * m(0, 1));
}

void rotationFromEuler(double roll, double pitch, double yaw, double* rotation)
{
    const double cx = std::cos(roll), sx = std::sin(roll);
    const double cy = std::cos(pitch), sy = std::sin(pitch);
    const double cz = std::cos(yaw), sz = std::sin(yaw);
    const double values[9] = {cz * cy, cz * sx * sy - sz * cx, sy * cz * cx + sx * sz,
                              cy * sz, cz * cx + sz * sx * sy, sz * sy * cx - cz * sx,
                              -sy,     cy * sx,                cy * cx};
    std::copy(values, values + 9, rotation);
}

std::unique_ptr<KalmanFilter> createPoseFilter(double positionNoise, double rotationNoise, double fieldOfViewNoise,
                                               const double* rotation, const double* eye, double fieldOfView)
{
    // The state is single precision: a position or field of view beyond its range
    // would start the filter at infinity, and every later call would return it.
    if (!rotation || !eye || !allFinite(rotation, 9) || !std::all_of(eye, eye + 3, fitsInFloat) ||
        !fitsInFloat(fieldOfView))
        return nullptr;
    std::unique_ptr<KalmanFilter> filter = createKalmanFilter(kPoseStateSize, kPoseMeasurementSize);
    const int n = kPoseStateSize;
    const int m = kPoseMeasurementSize;

    setIdentity(filter->transition.data(), n);
    for (int i = 0; i < kMeasuredValues; ++i)
        filter->transition[i * n + i + kMeasuredValues] = 1.0f;
    for (int i = 0; i < m; ++i)
        filter->measurementMatrix[i * n + i] = 1.0f;
    for (int i = kMeasuredValues; i < n; ++i)
        filter->processNoise[i * n + i] = 1.0f;
    const double measurementNoise[kPoseMeasurementSize] = {rotationNoise, rotationNoise, rotationNoise,
                                                           positionNoise, positionNoise, positionNoise,
                                                           fieldOfViewNoise};
    for (int i = 0; i < m; ++i)
        filter->measurementNoise[i * m + i] = static_cast<float>(measurementNoise[i]);
    setIdentity(filter->errorCovPost.data(), n);
    for (float& value : filter->errorCovPost)
        value *= kInitialCovariance;

    double roll, pitch, yaw;
    eulerFromRotation(rotation, roll, pitch, yaw);
    // The reference keeps full precision; the state holds the floats.
    filter->referenceOrientation[0] = roll;
    filter->referenceOrientation[1] = pitch;
    filter->referenceOrientation[2] = yaw;
    const double initial[kMeasuredValues] = {roll, pitch, yaw, eye[0], eye[1], eye[2], fieldOfView};
    for (int i = 0; i < kMeasuredValues; ++i)
        filter->statePost[i] = static_cast<float>(initial[i]);
    return filter;
}

int filterPose(double positionRateNoise, double rotationRateNoise, double fieldOfViewRateNoise, double* rotation,
               double* eye, double& fieldOfView, double timeStep, KalmanFilter* filter)
{
    if (!rotation || !eye || !filter || filter->stateSize != kPoseStateSize ||
        filter->measurementSize != kPoseMeasurementSize)
        return 0;
    // The rate noise grows with the step: a step that is not positive would
    // subtract noise and drive the covariance negative.
    if (!(timeStep > 0.0) || !std::isfinite(timeStep))
        return 0;
    const int n = kPoseStateSize;
    std::vector<float>& x = filter->statePost;
    std::copy(x.begin(), x.end(), filter->savedState.begin());
    std::copy(filter->errorCovPost.begin(), filter->errorCovPost.end(), filter->savedCovariance.begin());

    double changeRoll = 0.0, changePitch = 0.0, changeYaw = 0.0;
    if (allFinite(rotation, 9)) {
        double reference[9];
        rotationFromEuler(filter->referenceOrientation[0], filter->referenceOrientation[1],
                          filter->referenceOrientation[2], reference);
        relativeEuler(reference, rotation, changeRoll, changePitch, changeYaw);
    }
    const double measured[kMeasuredValues] = {changeRoll, changePitch, changeYaw, eye[0], eye[1], eye[2], fieldOfView};
    const bool measurementUsable = allFinite(rotation, 9) &&
                                   std::all_of(measured, measured + kMeasuredValues, fitsInFloat);

    x[0] = x[1] = x[2] = 0.0f;
    const float rotationRate = static_cast<float>(rotationRateNoise * timeStep);
    const float positionRate = static_cast<float>(positionRateNoise * timeStep);
    const float fieldOfViewRate = static_cast<float>(fieldOfViewRateNoise * timeStep);
    const float rateNoise[kMeasuredValues] = {rotationRate, rotationRate, rotationRate, positionRate,
                                              positionRate, positionRate, fieldOfViewRate};
    for (int i = 0; i < kMeasuredValues; ++i) {
        const int rate = kMeasuredValues + i;
        filter->processNoise[rate * n + rate] = rateNoise[i];
        filter->transition[i * n + rate] = static_cast<float>(timeStep);
    }

    kalmanPredict(*filter);
    if (measurementUsable) {
        float measurement[kMeasuredValues];
        for (int i = 0; i < kMeasuredValues; ++i)
            measurement[i] = static_cast<float>(measured[i]);
        kalmanCorrect(*filter, measurement);
    } else {
        x = filter->statePre;
        filter->errorCovPost = filter->errorCovPre;
    }

    if (!allFinite(x) || !allFinite(filter->errorCovPost)) {
        if (measurementUsable) {
            // Start afresh from the measurement, as creation does; merely undoing
            // the call could leave the filter overflowing on every later call.
            eulerFromRotation(rotation, filter->referenceOrientation[0], filter->referenceOrientation[1],
                              filter->referenceOrientation[2]);
            std::fill(x.begin(), x.end(), 0.0f);
            for (int i = 3; i < kMeasuredValues; ++i)
                x[i] = static_cast<float>(measured[i]);
            setIdentity(filter->errorCovPost.data(), n);
            for (float& value : filter->errorCovPost)
                value *= kInitialCovariance;
        } else {
            // Undo the call: the pose from before it, with no change of orientation.
            std::copy(filter->savedState.begin(), filter->savedState.end(), x.begin());
            std::copy(filter->savedCovariance.begin(), filter->savedCovariance.end(),
                      filter->errorCovPost.begin());
            x[0] = x[1] = x[2] = 0.0f;
        }
    }
    writeFilteredPose(*filter, rotation, eye, fieldOfView);
    return 1;
}
