// The pose filter's state is single precision: poses beyond that range are
// refused at creation instead of starting the filter at infinity.
#include "pose/pose_filter.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

const double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

// Found by fuzzing: a filter created at a field of view of -1.1e217 held -inf
// and returned it from every later call.
TEST(PoseFilterRange, CreationRefusesAPoseBeyondSinglePrecision) {
    const double eye[3] = {1.0, 2.0, 3.0};
    const double farEye[3] = {1.0, -7.6e269, 3.0};
    EXPECT_EQ(createPoseFilter(0.5, 0.5, 1.0, kIdentity, eye, -1.1e217), nullptr);
    EXPECT_EQ(createPoseFilter(0.5, 0.5, 1.0, kIdentity, farEye, 40.0), nullptr);
    EXPECT_NE(createPoseFilter(0.5, 0.5, 1.0, kIdentity, eye, 3.0e38), nullptr);
}

// The fuzzed case that found it, from a start the filter accepts: a rate noise
// beyond float and a measurement it cannot use give back the pose from before.
TEST(PoseFilterRange, HugeRateNoiseAndUnusableMeasurementKeepTheOutputFinite) {
    double rotation[9];
    std::copy(kIdentity, kIdentity + 9, rotation);
    double eye[3] = {1.0, 2.0, 3.0};
    double fieldOfView = 40.0;
    auto filter = createPoseFilter(0.5, 0.5, 1.0, rotation, eye, fieldOfView);
    ASSERT_NE(filter, nullptr);
    eye[1] = -7.6e269;  // beyond float: the measurement is skipped
    fieldOfView = -3.5e284;
    ASSERT_EQ(filterPose(6.2e-304, 3.2e-319, -1.1e217, rotation, eye, fieldOfView, 1.0, filter.get()), 1);
    for (double r : rotation) EXPECT_TRUE(std::isfinite(r));
    for (double e : eye) EXPECT_TRUE(std::isfinite(e));
    EXPECT_TRUE(std::isfinite(fieldOfView));
    EXPECT_DOUBLE_EQ(eye[0], 1.0);  // the pose from before the call
    EXPECT_FLOAT_EQ(static_cast<float>(fieldOfView), 40.0f);
}

}  // namespace
