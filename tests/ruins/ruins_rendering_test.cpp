// What the augmented scene puts on screen for a known pose, checked pixel by
// pixel against a ray cast through the same bricks: virtual bricks in front
// show yellow, virtual bricks behind a ruins brick leave the video visible.

#include "ruins/brick_renderer.h"
#include "ruins/ruins_reconstructor_processor.h"

#include "canvas/canvas.h"
#include "ruins_test_support.h"
#include "tests/support/ruins_tables.h"

#include <GL/gl.h>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using ruins_test::WorkingDirectory;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr unsigned char kVideoGrey = 80;
constexpr double kInf = std::numeric_limits<double>::infinity();

// Distance along the ray to the cube of `cell`, or infinity.
double hitCell(const Vector3& origin, const Vector3& direction, const ruins::GridCell& cell)
{
    double tNear = -kInf;
    double tFar = kInf;
    const double lo[3] = {2.4 * cell.i, 2.4 * cell.j, 2.4 * cell.k};
    for (int axis = 0; axis < 3; ++axis) {
        const double o = origin[axis];
        const double d = direction[axis];
        if (std::abs(d) < 1e-12) {
            if (o < lo[axis] || o > lo[axis] + 2.4) return kInf;
            continue;
        }
        double t0 = (lo[axis] - o) / d;
        double t1 = (lo[axis] + 2.4 - o) / d;
        if (t0 > t1) std::swap(t0, t1);
        tNear = std::max(tNear, t0);
        tFar = std::min(tFar, t1);
    }
    return tNear <= tFar && tNear > 0 ? tNear : kInf;
}

template <std::size_t N>
double nearestHit(const Vector3& origin, const Vector3& direction, std::span<const ruins::GridCell, N> cells)
{
    double best = kInf;
    for (const ruins::GridCell& c : cells) best = std::min(best, hitCell(origin, direction, c));
    return best;
}

enum class Expect { Video, VirtualBrick, Ambiguous };

struct RayCaster {
    Matrix4 view;
    Vector3 eye;
    double tanHalf;
    double aspect;

    // Pixel (x, y) with y counted from the bottom, through its centre: the point
    // (x − width/2, y − height/2) of the image, as the pose projects.
    Expect classify(double x, double y) const
    {
        const double cx = (x / kWidth * 2.0 - 1.0) * tanHalf * aspect;
        const double cy = (y / kHeight * 2.0 - 1.0) * tanHalf;
        // Rows of the view matrix are side, up and minus the viewing direction.
        Vector3 d;
        for (int a = 0; a < 3; ++a) d[a] = view(0, a) * cx + view(1, a) * cy - view(2, a);
        const double ruinsHit = nearestHit(eye, d, ruins::ruinsModelCells());
        const double virtualHit = nearestHit(eye, d, ruins::virtualModelCells());
        if (virtualHit == kInf) return Expect::Video;
        if (std::abs(virtualHit - ruinsHit) < 1e-3) return Expect::Ambiguous;
        return virtualHit < ruinsHit ? Expect::VirtualBrick : Expect::Video;
    }
    // The class of the pixel, or Ambiguous within a quarter pixel of an edge of
    // a brick's outline: close enough that bricks drawn half a pixel off the
    // pose's own pixels disagree along every outline.
    Expect classifyAwayFromEdges(int x, int y) const
    {
        const Expect centre = classify(x, y);
        for (double dx : {-0.25, 0.25})
            for (double dy : {-0.25, 0.25})
                if (classify(x + dx, y + dy) != centre) return Expect::Ambiguous;
        return centre;
    }
};

}  // namespace

TEST(RuinsRendering, VirtualBricksLandWhereTheyProjectAndHideBehindRuins)
{
    WorkingDirectory cwd;
    std::vector<unsigned char> grey(std::size_t(kWidth) * kHeight, kVideoGrey);
    std::vector<unsigned char> processed(grey.size(), 0);
    Canvas left;
    Canvas right;
    right.setCanvasId(1);
    RuinsReconstructorProcessor processor(&left);
    processor.setImageSize(kWidth, kHeight);
    right.resize(kWidth, kHeight);
    right.setImage(kWidth, kHeight, GL_LUMINANCE, processed.data());
    right.setOverlay(&processor);
    right.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&right));

    const ruins_test::PinholeCamera camera = ruins_test::frontCamera();
    ruins::TrackedPoints& tracked = processor.reconstruction().trackedPoints();
    std::vector<CornerPoint> corners;
    for (int i = 0; i < ruins::kModelPointCount; ++i) {
        const auto uv = camera.project(ruins::modelPoint(i));
        corners.push_back({int(std::lround((*uv)[0] + kWidth / 2)), int(std::lround((*uv)[1] + kHeight / 2))});
        tracked.positions[i] = corners.back();
    }
    tracked.count = ruins::kModelPointCount;
    ruins_test::ScriptedDetector detector;
    detector.setCorners(corners);
    processor.setDetector(&detector);
    processor.reconstruction().setFollowing(ruins::Following::Nearest);  // scripted corners, flat frame
    processor.process(grey.data(), processed.data());
    ASSERT_TRUE(processor.reconstruction().poseValid());

    const QImage shot = right.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    const QByteArray dir = qgetenv("RUINS_SCREENSHOT_DIR");
    if (!dir.isEmpty()) shot.save(QString::fromLocal8Bit(dir) + "/augmented_bricks.png");

    const ruins::RuinsPoseState& pose = processor.reconstruction().poseState();
    const RayCaster caster{pose.viewMatrix, pose.poseEye,
                           std::tan(pose.poseFieldOfView * 3.14159265358979323846 / 360.0),
                           double(kWidth) / kHeight};
    int brickPixels = 0, brickAgree = 0, videoPixels = 0, videoAgree = 0, hiddenPixels = 0, hiddenAgree = 0;
    for (int y = 2; y < kHeight - 2; y += 2) {
        for (int x = 2; x < kWidth - 2; x += 2) {
            const Expect expected = caster.classifyAwayFromEdges(x, y);
            const QRgb p = shot.pixel(x, kHeight - 1 - y);
            const bool yellow = qRed(p) - qBlue(p) > 30 && std::abs(qRed(p) - qGreen(p)) < 12;
            const bool video = qRed(p) == kVideoGrey && qGreen(p) == kVideoGrey && qBlue(p) == kVideoGrey;
            if (expected == Expect::VirtualBrick) {
                ++brickPixels;
                brickAgree += yellow;
            } else if (expected == Expect::Video) {
                ++videoPixels;
                videoAgree += video;
                // Behind a ruins brick while a virtual brick lies further along the ray.
                const double cx = (double(x) / kWidth * 2.0 - 1.0) * caster.tanHalf * caster.aspect;
                const double cy = (double(y) / kHeight * 2.0 - 1.0) * caster.tanHalf;
                Vector3 d;
                for (int a = 0; a < 3; ++a) d[a] = pose.viewMatrix(0, a) * cx + pose.viewMatrix(1, a) * cy - pose.viewMatrix(2, a);
                if (nearestHit(pose.poseEye, d, ruins::virtualModelCells()) < kInf) {
                    ++hiddenPixels;
                    hiddenAgree += video;
                }
            }
        }
    }
    EXPECT_GT(brickPixels, 1000);
    EXPECT_GT(hiddenPixels, 50) << "this view has virtual bricks behind ruins bricks";
    EXPECT_GE(brickAgree, brickPixels * 99 / 100) << brickAgree << " of " << brickPixels;
    EXPECT_GE(videoAgree, videoPixels * 99 / 100) << videoAgree << " of " << videoPixels;
    EXPECT_GE(hiddenAgree, hiddenPixels * 98 / 100) << hiddenAgree << " of " << hiddenPixels;

    // Frame after frame the bricks stay yellow: the colour left current by the
    // previous paint must not keep the lit material from taking it.
    const auto yellowCount = [](const QImage& image) {
        int count = 0;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2) {
                const QRgb p = image.pixel(x, y);
                count += qRed(p) - qBlue(p) > 30 && std::abs(qRed(p) - qGreen(p)) < 12;
            }
        return count;
    };
    right.updateGL();
    right.updateGL();
    const QImage later = right.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    EXPECT_GE(yellowCount(later), yellowCount(shot) * 99 / 100);
}

TEST(RuinsRendering, RuinsModelLeavesLineWidthAtOneAndStateClean)
{
    Canvas canvas;
    canvas.resize(64, 48);
    canvas.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&canvas));
    canvas.makeCurrent();
    glLineWidth(3.0f);
    const auto scene = ruins::bundledRuinsScene();
    ruins::drawRuinsModel(*scene, true, 0.5f);
    GLfloat width = 0;
    glGetFloatv(GL_LINE_WIDTH, &width);
    EXPECT_EQ(width, 1.0f);

    GLint depthBefore = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthBefore);
    glShadeModel(GL_SMOOTH);
    ruins::drawAugmentedModels(*scene);
    ruins::drawMatchingOverlay(*scene);
    GLint depthAfter = 0, shade = 0, polygonMode[2] = {0, 0};
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthAfter);
    glGetIntegerv(GL_SHADE_MODEL, &shade);
    glGetIntegerv(GL_POLYGON_MODE, polygonMode);
    EXPECT_EQ(depthAfter, depthBefore);
    EXPECT_EQ(shade, GL_SMOOTH);
    EXPECT_EQ(polygonMode[0], GL_FILL);
    EXPECT_FALSE(glIsEnabled(GL_LIGHTING));
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    EXPECT_FALSE(glIsEnabled(GL_COLOR_MATERIAL));
    GLboolean mask[4];
    glGetBooleanv(GL_COLOR_WRITEMASK, mask);
    EXPECT_TRUE(mask[0] && mask[1] && mask[2] && mask[3]);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    canvas.doneCurrent();
}

TEST(RuinsRendering, PerspectiveAspectIsWidthOverHeight)
{
    Canvas canvas;
    canvas.resize(64, 48);
    canvas.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&canvas));
    canvas.makeCurrent();
    Matrix4 view;
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    ruins::applyPoseView({0, 0, 5}, {0, 0, 0}, {0, 1, 0}, 90.0, 320, 240, view);
    GLdouble projection[16];
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_PROJECTION);
    EXPECT_NEAR(projection[5] / projection[0], 4.0 / 3.0, 1e-12);
    EXPECT_NEAR(projection[5], 1.0, 1e-12) << "cot(45°)";
    EXPECT_EQ(view.data()[14], -5.0);
    // Near and far from the matrix (GL keeps it in float): p10 = -(f + n) / (f - n),
    // p14 = -2 f n / (f - n).
    const auto nearAndFar = [](const GLdouble* p) {
        return std::pair{p[14] / (p[10] - 1.0), p[14] / (p[10] + 1.0)};
    };
    EXPECT_NEAR(nearAndFar(projection).first, 1.0, 1e-5);
    EXPECT_NEAR(nearAndFar(projection).second, 100.0, 1e-2);
    ruins::loadPoseView(view, 90.0, 320, 240, 10.0);  // a scene of bricks ten times the ruins'
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    EXPECT_NEAR(nearAndFar(projection).first, 10.0, 1e-4);
    EXPECT_NEAR(nearAndFar(projection).second, 1000.0, 1e-1);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    canvas.doneCurrent();
}
