// The field of view settles only once the structure was seen from several
// viewpoints and the estimates agree, and lets go when the camera zooms.
#include "ruins/field_of_view_hold.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using ruins::FieldOfViewHold;

// A viewing direction turned `degrees` about the vertical from looking along +x, down a little.
Vector3 direction(double degrees)
{
    const double a = degrees * 3.141592653589793 / 180.0;
    Vector3 d{std::cos(a), std::sin(a), -0.5};
    d.normalize();
    return d;
}

// Focal lengths that wander ±0.4 % around `focal` from frame to frame.
double noisy(double focal, int frame) { return focal * (1.0 + 0.004 * std::sin(frame * 1.7)); }

TEST(FieldOfViewHold, SettlesFromSeveralViewpointsAndLetsGoWhenTheCameraZooms)
{
    FieldOfViewHold hold;
    // From one viewpoint, however long, nothing separates distance from zoom.
    for (int frame = 0; frame < 3 * FieldOfViewHold::kWindow; ++frame) hold.addFreeEstimate(noisy(500.0, frame), direction(0.0));
    EXPECT_FALSE(hold.held());

    // Swinging round the structure, the estimates agree: held at their median.
    int frame = 0;
    for (; frame < FieldOfViewHold::kWindow && !hold.held(); ++frame)
        hold.addFreeEstimate(noisy(500.0, frame), direction(0.5 * frame));
    ASSERT_TRUE(hold.held());
    EXPECT_NEAR(hold.focalLength(), 500.0, 2.0);

    // Estimates that scatter a few percent now and then do not let it go ...
    for (int i = 0; i < 4 * FieldOfViewHold::kReleaseWindow; ++i)
        hold.addFreeEstimate(i % 3 == 0 ? 530.0 : noisy(500.0, i), direction(10.0));
    EXPECT_TRUE(hold.held());
    // ... a zoom by a tenth does, within the release window.
    int released = -1;
    for (int i = 0; i < 2 * FieldOfViewHold::kReleaseWindow && released < 0; ++i) {
        hold.addFreeEstimate(noisy(550.0, i), direction(10.0));
        if (!hold.held()) released = i;
    }
    EXPECT_GE(released, 0);
    EXPECT_LT(released, FieldOfViewHold::kReleaseWindow);

    // Spread estimates never settle; junk is ignored.
    hold.reset();
    for (int i = 0; i < 3 * FieldOfViewHold::kWindow; ++i) {
        hold.addFreeEstimate(i % 2 ? 450.0 : 550.0, direction(0.5 * i));
        hold.addFreeEstimate(std::nan(""), direction(0.0));
        hold.addFreeEstimate(-1.0, direction(0.0));
    }
    EXPECT_FALSE(hold.held());
}

}  // namespace
