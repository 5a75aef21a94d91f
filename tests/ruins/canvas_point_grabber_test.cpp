// The point grabber on a real canvas: presses through Qt Test, take-back with
// the right button, the state machine and the 78-point limit.

#include "canvas/canvas_point_grabber.h"

#include "canvas/canvas.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {

struct GrabberFixture : ::testing::Test {
    Canvas canvas;
    CanvasPointGrabber grabber{&canvas};

    GrabberFixture() { canvas.resize(320, 240); }
    void press(Qt::MouseButton button, QPoint at) { QTest::mousePress(&canvas, button, {}, at); }
};

}  // namespace

TEST_F(GrabberFixture, LeftLeftRightLeftKeepsFirstAndFourth)
{
    grabber.start();
    EXPECT_EQ(grabber.state(), 1);
    press(Qt::LeftButton, {10, 20});
    press(Qt::LeftButton, {30, 40});
    press(Qt::RightButton, {99, 99});
    press(Qt::LeftButton, {50, 60});
    ASSERT_EQ(grabber.pointCount(), 2);
    EXPECT_EQ(grabber.points()[0], QPoint(10, 20));
    EXPECT_EQ(grabber.points()[1], QPoint(50, 60));
}

TEST_F(GrabberFixture, RightPressWithNoPointsOnlyRepaints)
{
    canvas.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&canvas));
    grabber.start();
    const int paints = canvas.paintCount();
    press(Qt::RightButton, {5, 5});
    EXPECT_EQ(grabber.pointCount(), 0);
    EXPECT_EQ(grabber.state(), 1);
    EXPECT_GT(canvas.paintCount(), paints) << "labels follow at once";
}

TEST_F(GrabberFixture, MiddleButtonAddsAPoint)
{
    grabber.start();
    press(Qt::MiddleButton, {7, 8});
    EXPECT_EQ(grabber.pointCount(), 1);
}

TEST_F(GrabberFixture, SeventyEighthPressEndsGrabbingAndLaterPressesAreIgnored)
{
    grabber.start();
    for (int i = 0; i < 78; ++i) press(Qt::LeftButton, {i, i + 1});
    EXPECT_EQ(grabber.pointCount(), 78);
    EXPECT_EQ(grabber.state(), 2);
    EXPECT_EQ(grabber.points()[77], QPoint(77, 78));
    press(Qt::LeftButton, {200, 200});
    press(Qt::RightButton, {200, 200});
    EXPECT_EQ(grabber.pointCount(), 78) << "no longer listening";
}

TEST_F(GrabberFixture, StopTransitionsAndRepeatedStops)
{
    grabber.stop();  // without start
    EXPECT_EQ(grabber.state(), 0);
    grabber.start();
    grabber.stop();
    EXPECT_EQ(grabber.state(), 0) << "no points: idle";
    grabber.start();
    press(Qt::LeftButton, {1, 2});
    grabber.stop();
    EXPECT_EQ(grabber.state(), 2);
    grabber.stop();
    EXPECT_EQ(grabber.state(), 2);
    EXPECT_EQ(grabber.pointCount(), 1);
    press(Qt::LeftButton, {3, 4});
    EXPECT_EQ(grabber.pointCount(), 1) << "holding: presses reach nobody";

    grabber.start();  // from holding: empty again
    EXPECT_EQ(grabber.pointCount(), 0);
    grabber.start();  // twice: still one connection
    press(Qt::LeftButton, {5, 6});
    EXPECT_EQ(grabber.pointCount(), 1);
}

TEST(CanvasPointGrabber, OutlivesItsCanvas)
{
    auto* canvas = new Canvas;
    CanvasPointGrabber grabber(canvas);
    grabber.start();
    delete canvas;
    grabber.stop();
    EXPECT_EQ(grabber.state(), 0);
}
