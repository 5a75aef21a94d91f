// The field of view settles only once the structure was seen from several
// viewpoints and the estimates agree.
#include "reconstruction/field_of_view_hold.h"

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

// Settling and letting go on a zoom are followed end to end on the virtual
// camera; here, what must not settle or let go.
TEST(FieldOfViewHold, NeverSettlesFromOneViewpointOrOnScatterAndIgnoresJunk)
{
    FieldOfViewHold hold;
    // From one viewpoint, however long, nothing separates distance from zoom.
    for (int frame = 0; frame < 3 * FieldOfViewHold::kWindow; ++frame) hold.addFreeEstimate(noisy(500.0, frame), direction(0.0));
    EXPECT_FALSE(hold.held());
    // Estimates spread evenly over ±10 % never settle; junk is ignored.
    hold.reset();
    for (int i = 0; i < 3 * FieldOfViewHold::kWindow; ++i) {
        hold.addFreeEstimate(450.0 + (i * 37) % 100, direction(0.5 * i));
        hold.addFreeEstimate(std::nan(""), direction(0.0));
        hold.addFreeEstimate(-1.0, direction(0.0));
    }
    EXPECT_FALSE(hold.held());
    // Held, estimates that scatter a few percent now and then do not let it go.
    for (int frame = 0; frame < FieldOfViewHold::kWindow; ++frame) hold.addFreeEstimate(noisy(500.0, frame), direction(0.5 * frame));
    ASSERT_TRUE(hold.held());
    EXPECT_NEAR(hold.focalLength(), 500.0, 2.0);
    for (int i = 0; i < 4 * FieldOfViewHold::kReleaseWindow; ++i)
        hold.addFreeEstimate(i % 3 == 0 ? 530.0 : noisy(500.0, i), direction(10.0));
    EXPECT_TRUE(hold.held());
}

}  // namespace
